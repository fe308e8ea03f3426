// FFmpeg records a camera's microphone while telvor-feed plays a WAV whose
// every sample frame carries its own position: the recording must be the fed
// samples, bit for bit, in order and without gaps.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Clients.h"
#include "InstalledModule.h"
#include "support/CameraIndexes.h"

namespace {

using telvor::e2e::FeedProcess;
using telvor::e2e::InstalledModule;
using telvor::e2e::Widen;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kWavFrames = 4 * kRate;  // longer than the recording, looped by the feed
constexpr std::uint16_t kMarker = 0x4000;        // in every right sample: silence (0, 0) never decodes
// Counted in packets, not seconds: the pin starts sending when the graph
// pauses, and FFmpeg adds the run's start time only to samples received after
// Run, so its timestamps jump there and "-t" would end the recording early.
// 140 packets: the 20 ms ones of the feed (over two seconds) after a few
// silent ones sent before the first packet arrived. Packets of 20 ms let the
// pin's queue of nine ride out 180 ms of a stalled client before it drops one.
constexpr int kPackets = 140;

// Frame i: left = low 16 bits of i, right = the marker and the high bits.
std::string PositionWav() {
  std::string wav(44 + static_cast<size_t>(kWavFrames) * 4, '\0');
  auto put32 = [&](size_t at, std::uint32_t v) {
    for (int b = 0; b < 4; ++b) wav[at + b] = static_cast<char>(v >> (8 * b));
  };
  auto put16 = [&](size_t at, std::uint32_t v) {
    wav[at] = static_cast<char>(v);
    wav[at + 1] = static_cast<char>(v >> 8);
  };
  wav.replace(0, 4, "RIFF");
  put32(4, static_cast<std::uint32_t>(wav.size() - 8));
  wav.replace(8, 8, "WAVEfmt ");
  put32(16, 16);
  put16(20, 1);  // PCM
  put16(22, 2);
  put32(24, kRate);
  put32(28, kRate * 4);
  put16(32, 4);
  put16(34, 16);
  wav.replace(36, 4, "data");
  put32(40, kWavFrames * 4);
  for (std::uint32_t i = 0; i < kWavFrames; ++i) {
    put16(44 + 4 * size_t{i}, i & 0xFFFF);
    put16(46 + 4 * size_t{i}, kMarker | (i >> 16));
  }
  return wav;
}

// The WAV position a recorded frame carries, or -1 for anything else.
long Position(std::uint16_t left, std::uint16_t right) {
  if ((right & 0xFF00) != kMarker) return -1;
  const long position = static_cast<long>(left) | (static_cast<long>(right & 0xFF) << 16);
  return position < static_cast<long>(kWavFrames) ? position : -1;
}

TEST(AudioCapture, RecordingIsTheFedSamplesInOrderWithoutGaps) {
  ASSERT_TRUE(telvor::e2e::FfmpegPresent()) << "scripts/fetch-ffmpeg build/windows/third_party";
  const int index = telvor::test::kEndToEndCameras + 7;
  const std::string microphone = "TELVOR e2e microphone " + std::to_string(index);
  InstalledModule module(
      "FILTERS=64\r\nFILTER.VIDEO.NAME.56=TELVOR e2e camera 55\r\nFILTER.AUDIO.NAME.56=" + microphone + "\r\n");
  ASSERT_TRUE(module.Copied());
  ASSERT_EQ(module.Register().exitCode, 0);
  const std::wstring wav = module.Dir().File(L"positions.wav");
  telvor::test::WriteTextFile(wav, PositionWav());

  const std::wstring recording = module.Dir().File(L"recording.raw");
  FeedProcess feed(module.Dir(), L"--camera " + std::to_wstring(index) +
                                     L" --no-video --packet-ms 20 --status 0 --duration 60 --wav " +
                                     telvor::e2e::Quoted(wav));
  ASSERT_TRUE(feed.WaitForChannel(index, false, 10000)) << feed.Output();
  const auto result = telvor::e2e::RunFfmpeg(
      module.Dir(), L"-loglevel error -f dshow -i " + telvor::e2e::Quoted(L"audio=" + Widen(microphone)) +
                        L" -frames:a " + std::to_wstring(kPackets) + L" -c:a copy -f s16le -y " +
                        telvor::e2e::Quoted(recording));
  ASSERT_EQ(result.exitCode, 0) << result.output;
  feed.Stop();

  const std::string bytes = telvor::e2e::ReadFileBytes(recording);
  const size_t frames = bytes.size() / 4;
  ASSERT_GE(frames, size_t{kRate} * 2) << "less than 2 s recorded";
  auto sample = [&](size_t i, int channel) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[4 * i + 2 * channel]) |
                                      static_cast<std::uint8_t>(bytes[4 * i + 2 * channel + 1]) << 8);
  };
  // Silence until the first packet reaches the pin, then the fed frames.
  size_t first = 0;
  while (first < frames && sample(first, 0) == 0 && sample(first, 1) == 0) ++first;
  ASSERT_LT(first, size_t{kRate} / 2) << "more than 0.5 s of silence before the first packet";
  long expected = Position(sample(first, 0), sample(first, 1));
  ASSERT_GE(expected, 0) << "the first sound is not a fed frame";
  EXPECT_GE(frames - first, size_t{kRate} * 19 / 10) << "less than 1.9 s of fed sound";
  // When the camera opens, the channel hands over what the producer's ring
  // already holds, more than the pin queues: the oldest packets are dropped,
  // so the first 200 ms may skip forward. After that every frame is the next
  // fed one: no silence, no repeat, no skip.
  const size_t settled = first + kRate / 5;
  std::string jumps;
  int jumpCount = 0;
  for (size_t i = first + 1; i < frames; ++i) {
    const long now = Position(sample(i, 0), sample(i, 1)), before = Position(sample(i - 1, 0), sample(i - 1, 1));
    if (now == (before + 1) % static_cast<long>(kWavFrames)) continue;
    if (i < settled && now > before) continue;
    if (++jumpCount <= 8) {
      jumps += " [" + std::to_string(i) + ": " + std::to_string(before) + " -> " + std::to_string(now) + "]";
    }
  }
  EXPECT_EQ(jumpCount, 0) << "first fed frame at " << first << " of " << frames << ";" << jumps;
}

}  // namespace
