// telvor-feed: feeds one camera's video and audio channels in real time
// through the producer library. Run with --help for the options.
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AudioSource.h"
#include "CommandLine.h"
#include "FeedOptions.h"
#include "InputRecords.h"
#include "SoundStamp.h"
#include "TestPattern.h"
#include "telvor_producer.h"

namespace {

using feed::FeedOptions;

constexpr std::uint64_t kTicksPerSecond = 10000000;
// Records read ahead of standard input: slack for a writer that sends in bursts.
constexpr std::size_t kInputFrames = 4;
constexpr std::size_t kInputPackets = 16;

std::atomic<bool> g_stop{false};
std::atomic<std::uint64_t> g_frames{0};
std::atomic<std::uint64_t> g_packets{0};
std::atomic<int> g_exit_code{0};

BOOL WINAPI OnConsoleControl(DWORD) {
  g_stop = true;
  return TRUE;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void Abort(const std::string& what, const char* message) {
  std::fprintf(stderr, "telvor-feed: %s: %s\n", what.c_str(), message);
  g_exit_code = 1;
  g_stop = true;
}

// Sleeps until the 100-ns clock reaches `due`, waking early when stopped.
void WaitUntil(std::uint64_t due) {
  for (;;) {
    const std::uint64_t now = telvor_clock_now();
    if (now >= due || g_stop) return;
    const std::uint64_t ms = (due - now) / 10000;
    Sleep(ms > 50 ? 50 : static_cast<DWORD>(ms));
  }
}

// Next frame of a raw file, starting over at its end.
bool ReadLooped(std::FILE* file, std::vector<std::uint8_t>& frame) {
  if (std::fread(frame.data(), 1, frame.size(), file) == frame.size()) return true;
  std::fseek(file, 0, SEEK_SET);
  return std::fread(frame.data(), 1, frame.size(), file) == frame.size();
}

// The end of standard input ends the whole feed, a read error with exit code 1.
void EndOfInput(const char* kind, const feed::InputRecords& input) {
  std::string why;
  if (!input.EndedCleanly(why)) g_exit_code = 1;
  std::printf("telvor-feed: %s input ended: %s\n", kind, why.c_str());
  std::fflush(stdout);
  g_stop = true;
}

// Standard input as records of `bytes`, the first already in `out`: the pace
// starts with it. Null once the feed stops or the input ends first.
std::unique_ptr<feed::InputRecords> OpenInput(const char* kind, std::size_t bytes, std::size_t depth,
                                              std::uint8_t* out) {
  auto input = std::make_unique<feed::InputRecords>(GetStdHandle(STD_INPUT_HANDLE), bytes, depth);
  for (;;) {
    const auto taken = input->Next(out, 50);
    if (taken == feed::InputRecords::Take::kRecord) return input;
    if (taken == feed::InputRecords::Take::kEnded) EndOfInput(kind, *input);
    if (g_stop) return nullptr;
  }
}

void FeedVideo(const FeedOptions& o, telvor_channel* channel) {
  const feed::Picture picture = {o.fourcc, o.width, o.height};
  std::vector<std::uint8_t> frame(feed::PictureBytes(picture));
  std::unique_ptr<feed::InputRecords> input;
  if (o.yuv_path == L"-" && !(input = OpenInput("video", frame.size(), kInputFrames, frame.data()))) return;
  File yuv(o.yuv_path.empty() || input ? nullptr : _wfopen(o.yuv_path.c_str(), L"rb"));
  if (!o.yuv_path.empty() && !input && !yuv) return Abort(tools::Utf8(o.yuv_path), "cannot open");
  File dump(o.dump_path.empty() ? nullptr : _wfopen(o.dump_path.c_str(), L"wb"));
  if (!o.dump_path.empty() && !dump) return Abort(tools::Utf8(o.dump_path), "cannot create");
  std::optional<feed::TestPattern> pattern;
  if (!yuv && !input) pattern.emplace(picture);
  const double pixels_per_tick = 4.0 * o.fps / kTicksPerSecond;  // the block moves 4 pixels a frame
  const std::uint64_t start = telvor_clock_now();
  for (std::uint64_t k = 0; !g_stop; ++k) {
    // The picture is made before its time comes, so that frames leave on
    // time however long the drawing takes.
    const std::uint64_t due = start + static_cast<std::uint64_t>(static_cast<double>(k) * kTicksPerSecond / o.fps);
    if (yuv) {
      if (!ReadLooped(yuv.get(), frame)) return Abort(tools::Utf8(o.yuv_path), "shorter than one frame");
    } else if (input) {
      // Nothing new from a stalled writer: the last frame again, so the camera keeps its picture.
      if (k > 0 && input->Next(frame.data(), 0) == feed::InputRecords::Take::kEnded) return EndOfInput("video", *input);
    } else {
      const std::uint64_t phase = o.deterministic ? k * 4 : static_cast<std::uint64_t>((due - start) * pixels_per_tick);
      pattern->Draw(k, phase, frame.data());
    }
    WaitUntil(due);
    if (g_stop) break;
    // The stamped time doubles as the header's timestamp, so both tell the same write time.
    const std::uint64_t stamp = o.stamp ? telvor_clock_now() : TELVOR_TIMESTAMP_NOW;
    if (o.stamp) feed::DrawStampBand(picture, stamp, frame.data());
    // Dumped first: every frame a camera can show is on disk by then, also
    // when the feed is killed right after writing it.
    if (dump && k < o.dump_frames) {
      std::fwrite(frame.data(), 1, frame.size(), dump.get());
      std::fflush(dump.get());
    }
    if (dump && k + 1 == o.dump_frames) dump.reset();
    const telvor_result result =
        telvor_write(channel, frame.data(), static_cast<std::uint32_t>(frame.size()), stamp);
    if (result != TELVOR_OK) return Abort("video", telvor_last_error_message());
    ++g_frames;
  }
}

void FeedAudio(const FeedOptions& o, telvor_channel* channel, feed::AudioSource& source) {
  const std::uint32_t frames = feed::kAudioRate / 1000 * o.packet_ms;
  std::vector<std::int16_t> packet(static_cast<std::size_t>(frames) * feed::kAudioChannels);
  auto* bytes = reinterpret_cast<std::uint8_t*>(packet.data());
  std::unique_ptr<feed::InputRecords> input;
  if (o.pcm_stdin && !(input = OpenInput("audio", frames * feed::kAudioFrameBytes, kInputPackets, bytes))) return;
  const std::uint64_t start = telvor_clock_now();
  const std::uint64_t packet_ticks = std::uint64_t{o.packet_ms} * 10000;
  for (std::uint64_t n = 0; !g_stop; ++n) {
    WaitUntil(start + n * packet_ticks);
    if (g_stop) break;
    if (!input) {
      source.Fill(packet.data(), frames);
    } else if (n > 0) {
      const auto taken = input->Next(bytes, 0);
      if (taken == feed::InputRecords::Take::kEnded) return EndOfInput("audio", *input);
      // A stalled writer gets silence, not its last packet over and over.
      if (taken == feed::InputRecords::Take::kNone) std::fill(packet.begin(), packet.end(), std::int16_t{0});
    }
    const std::uint64_t stamp = o.stamp ? telvor_clock_now() : TELVOR_TIMESTAMP_NOW;
    if (o.stamp) feed::WriteSoundStamp({stamp & feed::kSoundTimeMask, static_cast<std::uint32_t>(n)}, packet.data(), frames);
    const telvor_result result = telvor_write(channel, packet.data(), frames * feed::kAudioFrameBytes, stamp);
    if (result != TELVOR_OK) return Abort("audio", telvor_last_error_message());
    ++g_packets;
  }
}

telvor_channel* OpenVideo(const FeedOptions& o) {
  const telvor_video_format format = {o.fourcc, o.width, o.height, o.fps, 0, o.live_slots};
  telvor_channel* channel = nullptr;
  if (telvor_open_video(o.camera, o.global_names ? TELVOR_GLOBAL_NAMES : 0, &format, &channel) != TELVOR_OK) {
    Abort("video", telvor_last_error_message());
  }
  return channel;
}

telvor_channel* OpenAudio(const FeedOptions& o) {
  // Slots of 100 ms unless the packets are longer.
  const std::uint32_t packet_bytes = feed::kAudioRate / 1000 * o.packet_ms * feed::kAudioFrameBytes;
  const telvor_audio_format format = {feed::kAudioChannels, 16, feed::kAudioRate, o.packet_ms > 100 ? packet_bytes : 0};
  telvor_channel* channel = nullptr;
  if (telvor_open_audio(o.camera, o.global_names ? TELVOR_GLOBAL_NAMES : 0, &format, &channel) != TELVOR_OK) {
    Abort("audio", telvor_last_error_message());
  }
  return channel;
}

// "; watched by ffmpeg.exe (1234) 1280x720 YUY2 30 fps" or "; nobody watching".
void PrintWatchers(const FeedOptions& o) {
  telvor_watcher watchers[8];
  std::uint32_t count = 0;
  if (telvor_watchers(o.camera, o.global_names ? TELVOR_GLOBAL_NAMES : 0, watchers, 8, &count) != TELVOR_OK) return;
  if (count == 0) {
    std::printf("; nobody watching");
    return;
  }
  for (std::uint32_t i = 0; i < count && i < 8; ++i) {
    const telvor_watcher& w = watchers[i];
    std::printf(i == 0 ? "; watched by %s (%u) " : ", %s (%u) ", w.executable, static_cast<unsigned>(w.process_id));
    if (w.kind == TELVOR_WATCHER_VIDEO) {
      std::printf("%ux%u %s %g fps", static_cast<unsigned>(w.width), static_cast<unsigned>(w.height), w.format, w.rate);
    } else {
      std::printf("audio %s %g Hz", w.format, w.rate);
    }
  }
  if (count > 8) std::printf(" and %u more", static_cast<unsigned>(count - 8));
}

void PrintStatus(const FeedOptions& o, double elapsed, std::uint64_t frames, std::uint64_t packets) {
  std::printf("telvor-feed: camera %d, %.1f s: ", o.camera, elapsed);
  if (o.video) std::printf("%llu frames (%.1f/s)", static_cast<unsigned long long>(frames), frames / elapsed);
  if (o.video && o.audio) std::printf(", ");
  if (o.audio) std::printf("%llu packets (%.1f/s)", static_cast<unsigned long long>(packets), packets / elapsed);
  PrintWatchers(o);
  std::printf("\n");
  std::fflush(stdout);
}

// Main thread: waits for the end and prints the status lines.
void Supervise(const FeedOptions& o) {
  const std::uint64_t start = telvor_clock_now();
  std::uint64_t next_status = start + static_cast<std::uint64_t>(o.status_s * kTicksPerSecond);
  while (!g_stop) {
    Sleep(20);
    const std::uint64_t now = telvor_clock_now();
    if (o.duration_s > 0 && now - start >= static_cast<std::uint64_t>(o.duration_s * kTicksPerSecond)) g_stop = true;
    if (o.status_s > 0 && now >= next_status && !g_stop) {
      PrintStatus(o, static_cast<double>(now - start) / kTicksPerSecond, g_frames, g_packets);
      next_status += static_cast<std::uint64_t>(o.status_s * kTicksPerSecond);
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  FeedOptions options;
  std::string error;
  if (!feed::ParseOptions(argc, argv, options, error)) return tools::RefuseCommandLine("telvor-feed", error, 2);
  if (options.help) {
    std::fputs(feed::kFeedHelp, stdout);
    return 0;
  }
  feed::AudioSource sound(options.tone_hz);
  if (options.audio && !options.wav_path.empty() && !sound.OpenWav(options.wav_path, error)) {
    std::fprintf(stderr, "telvor-feed: %s\n", error.c_str());
    return 1;
  }
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  timeBeginPeriod(1);  // 1 ms sleeps keep the pacing within a millisecond
  telvor_channel* video = options.video ? OpenVideo(options) : nullptr;
  telvor_channel* audio = options.audio && !g_stop ? OpenAudio(options) : nullptr;
  std::thread video_thread, audio_thread;
  if (!g_stop && video) video_thread = std::thread(FeedVideo, std::cref(options), video);
  if (!g_stop && audio) audio_thread = std::thread(FeedAudio, std::cref(options), audio, std::ref(sound));
  const std::uint64_t start = telvor_clock_now();
  Supervise(options);
  if (video_thread.joinable()) video_thread.join();
  if (audio_thread.joinable()) audio_thread.join();
  const double elapsed = static_cast<double>(telvor_clock_now() - start) / kTicksPerSecond;
  if (g_exit_code == 0 && elapsed > 0) PrintStatus(options, elapsed, g_frames, g_packets);
  telvor_close(video);
  telvor_close(audio);
  timeEndPeriod(1);
  return g_exit_code;
}
