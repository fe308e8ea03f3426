#include <gtest/gtest.h>

#include <thread>

#include "module/Log.h"
#include "support/LogCapture.h"

namespace telvor {
namespace {

using test::LogCapture;

TEST(LogLines, TraceWithLocationHasUnitLineAndFunction) {
  LogCapture capture;
  TraceAt(L"dllmain", 42, L"DllMain") << L"DLL_PROCESS_ATTACH";
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].sink, LogCapture::Sink::kTrace);
  EXPECT_EQ(capture.Texts()[0], L"[TELVOR] dllmain(42): [DllMain] DLL_PROCESS_ATTACH\n");
}

TEST(LogLines, ObjectAddressIsSixteenUpperCaseDigitsThenDecimalAgain) {
  LogCapture capture;
  const void* object = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(0xABCDEF12u));
  TraceObject(L"Corvane", 7, L"Corvane::Run", object) << L" instances=" << 12;
  EXPECT_EQ(capture.Texts()[0], L"[TELVOR] Corvane(7): [Corvane::Run], 0x00000000ABCDEF12 instances=12\n");
}

TEST(LogLines, PlainTraceInfoAndErrorShapes) {
  LogCapture capture;
  Trace() << L"video state=" << 1;
  Info() << L"Host file name: " << L"skype.exe";
  ErrorAt(L"SharedVideo", 9, L"SharedVideo::Close") << L"boom";
  ErrorLine(L"SharedAudio", 10) << L"): err" << 2u;
  Error() << L"SUPPORTED ONLY for CORVANE";
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].text, L"[TELVOR] video state=1\n");
  EXPECT_EQ(lines[1].sink, LogCapture::Sink::kInfo);
  EXPECT_EQ(lines[1].text, L"[TELVOR] Host file name: skype.exe\n");
  EXPECT_EQ(lines[2].sink, LogCapture::Sink::kError);
  EXPECT_EQ(lines[2].text, L"[TELVOR][ERROR]: SharedVideo(9): [SharedVideo::Close] boom\n");
  EXPECT_EQ(lines[3].text, L"[TELVOR][ERROR]: SharedAudio(10): err2\n");
  EXPECT_EQ(lines[4].text, L"[TELVOR][ERROR]: SUPPORTED ONLY for CORVANE\n");
}

TEST(LogLines, ComErrorLogsSignedResultAndThrows) {
  LogCapture capture;
  try {
    RaiseComError(static_cast<ComResult>(0x80004005u), L"ZentraSettings", 77);
    FAIL() << "RaiseComError returned";
  } catch (const ComError& error) {
    EXPECT_EQ(static_cast<std::uint32_t>(error.Error()), 0x80004005u);
  }
  EXPECT_EQ(capture.Texts()[0], L"[TELVOR][ERROR]: ZentraSettings(77): COM error, hr=-2147467259\n");
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
