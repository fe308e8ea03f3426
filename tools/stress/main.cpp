// telvor-stress: long runs against the built module with a producer feeding
// the camera, then a check that the process is back where it started.
//
//   telvor-stress [--module PATH] [--camera INDEX] [--run-cycles N] [--create-cycles N]
//                 [--kinds video|audio|both]
//
// It loads a private copy of TELVOR.AX (with its own TELVOR.INI) the way a
// host does, builds a graph of the camera's video and audio filters feeding
// null renderers, runs and stops it N times (default 500), creates and
// destroys each filter kind M times (default 200), and compares the
// process's handles, GDI and USER objects, private memory and threads with
// their values after a short warm-up. At the end, with everything released,
// DllCanUnloadNow must answer S_OK, and once the module is freed the host's
// own exceptions must still work. Exit code 0 when all holds.
#include <windows.h>
#include <dshow.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "ProcessCounters.h"
#include "StressModule.h"
#include "base/ModuleFileName.h"
#include "framework/ComPtr.h"
#include "telvor_producer.h"

namespace {

struct Options {
  std::wstring module;
  int camera = 63;
  int runCycles = 500;
  int createCycles = 200;
  bool video = true;
  bool audio = true;
};

const char kUsage[] =
    "usage: telvor-stress [--module PATH] [--camera INDEX] [--run-cycles N] [--create-cycles N] "
    "[--kinds video|audio|both]\n";

bool ParseKinds(const wchar_t* text, Options* options) {
  const std::wstring kinds = text;
  options->video = kinds == L"video" || kinds == L"both";
  options->audio = kinds == L"audio" || kinds == L"both";
  return options->video || options->audio;
}

bool ParseOptions(int argc, wchar_t** argv, Options* options, bool& help, std::string& error) {
  std::uint32_t camera = 63, runCycles = 500, createCycles = 200;
  const std::vector<tools::Option> table = {
      {L"--module", true, [&](const wchar_t* v) { return !(options->module = v).empty(); }},
      {L"--camera", true, [&](const wchar_t* v) { return tools::ReadCount(v, 0, 63, camera); }},
      {L"--run-cycles", true, [&](const wchar_t* v) { return tools::ReadCount(v, 0, INT_MAX, runCycles); }},
      {L"--create-cycles", true, [&](const wchar_t* v) { return tools::ReadCount(v, 0, INT_MAX, createCycles); }},
      {L"--kinds", true, [&](const wchar_t* v) { return ParseKinds(v, options); }},
  };
  if (!tools::ReadCommandLine(argc, argv, table, help, error)) return false;
  options->camera = static_cast<int>(camera);
  options->runCycles = static_cast<int>(runCycles);
  options->createCycles = static_cast<int>(createCycles);
  if (options->module.empty()) {
    const std::wstring own = telvor::ModuleFileName(nullptr);
    options->module = own.substr(0, own.find_last_of(L"\\/") + 1) + L"TELVOR.AX";
  }
  return true;
}

// Feeds the camera's video and audio channels until told to stop.
class Producer {
 public:
  explicit Producer(int camera) {
    const telvor_video_format video = {TELVOR_FOURCC_YUY2, 320, 240, 50.0, 0, 0};
    const telvor_audio_format audio = {2, 16, 48000, 0};
    if (telvor_open_video(camera, 0, &video, &video_) != TELVOR_OK ||
        telvor_open_audio(camera, 0, &audio, &audio_) != TELVOR_OK) {
      std::fprintf(stderr, "producer: %s\n", telvor_last_error_message());
      return;
    }
    thread_ = std::thread([this] { Feed(); });
  }
  ~Producer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (video_) telvor_close(video_);
    if (audio_) telvor_close(audio_);
  }
  bool Ok() const { return thread_.joinable(); }
  unsigned Frames() const { return frames_; }

