#include "ImageFiles.h"

#include <algorithm>
#include <array>

#include "imaging/Pixel.h"

namespace capture {
namespace {

constexpr std::size_t kStoredBlockMax = 65535;

std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

void PutBig32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void PutLittle(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutChunk(std::vector<std::uint8_t>& out, const char type[4], const std::vector<std::uint8_t>& body) {
  PutBig32(out, static_cast<std::uint32_t>(body.size()));
  const std::size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), body.begin(), body.end());
  PutBig32(out, Crc32(out.data() + typeAt, out.size() - typeAt));
}

// zlib stream of stored deflate blocks: no compression, but a valid stream.
std::vector<std::uint8_t> StoredZlib(const std::vector<std::uint8_t>& raw) {
  std::vector<std::uint8_t> z = {0x78, 0x01};
  std::size_t at = 0;
  do {
    const std::size_t n = std::min(kStoredBlockMax, raw.size() - at);
    const bool final = at + n == raw.size();
    z.push_back(final ? 1 : 0);
    PutLittle(z, static_cast<std::uint32_t>(n), 2);
    PutLittle(z, static_cast<std::uint32_t>(~n & 0xFFFF), 2);
    z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at), raw.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  } while (at < raw.size());
  PutBig32(z, Adler32(raw.data(), raw.size()));
  return z;
}

void SwapRedBlue(std::vector<std::uint8_t>& rgb) {
  for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
  static const std::array<std::uint32_t, 256> table = MakeCrcTable();
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::uint32_t Adler32(const std::uint8_t* data, std::size_t size, std::uint32_t adler) {
  std::uint32_t a = adler & 0xFFFF, b = adler >> 16;
  for (std::size_t i = 0; i < size; ++i) {
    a = (a + data[i]) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

std::vector<std::uint8_t> EncodePng(std::int32_t width, std::int32_t height, const std::vector<std::uint8_t>& rgb) {
  const std::size_t rowBytes = static_cast<std::size_t>(width > 0 ? width : 0) * 3;
  if (width <= 0 || height <= 0 || rgb.size() < rowBytes * static_cast<std::size_t>(height)) return {};
  std::vector<std::uint8_t> raw;
  raw.reserve((rowBytes + 1) * static_cast<std::size_t>(height));
  for (std::int32_t y = 0; y < height; ++y) {
    raw.push_back(0);  // filter type None
    const auto row = rgb.begin() + static_cast<std::ptrdiff_t>(rowBytes * static_cast<std::size_t>(y));
    raw.insert(raw.end(), row, row + static_cast<std::ptrdiff_t>(rowBytes));
  }
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  PutBig32(header, static_cast<std::uint32_t>(width));
  PutBig32(header, static_cast<std::uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter set, no interlace
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", StoredZlib(raw));
  PutChunk(png, "IEND", {});
  return png;
}

bool PictureToRgb(const PictureLayout& l, const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& rgb) {
  const std::size_t need = PictureBytes(l);
  if (!data || need == 0 || size < need) return false;
  const PxSize px = {l.width, l.height};
  const std::int32_t rgbStride = l.width * 3;
  rgb.assign(static_cast<std::size_t>(rgbStride) * static_cast<std::size_t>(l.height), 0);
  // Bottom-up RGB is read from its last row with a negative pitch.
  const std::uint8_t* top = l.bottomUp ? data + static_cast<std::size_t>(l.stride) * (l.height - 1) : data;
  const std::int32_t pitch = l.bottomUp ? -l.stride : l.stride;
  PxStatus status = kPxNullPointer;
  switch (l.format) {
    case PixelFormat::kYuy2: status = PxYuy2ToBgr(data, l.stride, rgb.data(), rgbStride, px); break;
    case PixelFormat::kYv12: {
      const std::uint8_t* y = data;
      const std::uint8_t* cr = y + static_cast<std::size_t>(l.stride) * l.height;
      const std::uint8_t* cb = cr + static_cast<std::size_t>(l.stride / 2) * (l.height / 2);
      const std::uint8_t* planes[3] = {y, cb, cr};
      const std::int32_t strides[3] = {l.stride, l.stride / 2, l.stride / 2};
      status = PxI420ToBgr(planes, strides, rgb.data(), rgbStride, px);
      break;
    }
    case PixelFormat::kRgb24: status = PxCopyPlane(top, pitch, rgb.data(), rgbStride, {rgbStride, l.height}); break;
    case PixelFormat::kRgb32: status = PxBgraToBgr(top, pitch, rgb.data(), rgbStride, px); break;
    default: return false;
  }
  if (status < 0) return false;
  SwapRedBlue(rgb);
  return true;
}

std::vector<std::uint8_t> WavHeader(std::uint16_t channels, std::uint32_t samplesPerSecond,
                                    std::uint16_t bitsPerSample, std::uint32_t dataBytes) {
  const std::uint32_t blockAlign = channels * ((bitsPerSample + 7u) / 8u);
  std::vector<std::uint8_t> h = {'R', 'I', 'F', 'F'};
  PutLittle(h, dataBytes > 0xFFFFFFFFu - 36 ? 0xFFFFFFFFu : 36 + dataBytes, 4);
  h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLittle(h, 16, 4);
  PutLittle(h, 1, 2);  // PCM
  PutLittle(h, channels, 2);
  PutLittle(h, samplesPerSecond, 4);
  PutLittle(h, samplesPerSecond * blockAlign, 4);
  PutLittle(h, blockAlign, 2);
  PutLittle(h, bitsPerSample, 2);
  h.insert(h.end(), {'d', 'a', 't', 'a'});
  PutLittle(h, dataBytes, 4);
  return h;
}

}  // namespace capture
