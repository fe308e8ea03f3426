// Writes what the sink receives to files: raw bytes, PNG pictures, a WAV file.
// Runs on the streaming thread, inside the delivery path; users choose how
// many frames it writes because it costs time there.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FrameBand.h"

namespace capture {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

class FrameSaver {
 public:
  // `limit` frames are written (0: all); audio is always written whole.
  FrameSaver(const PictureLayout& layout, std::uint32_t limit) : m_Layout(layout), m_Limit(limit) {}

  // False with a message when a file cannot be created.
  bool OpenRaw(const std::string& path, std::string& error);
  void SetPngPrefix(const std::string& prefix) { m_PngPrefix = prefix; }
  bool OpenWav(const std::string& path, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
               std::string& error);

  void Save(const std::uint8_t* data, std::size_t size);
  // Completes the WAV header; false with a message when writing failed.
  bool Finish(std::string& error);

  std::uint32_t FramesSaved() const { return m_Saved; }

 private:
  bool WritePng(const std::uint8_t* data, std::size_t size);

  PictureLayout m_Layout;
  std::uint32_t m_Limit;
  std::uint32_t m_Saved = 0;
  File m_Raw;
  std::string m_PngPrefix;
  File m_Wav;
  std::uint16_t m_WavChannels = 0, m_WavBits = 0;
  std::uint32_t m_WavRate = 0;
  std::uint64_t m_WavBytes = 0;
  bool m_WriteFailed = false;
  std::vector<std::uint8_t> m_Rgb;  // reused: one picture's worth, allocated once
};

}  // namespace capture
