#include "Picture.h"

#include <dshow.h>
#include <dvdmedia.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwctype>

#include "CommandLine.h"
#include "FrameBand.h"
#include "ImageFiles.h"

namespace appcheck {
namespace {

enum class Packing { kUnknown, kI420, kYv12, kNv12, kYuy2, kUyvy, kYvyu, kRgb24, kRgb32, kRgb565, kRgb555, kCompressed };

struct SubtypeInfo {
  const char* name;
  GUID guid;
  Packing packing;
  DWORD compression;
  WORD bits;
};

const std::vector<SubtypeInfo>& Subtypes() {
  static const std::vector<SubtypeInfo> table = {
      {"I420", FourCcSubtype(FourCc('I', '4', '2', '0')), Packing::kI420, FourCc('I', '4', '2', '0'), 12},
      {"IYUV", MEDIASUBTYPE_IYUV, Packing::kI420, FourCc('I', 'Y', 'U', 'V'), 12},
      {"YV12", MEDIASUBTYPE_YV12, Packing::kYv12, FourCc('Y', 'V', '1', '2'), 12},
      {"NV12", MEDIASUBTYPE_NV12, Packing::kNv12, FourCc('N', 'V', '1', '2'), 12},
      {"YUY2", MEDIASUBTYPE_YUY2, Packing::kYuy2, FourCc('Y', 'U', 'Y', '2'), 16},
      {"YUYV", FourCcSubtype(FourCc('Y', 'U', 'Y', 'V')), Packing::kYuy2, FourCc('Y', 'U', 'Y', 'V'), 16},
      {"UYVY", MEDIASUBTYPE_UYVY, Packing::kUyvy, FourCc('U', 'Y', 'V', 'Y'), 16},
      {"YVYU", FourCcSubtype(FourCc('Y', 'V', 'Y', 'U')), Packing::kYvyu, FourCc('Y', 'V', 'Y', 'U'), 16},
      {"RGB24", MEDIASUBTYPE_RGB24, Packing::kRgb24, BI_RGB, 24},
      {"RGB32", MEDIASUBTYPE_RGB32, Packing::kRgb32, BI_RGB, 32},
      {"ARGB32", MEDIASUBTYPE_ARGB32, Packing::kRgb32, BI_RGB, 32},
      {"RGB555", MEDIASUBTYPE_RGB555, Packing::kRgb555, BI_RGB, 16},
      {"RGB565", MEDIASUBTYPE_RGB565, Packing::kRgb565, BI_BITFIELDS, 16},
      {"MJPG", MEDIASUBTYPE_MJPG, Packing::kCompressed, FourCc('M', 'J', 'P', 'G'), 24},
      {"YVU9", FourCcSubtype(FourCc('Y', 'V', 'U', '9')), Packing::kUnknown, FourCc('Y', 'V', 'U', '9'), 9},
      {"Y411", FourCcSubtype(FourCc('Y', '4', '1', '1')), Packing::kUnknown, FourCc('Y', '4', '1', '1'), 12},
      {"Y41P", FourCcSubtype(FourCc('Y', '4', '1', 'P')), Packing::kUnknown, FourCc('Y', '4', '1', 'P'), 12},
      {"Y211", FourCcSubtype(FourCc('Y', '2', '1', '1')), Packing::kUnknown, FourCc('Y', '2', '1', '1'), 8},
      {"AYUV", FourCcSubtype(FourCc('A', 'Y', 'U', 'V')), Packing::kUnknown, FourCc('A', 'Y', 'U', 'V'), 32},
      {"Y800", FourCcSubtype(FourCc('Y', '8', '0', '0')), Packing::kUnknown, FourCc('Y', '8', '0', '0'), 8},
  };
  return table;
}

const SubtypeInfo* Find(const GUID& subtype) {
  for (const SubtypeInfo& info : Subtypes()) {
    if (IsEqualGUID(info.guid, subtype)) return &info;
  }
  return nullptr;
}

Packing PackingOf(const GUID& subtype) {
  const SubtypeInfo* info = Find(subtype);
  return info ? info->packing : Packing::kUnknown;
}

bool IsPlanar420(Packing p) { return p == Packing::kI420 || p == Packing::kYv12 || p == Packing::kNv12; }
bool IsRgb(Packing p) {
  return p == Packing::kRgb24 || p == Packing::kRgb32 || p == Packing::kRgb565 || p == Packing::kRgb555;
}

std::int32_t DibRow(std::int32_t width, WORD bits) {
  return static_cast<std::int32_t>((std::int64_t{width} * bits + 31) / 32 * 4);
}

std::uint8_t Clamp(int value) { return static_cast<std::uint8_t>(std::min(255, std::max(0, value))); }

void YuvToRgb(int y, int u, int v, std::uint8_t rgb[3]) {
  // Studio-range BT.601, as the camera and telvor-feed use.
  const int c = (y - 16) * 298, d = u - 128, e = v - 128;
  rgb[0] = Clamp((c + 409 * e + 128) >> 8);
  rgb[1] = Clamp((c - 100 * d - 208 * e + 128) >> 8);
  rgb[2] = Clamp((c + 516 * d + 128) >> 8);
}

// The colour of one pixel, (x, y) counted from the top-left as shown.
void RgbAt(const Layout& l, Packing packing, const std::uint8_t* data, std::int32_t x, std::int32_t y,
           std::uint8_t rgb[3]) {
  const std::int32_t row = l.bottomUp ? l.height - 1 - y : y;
  const std::size_t line = static_cast<std::size_t>(row) * static_cast<std::size_t>(l.stride);
  const std::size_t lumaPlane = static_cast<std::size_t>(l.stride) * static_cast<std::size_t>(l.height);
  const std::size_t chromaStride = static_cast<std::size_t>(l.stride / 2);
  const std::size_t chromaPlane = chromaStride * static_cast<std::size_t>(l.height / 2);
  const std::size_t chromaAt = static_cast<std::size_t>(row / 2) * chromaStride + static_cast<std::size_t>(x / 2);
  const std::uint8_t* p = data + line;
  switch (packing) {
    case Packing::kI420:
      return YuvToRgb(p[x], data[lumaPlane + chromaAt], data[lumaPlane + chromaPlane + chromaAt], rgb);
    case Packing::kYv12:
      return YuvToRgb(p[x], data[lumaPlane + chromaPlane + chromaAt], data[lumaPlane + chromaAt], rgb);
    case Packing::kNv12: {
      const std::uint8_t* uv = data + lumaPlane + static_cast<std::size_t>(row / 2) * l.stride + (x & ~1);
      return YuvToRgb(p[x], uv[0], uv[1], rgb);
    }
    case Packing::kYuy2: {
      const std::uint8_t* pair = p + (x & ~1) * 2;
      return YuvToRgb(pair[(x & 1) * 2], pair[1], pair[3], rgb);
    }
    case Packing::kYvyu: {
      const std::uint8_t* pair = p + (x & ~1) * 2;
      return YuvToRgb(pair[(x & 1) * 2], pair[3], pair[1], rgb);
    }
    case Packing::kUyvy: {
      const std::uint8_t* pair = p + (x & ~1) * 2;
      return YuvToRgb(pair[1 + (x & 1) * 2], pair[0], pair[2], rgb);
    }
    case Packing::kRgb24:
    case Packing::kRgb32: {
      const std::uint8_t* px = p + static_cast<std::size_t>(x) * (packing == Packing::kRgb24 ? 3 : 4);
      rgb[0] = px[2], rgb[1] = px[1], rgb[2] = px[0];
      return;
    }
    case Packing::kRgb565:
    case Packing::kRgb555: {
      const unsigned v = p[x * 2] | (p[x * 2 + 1] << 8);
      const bool six = packing == Packing::kRgb565;
      rgb[0] = static_cast<std::uint8_t>(((v >> (six ? 11 : 10)) & 31) * 255 / 31);
      rgb[1] = static_cast<std::uint8_t>(six ? ((v >> 5) & 63) * 255 / 63 : ((v >> 5) & 31) * 255 / 31);
      rgb[2] = static_cast<std::uint8_t>((v & 31) * 255 / 31);
      return;
    }
    default: rgb[0] = rgb[1] = rgb[2] = 0;
  }
}

// The same picture as telvor-capture's band reader sees it. The reader looks
// at brightness only: every 4:2:0 layout shares YV12's luma plane, and UYVY's
// luma sits one byte further on than YUY2's.
bool BandLayout(const Layout& l, Packing packing, const std::uint8_t*& data, std::size_t& size,
                capture::PictureLayout& out) {
  out.width = l.width;
  out.height = l.height;
  out.stride = l.stride;
  out.bottomUp = l.bottomUp;
  switch (packing) {
    case Packing::kI420:
    case Packing::kYv12:
    case Packing::kNv12: out.format = capture::PixelFormat::kYv12; return true;
    case Packing::kYuy2:
    case Packing::kYvyu: out.format = capture::PixelFormat::kYuy2; return true;
    case Packing::kUyvy:
      if (size < 1) return false;
      ++data, --size;
      out.format = capture::PixelFormat::kYuy2;
      return true;
    case Packing::kRgb24: out.format = capture::PixelFormat::kRgb24; return true;
    case Packing::kRgb32: out.format = capture::PixelFormat::kRgb32; return true;
    default: return false;
  }
}

// telvor-feed's picture right way up has its frame number's black box in the
// top-left corner and the white bar down the whole left edge; upside down,
// the corner below is the dark one.
int Orientation(const capture::PictureLayout& l, const std::uint8_t* data, std::size_t size,
                const capture::ContentRect& c) {
  const int top = capture::Brightness(l, data, size, c.x + 1, c.y + 1);
  const int bottom = capture::Brightness(l, data, size, c.x + 1, c.y + c.height - 2);
  if (top < 0 || bottom < 0) return 0;
  if (top < 64 && bottom >= 128) return 1;
  if (top >= 128 && bottom < 64) return -1;
  return 0;
}

}  // namespace

GUID FourCcSubtype(DWORD fourcc) {
  GUID guid = MEDIASUBTYPE_YUY2;
  guid.Data1 = fourcc;
  return guid;
}

std::string SubtypeName(const GUID& subtype) {
  if (const SubtypeInfo* info = Find(subtype)) return info->name;
  if (IsEqualGUID(subtype, GUID_NULL)) return "none";
  char text[48];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(subtype.Data1), subtype.Data2, subtype.Data3, subtype.Data4[0],
                subtype.Data4[1], subtype.Data4[2], subtype.Data4[3], subtype.Data4[4], subtype.Data4[5],
                subtype.Data4[6], subtype.Data4[7]);
  return text;
}

