// A registered camera while programs come and go around it: producers start,
// end cleanly, die and are replaced under a recording FFmpeg, which follows
// them without a restart of the graph; FFmpeg processes watching the camera
// are seen by the producer and leave cleanly or killed; and a status section
// that another program scribbles over never disturbs the streaming.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "Clients.h"
#include "telvor_producer.h"
#include "support/FakeRing.h"
#include "transport/ObjectSecurity.h"
#include "transport/SharedChannel.h"
#include "transport/WatchStatus.h"

namespace {

using namespace telvor::e2e;

constexpr int kIndex = kEndToEndCameras + 4;
constexpr int kWidth = 320, kHeight = 240, kFps = 30;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 2;

class StreamingCamera : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = std::make_unique<InstalledModule>(CameraSettings(kIndex, kVideo, kAudio, kWidth, kHeight, kFps));
    ASSERT_EQ(module_->Register().exitCode, 0);
  }
  // FFmpeg streaming the camera's video (and microphone) for `frames` frames.
  std::wstring Stream(int frames, bool audio) const {
    return FfmpegCommand(L"-loglevel error" + VideoInput(kVideo, kWidth, kHeight, "yuyv422", audio ? kAudio : "") +
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

  static constexpr char kVideo[] = "TELVOR e2e streaming camera";
  static constexpr char kAudio[] = "TELVOR e2e streaming microphone";
  std::unique_ptr<InstalledModule> module_;
};

// A producer appears within 0.5 s of its first frame and a producer's end
// leaves black within 1 s; two frames more cover reading the times off frame
// indexes and numbers (a shown frame is up to two periods old).
constexpr double kAppearSeconds = 0.5 + 2.0 / kFps;
constexpr double kBlackSeconds = 1.0 + 2.0 / kFps;

// Run i is a producer's: the first number shown is how long it had been
// writing before the camera showed it.
void ExpectAppearedInTime(const std::vector<ShownRun>& runs, size_t i) {
  EXPECT_EQ(runs[i].kind, ShownRun::kFed) << runs;
  EXPECT_LE(runs[i].firstNumber, kAppearSeconds * kFps) << runs;
}
// Run i is a producer's that ended, and black follows within the bound of
// the first showing of its last frame.
void ExpectBlackInTime(const std::vector<ShownRun>& runs, size_t i) {
  EXPECT_EQ(runs[i].kind, ShownRun::kFed) << runs;
  EXPECT_EQ(runs[i + 1].kind, ShownRun::kBlack) << runs;
  EXPECT_LE(runs[i + 1].first - runs[i].lastNumberAt, kBlackSeconds * kFps)
      << "last producer frame first shown at " << runs[i].lastNumberAt << runs;
}

// Black; a producer started 2 s into the recording; its clean end; another
// producer of another size and format, killed after a second: black again.
// (A camera opened while its producer runs shows it at once: the audio
// recording's pictures.)
TEST_F(StreamingCamera, FollowsProducersStartingEndingReplacedAndKilled) {
  const std::wstring recording = module_->Dir().File(L"recording.raw");
  const std::wstring input = VideoInput(kVideo, kWidth, kHeight, "yuyv422");
  BackgroundProcess ffmpeg(module_->Dir(), FfmpegCommand(L"-loglevel error" + input + RawOutput(285, recording)));
  // True once the recording holds `more` frames beyond what it holds now.
  auto waitForMore = [&](size_t more) {
    const size_t now = ReadFileBytes(recording).size() / kFrameBytes;
    return ffmpeg.WaitForFileSize(recording, (now + more) * kFrameBytes, 30000);
  };
  auto feed = [&](const std::wstring& picture) {
    return FeedProcess(module_->Dir(), kIndex, picture + L" --fps 30 --no-audio");
  };
  ASSERT_TRUE(waitForMore(2 * kFps));
  FeedProcess first = feed(L"--size 320x240 --duration 1");
  ASSERT_EQ(first.WaitForExit(20000), 0) << first.Output();
  ASSERT_TRUE(waitForMore(kFps + 3));
  FeedProcess second = feed(L"--size 640x360 --format yv12");
  ASSERT_TRUE(waitForMore(kFps + 15));
  second.Kill();
  ASSERT_EQ(ffmpeg.WaitForExit(60000), 0) << ffmpeg.Output();
  const auto runs = ShownRuns(ReadFileBytes(recording), kWidth, kHeight);
  ASSERT_EQ(runs.size(), 5u) << runs;
  EXPECT_EQ(runs[0].kind, ShownRun::kBlack) << runs;
  EXPECT_GE(runs[0].count, size_t{2 * kFps}) << runs;
  ExpectAppearedInTime(runs, 1);
  ExpectBlackInTime(runs, 1);
  ExpectAppearedInTime(runs, 3);
  EXPECT_GE(runs[3].count, size_t{kFps / 2}) << runs;
  ExpectBlackInTime(runs, 3);
}

// A producer that changes its format while FFmpeg records: through the
// library (closed and reopened at once, smaller, equal-sized and larger),
// then by the protocol alone (slot 0 rewritten in the same ring). Every
// phase fills its frames with one value, which any placement keeps; each
// must be shown from half a second after its start to its end, with at most
// one frame of anything else at each change.
TEST_F(StreamingCamera, FollowsEveryFormatChangeWithinHalfASecond) {
  struct Phase {
    std::uint32_t fourcc, width, height;
    std::uint8_t value;
  };
  const Phase library[] = {{TELVOR_FOURCC_YUY2, 640, 480, 60}, {TELVOR_FOURCC_YV12, 640, 640, 90},
                           {TELVOR_FOURCC_YUY2, 1280, 720, 120}, {TELVOR_FOURCC_YV12, 320, 240, 150}};
  const Phase protocol[] = {{TELVOR_FOURCC_YUY2, 640, 480, 180}, {TELVOR_FOURCC_YV12, 320, 240, 200},
                            {TELVOR_FOURCC_YUY2, 480, 360, 220}};
  constexpr int kPhaseFrames = 45;
  constexpr int kLate = kFps / 2;
  const std::wstring recording = module_->Dir().File(L"formats.raw");
  const int frames = (4 + 3) * kPhaseFrames + 3 * kFps;
  BackgroundProcess ffmpeg(module_->Dir(), FfmpegCommand(L"-loglevel error" + VideoInput(kVideo, kWidth, kHeight, "yuyv422") +
                                                         RawOutput(frames, recording)));
  ASSERT_EQ(1u, WaitForWatchers(1).size());
  auto bytes = [](const Phase& p) { return p.fourcc == TELVOR_FOURCC_YUY2 ? 2 * p.width * p.height : p.width * p.height * 3 / 2; };
  auto paced = [](int k, ULONGLONG start) {
    while (GetTickCount64() < start + 1000ull * k / kFps) Sleep(1);
  };
  for (const Phase& p : library) {
    telvor_video_format format = {p.fourcc, p.width, p.height, double{kFps}, 0, 0};
    telvor_channel* channel = nullptr;
    ASSERT_EQ(TELVOR_OK, telvor_open_video(kIndex, 0, &format, &channel)) << telvor_last_error_message();
    const std::vector<std::uint8_t> frame(bytes(p), p.value);
    const ULONGLONG start = GetTickCount64();
    for (int k = 0; k < kPhaseFrames; ++k) {
      telvor_write(channel, frame.data(), static_cast<std::uint32_t>(frame.size()), TELVOR_TIMESTAMP_NOW);
      paced(k + 1, start);
    }
    telvor_close(channel);
  }
  {
    telvor::test::FakeRing ring(telvor::test::kVideoNames, kIndex, telvor::RingBytes(8, 640 * 480 * 2));
    ASSERT_TRUE(ring.Ok());
    std::uint64_t sequence = 0;
    for (const Phase& p : protocol) {
      ring.SetVideoFormat(p.fourcc, p.width, p.height, kFps, 640 * 480 * 2);
      const ULONGLONG start = GetTickCount64();
      for (int k = 0; k < kPhaseFrames; ++k, ++sequence) {
        ring.WriteSlot(static_cast<std::uint32_t>(sequence % 8), 640 * 480 * 2, sequence + 1, 0, bytes(p), p.value,
                       bytes(p));
        paced(k + 1, start);
      }
    }
  }
  ASSERT_EQ(ffmpeg.WaitForExit(60000), 0) << ffmpeg.Output();
  const std::string raw = ReadFileBytes(recording);
  // Runs of frames wholly of one value (0: anything else).
  std::vector<std::pair<int, int>> runs;
  for (size_t f = 0; f + kFrameBytes <= raw.size(); f += kFrameBytes) {
    const auto first = static_cast<std::uint8_t>(raw[f]);
    const bool solid = std::all_of(raw.begin() + f, raw.begin() + f + kFrameBytes, [&](char c) { return c == raw[f]; });
    const int value = solid ? first : 0;
    if (runs.empty() || runs.back().first != value) runs.emplace_back(value, 0);
    ++runs.back().second;
  }
  std::string shown;
  for (const auto& run : runs) shown += " " + std::to_string(run.first) + "x" + std::to_string(run.second);
  // Where the protocol writer takes the ring over from the library's
  // producer, another program replaces one that ended: that is no format
  // change, and may cost a few frames.
  std::vector<std::pair<int, int>> phases;
  for (const auto& run : runs) {
    const bool handover = !phases.empty() && phases.back().first == library[std::size(library) - 1].value;
    if (run.first) phases.push_back(run);
    else EXPECT_TRUE(&run == &runs.front() || run.second <= (handover ? kLate : 1)) << "frames of no phase:" << shown;
  }
  std::vector<int> expected;
  for (const Phase& p : library) expected.push_back(p.value);
  for (const Phase& p : protocol) expected.push_back(p.value);
  ASSERT_EQ(phases.size(), expected.size()) << shown;
  for (size_t i = 0; i < phases.size(); ++i) {
    EXPECT_EQ(expected[i], phases[i].first);
    if (i + 1 < phases.size()) {
      EXPECT_GE(phases[i].second, kPhaseFrames - kLate) << "phase " << i;
    }
  }
}

TEST_F(StreamingCamera, TwoWatchingApplicationsAreSeenAndLeaveCleanlyOrKilled) {
  // The section lasts while someone holds it; held here, it outlives the hosts.
  const UniqueHandle held = telvor::OpenWatchSection(kIndex, false, true);
  ASSERT_TRUE(held);
  FeedProcess producer(module_->Dir(), kIndex, L"--size 320x240");
  BackgroundProcess recording(module_->Dir(), Stream(100000, true));
  BackgroundProcess brief(module_->Dir(), Stream(150, false));
  std::multiset<std::string> seen;
  for (const telvor_watcher& w : WaitForWatchers(3)) {
    const DWORD pid = w.process_id;
    seen.insert(std::string(w.executable) + (pid == recording.Id() ? " recording " : pid == brief.Id() ? " brief " : " ? ") +
                w.format + " " + std::to_string(w.width) + "x" + std::to_string(w.height) + " " +
                std::to_string(static_cast<int>(w.rate + 0.5)));
  }
  EXPECT_EQ(seen, std::multiset<std::string>({"ffmpeg.exe recording YUY2 320x240 30", "ffmpeg.exe brief YUY2 320x240 30",
                                              "ffmpeg.exe recording PCM 2x16 48000"}));

  // A clean end gives its entry back; a killed host's stay, recognised as dead.
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
    stale += raw[i].process_id == killed && !raw[i].host_alive;
  }
  EXPECT_EQ(stale, 2);
}

