// Minimal writers for the pictures and sound telvor-capture saves: PNG with
// uncompressed (stored) deflate blocks, which every viewer reads, and the
// canonical 44-byte WAV header for PCM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FrameBand.h"

namespace capture {

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);
std::uint32_t Adler32(const std::uint8_t* data, std::size_t size, std::uint32_t adler = 1);

// A PNG file of an 8-bit RGB picture, rows top-down, `rgb` holding
// width * 3 bytes per row back to back. Empty for an empty picture.
std::vector<std::uint8_t> EncodePng(std::int32_t width, std::int32_t height, const std::vector<std::uint8_t>& rgb);

// The delivered picture as top-down RGB rows for EncodePng; false for a
// format it cannot convert or a buffer smaller than the layout needs.
bool PictureToRgb(const PictureLayout& layout, const std::uint8_t* data, std::size_t size,
                  std::vector<std::uint8_t>& rgb);

// Header of a PCM WAV file whose data chunk holds `dataBytes` bytes.
std::vector<std::uint8_t> WavHeader(std::uint16_t channels, std::uint32_t samplesPerSecond,
                                    std::uint16_t bitsPerSample, std::uint32_t dataBytes);

}  // namespace capture
