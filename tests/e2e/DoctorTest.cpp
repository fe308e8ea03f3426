// telvor-doctor against an installed, registered module with one problem
// set up at a time: each gives its diagnosis line and exit code 1, and a
// camera fed and freshly registered gives exit code 0.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "Clients.h"
#include "InstalledModule.h"
#include "support/CameraIndexes.h"
#include "transport/SharedChannel.h"
#include "transport/SlotHeader.h"

namespace {

using telvor::e2e::InstalledModule;
using telvor::test::BuildTreePath;

constexpr int kIndex = telvor::test::kEndToEndCameras + 5;
constexpr char kName[] = "TELVOR e2e doctor camera";

// A video channel made by hand: a section of `bytes` announcing YUY2
// 320x240 in slots of `capacity` bytes, and its mutex.
struct HandMadeChannel {
  HandMadeChannel(std::uint64_t bytes, std::uint32_t capacity) {
    mapping.Reset(CreateFileMappingW(
        INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(bytes),
        telvor::ChannelObjectName(L"KAVO.VCAM.V.SHARE.MEMORY.%02d", kIndex, false).c_str()));
    mutex.Reset(CreateMutexW(nullptr, FALSE, telvor::ChannelObjectName(L"KAVO.VCAM.V.MUTEX.%02d", kIndex, false).c_str()));
    void* view = MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 0);
    telvor::SlotHeader header = {};
    header.video_fourcc = telvor::kFourCcYuy2;
    header.video_width = 320;
    header.video_height = 240;
    header.video_frame_rate = 30;
    header.video_capacity = capacity;
    std::memcpy(view, &header, sizeof header);
    UnmapViewOfFile(view);
  }
  UniqueHandle mapping, mutex;
};

struct Arrangement {
  std::unique_ptr<telvor::e2e::FeedProcess> feed;
  std::unique_ptr<HandMadeChannel> channel;
  std::function<void()> undo;
  std::wstring module;  // empty: the installed one
};

struct Case {
  const char* what;
  void (*arrange)(InstalledModule& installed, Arrangement& setup);
  const char* diagnosis;
  int exitCode;
};

std::wstring CopyInstalled(InstalledModule& installed, const wchar_t* folder) {
  const std::wstring dir = installed.Dir().File(folder);
  CreateDirectoryW(dir.c_str(), nullptr);
  telvor::test::CopyFileTo(installed.Dir().File(L"TELVOR.INI"), dir + L"\\TELVOR.INI");
  return dir + L"\\TELVOR.AX";
}

