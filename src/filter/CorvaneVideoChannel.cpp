// The producer side of the video pin's frame queue: the channel thread that
// owns the shared video channel, and the two handlers its reader calls.
#include <algorithm>
#include <cmath>

#include "filter/CorvaneVideoStream.h"
#include "framework/Source.h"
#include "module/Log.h"
#include "transport/SharedVideo.h"
#include "transport/SlotHeader.h"

namespace {
constexpr wchar_t kUnit[] = L"CorvaneVideoStream";

// A producer's timestamps may jump anywhere; a time that does not fit 64 bits
// of 100-ns units is recorded as 0 (it only labels the entry).
std::int64_t SampleTimeUnits(double seconds) {
  const double units = seconds * 10000000.0;
  return std::isfinite(units) && std::fabs(units) < 9.0e18 ? static_cast<std::int64_t>(units) : 0;
}
}  // namespace

HRESULT CorvaneVideoStream::Active() {
  const HRESULT hr = CSourceStream::Active();
  if (FAILED(hr)) return hr;
  // S_FALSE: already active, the channel thread is running.
  if (hr == S_OK && IsConnected()) m_ChannelThread.Start(&CorvaneVideoStream::KAVOShared_ThreadProc, this);
  return S_OK;
}

HRESULT CorvaneVideoStream::Inactive() {
  // The streaming thread goes first: no queued entry may outlive its channel.
  const HRESULT hr = CSourceStream::Inactive();
  m_ChannelThread.Stop();
  m_Frames.Restart();
  return FAILED(hr) ? hr : S_OK;
}

DWORD WINAPI CorvaneVideoStream::KAVOShared_ThreadProc(void* pin) {
  const telvor::ChannelThread::Handlers handlers = {&CorvaneVideoStream::StartChannel,
                                                    &CorvaneVideoStream::StopChannel, pin, kUnit,
                                                    L"CorvaneVideoStream::KAVOShared_ThreadProc"};
  return telvor::ChannelThread::RunMessageLoop(handlers, pin);
}

telvor::SharedChannel* CorvaneVideoStream::StartChannel(void* context, bool quiet) {
  auto* pin = static_cast<CorvaneVideoStream*>(context);
  if (pin->m_pChannel) return pin->m_pChannel;
  auto* channel = new (std::nothrow) telvor::SharedVideo();
  if (!channel) return nullptr;
  channel->index = static_cast<std::int32_t>(pin->m_CameraIndex);
  channel->user = pin;
  channel->on_format_changed = &CorvaneVideoStream::OnFormatChanged;
  // Set before Create: the reader may announce the format at once and its
  // handler installs the frame handler through this pointer.
  pin->m_pChannel = channel;
  if (!channel->Create()) {
    const DWORD error = GetLastError();
    pin->m_pChannel = nullptr;
    delete channel;
    if (!quiet) telvor::Error() << L"SharedVideo::Create failed, err=" << error;
    return nullptr;
  }
  if (!channel->Run()) {
    const DWORD error = GetLastError();
    telvor::Error() << L"SharedVideo::Run failed, err=" << error;
    // Kept until the stop message, not deleted here: a reader that took the
    // run command just as the wait gave up may already have queued frames,
    // and the streaming thread may be converting one under its mutex. An
    // idle channel delivers nothing, so the pin still shows black.
  }
  return channel;
}

void CorvaneVideoStream::StopChannel(void* context) {
  auto* pin = static_cast<CorvaneVideoStream*>(context);
  // Without a producer the picture is black, not the last frame frozen; a
  // new producer announces its format again.
  pin->m_Frames.CloseChannel(
      [](void* self) {
        auto* owner = static_cast<CorvaneVideoStream*>(self);
        delete owner->m_pChannel;  // stops the reader before the view goes
        owner->m_pChannel = nullptr;
      },
      pin);
}

std::int32_t CorvaneVideoStream::OnFormatChanged(telvor::SharedVideo* channel, const telvor::SlotHeader& header,
                                                 void* user) {
  auto* pin = static_cast<CorvaneVideoStream*>(user);
  pin->m_SourceCapacity = channel->PayloadCapacity();
  // The sixth value of the announcement is always 0 in the producer's header.
  return pin->KAVOShared_OnFormatChanged(header.video_fourcc, header.video_width, header.video_height, 0,
                                         header.video_frame_rate);
}

int CorvaneVideoStream::KAVOShared_OnFormatChanged(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height,
                                                   std::int32_t reserved, double frameRate) {
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneVideoStream::KAVOShared_OnFormatChanged", this)
      << L" " << fourcc << L"," << width << L"," << height << L"," << reserved << L"," << frameRate;
  if (m_pChannel) m_pChannel->on_video_preview = &CorvaneVideoStream::OnVideoPreview;
  m_SourceReserved = reserved;
  m_SourceFrameRate = frameRate;
  m_Frames.SetSource(fourcc, width, height, m_SourceCapacity);
  return 0;
}

std::int32_t CorvaneVideoStream::OnVideoPreview(telvor::SharedVideo* channel, double sampleTime,
                                                const std::uint8_t* payload, std::uint32_t length, void* user) {
  auto* pin = static_cast<CorvaneVideoStream*>(user);
  // The length is the producer's word; only the slot is known to be readable.
  const FrameEntry entry = {SampleTimeUnits(sampleTime), payload, std::min(length, channel->PayloadCapacity()),
                            telvor::HeaderBeforePayload(payload).video_sequence, channel, 0};
  pin->m_Frames.Queue(entry);
  return 0;
}
