// The calls a shared-memory channel makes into its owner. Plain functions with
// a user pointer rather than interfaces: they run on the channel's reader
// thread while it holds the producer's mutex, so they must be short and must
// never wait for the owner's thread. Any non-zero result ends the reader.
//
// What a consumer may rely on, and what it must check itself
// -----------------------------------------------------------
// The payload pointer and length are handed on exactly as the producer wrote
// them: the length is the slot's length field and is NOT clipped to the slot
// capacity, because the producer is another program and may write anything.
// The channel guarantees only this: before it announces a format it has
// checked that the whole ring, slots x (capacity + 84) bytes, lies inside the
// mapped section, so `payload` .. `payload + PayloadCapacity()` is always
// readable. Therefore every consumer bounds each read by
//     min(length, channel->PayloadCapacity())
// (and by its own idea of a frame or packet size). PayloadCapacity() is valid
// from the on_format_changed call onwards and does not change while the
// reader runs. The bytes are stable only during the call: the producer may
// rewrite the slot as soon as the reader releases the mutex. The pointer stays
// readable until the channel is closed.
//
// Sample times are seconds counted from the first item this reader run handed
// to the preview callback, so the first delivered frame or packet has 0.0.
#pragma once

#include <cstdint>

#include "transport/SlotHeader.h"

namespace telvor {

class SharedVideo;
class SharedAudio;

// The producer's format as slot 0's header announced it (a copy, read under
// the producer's mutex); the owner reads the fields of its kind.
using on_video_format_changed_fn = std::int32_t (*)(SharedVideo* channel, const SlotHeader& header, void* user);
using on_audio_format_changed_fn = std::int32_t (*)(SharedAudio* channel, const SlotHeader& header, void* user);

// One call per delivered frame or packet, in sequence order.
using on_video_preview_fn = std::int32_t (*)(SharedVideo* channel, double sample_time,
                                             const std::uint8_t* payload, std::uint32_t length, void* user);
using on_audio_preview_fn = std::int32_t (*)(SharedAudio* channel, double sample_time,
                                             const std::uint8_t* payload, std::uint32_t length, void* user);

}  // namespace telvor
