// What one audio buffer holds: a producer's packet or silence. Its times are
// the framework loop's, counted by the audio delivered, not the producer's
// timestamps.
#pragma once

#include <windows.h>
#include <mmreg.h>
#include <strmif.h>

#include "filter/audio/AudioPacketQueue.h"

namespace telvor {

// Bytes of silence sent when no packet arrived in time: 256 frames of
// 16-bit stereo, about 5.3 ms at 48 kHz.
inline constexpr long kSilenceBytes = 1024;

// Fills `buffer` (of `size` bytes) with the packet's payload not yet sent,
// cut to the buffer, or, without a packet, with up to kSilenceBytes of zero
// samples.
// Returns the number of bytes written; never more than `size`.
long FillAudioBuffer(const AudioPacket* packet, BYTE* buffer, long size, WORD bitsPerSample);

}  // namespace telvor
