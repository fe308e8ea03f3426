#include "CaptureOptions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "CommandLine.h"
#include "support/CameraIndexes.h"
#include "support/WinTestSupport.h"
#include "telvor_version.h"

namespace capture {
namespace {

bool Parse(std::vector<const wchar_t*> args, CaptureOptions& o, std::string& error) {
  args.insert(args.begin(), L"telvor-capture.exe");
  return ParseOptions(static_cast<int>(args.size()), const_cast<wchar_t**>(args.data()), o, error);
}

TEST(CaptureOptions, ReadsWhatCanBeMetAndRefusesTheRest) {
  CaptureOptions o;
  std::string error;
  ASSERT_TRUE(Parse({L"--video", L"TELVOR Camera 57", L"--format", L"rgb32", L"--size", L"1280x720", L"--fps",
                     L"29.97", L"--duration", L"2.5", L"--png", L"shot", L"--save", L"0", L"--quiet"},
                    o, error))
      << error;
  EXPECT_EQ(std::make_tuple(false, std::wstring(L"TELVOR Camera 57"), PixelFormat::kRgb32, 1280, 720, 29.97, 2.5,
                            std::string("shot"), 0u, true),
            std::make_tuple(o.audio, o.device, o.format, o.width, o.height, o.fps, o.duration_s, o.png_prefix,
                            o.save_count, o.quiet));
  CaptureOptions audio, clock;
  EXPECT_TRUE(Parse({L"--audio", L"0", L"--wav", L"out.wav"}, audio, error) && audio.audio) << error;
  EXPECT_TRUE(Parse({L"--clock", L"--fps", L"60", L"--duration", L"3"}, clock, error) && clock.clock) << error;
  EXPECT_DOUBLE_EQ(60, clock.fps);
  const std::vector<std::vector<const wchar_t*>> bad = {
      {L"--format", L"nv12"},          {L"--size", L"640x"},        {L"--size", L"0x480"},
      {L"--fps", L"0"},                {L"--duration", L"-1"},      {L"--save", L"1.5"},
      {L"--video"},                    {L"--bogus", L"1"},          {L"--audio", L"1", L"--format", L"yuy2"},
      {L"--wav", L"out.wav"},          {L"--raw", L""},             {L"--clock", L"--audio", L"0"},
      {L"--clock", L"--size", L"640x480"}};
  for (const auto& args : bad) {
    CaptureOptions refused;
    error.clear();
    EXPECT_TRUE(!Parse(args, refused, error) && !error.empty()) << args[0];
  }
}

// Paths keep every character as typed and open by their wide names, also
// outside the ANSI code page.
TEST(ToolFiles, NamesOutsideTheAnsiCodePageAreKeptAndOpened) {
  CaptureOptions o;
  std::string error;
  ASSERT_TRUE(Parse({L"--raw", L"caf\u00e9 \u6F22.raw"}, o, error)) << error;
  EXPECT_EQ("caf\xC3\xA9 \xE6\xBC\xA2.raw", o.raw_path);
  telvor::test::TempDir dir;
  const std::wstring wide = dir.File(L"\u0436 \u266B.png");
  std::FILE* file = tools::OpenFile(tools::Utf8(wide), L"wb");
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(3u, std::fwrite("png", 1, 3, file));
  std::fclose(file);
  EXPECT_EQ("png", telvor::test::ReadFileBytes(wide));
  EXPECT_EQ(nullptr, tools::OpenFile("\xC3(", L"rb")) << "not UTF-8";
}

// Every tool reads its command line with the same parser: --help answers 0
// with the usage, a bad command line the tool's name, the reason and its code.
TEST(ToolCommandLines, HelpAndRefusalsAreAlike) {
  const struct {
    const wchar_t* program;
    const wchar_t* arguments;
    int exitCode;
    const char* says;
  } runs[] = {{L"feed/telvor-feed.exe", L"--help", 0, "Usage: telvor-feed"},
              {L"capture/telvor-capture.exe", L"--help", 0, "Usage: telvor-capture"},
              {L"props/telvor-props.exe", L"--help", 0, "usage: telvor-props <camera number>"},
              {L"stress/telvor-stress.exe", L"--help", 0, "usage: telvor-stress"},
              {L"feed/telvor-feed.exe", L"--version", 0, "telvor-feed.exe " TELVOR_VERSION " (64-bit)"},
              {L"props/telvor-props.exe", L"--version", 0, "telvor-props.exe " TELVOR_VERSION " (64-bit)"},
              {L"feed/telvor-feed.exe", L"--bogus 1", 2, "telvor-feed: unknown option --bogus"},
              {L"feed/telvor-feed.exe", L"--status 1e-9 --duration 1", 2, "telvor-feed: --status takes 0 (never)"},
              {L"feed/telvor-feed.exe", L"--duration 1e300", 2, "telvor-feed: --duration takes more than 0"},
              {L"capture/telvor-capture.exe", L"--bogus 1", 2, "telvor-capture: unknown option --bogus"},
              {L"props/telvor-props.exe", L"--bogus 1", 1, "telvor-props: unknown option --bogus"},
              {L"stress/telvor-stress.exe", L"--camera abc", 2, "telvor-stress: bad value for --camera: abc"},
              {L"stress/telvor-stress.exe", L"--run-cycles", 2, "telvor-stress: --run-cycles needs a value"},
              {L"doctor/telvor-doctor.exe", L"--camera 64", 2, "telvor-doctor: bad value for --camera: 64"}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.says);
    telvor::test::TempDir dir;
    const std::wstring program = telvor::test::BuildTreePath(std::wstring(L"tools/") + run.program);
    EXPECT_EQ(run.exitCode, telvor::test::RunProcess(L"\"" + program + L"\" " + run.arguments, 30000, dir.File(L"out")));
    const std::string text = telvor::test::ReadFileBytes(dir.File(L"out"));
    EXPECT_NE(std::string::npos, text.find(run.says)) << text;
  }
}

// Paths are opened by their wide names: these are outside any ANSI code page.
TEST(ToolCommandLines, FeedOpensFilesNamedOutsideTheAnsiCodePage) {
  telvor::test::TempDir dir;
  const std::wstring yuv = dir.File(L"\u6F22 in.yuv"), dump = dir.File(L"\u0436 out.yuv"), wav = dir.File(L"\u266B.wav");
  std::string frame(16 * 8 * 2, '\0');
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<char>(i * 7);
  telvor::test::WriteTextFile(yuv, frame);
  // 16-bit stereo at 48 kHz, two sample frames.
  telvor::test::WriteTextFile(wav, std::string("RIFF\x2c\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x80\xbb\0\0\0\xee\x02\0"
                                               "\x04\0\x10\0data\x08\0\0\0\x01\0\x02\0\x03\0\x04\0", 52));
  const std::wstring arguments = L" --camera " + std::to_wstring(telvor::test::kRobustnessCameras) +
                                 L" --size 16x8 --status 0 --duration 0.5 --dump-frames 2 --yuv \"" + yuv +
                                 L"\" --dump \"" + dump + L"\" --wav \"" + wav + L"\"";
  EXPECT_EQ(0, telvor::test::RunProcess(L"\"" + telvor::test::BuildTreePath(L"tools/feed/telvor-feed.exe") + L"\"" +
                                            arguments, 30000, dir.File(L"out")))
      << telvor::test::ReadFileBytes(dir.File(L"out"));
  EXPECT_EQ(telvor::test::ReadFileBytes(dump), frame + frame);
}

}  // namespace
}  // namespace capture
