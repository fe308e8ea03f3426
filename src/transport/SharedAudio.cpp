#include "transport/SharedAudio.h"

#include "transport/ChannelNames.h"

namespace telvor {
namespace {

// The channel count is deliberately not required: a producer announcing 0
// channels still gets its format through, and the owner decides.
bool AudioFormatUsable(const SlotHeader& header) {
  return header.audio_bits_per_sample != 0 && header.audio_samples_per_second != 0;
}

bool SameAudioFormat(const SlotHeader& a, const SlotHeader& b) {
  return a.audio_channels == b.audio_channels && a.audio_bits_per_sample == b.audio_bits_per_sample &&
         a.audio_samples_per_second == b.audio_samples_per_second;
}

using Hooks = ChannelHooks<SharedAudio, on_audio_preview_fn, &SharedAudio::on_audio_preview>;

ChannelKind MakeAudioKind() {
  ChannelKind kind = {};
  kind.unit = L"SharedAudio";
  kind.create_function = L"SharedAudio::Create";
  kind.thread_function = L"SharedAudio::ThreadProc";
  kind.mapping_name = kAudioChannelNames.mapping;
  kind.mutex_name = kAudioChannelNames.mutex;
  kind.producer_name = kAudioChannelNames.producer;
  kind.written_names[0] = kAudioChannelNames.written[0];
  kind.written_names[1] = kAudioChannelNames.written[1];
  kind.slot_count = kAudioSlotCount;
  kind.capacity_offset = offsetof(SlotHeader, audio_capacity);
  kind.sequence_offset = offsetof(SlotHeader, audio_sequence);
  kind.timestamp_offset = offsetof(SlotHeader, audio_timestamp);
  kind.compare_low32 = true;
  kind.trace_each_frame = false;
  kind.waiting_state_text = L"state=";
  kind.idle_state_text = L"Audio state=";
  kind.running_state_text = L"audio state=";
  kind.preview_failed_text = L"on_audio_preview failed, ret=";
  kind.format_usable = &AudioFormatUsable;
  kind.same_format = &SameAudioFormat;
  kind.announce = &Hooks::Announce;
  kind.has_preview = &Hooks::HasPreview;
  kind.preview = &Hooks::Deliver;
  return kind;
}

const ChannelKind kAudioKind = MakeAudioKind();

}  // namespace

const ChannelKind& AudioChannelKind() { return kAudioKind; }

SharedAudio::SharedAudio() : SharedChannel(kAudioKind) {}

// Stops the reader while this object's callback fields still exist.
SharedAudio::~SharedAudio() { Close(); }

}  // namespace telvor
