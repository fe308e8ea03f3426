#include "FrameSaver.h"

#include "CommandLine.h"
#include "ImageFiles.h"

namespace capture {

bool FrameSaver::OpenRaw(const std::string& path, std::string& error) {
  m_Raw.reset(tools::OpenFile(path, L"wb"));
  if (!m_Raw) error = "cannot create " + path;
  return static_cast<bool>(m_Raw);
}

bool FrameSaver::OpenWav(const std::string& path, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                         std::string& error) {
  m_Wav.reset(tools::OpenFile(path, L"wb"));
  if (!m_Wav) {
    error = "cannot create " + path;
    return false;
  }
  m_WavChannels = channels;
  m_WavRate = rate;
  m_WavBits = bits;
  // A placeholder header; Finish writes the real sizes.
  const std::vector<std::uint8_t> header = WavHeader(channels, rate, bits, 0);
  m_WriteFailed |= std::fwrite(header.data(), 1, header.size(), m_Wav.get()) != header.size();
  return true;
}

void FrameSaver::Save(const std::uint8_t* data, std::size_t size) {
  if (m_Wav) {
    m_WriteFailed |= std::fwrite(data, 1, size, m_Wav.get()) != size;
    m_WavBytes += size;
  }
  if (m_Limit != 0 && m_Saved >= m_Limit) return;
  if (!m_Raw && m_PngPrefix.empty()) return;
  if (m_Raw) m_WriteFailed |= std::fwrite(data, 1, size, m_Raw.get()) != size;
  if (!m_PngPrefix.empty()) m_WriteFailed |= !WritePng(data, size);
  ++m_Saved;
}

bool FrameSaver::WritePng(const std::uint8_t* data, std::size_t size) {
  if (!PictureToRgb(m_Layout, data, size, m_Rgb)) return false;
  const std::vector<std::uint8_t> png = EncodePng(m_Layout.width, m_Layout.height, m_Rgb);
  char number[16];
  std::snprintf(number, sizeof number, "%05u.png", m_Saved);
  File file(tools::OpenFile(m_PngPrefix + number, L"wb"));
  return file && std::fwrite(png.data(), 1, png.size(), file.get()) == png.size();
}

bool FrameSaver::Finish(std::string& error) {
  if (m_Wav) {
    const std::uint32_t bytes = m_WavBytes > 0xFFFFFFFFu - 36 ? 0xFFFFFFFFu - 36 : static_cast<std::uint32_t>(m_WavBytes);
    const std::vector<std::uint8_t> header = WavHeader(m_WavChannels, m_WavRate, m_WavBits, bytes);
    m_WriteFailed |= std::fseek(m_Wav.get(), 0, SEEK_SET) != 0;
    m_WriteFailed |= std::fwrite(header.data(), 1, header.size(), m_Wav.get()) != header.size();
    m_WriteFailed |= std::fclose(m_Wav.release()) != 0;
  }
  if (m_Raw) m_WriteFailed |= std::fclose(m_Raw.release()) != 0;
  if (m_WriteFailed) error = "writing the saved frames or sound failed (disk full, or a picture that could not be converted)";
  return !m_WriteFailed;
}

}  // namespace capture
