// TELVOR.AX and TELVOR32.AX side by side, with clients and producers of both
// bitnesses. Built in the 32-bit tree, with the 64-bit tree's programs.

#include <algorithm>
#include <functional>

#include "Clients.h"

namespace {

using namespace telvor::e2e;

constexpr int kCamera = kEndToEndCameras + 5;
constexpr int kFrames = 15;

std::wstring PeerPath(const std::wstring& relative) { return telvor::test::WinePath(TELVOR_PEER_BUILD_DIR, relative); }

struct Bitness { const char* name; std::wstring ffmpeg, feed; };

TEST(BothModules, ClientsOfBothBitnessesListAndCaptureOneProducerOfEitherAtOnce) {
  const Bitness bits[] = {{"32-bit", FfmpegPath(), telvor::test::BuildTreePath(L"tools/feed/telvor-feed.exe")},
                          {"64-bit", PeerPath(L"third_party/ffmpeg.exe"), PeerPath(L"tools/feed/telvor-feed.exe")}};
  if (GetFileAttributesW(bits[1].feed.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "no 64-bit tree at " << TELVOR_PEER_BUILD_DIR << " (scripts/test builds it first)";
  const std::string name = "TELVOR bitness " + std::to_string(kCamera);
  InstalledModule module(CameraSettings(kCamera, name, "", 320, 240, 30));
  ASSERT_TRUE(telvor::test::CopyFileTo(PeerPath(L"src/dll/TELVOR.AX"), module.Dir().File(L"TELVOR.AX")));
  // A 32-bit process reaches the 64-bit system folder as "sysnative".
  auto regsvr64 = [&](const std::wstring& option) {
    return RunCaptured(module.Dir(), L"C:\\windows\\sysnative\\regsvr32.exe /s " + option +
                                         Quoted(module.Dir().File(L"TELVOR.AX"))).exitCode;
  };
  auto lists = [&](const Bitness& b) {
    const auto devices = ListedDevices(module.Dir(), b.ffmpeg);
    return std::count(devices.begin(), devices.end(), "video " + name) == 1;
  };
  // `module` undoes the 32-bit registration (regsvr32 of this process's bitness), this the 64-bit one.
  ASSERT_EQ(module.Register().exitCode, 0);
  std::unique_ptr<const Bitness, std::function<void(const Bitness*)>> unregister(
      &bits[1], [&](const Bitness*) { regsvr64(L"/u "); });

  // Each module in its own view: unregistering one leaves the other's cameras.
  ASSERT_EQ(regsvr64(L""), 0);
  ASSERT_EQ(regsvr64(L"/u "), 0);
  EXPECT_TRUE(!lists(bits[1]) && lists(bits[0]));
  ASSERT_EQ(regsvr64(L""), 0);
  EXPECT_TRUE(lists(bits[1]));

  for (const Bitness& producer : bits) {
    SCOPED_TRACE(std::string(producer.name) + " producer");
    BackgroundProcess feed(module.Dir(), Quoted(producer.feed) + L" --camera " + std::to_wstring(kCamera) +
                                             L" --size 320x240 --fps 30 --no-audio --status 0");
    std::vector<std::unique_ptr<BackgroundProcess>> clients;
    for (const Bitness& client : bits)
      clients.push_back(std::make_unique<BackgroundProcess>(
          module.Dir(), FfmpegCommand(L"-loglevel error" + VideoInput(name, 320, 240, "yuyv422") +
                                          RawOutput(kFrames, module.Dir().File(Widen(client.name) + L".raw")),
                                      client.ffmpeg)));
    for (size_t c = 0; c < clients.size(); ++c) {
      SCOPED_TRACE(std::string(bits[c].name) + " client");
      ASSERT_EQ(clients[c]->WaitForExit(60000), 0) << clients[c]->Output();
      // Black until the camera meets the producer, then its frames in order.
      const auto runs = ShownRuns(ReadFileBytes(module.Dir().File(Widen(bits[c].name) + L".raw")), 320, 240);
      ASSERT_FALSE(runs.empty());
      EXPECT_TRUE(runs.back().kind == ShownRun::kFed && (runs.size() == 1 || runs[0].kind == ShownRun::kBlack)) << runs;
      EXPECT_LE(runs.size(), 2u) << runs;
      EXPECT_GE(runs.back().count, size_t{kFrames / 2}) << runs;
    }
  }
}

}  // namespace
