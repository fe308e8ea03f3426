// Who watches a camera, as the producer sees it: FFmpeg processes streaming
// one camera at once, ending cleanly or killed, and a status section that
// another program scribbles over while a camera streams.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Clients.h"
#include "support/CameraIndexes.h"
#include "telvor_producer.h"
#include "transport/SharedChannel.h"
#include "transport/WatchStatus.h"

namespace {

using namespace telvor::e2e;

constexpr int kIndex = telvor::test::kEndToEndCameras + 4;

class Watchers : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = std::make_unique<InstalledModule>(CameraSettings(kIndex, kVideo, kAudio, 320, 240, 30));
    ASSERT_EQ(module_->Register().exitCode, 0);
  }
  // FFmpeg streaming the camera's video (and microphone) for `frames` frames.
  std::wstring Stream(int frames, bool audio) const {
    return FfmpegCommand(L"-loglevel error" + VideoInput(kVideo, 320, 240, "yuyv422", audio ? kAudio : "") +
                         L" -frames:v " + std::to_wstring(frames) + L" -f null -");
  }
  // The producer's view, once it shows `count` running streams.
  static std::vector<telvor_watcher> WaitForWatchers(std::uint32_t count) {
    std::vector<telvor_watcher> found(8);
    std::uint32_t n = 0;
    for (int waited = 0; waited < 200; ++waited) {
      EXPECT_EQ(telvor_watchers(kIndex, 0, found.data(), 8, &n), TELVOR_OK);
      if (n == count) break;
      Sleep(100);
    }
    found.resize(n < 8 ? n : 8);
    return found;
  }

  static constexpr char kVideo[] = "TELVOR e2e watched camera";
  static constexpr char kAudio[] = "TELVOR e2e watched microphone";
  std::unique_ptr<InstalledModule> module_;
};

TEST_F(Watchers, TwoApplicationsAreSeenAndLeaveCleanlyOrKilled) {
  // The section lasts while someone holds it; held here, it outlives the hosts.
  HANDLE held = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(telvor::WatchBlock),
                                   telvor::ChannelObjectName(telvor::kWatchStatusName, kIndex, false).c_str());
  ASSERT_NE(held, nullptr);
  FeedProcess producer(module_->Dir(), kIndex, L"--size 320x240 --status 0.5");
  BackgroundProcess recording(module_->Dir(), Stream(100000, true));
  BackgroundProcess brief(module_->Dir(), Stream(150, false));
  const auto both = WaitForWatchers(3);
  ASSERT_EQ(both.size(), 3u);
  int video = 0;
  for (const telvor_watcher& w : both) {
    EXPECT_STREQ(w.executable, "ffmpeg.exe");
    EXPECT_TRUE(w.process_id == recording.Id() || w.process_id == brief.Id()) << w.process_id;
    video += w.kind == TELVOR_WATCHER_VIDEO;
    EXPECT_EQ(std::string(w.format) + " " + std::to_string(w.width) + "x" + std::to_string(w.height) + " " +
                  std::to_string(static_cast<int>(w.rate + 0.5)),
              w.kind == TELVOR_WATCHER_VIDEO ? "YUY2 320x240 30" : "PCM 2x16 48000");
    if (w.kind != TELVOR_WATCHER_VIDEO) {
      EXPECT_EQ(w.process_id, recording.Id());
    }
  }
  EXPECT_EQ(video, 2);
  Sleep(1200);  // two status lines of telvor-feed
  EXPECT_NE(producer.Output().find("; watched by ffmpeg.exe ("), std::string::npos) << producer.Output();

  // A clean end gives its entry back; a killed host's stays, recognised as dead.
  ASSERT_EQ(brief.WaitForExit(30000), 0) << brief.Output();
  EXPECT_EQ(WaitForWatchers(2).size(), 2u);
  const DWORD killed = recording.Id();
  recording.Kill();
  EXPECT_EQ(WaitForWatchers(0).size(), 0u);
  telvor::Watcher raw[telvor::kWatchEntries];
  const std::uint32_t entries = telvor::ReadWatchers(kIndex, false, raw);
  int stale = 0;
  for (std::uint32_t i = 0; i < entries; ++i) {
    EXPECT_NE(raw[i].process_id, brief.Id()) << "a cleanly ended stream keeps its entry";
    if (raw[i].process_id == killed) {
      EXPECT_FALSE(raw[i].host_alive);
      ++stale;
    }
  }
  EXPECT_EQ(stale, 2);
  CloseHandle(held);
}

// Whatever another program writes into the status, the camera streams on.
TEST_F(Watchers, ScribbledStatusNeverDisturbsStreaming) {
  struct Case {
    const char* what;
    void (*scribble)(telvor::WatchBlock* block, unsigned round);
  };
  const Case cases[] = {
      {"random bytes, rewritten all the time",
       [](telvor::WatchBlock* block, unsigned round) {
         auto* bytes = reinterpret_cast<unsigned char*>(block);
         for (size_t i = 0; i < sizeof *block; ++i) bytes[i] = static_cast<unsigned char>(((i * 131 + round * 7) >> 1) | 1);
       }},
      {"every entry held by a live process, torn and absurd",
       [](telvor::WatchBlock* block, unsigned round) {
         block->magic = telvor::kWatchStatusMagic;
         block->version = telvor::kWatchStatusVersion;
         block->entry_count = 0xFFFFFFFF;
         for (auto& entry : block->entries) {
           entry.owner = static_cast<LONG>(GetCurrentProcessId());
           entry.generation = static_cast<LONG>(round | 1);
           entry.kind = round;
           for (auto& c : entry.exe) c = 0xFFFF;
         }
       }},
  };
  constexpr DWORD kPage = 4096;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A whole page, none of it zero: a camera that walked past its table
    // would find no free entry there and run off the end of its view.
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kPage,
                                        telvor::ChannelObjectName(telvor::kWatchStatusName, kIndex, false).c_str());
    ASSERT_NE(mapping, nullptr);
    auto* block = static_cast<telvor::WatchBlock*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xA5, kPage);
    std::atomic<bool> stop{false};
    std::thread scribbler([&] {
      for (unsigned round = 0; !stop; ++round) {
        c.scribble(block, round);
        Sleep(0);
      }
    });
    const auto result = RunCaptured(module_->Dir(), Stream(30, false));
    stop = true;
    scribbler.join();
    EXPECT_EQ(result.exitCode, 0) << result.output;
    UnmapViewOfFile(block);
    CloseHandle(mapping);
  }
}

}  // namespace
