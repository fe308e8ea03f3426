// FFmpeg records a camera's microphone while telvor-feed plays a WAV whose
// every sample frame carries its own position: the recording must be the fed
// samples, bit for bit, in order and without gaps. Then telvor-capture, as an
// application of its own, measures the same camera and microphone.

#include <algorithm>
#include <cmath>
#include <cstdlib>
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

// One figure of telvor-capture's output (after its summary line, a line
// "key=value" each); NaN, which fails every comparison, when it is missing.
double Figure(const std::string& output, const std::string& key) {
  const size_t at = output.find("\n" + key + "=");
  if (at == std::string::npos) return std::nan("");
  const char* begin = output.c_str() + at + key.size() + 2;
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  return end == begin ? std::nan("") : value;
}

// Registered with the system's tool, the camera and its microphone are listed
// by FFmpeg once each, and gone once unregistered. The plain recording
// commands, no re-stamping: a camera is a live source, so "-t 3" must give
// three seconds of the producer's sound, alone and beside the camera's
// pictures in one input.
TEST(AudioCapture, ListedOnceRecordedBitForBitAndMeasuredOnTimeAndNothingBeforeRun) {
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

  // 500 ms packets are longer than the pin's buffers: each goes out whole over two.
  for (const auto& [withVideo, packetMs] : {std::pair{false, 20}, {true, 20}, {false, 500}}) {
    SCOPED_TRACE(testing::Message() << (withVideo ? "video and audio in one input" : "audio alone") << ", packets of "
                                    << packetMs << " ms");
    FeedProcess feed(module.Dir(), index, L"--size 320x240 --fps 30 --packet-ms " + std::to_wstring(packetMs) +
                                              L" --duration 60 --wav " + Quoted(wav));
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

  FeedProcess feed(module.Dir(), index, L"--size 320x240 --fps 30 --stamp --no-audio --duration 8");
  ASSERT_TRUE(feed.WaitForChannel(true)) << feed.Output();
  Sleep(200);  // a few pictures written before the capture starts
  const std::wstring tool = Tool(L"capture/telvor-capture.exe");
  const auto video = RunCaptured(module.Dir(), tool + L" --video " + Quoted(Widen(camera)) +
                                                   L" --format rgb24 --size 320x240 --duration 2");
  ASSERT_EQ(0, video.exitCode) << video.output;
  EXPECT_NE(video.output.find("telvor-capture: " + camera + " video RGB24 320x240: "), video.output.npos) << video.output;
  auto figure = [&](const char* key) { return Figure(video.output, key); };
  EXPECT_EQ(1, figure("bottom_up"));
  // Two seconds at 30 per second on a busy machine: most samples, on the stamp
  // grid. The window opens at the first arrival, so a late first sample and
  // the catch-up after it fit one more in.
  EXPECT_GE(figure("samples"), 50) << video.output;
  EXPECT_LE(figure("samples"), 62) << video.output;
  EXPECT_EQ(0, figure("times_off_grid")) << video.output;
  // The producer's pictures arrive and are read back, write times included.
  EXPECT_GE(figure("frames_distinct"), 40) << video.output;
  EXPECT_GT(figure("latency_count"), 0) << video.output;
  EXPECT_EQ(0, figure("frames_backwards")) << video.output;
  // The producer ran before the capture, so its picture is there from the first sample.
  EXPECT_GE(figure("video_first_frame_delay_ms"), 0.0) << video.output;
  const auto audio = RunCaptured(module.Dir(), tool + L" --audio " + Quoted(Widen(microphone)) + L" --duration 1");
  ASSERT_EQ(0, audio.exitCode) << audio.output;
  // A live source: nothing before Run, and every stamp at or before the
  // stream time it arrived at (a 1 ms allowance for the clock's granularity).
  for (const auto& [kind, output] : {std::pair{std::string("video"), video.output}, {"audio", audio.output}}) {
    EXPECT_EQ(0, Figure(output, kind + "_before_run")) << output;
    EXPECT_EQ(Figure(output, "samples"), Figure(output, kind + "_offset_count")) << output;
    EXPECT_GE(Figure(output, kind + "_offset_min_ms"), -1.0) << output;
  }
  ASSERT_EQ(module.Unregister().exitCode, 0);
  EXPECT_EQ(listed(), std::vector<std::string>());
}

}  // namespace
