// The audio pin's channel thread and the calls its channel makes into it.
#include <algorithm>
#include <cstring>
#include <new>

#include "base/Log.h"
#include "filter/audio/CorvaneAudioStream.h"
#include "transport/SharedAudio.h"
#include "transport/SlotHeader.h"

namespace {
constexpr wchar_t kUnit[] = L"CorvaneAudioStream";
}  // namespace

// --- channel thread ---

telvor::SharedChannel* CorvaneAudioStream::OpenChannel(bool quiet) {
  if (!m_pChannel) {
    m_pChannel = CreateChannel<telvor::SharedAudio>(m_CameraIndex, this, &CorvaneAudioStream::OnFormatChanged,
                                                    L"SharedAudio", quiet);
  }
  return m_pChannel.get();
}

void CorvaneAudioStream::CloseChannel() {
  // The streaming thread copies queued packets only while it holds the
  // channel shared; once it lets go, nothing of this channel is read.
  AcquireSRWLockExclusive(&m_ChannelUse);
  m_PacketsFlowing = false;
  m_Packets.Clear();
  m_Pacing.ForgetArrivals();
  m_pChannel.reset();
  ReleaseSRWLockExclusive(&m_ChannelUse);
}

void CorvaneAudioStream::ForgetChannel() {
  m_Packets.Clear();
  m_Pacing.ForgetArrivals();
}

// --- channel callbacks, on the channel's reader thread ---

std::int32_t CorvaneAudioStream::OnFormatChanged(telvor::SharedAudio* channel, const telvor::SlotHeader& header,
                                                 void* user) {
  return static_cast<CorvaneAudioStream*>(user)->KAVOShared_OnFormatChanged(
      channel, header.audio_channels, header.audio_bits_per_sample, header.audio_samples_per_second);
}

// Under the producer's mutex, as the channel opens: the reader is about to
// hand over every packet the ring holds, and sound that old would delay
// everything after it for the whole session. Playing starts from the newest.
void CorvaneAudioStream::SkipHistory(telvor::SharedAudio* channel) {
  const std::size_t stride = static_cast<std::size_t>(channel->PayloadCapacity()) + telvor::kSlotHeaderSize;
  std::uint32_t newest = 0;
  for (std::uint32_t slot = 0; slot < telvor::kAudioSlotCount; ++slot) {
    telvor::SlotHeader header;
    std::memcpy(&header, channel->View() + slot * stride, sizeof header);  // the ring fits the view
    const auto sequence = static_cast<std::uint32_t>(header.audio_sequence);
    if (slot == 0 || static_cast<std::int32_t>(sequence - newest) > 0) newest = sequence;
  }
  m_HistoryEnd = newest;
  m_SkipHistory = true;
}

std::int32_t CorvaneAudioStream::KAVOShared_OnFormatChanged(telvor::SharedAudio* channel, std::uint32_t channels,
                                                            std::uint32_t bitsPerSample,
                                                            std::uint32_t samplesPerSecond) {
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneAudioStream::KAVOShared_OnFormatChanged", this)
      << L" " << channels << L"," << bitsPerSample << L"," << samplesPerSecond;
  // The pin converts nothing: another format's packets are never handed on,
  // and silence goes out instead.
  if (channels == m_Channels && bitsPerSample == m_BitsPerSample && samplesPerSecond == m_SamplesPerSecond) {
    channel->on_audio_preview = &CorvaneAudioStream::OnAudioPreview;
    m_PacketsFlowing = true;
    SkipHistory(channel);
  } else {
    TELVOR_ERROR_OBJ(kUnit, L"CorvaneAudioStream::KAVOShared_OnFormatChanged", this)
        << L"producer sends " << channels << L" channels, " << bitsPerSample << L" bits, " << samplesPerSecond
        << L" per second; the camera takes only " << m_Channels << L" channels, " << m_BitsPerSample << L" bits, "
        << m_SamplesPerSecond << L" per second: streaming silence";
  }
  return 0;
}

std::int32_t CorvaneAudioStream::OnAudioPreview(telvor::SharedAudio* channel, double, const std::uint8_t* payload,
                                                std::uint32_t length, void* user) {
  if (!payload) return 0;
  // The producer's length field is not to be trusted: never let a later copy
  // read past the slot.
  // Only whole sample frames count: a packet without one would become a
  // sample that moves no time forward.
  auto* pin = static_cast<CorvaneAudioStream*>(user);
  const std::uint64_t sequence = telvor::HeaderBeforePayload(payload).audio_sequence;
  if (pin->m_SkipHistory) {
    if (static_cast<std::int32_t>(static_cast<std::uint32_t>(sequence) - pin->m_HistoryEnd) < 0) return 0;
    pin->m_SkipHistory = false;
  }
  const std::uint32_t blockAlign = pin->m_Channels * pin->m_BitsPerSample / 8;
  std::uint32_t usable = std::min(length, channel->PayloadCapacity());
  usable -= usable % blockAlign;
  if (usable == 0) return 0;
  telvor::AudioPacket packet;
  packet.payload = payload;
  packet.length = usable;
  packet.sequence = sequence;
  packet.channel = channel;
  packet.arrival = telvor::CounterNow100ns();
  pin->m_Packets.Push(packet);
  pin->m_Pacing.Arrived(packet.arrival);
  return 0;
}
