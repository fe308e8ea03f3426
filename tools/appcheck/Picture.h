// Pictures as the applications read them: the layout a video type describes
// (every subtype the applications ask for, not only the camera's four), and
// what one delivered picture shows: telvor-feed's frame number, which way up
// it is, whether it is black, and the colour of its centre.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "VideoHeader.h"

namespace appcheck {

// A FOURCC-based subtype: {XXXX-0000-0010-8000-00AA00389B71}.
GUID FourCcSubtype(DWORD fourcc);
inline constexpr DWORD FourCc(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<unsigned char>(a)) | static_cast<DWORD>(static_cast<unsigned char>(b)) << 8 |
         static_cast<DWORD>(static_cast<unsigned char>(c)) << 16 | static_cast<DWORD>(static_cast<unsigned char>(d)) << 24;
}

// "YUY2", "RGB24", ...; the GUID's text for one we do not know.
std::string SubtypeName(const GUID& subtype);
// From a name as a user types it (case ignored); false when unknown.
bool SubtypeByName(const std::wstring& name, GUID& subtype);
// What a bitmap header of that subtype carries: biCompression and biBitCount.
DWORD CompressionOf(const GUID& subtype);
WORD BitCountOf(const GUID& subtype);
// Bytes of one picture as DirectShow sizes it (RGB rows padded to 4 bytes,
// 4:2:0 planes of half width and height); 0 for a compressed or unknown one.
std::size_t FrameBytes(const GUID& subtype, std::int32_t width, std::int32_t height);

struct Layout {
  GUID subtype = GUID_NULL;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t stride = 0;  // bytes per row of the first plane
  bool bottomUp = false;    // the first row in memory is the bottom one
  std::size_t bytes = 0;    // 0: not a picture we can read
  bool Readable() const { return bytes > 0; }
};

// The layout of a VIDEOINFOHEADER or VIDEOINFOHEADER2 type. RGB is bottom-up
// for a positive height, unless `rgbAlwaysBottomUp` (Chromium reads it so
// whatever the sign says).
Layout LayoutOf(const AM_MEDIA_TYPE& type, bool rgbAlwaysBottomUp = false);
// The bitmap header inside a video type's format block, or null: the
// capture tool's reading.
using capture::AvgTimePerFrameOf;
using capture::BitmapHeaderOf;

struct Look {
  bool marked = false;      // shows telvor-feed's test picture, whose number could be read
  std::uint32_t frame = 0;  // that number
  int orientation = 0;      // 1 upright, -1 upside down, 0 cannot tell
  bool black = false;       // nothing brighter than near-black anywhere
  double centre[3] = {0, 0, 0};  // mean red, green, blue of the middle quarter
};

// `size` bytes at `data` read with `layout`; a buffer shorter than the
// layout gives an empty look.
Look Inspect(const Layout& layout, const std::uint8_t* data, std::size_t size);

// Writes the picture as a PNG file; false with `error` set.
bool SavePng(const Layout& layout, const std::vector<std::uint8_t>& data, const std::string& path, std::string& error);

}  // namespace appcheck
