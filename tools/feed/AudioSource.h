// Sound for telvor-feed: a sine tone or a looped 16-bit stereo 48 kHz WAV
// file, handed out in fixed-size packets of interleaved samples.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace feed {

inline constexpr std::uint32_t kAudioRate = 48000;
inline constexpr std::uint32_t kAudioChannels = 2;
inline constexpr std::uint32_t kAudioFrameBytes = 4;  // one 16-bit stereo sample frame

class AudioSource {
 public:
  // A tone of `frequency` Hz at a quarter of full scale on both channels.
  explicit AudioSource(double frequency);
  // Fails (false, with a message) for files that are not 16-bit stereo 48 kHz PCM.
  bool OpenWav(const std::wstring& path, std::string& error);

  // Fills `frames` sample frames (4 bytes each) into out.
  void Fill(std::int16_t* out, std::uint32_t frames);

 private:
  double frequency_;
  std::uint64_t position_ = 0;       // sample frames generated so far
  std::vector<std::int16_t> wav_;    // the whole data chunk; empty for the tone
};

}  // namespace feed
