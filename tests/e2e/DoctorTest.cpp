// telvor-doctor against an installed, registered module with one problem
// set up at a time: each gives its diagnosis line and exit code 1, and a
// camera fed and freshly registered gives exit code 0.

#include <thread>

#include "Clients.h"
#include "transport/FakeRing.h"

namespace {

using namespace telvor::e2e;

constexpr int kIndex = kEndToEndCameras + 5;
static_assert(kIndex + 1 == 54, "the JSON row below names camera 54");
constexpr char kName[] = "TELVOR e2e doctor camera";

enum class Arranged { kNone, kFeed, kModuleMoved, kAnotherCopy, kSmallRing, kAbandonedMutex };

struct Case {
  const char* what;
  const char* diagnosis;
  int exitCode = 1;
  Arranged arranged = Arranged::kNone;
  const char* settings = "";  // besides the camera's
  const char* formatFile = "";
  const wchar_t* options = L"";
  const char* name = kName;  // the camera's name in the settings when the doctor looks
};

TEST(Doctor, DiagnosesEachProblemWithItsLineAndExitCode) {
  const Case kCases[] = {
      {"fed and freshly registered", "No problems found.", 0, Arranged::kFeed},
      {"settings renamed after registering",
       "is listed as \"TELVOR e2e doctor camera\" for 64-bit applications, but the settings name it \"Renamed camera\"",
       1, Arranged::kNone, "", "", L"", "Renamed camera"},
      {"module moved after registering", "TELVOR.AX, which no longer exists", 1, Arranged::kModuleMoved},
      {"another copy registered", "is registered for 64-bit applications at another copy", 1, Arranged::kAnotherCopy},
      {"a size the camera cannot produce", "A size is refused: 20000x100 not offered", 1, Arranged::kNone, "",
       "FILTER.OUTPUT.W.01=20000\r\nFILTER.OUTPUT.H.01=100\r\n"},
      {"an unknown colour space", "The colour space \"yuy2\" is unknown; the camera prefers YV12.", 1, Arranged::kNone,
       "FILTER.COLORSPACE.54=yuy2\r\n"},
      {"no producer", "No producer feeds the video channel"},
      {"no producer, as JSON", "\"problems\":[{\"camera\":54,\"problem\":\"No producer feeds the video channel", 1,
       Arranged::kNone, "", "", L" --json"},
      {"a ring that cannot hold its slots", "The video ring cannot hold a frame", 1, Arranged::kSmallRing},
      {"an abandoned mutex", "The video channel's mutex was abandoned", 1, Arranged::kAbandonedMutex},
  };
  InstalledModule installed(CameraSettings(kIndex, kName, "", 320, 240, 30));
  ASSERT_EQ(installed.Register().exitCode, 0);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    installed.WriteSettings(CameraSettings(kIndex, c.name, "", 320, 240, 30) + c.settings);
    installed.WriteFormatFile(kIndex, c.formatFile);
    std::wstring module = installed.ModulePath();
    std::unique_ptr<FeedProcess> feed;
    std::unique_ptr<telvor::test::FakeRing> ring;
    if (c.arranged == Arranged::kModuleMoved || c.arranged == Arranged::kAnotherCopy) {
      const std::wstring dir = installed.Dir().File(c.arranged == Arranged::kModuleMoved ? L"moved" : L"copy");
      CreateDirectoryW(dir.c_str(), nullptr);
      telvor::test::CopyFileTo(installed.Dir().File(L"TELVOR.INI"), dir + L"\\TELVOR.INI");
      module = dir + L"\\TELVOR.AX";
      ASSERT_TRUE(c.arranged == Arranged::kModuleMoved ? MoveFileW(installed.ModulePath().c_str(), module.c_str())
                                                 : telvor::test::CopyFileTo(installed.ModulePath(), module));
    } else if (c.arranged == Arranged::kFeed) {
      feed = std::make_unique<FeedProcess>(installed.Dir(), kIndex, L"--size 320x240");
      ASSERT_TRUE(feed->WaitForChannel(true) && feed->WaitForChannel(false)) << feed->Output();
    } else if (c.arranged == Arranged::kSmallRing || c.arranged == Arranged::kAbandonedMutex) {
      // YUY2 320x240 announced in slots far larger than the section, or a
      // fitting ring whose mutex a thread abandoned by ending while it held it.
      const bool small = c.arranged == Arranged::kSmallRing;
      const std::uint32_t capacity = small ? 0x10000000 : 320 * 240 * 2;
      ring = std::make_unique<telvor::test::FakeRing>(telvor::test::kVideoNames, kIndex,
                                                      small ? 65536 : telvor::RingBytes(8, capacity));
      ring->SetVideoFormat(telvor::kFourCcYuy2, 320, 240, 30, capacity);
      if (!small) std::thread([&] { ring->Lock(); }).join();
    }
    const auto result = RunCaptured(installed.Dir(), Tool(L"doctor/telvor-doctor.exe") + c.options +
                                                         L" --sample-ms 300 --module " + Quoted(module));
    EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
    EXPECT_NE(result.output.find(c.diagnosis), std::string::npos) << result.output;
    if (c.arranged == Arranged::kModuleMoved) MoveFileW(module.c_str(), installed.ModulePath().c_str());
  }
}

}  // namespace