const Case kCases[] = {
    {"fed and freshly registered",
     [](InstalledModule& installed, Arrangement& setup) {
       setup.feed = std::make_unique<telvor::e2e::FeedProcess>(
           installed.Dir(), L"--camera " + std::to_wstring(kIndex) + L" --size 320x240 --status 0");
       ASSERT_TRUE(setup.feed->WaitForChannel(kIndex, true, 10000));
       ASSERT_TRUE(setup.feed->WaitForChannel(kIndex, false, 10000));
     },
     "No problems found.", 0},
    {"settings renamed after registering",
     [](InstalledModule& installed, Arrangement& setup) {
       installed.WriteSettings(telvor::e2e::CameraSettings(kIndex, "Renamed camera", "", 320, 240, 30));
       setup.undo = [&installed] {
         installed.WriteSettings(telvor::e2e::CameraSettings(kIndex, kName, "", 320, 240, 30));
       };
     },
     "is listed as \"TELVOR e2e doctor camera\" for 64-bit applications, but the settings name it \"Renamed camera\"",
     1},
    {"module moved after registering",
     [](InstalledModule& installed, Arrangement& setup) {
       setup.module = CopyInstalled(installed, L"moved");
       ASSERT_TRUE(MoveFileW(installed.ModulePath().c_str(), setup.module.c_str()));
       setup.undo = [&installed, to = setup.module] { MoveFileW(to.c_str(), installed.ModulePath().c_str()); };
     },
     "TELVOR.AX, which no longer exists", 1},
    {"another copy registered",
     [](InstalledModule& installed, Arrangement& setup) {
       setup.module = CopyInstalled(installed, L"copy");
       ASSERT_TRUE(telvor::test::CopyFileTo(installed.ModulePath(), setup.module));
     },
     "is registered for 64-bit applications at another copy", 1},
    {"a size the camera cannot produce",
     [](InstalledModule& installed, Arrangement& setup) {
       installed.WriteFormatFile(kIndex, "FILTER.OUTPUT.W.01=20000\r\nFILTER.OUTPUT.H.01=100\r\n");
       setup.undo = [&installed] { installed.WriteFormatFile(kIndex, ""); };
     },
     "A size is refused: 20000x100 not offered", 1},
    {"an unknown colour space",
     [](InstalledModule& installed, Arrangement& setup) {
       installed.WriteSettings(telvor::e2e::CameraSettings(kIndex, kName, "", 320, 240, 30) +
                               "FILTER.COLORSPACE." + std::to_string(kIndex + 1) + "=yuy2\r\n");
       setup.undo = [&installed] {
         installed.WriteSettings(telvor::e2e::CameraSettings(kIndex, kName, "", 320, 240, 30));
       };
     },
     "The colour space \"yuy2\" is unknown; the camera prefers YV12.", 1},
    {"no producer", [](InstalledModule&, Arrangement&) {}, "No producer feeds the video channel", 1},
    {"a ring that cannot hold its slots",
     [](InstalledModule&, Arrangement& setup) { setup.channel = std::make_unique<HandMadeChannel>(65536, 0x10000000); },
     "The video ring cannot hold a frame", 1},
    {"an abandoned mutex",
     [](InstalledModule&, Arrangement& setup) {
       setup.channel = std::make_unique<HandMadeChannel>(telvor::RingBytes(8, 320 * 240 * 2), 320 * 240 * 2);
       // A thread that ends holding a mutex abandons it.
       std::thread([mutex = setup.channel->mutex.Get()] { WaitForSingleObject(mutex, INFINITE); }).join();
     },
     "The video channel's mutex was abandoned", 1},
};

TEST(Doctor, DiagnosesEachProblemWithItsLineAndExitCode) {
  InstalledModule installed(telvor::e2e::CameraSettings(kIndex, kName, "", 320, 240, 30));
  ASSERT_TRUE(installed.Copied());
  ASSERT_EQ(installed.Register().exitCode, 0);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Arrangement setup;
    c.arrange(installed, setup);
    const std::wstring module = setup.module.empty() ? installed.ModulePath() : setup.module;
    const auto result = telvor::e2e::RunCaptured(
        installed.Dir(),
        telvor::e2e::Quoted(BuildTreePath(L"tools/doctor/telvor-doctor.exe")) + L" --sample-ms 300 --module " +
            telvor::e2e::Quoted(module),
        60000);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.output;
    EXPECT_NE(result.output.find(c.diagnosis), std::string::npos) << result.output;
    if (setup.undo) setup.undo();
  }
  const auto json = telvor::e2e::RunCaptured(
      installed.Dir(),
      telvor::e2e::Quoted(BuildTreePath(L"tools/doctor/telvor-doctor.exe")) + L" --json --sample-ms 100 --module " +
          telvor::e2e::Quoted(installed.ModulePath()),
      60000);
  EXPECT_EQ(json.exitCode, 1);
  EXPECT_NE(json.output.find("\"problems\":[{\"camera\":" + std::to_string(kIndex + 1) +
                             ",\"problem\":\"No producer feeds the video channel"),
            std::string::npos)
      << json.output;
}

TEST(Doctor, RefusesBadUsageWithExitCodeTwo) {
  telvor::test::TempDir dir;
  const auto result = telvor::e2e::RunCaptured(
      dir, telvor::e2e::Quoted(BuildTreePath(L"tools/doctor/telvor-doctor.exe")) + L" --camera 64", 60000);
  EXPECT_EQ(result.exitCode, 2) << result.output;
}

}  // namespace
