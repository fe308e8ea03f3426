// FFmpeg records a camera's microphone while telvor-feed plays a WAV whose
// every sample frame carries its own position: the recording must be the fed
// samples, bit for bit, in order and without gaps.

#include <algorithm>
#include <cstring>

#include "Clients.h"
#include "ImageFiles.h"

namespace {

using namespace telvor::e2e;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kWavFrames = 4 * kRate;  // longer than the recording, looped by the feed
constexpr std::uint16_t kMarker = 0x4000;        // in every right sample: silence (0, 0) never decodes
constexpr int kWidth = 320, kHeight = 240, kFps = 30;  // the camera's video, when recorded too

// Frame i: left = low 16 bits of i, right = the marker and the high bits.
std::string PositionWav() {
  const std::vector<std::uint8_t> header = capture::WavHeader(2, kRate, 16, kWavFrames * 4);
  std::string wav(header.begin(), header.end());
  for (std::uint32_t i = 0; i < kWavFrames; ++i) {
    const std::uint16_t frame[2] = {static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(kMarker | (i >> 16))};
    wav.append(reinterpret_cast<const char*>(frame), sizeof frame);
  }
  return wav;
}

// The WAV position a recorded frame carries, or -1 for anything else.
long Position(const std::uint16_t* frame) {
  if ((frame[1] & 0xFF00) != kMarker) return -1;
  const long position = static_cast<long>(frame[0]) | (static_cast<long>(frame[1] & 0xFF) << 16);
  return position < static_cast<long>(kWavFrames) ? position : -1;
}

// Registered with the system's tool, the camera and its microphone are listed
// by FFmpeg once each, and gone once unregistered. The plain recording
// commands, no re-stamping: a camera is a live source, so "-t 3" must give
// three seconds of the producer's sound, alone and beside the camera's
// pictures in one input.
TEST(AudioCapture, ListedOnceAndThreeSecondRecordingIsTheFedSamplesInOrder) {
  const int index = kEndToEndCameras + 7;
  const std::string camera = "TELVOR e2e camera " + std::to_string(index);
  const std::string microphone = "TELVOR e2e microphone " + std::to_string(index);
  InstalledModule module(CameraSettings(index, camera, microphone, kWidth, kHeight));
  ASSERT_EQ(module.Register().exitCode, 0);
  const std::vector<std::string> ours = {"audio " + microphone, "video " + camera};
  auto listed = [&] {
    std::vector<std::string> found;
    for (const std::string& device : ListedDevices(module.Dir()))
      if (std::find(ours.begin(), ours.end(), device) != ours.end()) found.push_back(device);
    std::sort(found.begin(), found.end());
    return found;
  };
  EXPECT_EQ(listed(), ours);
  const std::wstring wav = module.Dir().File(L"positions.wav");
  telvor::test::WriteTextFile(wav, PositionWav());
  const std::wstring recording = module.Dir().File(L"recording.pcm"), pictures = module.Dir().File(L"pictures.raw");

  for (const bool withVideo : {false, true}) {
    SCOPED_TRACE(withVideo ? "video and audio in one input" : "audio alone");
    FeedProcess feed(module.Dir(), index, L"--size 320x240 --fps 30 --packet-ms 20 --duration 60 --wav " + Quoted(wav));
    ASSERT_TRUE(feed.WaitForChannel(false)) << feed.Output();
    const std::wstring arguments =
        withVideo ? VideoInput(camera, kWidth, kHeight, "yuyv422", microphone) + L" -vsync 0 -map 0:v -t 3 -f rawvideo -y " +
                        Quoted(pictures) + L" -map 0:a"
                  : L" -f dshow -i " + Quoted(L"audio=" + Widen(microphone));
    const ULONGLONG started = GetTickCount64();
    const auto result =
        RunCaptured(module.Dir(), FfmpegCommand(L"-loglevel error" + arguments + L" -t 3 -f s16le -y " + Quoted(recording)));
    const ULONGLONG took = GetTickCount64() - started;
    ASSERT_EQ(result.exitCode, 0) << result.output;
    feed.Kill();
    EXPECT_GE(took, 2900u) << "the recording ended early";

    // Silence until the first packet reaches the pin, then fed frames in the
    // order they were fed. A loaded machine may delay a packet past its
    // deadline, so a silent buffer may go out in between, or a packet that
    // came too late be dropped; no frame may repeat, go back or be anything
    // but a fed frame or silence.
    const std::string bytes = ReadFileBytes(recording);
    std::vector<std::uint16_t> samples(bytes.size() / 4 * 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    const size_t frames = samples.size() / 2;
    auto silent = [&](size_t i) { return samples[2 * i] == 0 && samples[2 * i + 1] == 0; };
    size_t first = 0, fed = 0, silences = 0;
    while (first < frames && silent(first)) ++first;
    long last = -1;
    std::string wrong;
    for (size_t i = first; i < frames; ++i) {
      const long now = Position(&samples[2 * i]);
      const long wrap = kWavFrames, ahead = (now - last + wrap) % wrap;
      if (now < 0 && silent(i)) {
        ++silences;
      } else if (now < 0 || (last >= 0 && (ahead == 0 || ahead > wrap / 2))) {
        if (wrong.size() < 200) wrong += " [" + std::to_string(i) + ": " + std::to_string(last) + " -> " + std::to_string(now) + "]";
      } else {
        ++fed;
        last = now;
      }
    }
    EXPECT_GE(fed, size_t{kRate} * 285 / 100) << frames << " frames recorded, " << first << " silent ones first, "
                                               << silences << " silent ones later";
    EXPECT_EQ(wrong, "");
    if (!withVideo) continue;
    // The pictures: the producer's from the first frame or the second, to the end.
    const auto runs = ShownRuns(ReadFileBytes(pictures), kWidth, kHeight);
    ASSERT_FALSE(runs.empty());
    ASSERT_EQ(runs.size(), runs[0].kind == ShownRun::kBlack && runs[0].count <= 1 ? 2u : 1u) << runs;
    EXPECT_EQ(runs.back().kind, ShownRun::kFed) << runs;
    EXPECT_GE(runs.back().first + runs.back().count, size_t{kFps} * 285 / 100) << runs;
  }
  ASSERT_EQ(module.Unregister().exitCode, 0);
  EXPECT_EQ(listed(), std::vector<std::string>());
}

}  // namespace
