// telvor-doctor against an installed, registered module with one problem
// set up at a time: each gives its diagnosis line and exit code 1, and a
// camera fed and freshly registered gives exit code 0.

#include <cstring>
#include <thread>

#include "Clients.h"
#include "transport/SharedChannel.h"
#include "transport/SlotHeader.h"

namespace {

using namespace telvor::e2e;

constexpr int kIndex = kEndToEndCameras + 5;
static_assert(kIndex + 1 == 54, "the JSON row below names camera 54");
constexpr char kName[] = "TELVOR e2e doctor camera";

// A video channel made by hand: a section of `bytes` announcing YUY2
// 320x240 in slots of `capacity` bytes, and its mutex.
struct HandMadeChannel {
  HandMadeChannel(std::uint64_t bytes, std::uint32_t capacity) {
    mapping.Reset(CreateFileMappingW(
        INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(bytes),
        telvor::ChannelObjectName(L"KAVO.VCAM.V.SHARE.MEMORY.%02d", kIndex, false).c_str()));
    mutex.Reset(CreateMutexW(nullptr, FALSE, telvor::ChannelObjectName(L"KAVO.VCAM.V.MUTEX.%02d", kIndex, false).c_str()));
    telvor::SlotHeader header = {};
    header.video_fourcc = telvor::kFourCcYuy2;
    header.video_width = 320;
    header.video_height = 240;
    header.video_frame_rate = 30;
    header.video_capacity = capacity;
    void* view = MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 0);
    std::memcpy(view, &header, sizeof header);
    UnmapViewOfFile(view);
  }
  UniqueHandle mapping, mutex;
};

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
    std::unique_ptr<HandMadeChannel> channel;
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
    } else if (c.arranged == Arranged::kSmallRing) {
      channel = std::make_unique<HandMadeChannel>(65536, 0x10000000);
    } else if (c.arranged == Arranged::kAbandonedMutex) {
      channel = std::make_unique<HandMadeChannel>(telvor::RingBytes(8, 320 * 240 * 2), 320 * 240 * 2);
      // A thread that ends holding a mutex abandons it.
      std::thread([mutex = channel->mutex.Get()] { WaitForSingleObject(mutex, INFINITE); }).join();
    }
    const auto result = RunCaptured(installed.Dir(), Tool(L"doctor/telvor-doctor.exe") + c.options +
                                                         L" --sample-ms 300 --module " + Quoted(module));
    EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
    EXPECT_NE(result.output.find(c.diagnosis), std::string::npos) << result.output;
    if (c.arranged == Arranged::kModuleMoved) MoveFileW(module.c_str(), installed.ModulePath().c_str());
  }
}

}  // namespace
