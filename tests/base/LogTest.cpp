#include <gtest/gtest.h>

#include <iterator>
#include <thread>

#include "base/Log.h"
#include "support/LogCapture.h"

namespace telvor {
namespace {

using test::LogCapture;
using Sink = LogCapture::Sink;

TEST(LogLines, EveryShapeByteForByteInItsSink) {
  LogCapture capture;
  TraceAt(L"dllmain", 42, L"DllMain") << L"DLL_PROCESS_ATTACH";
  const void* object = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(0xABCDEF12u));
  TraceObject(L"Corvane", 7, L"Corvane::Run", object) << L" instances=" << 12;
  Trace() << L"video state=" << 1;
  Info() << L"Host file name: " << L"skype.exe";
  ErrorAt(L"SharedVideo", 9, L"SharedVideo::Close") << L"boom";
  ErrorLine(L"SharedAudio", 10) << L"): err" << 2u;
  Error() << L"SUPPORTED ONLY for CORVANE";
  EXPECT_EQ(static_cast<std::uint32_t>(LogComError(static_cast<ComResult>(0x80004005u), L"ZentraSettings", 77)),
            0x80004005u);
  const struct {
    Sink sink;
    const wchar_t* text;
  } expected[] = {
      {Sink::kTrace, L"[TELVOR] dllmain(42): [DllMain] DLL_PROCESS_ATTACH\n"},
      {Sink::kTrace, L"[TELVOR] Corvane(7): [Corvane::Run], 0x00000000ABCDEF12 instances=12\n"},
      {Sink::kTrace, L"[TELVOR] video state=1\n"},
      {Sink::kInfo, L"[TELVOR] Host file name: skype.exe\n"},
      {Sink::kError, L"[TELVOR][ERROR]: SharedVideo(9): [SharedVideo::Close] boom\n"},
      {Sink::kError, L"[TELVOR][ERROR]: SharedAudio(10): err2\n"},
      {Sink::kError, L"[TELVOR][ERROR]: SUPPORTED ONLY for CORVANE\n"},
      {Sink::kError, L"[TELVOR][ERROR]: ZentraSettings(77): COM error, hr=-2147467259\n"},
  };
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), std::size(expected));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].text, expected[i].text);
    EXPECT_EQ(lines[i].sink, expected[i].sink) << i;
  }
}

TEST(LogLines, ConcurrentLinesNeverInterleave) {
  LogCapture capture;
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
