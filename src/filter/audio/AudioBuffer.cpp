#include "filter/audio/AudioBuffer.h"

#include <algorithm>

#include "imaging/Pixel.h"

namespace telvor {

long FillAudioBuffer(const AudioPacket* packet, BYTE* buffer, long size, WORD bitsPerSample) {
  if (!buffer || size <= 0) return 0;
  if (packet) {
    if (packet->sent >= packet->length) return 0;
    const unsigned long left = packet->length - packet->sent;
    long n = static_cast<long>(std::min<unsigned long>(left, static_cast<unsigned long>(size)));
    if (n > 0 && PxCopyBytes(packet->payload + packet->sent, buffer, n) < 0) return 0;
    return n;
  }
  long n = std::min(kSilenceBytes, size);
  // n x 8 / bits values of 16 bits are n bytes for the 16-bit format; the
  // bound keeps any other format from writing past the buffer.
  long values = bitsPerSample ? n * 8 / bitsPerSample : n / 2;
  values = std::min(values, n / 2);
  if (values > 0 && PxFill16(0, buffer, values) < 0) return 0;
  // An odd tail (a buffer of odd size) is still silence, not stale bytes.
  for (long i = values * 2; i < n; ++i) buffer[i] = 0;
  return n;
}

}  // namespace telvor
