// What one audio buffer holds and when it plays.
//
// Times count the audio delivered since the stream started, not the
// producer's timestamps: a sample's stop time is where the next one starts,
// and the clock is asked to wake the pin when that much audio has played.
#pragma once

#include <windows.h>
#include <mmreg.h>
#include <strmif.h>

#include "filter/AudioPacketQueue.h"

namespace telvor {

// Bytes of silence sent when no packet arrived in time: 256 frames of
// 16-bit stereo, about 5.3 ms at 48 kHz.
inline constexpr long kSilenceBytes = 1024;

struct AudioSpan {
  REFERENCE_TIME start = 0;
  REFERENCE_TIME stop = 0;
  LONGLONG mediaStart = 0;
  LONGLONG mediaStop = 0;
};

class AudioTimeline {
 public:
  void Reset() {
    m_MediaPosition = 0;
    m_StreamPosition = 0;
  }
  // Accounts for `bytes` of `format` as delivered. Only whole frames count;
  // the duration is truncated to 100-ns units for each buffer on its own.
  AudioSpan Advance(long bytes, const WAVEFORMATEX& format);
  REFERENCE_TIME StreamPosition() const { return m_StreamPosition; }
  LONGLONG MediaPosition() const { return m_MediaPosition; }

 private:
  LONGLONG m_MediaPosition = 0;         // sample frames delivered
  REFERENCE_TIME m_StreamPosition = 0;  // end time of the last buffer
};

// Fills `buffer` (of `size` bytes) with the packet's payload cut to the
// buffer, or, without a packet, with up to kSilenceBytes of zero samples.
// Returns the number of bytes written; never more than `size`.
long FillAudioBuffer(const AudioPacket* packet, BYTE* buffer, long size, WORD bitsPerSample);

}  // namespace telvor
