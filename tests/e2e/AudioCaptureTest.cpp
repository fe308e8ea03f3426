// FFmpeg records a camera's microphone while telvor-feed plays a WAV whose
// every sample frame carries its own position: the recording must be the fed
// samples, bit for bit, in order and without gaps.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Clients.h"
#include "ImageFiles.h"
#include "InstalledModule.h"
#include "support/CameraIndexes.h"

namespace {

using telvor::e2e::FeedProcess;
using telvor::e2e::InstalledModule;
using telvor::e2e::Widen;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kWavFrames = 4 * kRate;  // longer than the recording, looped by the feed
constexpr std::uint16_t kMarker = 0x4000;        // in every right sample: silence (0, 0) never decodes
constexpr int kWidth = 320, kHeight = 240, kFps = 30;  // the camera's video, when recorded too
// Frame i: left = low 16 bits of i, right = the marker and the high bits.
std::string PositionWav() {
  const std::vector<std::uint8_t> header = capture::WavHeader(2, kRate, 16, kWavFrames * 4);
  std::string wav(header.begin(), header.end());
  for (std::uint32_t i = 0; i < kWavFrames; ++i) {
    const std::uint16_t right = kMarker | (i >> 16);
    const char frame[4] = {static_cast<char>(i), static_cast<char>(i >> 8), static_cast<char>(right),
                           static_cast<char>(right >> 8)};
    wav.append(frame, 4);
  }
  return wav;
}

// The WAV position a recorded frame carries, or -1 for anything else.
long Position(std::uint16_t left, std::uint16_t right) {
  if ((right & 0xFF00) != kMarker) return -1;
  const long position = static_cast<long>(left) | (static_cast<long>(right & 0xFF) << 16);
  return position < static_cast<long>(kWavFrames) ? position : -1;
}

// The data chunk of a WAV file FFmpeg wrote; empty when there is none.
std::string WavData(const std::string& wav) {
  for (size_t at = 12; at + 8 <= wav.size();) {
    const std::uint32_t size = static_cast<std::uint8_t>(wav[at + 4]) | static_cast<std::uint8_t>(wav[at + 5]) << 8 |
                               static_cast<std::uint8_t>(wav[at + 6]) << 16 |
                               static_cast<std::uint32_t>(static_cast<std::uint8_t>(wav[at + 7])) << 24;
    if (wav.compare(at, 4, "data") == 0) return wav.substr(at + 8, size);
    at += 8 + size + (size & 1);
  }
  return {};
}

// The plain recording commands, no re-stamping: a camera is a live source,
// so "-t 3" must give three seconds of the producer's sound, alone and beside
// the camera's pictures in one input.
TEST(AudioCapture, ThreeSecondRecordingIsTheFedSamplesInOrder) {
  ASSERT_TRUE(telvor::e2e::FfmpegPresent()) << "scripts/fetch-ffmpeg build/windows/third_party";
  const int index = telvor::test::kEndToEndCameras + 7;
  const std::string camera = "TELVOR e2e camera " + std::to_string(index);
  const std::string microphone = "TELVOR e2e microphone " + std::to_string(index);
  InstalledModule module(telvor::e2e::CameraSettings(index, camera, microphone, kWidth, kHeight));
  ASSERT_TRUE(module.Copied());
  ASSERT_EQ(module.Register().exitCode, 0);
  const std::wstring wav = module.Dir().File(L"positions.wav");
  telvor::test::WriteTextFile(wav, PositionWav());
  const std::wstring recording = module.Dir().File(L"recording.wav"), pictures = module.Dir().File(L"pictures.raw");

  for (const bool withVideo : {false, true}) {
    SCOPED_TRACE(withVideo ? "video and audio in one input" : "audio alone");
    FeedProcess feed(module.Dir(), L"--camera " + std::to_wstring(index) + L" --size " + std::to_wstring(kWidth) +
                                       L"x" + std::to_wstring(kHeight) + L" --fps " + std::to_wstring(kFps) +
                                       L" --packet-ms 20 --status 0 --duration 60 --wav " + telvor::e2e::Quoted(wav));
    ASSERT_TRUE(feed.WaitForChannel(index, false, 10000)) << feed.Output();
    const std::wstring arguments =
        withVideo ? telvor::e2e::VideoInput(camera, kWidth, kHeight, "yuyv422", microphone) +
                        L" -vsync 0 -map 0:v -t 3 -f rawvideo -y " + telvor::e2e::Quoted(pictures) + L" -map 0:a"
                  : L" -f dshow -i " + telvor::e2e::Quoted(L"audio=" + Widen(microphone));
    const ULONGLONG started = GetTickCount64();
    const auto result =
        telvor::e2e::RunFfmpeg(module.Dir(), L"-loglevel error" + arguments + L" -t 3 -y " + telvor::e2e::Quoted(recording));
    const ULONGLONG took = GetTickCount64() - started;
    ASSERT_EQ(result.exitCode, 0) << result.output;
    feed.Stop();
    EXPECT_GE(took, 2900u) << "the recording ended early";

    const std::string bytes = WavData(telvor::e2e::ReadFileBytes(recording));
    const size_t frames = bytes.size() / 4;
    auto sample = [&](size_t i, int channel) {
      return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[4 * i + 2 * channel]) |
                                        static_cast<std::uint8_t>(bytes[4 * i + 2 * channel + 1]) << 8);
    };
    // Silence until the first packet reaches the pin, then fed frames in the
    // order they were fed. A loaded machine may delay a packet past its
    // deadline, so a silent buffer may go out in between, or a packet that
    // came too late be dropped; no frame may repeat, go back or be anything
    // but a fed frame or silence.
    size_t first = 0;
    while (first < frames && sample(first, 0) == 0 && sample(first, 1) == 0) ++first;
    size_t fed = 0, silent = 0;
    long last = -1;
    std::string wrong;
    for (size_t i = first; i < frames; ++i) {
      const long now = Position(sample(i, 0), sample(i, 1));
      const long wrap = kWavFrames, ahead = (now - last + wrap) % wrap;
      if (now < 0 && sample(i, 0) == 0 && sample(i, 1) == 0) {
        ++silent;
      } else if (now < 0 || (last >= 0 && (ahead == 0 || ahead > wrap / 2))) {
        if (wrong.size() < 200) wrong += " [" + std::to_string(i) + ": " + std::to_string(last) + " -> " + std::to_string(now) + "]";
      } else {
        ++fed;
        last = now;
      }
    }
    EXPECT_GE(fed, size_t{kRate} * 285 / 100) << frames << " frames recorded, " << first << " silent ones first, "
                                               << silent << " silent ones later";
    EXPECT_EQ(wrong, "");
    if (!withVideo) continue;
    // The pictures: the producer's from the first frame or the second, to the end.
    const auto runs = telvor::e2e::ShownRuns(telvor::e2e::ReadFileBytes(pictures), kWidth, kHeight);
    size_t count = 0;
    for (const auto& run : runs) count += run.count;
    EXPECT_GE(count, size_t{kFps} * 285 / 100) << runs;
    ASSERT_FALSE(runs.empty());
    const size_t lead = runs[0].kind == telvor::e2e::Shown::kBlack && runs[0].count <= 1 ? 1 : 0;
    ASSERT_EQ(runs.size(), lead + 1) << runs;
    EXPECT_EQ(runs[lead].kind, telvor::e2e::Shown::kFed) << runs;
  }
}

}  // namespace