bool SubtypeByName(const std::wstring& name, GUID& subtype) {
  std::string upper;
  for (wchar_t c : name) upper.push_back(static_cast<char>(std::towupper(c)));
  for (const SubtypeInfo& info : Subtypes()) {
    if (upper == info.name) {
      subtype = info.guid;
      return true;
    }
  }
  return false;
}

DWORD CompressionOf(const GUID& subtype) {
  const SubtypeInfo* info = Find(subtype);
  return info ? info->compression : subtype.Data1;
}

WORD BitCountOf(const GUID& subtype) {
  const SubtypeInfo* info = Find(subtype);
  return info ? info->bits : 0;
}

std::size_t FrameBytes(const GUID& subtype, std::int32_t width, std::int32_t height) {
  const SubtypeInfo* info = Find(subtype);
  if (!info || width <= 0 || height <= 0 || info->packing == Packing::kCompressed) return 0;
  if (IsPlanar420(info->packing)) {
    return static_cast<std::size_t>(width) * height + 2 * (static_cast<std::size_t>(width / 2) * (height / 2));
  }
  return static_cast<std::size_t>(DibRow(width, info->bits)) * static_cast<std::size_t>(height);
}


Layout LayoutOf(const AM_MEDIA_TYPE& type, bool rgbAlwaysBottomUp) {
  Layout l;
  const BITMAPINFOHEADER* bmi = BitmapHeaderOf(type);
  const SubtypeInfo* info = Find(type.subtype);
  if (!bmi || !info || bmi->biWidth <= 0 || bmi->biHeight == 0 || bmi->biHeight == INT32_MIN) return l;
  l.subtype = type.subtype;
  l.width = bmi->biWidth;
  l.height = std::abs(bmi->biHeight);
  l.bottomUp = IsRgb(info->packing) && (rgbAlwaysBottomUp || bmi->biHeight > 0);
  l.stride = IsPlanar420(info->packing) ? l.width : DibRow(l.width, info->bits);
  l.bytes = info->packing == Packing::kUnknown ? 0 : FrameBytes(type.subtype, l.width, l.height);
  return l;
}

