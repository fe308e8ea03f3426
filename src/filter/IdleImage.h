// The picture a camera shows while no producer feeds it: an image file named
// in the camera's settings, decoded once through the system's imaging
// components (so the module needs no image library of its own) into a YUY2
// picture, which the frame converter then places like a producer's frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct IdleImage {
  std::int32_t width = 0;  // even: an odd picture gets its last column twice
  std::int32_t height = 0;
  std::vector<std::uint8_t> yuy2;  // rows of 2 * width bytes, top-down
};

// A file may decode to no more than this: a camera keeps the picture for as
// long as it lives, and the converter takes no longer side.
inline constexpr std::uint32_t kMaxIdleImageSide = 16384;
inline constexpr std::uint64_t kMaxIdleImagePixels = 25000000;

// Decodes `path` (BMP, PNG, or whatever else the system decodes; the first
// frame, transparency over black). False for a missing, unreadable, oversize
// or undecodable file, with one error line that names the file and why.
bool LoadIdleImage(const std::wstring& path, IdleImage* image);

// The file a setting names: relative names are taken from `folder`.
std::wstring IdleImagePath(const std::wstring& setting, const std::wstring& folder);
