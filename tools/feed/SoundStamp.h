// The write time of a sound packet, carried in the sound itself: telvor-feed
// writes it into the first four sample frames of each packet, and
// telvor-capture reads it back from what the camera delivered, as the stamp
// band does for pictures. The camera copies 16-bit samples unchanged, so
// the mark survives wherever the packet lands in a delivered buffer.
//
// Frame 0: left a fixed pattern, right its complement. Frames 1-3: left the
// low 48 bits of the write time (telvor_clock_now, 100-ns units, low word
// first), right the packet's number (low word first) and a check word.
#pragma once

#include <cstddef>
#include <cstdint>

namespace feed {

inline constexpr std::uint16_t kSoundMark = 0x5A3C;
inline constexpr std::uint32_t kSoundStampFrames = 4;
inline constexpr std::uint64_t kSoundTimeMask = (std::uint64_t{1} << 48) - 1;

struct SoundStamp {
  std::uint64_t time = 0;    // low 48 bits of the write time
  std::uint32_t packet = 0;  // the producer's packet number
};

inline std::uint16_t SoundCheck(const std::uint16_t words[6]) {
  std::uint16_t check = 0x1D0F;
  for (int i = 0; i < 6; ++i) check = static_cast<std::uint16_t>((check << 3 | check >> 13) ^ words[i]);
  return check;
}

// Writes the mark into the first frames of interleaved 16-bit stereo
// `samples` holding `frames` frames; nothing when the packet is shorter.
inline void WriteSoundStamp(const SoundStamp& stamp, std::int16_t* samples, std::uint32_t frames) {
  if (frames < kSoundStampFrames) return;
  const std::uint16_t words[6] = {static_cast<std::uint16_t>(stamp.time), static_cast<std::uint16_t>(stamp.time >> 16),
                                  static_cast<std::uint16_t>(stamp.time >> 32), static_cast<std::uint16_t>(stamp.packet),
                                  static_cast<std::uint16_t>(stamp.packet >> 16), 0};
  const std::uint16_t out[8] = {kSoundMark, static_cast<std::uint16_t>(~kSoundMark), words[0], words[3],
                                words[1],   words[4],                              words[2], SoundCheck(words)};
  for (int i = 0; i < 8; ++i) samples[i] = static_cast<std::int16_t>(out[i]);
}

// Looks for a mark in `bytes` of interleaved 16-bit stereo sound and reads
// the first one found; false when there is none.
inline bool ReadSoundStamp(const std::uint8_t* bytes, std::size_t size, SoundStamp& stamp) {
  const std::size_t frames = size / 4;
  auto word = [bytes](std::size_t frame, int channel) {
    const std::uint8_t* p = bytes + frame * 4 + static_cast<std::size_t>(channel) * 2;
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
  };
  for (std::size_t f = 0; f + kSoundStampFrames <= frames; ++f) {
    if (word(f, 0) != kSoundMark || word(f, 1) != static_cast<std::uint16_t>(~kSoundMark)) continue;
    const std::uint16_t words[6] = {word(f + 1, 0), word(f + 2, 0), word(f + 3, 0), word(f + 1, 1), word(f + 2, 1), 0};
    if (SoundCheck(words) != word(f + 3, 1)) continue;
    stamp.time = std::uint64_t{words[0]} | std::uint64_t{words[1]} << 16 | std::uint64_t{words[2]} << 32;
    stamp.packet = std::uint32_t{words[3]} | std::uint32_t{words[4]} << 16;
    return true;
  }
  return false;
}

// 100-ns units from a mark's time to `now` (a reading of the same clock),
// modulo its 48 bits.
inline std::int64_t SoundStampAge(std::uint64_t time, std::uint64_t now) {
  return static_cast<std::int64_t>((now - time) & kSoundTimeMask);
}

}  // namespace feed