Look Inspect(const Layout& l, const std::uint8_t* data, std::size_t size) {
  Look look;
  const Packing packing = PackingOf(l.subtype);
  if (!l.Readable() || !data || size < l.bytes) return look;
  // A sparse grid is enough to tell black and a solid colour, and keeps the
  // streaming thread's time per sample small.
  constexpr int kGrid = 32;
  int brightest = 0;
  double sum[3] = {0, 0, 0};
  int inCentre = 0;
  for (int gy = 0; gy < kGrid; ++gy) {
    for (int gx = 0; gx < kGrid; ++gx) {
      const std::int32_t x = static_cast<std::int32_t>((2 * gx + 1) * std::int64_t{l.width} / (2 * kGrid));
      const std::int32_t y = static_cast<std::int32_t>((2 * gy + 1) * std::int64_t{l.height} / (2 * kGrid));
      std::uint8_t rgb[3];
      RgbAt(l, packing, data, x, y, rgb);
      brightest = std::max<int>({brightest, rgb[0], rgb[1], rgb[2]});
      if (gx >= kGrid / 4 && gx < 3 * kGrid / 4 && gy >= kGrid / 4 && gy < 3 * kGrid / 4) {
        for (int c = 0; c < 3; ++c) sum[c] += rgb[c];
        ++inCentre;
      }
    }
  }
  look.black = brightest < 40;
  for (int c = 0; c < 3; ++c) look.centre[c] = inCentre ? sum[c] / inCentre : 0;
  capture::PictureLayout band;
  const std::uint8_t* bandData = data;
  std::size_t bandSize = size;
  capture::ContentRect content;
  if (BandLayout(l, packing, bandData, bandSize, band) && capture::FindContent(band, bandData, bandSize, content)) {
    const capture::BandReading reading = capture::ReadBands(band, bandData, bandSize);
    look.marked = reading.marked;
    look.frame = reading.frame;
    look.orientation = Orientation(band, bandData, bandSize, content);
  }
  return look;
}

bool SavePng(const Layout& l, const std::vector<std::uint8_t>& data, const std::string& path, std::string& error) {
  const Packing packing = PackingOf(l.subtype);
  if (!l.Readable() || data.size() < l.bytes) {
    error = "no readable picture to save";
    return false;
  }
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(l.width) * l.height * 3);
  for (std::int32_t y = 0; y < l.height; ++y) {
    for (std::int32_t x = 0; x < l.width; ++x) {
      RgbAt(l, packing, data.data(), x, y, &rgb[(static_cast<std::size_t>(y) * l.width + x) * 3]);
    }
  }
  const std::vector<std::uint8_t> png = capture::EncodePng(l.width, l.height, rgb);
  FILE* file = tools::OpenFile(path, L"wb");
  const bool written = file && std::fwrite(png.data(), 1, png.size(), file) == png.size();
  if (file) std::fclose(file);
  if (!written) error = "cannot write " + path;
  return written;
}

}  // namespace appcheck
