#include "AudioSource.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "CommandLine.h"

namespace feed {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

AudioSource::AudioSource(double frequency) : frequency_(frequency) {}

bool AudioSource::OpenWav(const std::wstring& wide_path, std::string& error) {
  const std::string path = tools::Utf8(wide_path);
  std::FILE* raw = _wfopen(wide_path.c_str(), L"rb");
  if (!raw) {
    error = "cannot open " + path;
    return false;
  }
  std::unique_ptr<std::FILE, FileCloser> file(raw);
  unsigned char riff[12];
  if (std::fread(riff, 1, 12, raw) != 12 || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    error = path + " is not a RIFF WAVE file";
    return false;
  }
  bool format_ok = false;
  unsigned char chunk[8];
  while (std::fread(chunk, 1, 8, raw) == 8) {
    const std::uint32_t size = Le32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      unsigned char fmt[16];
      if (size < 16 || std::fread(fmt, 1, 16, raw) != 16) break;
      const std::uint16_t tag = Le16(fmt);
      format_ok = (tag == 1 || tag == 0xFFFE) && Le16(fmt + 2) == kAudioChannels && Le32(fmt + 4) == kAudioRate &&
                  Le16(fmt + 14) == 16;
      if (!format_ok) {
        error = path + " is not 16-bit stereo PCM at 48000 samples per second";
        return false;
      }
      std::fseek(raw, static_cast<long>(size - 16 + (size & 1)), SEEK_CUR);
    } else if (std::memcmp(chunk, "data", 4) == 0 && format_ok) {
      const std::uint32_t frames = size / kAudioFrameBytes;
      wav_.resize(static_cast<std::size_t>(frames) * kAudioChannels);
      const std::size_t got = std::fread(wav_.data(), kAudioFrameBytes, frames, raw);
      wav_.resize(got * kAudioChannels);
      if (wav_.empty()) error = path + " holds no samples";
      return !wav_.empty();
    } else {
      std::fseek(raw, static_cast<long>(size + (size & 1)), SEEK_CUR);
    }
  }
  error = path + (format_ok ? " has no data chunk" : " has no usable fmt chunk");
  return false;
}

void AudioSource::Fill(std::int16_t* out, std::uint32_t frames) {
  if (!wav_.empty()) {
    const std::size_t total = wav_.size() / kAudioChannels;
    for (std::uint32_t i = 0; i < frames; ++i) {
      const std::size_t at = static_cast<std::size_t>((position_ + i) % total) * kAudioChannels;
      out[2 * i] = wav_[at];
      out[2 * i + 1] = wav_[at + 1];
    }
  } else {
    for (std::uint32_t i = 0; i < frames; ++i) {
      // From the frame count, not an accumulated phase: packet n depends only on n.
      const double phase = 2.0 * kPi * frequency_ * static_cast<double>(position_ + i) / kAudioRate;
      const auto value = static_cast<std::int16_t>(std::lround(8191.0 * std::sin(phase)));
      out[2 * i] = value;
      out[2 * i + 1] = value;
    }
  }
  position_ += frames;
}

}  // namespace feed
