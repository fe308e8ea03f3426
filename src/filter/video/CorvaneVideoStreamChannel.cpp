// The producer side of the video pin's frame queue: the channel thread that
// owns the shared video channel, and the two handlers its reader calls.
#include <algorithm>
#include <cmath>

#include "base/Log.h"
#include "filter/video/CorvaneVideoStream.h"
#include "framework/Source.h"
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

telvor::SharedChannel* CorvaneVideoStream::OpenChannel(bool quiet) {
  if (!m_pChannel) {
    m_pChannel = CreateChannel<telvor::SharedVideo>(static_cast<std::int32_t>(m_CameraIndex), this,
                                                    &CorvaneVideoStream::OnFormatChanged, L"SharedVideo", quiet);
  }
  return m_pChannel.get();
}

void CorvaneVideoStream::CloseChannel() {
  // Without a producer the picture is black, not the last frame frozen; a
  // new producer announces its format again.
  m_Frames.CloseChannel(
      [](void* self) {
        // Stops the reader before the view goes.
        static_cast<CorvaneVideoStream*>(self)->m_pChannel.reset();
      },
      this);
}

void CorvaneVideoStream::ForgetChannel() {
  m_Frames.Restart();
  m_Pacing.ForgetArrivals();
}

std::int32_t CorvaneVideoStream::OnFormatChanged(telvor::SharedVideo* channel, const telvor::SlotHeader& header,
                                                 void* user) {
  auto* pin = static_cast<CorvaneVideoStream*>(user);
  pin->m_SourceCapacity = channel->PayloadCapacity();
  // Through the channel the reader runs, not the pin's member: the reader
  // may announce the format before OpenChannel has stored the channel.
  channel->on_video_preview = &CorvaneVideoStream::OnVideoPreview;
  // The sixth value of the announcement is always 0 in the producer's header.
  return pin->KAVOShared_OnFormatChanged(header.video_fourcc, header.video_width, header.video_height, 0,
                                         header.video_frame_rate);
}

int CorvaneVideoStream::KAVOShared_OnFormatChanged(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height,
                                                   std::int32_t reserved, double frameRate) {
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneVideoStream::KAVOShared_OnFormatChanged", this)
      << L" " << fourcc << L"," << width << L"," << height << L"," << reserved << L"," << frameRate;
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
                            telvor::HeaderBeforePayload(payload).video_sequence, channel};
  const std::int64_t arrival = telvor::CounterNow100ns();
  pin->m_Frames.Queue(entry);
  pin->m_Pacing.Arrived(arrival);
  return 0;
}