// Whatever another program writes into the status, the camera streams on:
// random bytes rewritten all the time, or every entry held by a live
// process, torn and absurd.
TEST_F(StreamingCamera, ScribbledWatchStatusNeverDisturbsStreaming) {
  for (const bool absurd : {false, true}) {
    SCOPED_TRACE(absurd ? "absurd entries" : "random bytes");
    // A whole page, none of it zero: a camera that walked past its table
    // would find no free entry there and run off the end of its view.
    constexpr DWORD kPage = 4096;
    telvor::ProcessUser user;
    telvor::ObjectSecurity users_alone;
    ASSERT_TRUE(user.Load() && users_alone.Build(user, SECTION_ALL_ACCESS, 0));
    const UniqueHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, users_alone.Get(), PAGE_READWRITE, 0, kPage,
                                                  telvor::ChannelObjectName(telvor::kWatchStatusName, kIndex, false).c_str()));
    telvor::MappedView view;
    view.Reset(mapping ? MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 0) : nullptr);
    ASSERT_TRUE(view);
    auto* block = static_cast<telvor::WatchBlock*>(view.Get());
    std::memset(block, 0xA5, kPage);
    std::atomic<bool> stop{false};
    std::thread scribbler([&] {
      for (unsigned round = 0; !stop; ++round) {
        if (!absurd) {
          auto* bytes = reinterpret_cast<unsigned char*>(block);
          for (size_t i = 0; i < sizeof *block; ++i) bytes[i] = static_cast<unsigned char>(((i * 131 + round * 7) >> 1) | 1);
        } else {
          block->magic = telvor::kWatchStatusMagic;
          block->version = telvor::kWatchStatusVersion;
          block->entry_count = 0xFFFFFFFF;
          for (auto& entry : block->entries) {
            entry.owner = static_cast<LONG>(GetCurrentProcessId());
            entry.generation = static_cast<LONG>(round | 1);
            entry.kind = round;
            for (auto& c : entry.exe) c = 0xFFFF;
          }
        }
        Sleep(0);
      }
    });
    const auto result = RunCaptured(module_->Dir(), Stream(30, false));
    stop = true;
    scribbler.join();
    EXPECT_EQ(result.exitCode, 0) << result.output;
  }
}

}  // namespace
