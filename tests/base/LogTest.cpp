#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "base/Log.h"
#include "support/LogCapture.h"

namespace telvor {
namespace {

using test::LogCapture;
using Sink = LogCapture::Sink;

// The shapes other tests and users search the logs for, each in its sink,
// whole even when two threads write at once.
TEST(LogLines, EveryShapeByteForByteInItsSinkAndNeverInterleaved) {
  LogCapture capture;
  const void* object = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(0xABCDEF12u));
  TraceObject(L"Corvane", 7, L"Corvane::Run", object) << L" instances=" << 12;
  Info() << L"Host file name: " << L"skype.exe";
  ErrorAt(L"SharedVideo", 9, L"SharedVideo::Close") << L"boom";
  EXPECT_EQ(static_cast<std::uint32_t>(LogComError(static_cast<ComResult>(0x80004005u), L"ZentraSettings", 77)),
            0x80004005u);
  std::vector<std::pair<Sink, std::wstring>> lines;
  for (const auto& line : capture.Lines()) lines.emplace_back(line.sink, line.text);
  EXPECT_EQ(lines, (std::vector<std::pair<Sink, std::wstring>>{
                       {Sink::kTrace, L"[TELVOR] Corvane(7): [Corvane::Run], 0x00000000ABCDEF12 instances=12\n"},
                       {Sink::kInfo, L"[TELVOR] Host file name: skype.exe\n"},
                       {Sink::kError, L"[TELVOR][ERROR]: SharedVideo(9): [SharedVideo::Close] boom\n"},
                       {Sink::kError, L"[TELVOR][ERROR]: ZentraSettings(77): COM error, hr=-2147467259\n"}}));

  // Lines written at once on two threads never interleave.
  capture.Clear();
  auto writer = [](int id) {
    for (int i = 0; i < 200; ++i) Trace() << L"writer " << id << L" line " << i;
  };
  std::thread a(writer, 1), b(writer, 2);
  a.join();
  b.join();
  const auto texts = capture.Texts();
  ASSERT_EQ(texts.size(), 400u);
  for (const auto& text : texts) {
    EXPECT_EQ(text.rfind(L"[TELVOR] writer ", 0), 0u);
    EXPECT_EQ(text.find(L'\n'), text.size() - 1);
  }
}

}  // namespace
}  // namespace telvor
