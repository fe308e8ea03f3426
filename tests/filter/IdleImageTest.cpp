// The idle picture's loader against good and hostile files (its pictures are
// checked pixel by pixel through the camera, in the end-to-end tests).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "filter/IdleImage.h"
#include "support/LogCapture.h"
#include "support/WinTestSupport.h"

namespace telvor::test {
namespace {

void Put32(std::string& file, size_t at, std::uint32_t value) { std::memcpy(&file[at], &value, 4); }

// A 24-bit BMP header for width x height, then `bytes` of black pixels.
std::string Bmp(std::uint32_t width, std::uint32_t height, size_t bytes) {
  std::string file(54 + bytes, '\0');
  file[0] = 'B', file[1] = 'M', file[26] = 1, file[28] = 24;
  Put32(file, 2, static_cast<std::uint32_t>(file.size()));
  Put32(file, 10, 54), Put32(file, 14, 40), Put32(file, 18, width), Put32(file, 22, height);
  return file;
}

// An 8-bit run-length BMP that ends at once: tiny, but decodes to width x height.
std::string RleBmp(std::int32_t width, std::int32_t height) {
  std::string file(54 + 8 + 2, '\0');
  file[0] = 'B', file[1] = 'M', file[26] = 1, file[28] = 8, file[30] = 1, file[46] = 2, file[63] = 1;
  Put32(file, 2, static_cast<std::uint32_t>(file.size()));
  Put32(file, 10, 62), Put32(file, 14, 40), Put32(file, 18, static_cast<std::uint32_t>(width));
  Put32(file, 22, static_cast<std::uint32_t>(height)), Put32(file, 34, 2);
  return file;
}

// Each file the loader cannot use gives one error line naming it, and no picture.
TEST(IdleImage, TakesWhatFitsAndRefusesTheRestWithOneLine) {
  const struct {
    const char* what;
    std::string content;  // "missing": no file at all
    bool usable;
  } kCases[] = {
      {"missing", "", false},
      {"empty", "", false},
      {"text", "not a picture at all\r\n", false},
      {"truncated", Bmp(4, 4, 6), false},
      {"absurd width", Bmp(static_cast<std::uint32_t>(-5), 4, 48), false},
      {"zero height", Bmp(4, 0, 0), false},
      {"huge and short", Bmp(0x7FFFFFFF, 0x7FFFFFFF, 48), false},
      {"side beyond the limit", RleBmp(20000, 2), false},
      {"pixels beyond the limit", RleBmp(6000, 6000), false},
      {"large, within the limits", RleBmp(4000, 3000), true},
      {"small", Bmp(4, 4, 48), true},
  };
  TempDir dir;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::wstring path = dir.File(UniqueName(L"idle") + L".bmp");
    if (std::string(c.what) != "missing") WriteTextFile(path, c.content);
    LogCapture log;
    IdleImage image;
    EXPECT_EQ(LoadIdleImage(path, &image), c.usable);
    EXPECT_EQ(image.yuy2.size(), c.usable ? 2u * image.width * image.height : 0u);
    EXPECT_EQ(log.Count(L"[ERROR]"), c.usable ? 0u : 1u);
    EXPECT_EQ(log.Count(path), 1u);
  }
  EXPECT_EQ(IdleImagePath(L"idle.png", L"C:\\TELVOR"), L"C:\\TELVOR\\idle.png");
  EXPECT_EQ(IdleImagePath(L"\\\\server\\idle.png", L"C:\\TELVOR"), L"\\\\server\\idle.png");
}

}  // namespace
}  // namespace telvor::test
