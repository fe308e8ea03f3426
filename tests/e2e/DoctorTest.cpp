// telvor-doctor against an installed, registered module with one problem
// set up at a time: each gives its diagnosis line and exit code 1, and a
// camera fed and freshly registered gives exit code 0. Whatever it reports,
// its output is UTF-8.

#include <cstring>
#include <thread>

#include "Clients.h"
#include "support/FakeRing.h"
#include "transport/WatchStatus.h"

namespace {

using namespace telvor::e2e;

constexpr int kIndex = kEndToEndCameras + 5;
static_assert(kIndex + 1 == 54, "the JSON row below names camera 54");
constexpr char kName[] = "TELVOR e2e doctor camera";

enum class Arranged { kNone, kFeed, kModuleMoved, kAnotherCopy, kSmallRing, kAbandonedMutex, kOddFourCc, kOddWatcher,
                      kLongPath };

// 700 characters of three bytes each in UTF-8: past any fixed line buffer.
const std::wstring kLongName(700, L'\u6F22');
std::string LongNameUtf8() {
  std::string text;
  for (size_t i = 0; i < kLongName.size(); ++i) text += "\xE6\xBC\xA2";
  return text;
}

struct Case {
  const char* what;
  std::string diagnosis;
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
      {"a FourCC of unprintable bytes", "0x0132FF59 320x240 at 30 frames per second", 1, Arranged::kOddFourCc},
      {"a watcher's format of unprintable bytes", "not streaming (paused or stalled): video 0x0 Y?? 0 fps", 1,
       Arranged::kOddWatcher},
      {"a long path outside ASCII, as JSON",
       "{\"camera\":null,\"problem\":\"The module C:\\\\" + LongNameUtf8() + "\\\\TELVOR.AX does not exist.\",\"fix\":", 1,
       Arranged::kLongPath, "", "", L" --json"},
  };
  InstalledModule installed(CameraSettings(kIndex, kName, "", 320, 240, 30));
  ASSERT_EQ(installed.Register().exitCode, 0);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    installed.WriteSettings(CameraSettings(kIndex, c.name, "", 320, 240, 30) + c.settings);
    installed.WriteFormatFile(kIndex, c.formatFile);
    std::wstring module = c.arranged == Arranged::kLongPath ? L"C:\\" + kLongName + L"\\TELVOR.AX" : installed.ModulePath();
    std::unique_ptr<FeedProcess> feed;
    std::unique_ptr<telvor::test::FakeRing> ring;
    UniqueHandle status;
    telvor::MappedView statusView;
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
    } else if (c.arranged == Arranged::kSmallRing || c.arranged == Arranged::kAbandonedMutex ||
               c.arranged == Arranged::kOddFourCc) {
      // YUY2 320x240 announced in slots far larger than the section, or a
      // fitting ring whose mutex a thread abandoned by ending while it held
      // it, or one announcing the bytes 'Y', 0xFF, '2', 0x01 as its FourCC.
      const bool small = c.arranged == Arranged::kSmallRing;
      const std::uint32_t capacity = small ? 0x10000000 : 320 * 240 * 2;
      ring = std::make_unique<telvor::test::FakeRing>(telvor::test::kVideoNames, kIndex,
                                                      small ? 65536 : telvor::RingBytes(8, capacity));
      ring->SetVideoFormat(c.arranged == Arranged::kOddFourCc ? 0x0132FF59 : telvor::kFourCcYuy2, 320, 240, 30,
                           capacity);
      if (c.arranged == Arranged::kAbandonedMutex) std::thread([&] { ring->Lock(); }).join();
    } else if (c.arranged == Arranged::kOddWatcher) {
      // An entry in the camera's status by this (live) process, as any program of the user may write one.
      status = telvor::OpenWatchSection(kIndex, false, true);
      statusView.Reset(MapViewOfFile(status.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
      ASSERT_TRUE(statusView);
      auto* block = static_cast<telvor::WatchBlock*>(statusView.Get());
      block->magic = telvor::kWatchStatusMagic;
      block->version = telvor::kWatchStatusVersion;
      block->entries[0].owner = static_cast<LONG>(GetCurrentProcessId());
      block->entries[0].kind = static_cast<std::uint32_t>(telvor::WatchKind::kVideo);
      std::memcpy(block->entries[0].format, "Y\xFF\x01", 4);
    }
    const auto result = RunCaptured(installed.Dir(), Tool(L"doctor/telvor-doctor.exe") + c.options +
                                                         L" --sample-ms 300 --module " + Quoted(module));
    EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
    EXPECT_NE(result.output.find(c.diagnosis), std::string::npos) << result.output;
    EXPECT_GT(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, result.output.data(),
                                  static_cast<int>(result.output.size()), nullptr, 0), 0);
    if (c.arranged == Arranged::kModuleMoved) MoveFileW(module.c_str(), installed.ModulePath().c_str());
  }
}

}  // namespace
