#include "transport/SharedAudio.h"

namespace telvor {
namespace {

// The channel count is deliberately not required: a producer announcing 0
// channels still gets its format through, and the owner decides.
bool AudioFormatUsable(const SlotHeader& header) {
  return header.audio_bits_per_sample != 0 && header.audio_samples_per_second != 0;
}

std::int32_t AnnounceAudio(SharedChannel* channel, const SlotHeader& header) {
  auto* audio = static_cast<SharedAudio*>(channel);
  if (!audio->on_format_changed) return 0;
  return audio->on_format_changed(audio, header, audio->user);
}

bool HasAudioPreview(const SharedChannel* channel) {
  return static_cast<const SharedAudio*>(channel)->on_audio_preview != nullptr;
}

std::int32_t PreviewAudio(SharedChannel* channel, double sample_time, const std::uint8_t* payload,
                          std::uint32_t length) {
  auto* audio = static_cast<SharedAudio*>(channel);
  return audio->on_audio_preview(audio, sample_time, payload, length, audio->user);
}

const ChannelKind kAudioKind = {
    L"SharedAudio",
    L"SharedAudio::Create",
    L"SharedAudio::Run",
    L"SharedAudio::Close",
    L"SharedAudio::ThreadProc",
    L"KAVO.VCAM.A.SHARE.MEMORY.%02d",
    L"KAVO.VCAM.A.MUTEX.%02d",
    L"KAVO.VCAM.A.PRODUCER.%02d",
    kAudioSlotCount,
    offsetof(SlotHeader, audio_capacity),
    offsetof(SlotHeader, audio_sequence),
    offsetof(SlotHeader, audio_timestamp),
    /*compare_low32=*/true,
    /*trace_each_frame=*/false,
    /*waiting_state_text=*/L"state=",
    L"Audio state=",
    L"audio state=",
    L"on_audio_preview failed, ret=",
    &AudioFormatUsable,
    &AnnounceAudio,
    &HasAudioPreview,
    &PreviewAudio,
};

}  // namespace

SharedAudio::SharedAudio() : SharedChannel(kAudioKind) {}

// Stops the reader while this object's callback fields still exist.
SharedAudio::~SharedAudio() { Close(); }

}  // namespace telvor