 private:
  void Feed() {
    std::vector<unsigned char> frame(320 * 240 * 2), packet(48000 / 50 * 4);
    for (unsigned char value = 0; !stop_; ++value) {
      for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<unsigned char>(value + i);
      telvor_write(video_, frame.data(), static_cast<uint32_t>(frame.size()), TELVOR_TIMESTAMP_NOW);
      telvor_write(audio_, packet.data(), static_cast<uint32_t>(packet.size()), TELVOR_TIMESTAMP_NOW);
      ++frames_;
      Sleep(20);
    }
  }
  telvor_channel* video_ = nullptr;
  telvor_channel* audio_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<unsigned> frames_{0};
  std::thread thread_;
};

// A host goes on after freeing the module: an exception it throws must be
// its own business, with nothing of the module's left in the dispatch. Runs
// on a thread of its own so that a hang is reported instead of inherited.
DWORD WINAPI ThrowAndCatch(void*) {
  try {
    throw std::runtime_error("host exception");
  } catch (const std::runtime_error&) {
    return 1;
  }
}

bool HostExceptionsStillWork() {
  HANDLE thread = CreateThread(nullptr, 0, &ThrowAndCatch, nullptr, 0, nullptr);
  if (!thread) return false;
  DWORD caught = 0;
  const bool ended = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0 && GetExitCodeThread(thread, &caught);
  CloseHandle(thread);
  return ended && caught == 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  bool help = false;
  std::string error;
  if (!ParseOptions(argc, argv, &options, help, error)) return tools::RefuseCommandLine("telvor-stress", error, 2);
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
  int status = 0;
  {
    StressModule module(options.module, options.camera);
    if (!module.Load(options.video, options.audio)) return 4;
    Producer producer(options.camera);
    if (!producer.Ok()) return 5;
    {
      StressGraph graph(module);
      if (!graph.Build(options.video, options.audio)) return 6;
      auto createDestroy = [&] {
        return (!options.video || module.CreateDestroy(StressKind::kVideo)) &&
               (!options.audio || module.CreateDestroy(StressKind::kAudio));
      };
      // First-time costs (the runtime's own DLLs, thread pools, caches)
      // are not leaks: the baseline is taken after a few rounds.
      for (int i = 0; i < 5; ++i) {
        if (!graph.RunStop() || !createDestroy()) return 7;
      }
      const ProcessCounters before = ProcessCounters::Take();
      const ULONGLONG started = GetTickCount64();
      int failures = 0;
      for (int i = 0; i < options.runCycles; ++i) failures += graph.RunStop() ? 0 : 1;
      const ULONGLONG ran = GetTickCount64();
      for (int i = 0; i < options.createCycles; ++i) failures += createDestroy() ? 0 : 1;
      const ULONGLONG created = GetTickCount64();
      const ProcessCounters after = ProcessCounters::Take();
      std::printf("telvor-stress: camera %d, %d run/stop cycles in %.1f s, %d create/destroy cycles of each "
                  "filter kind in %.1f s, %u producer frames, %d failed steps\n",
                  options.camera, options.runCycles, (ran - started) / 1000.0, options.createCycles,
                  (created - ran) / 1000.0, producer.Frames(), failures);
      const bool steady = ReportCounters(stdout, before, after, CounterBounds());
      if (failures || !steady) status = 1;
    }
    const HRESULT unload = module.CanUnloadNow();
    std::printf("  DllCanUnloadNow after release: 0x%08lX %s\n", static_cast<unsigned long>(unload),
                unload == S_OK ? "ok" : "STILL IN USE");
    if (unload != S_OK) status = 1;
  }
  const bool hostGoesOn = HostExceptionsStillWork();
  std::printf("  host exception after FreeLibrary: %s\n", hostGoesOn ? "ok" : "NOT CAUGHT");
  if (!hostGoesOn) status = 1;
  CoUninitialize();
  std::printf("telvor-stress: %s\n", status == 0 ? "PASS" : "FAIL");
  return status;
}
