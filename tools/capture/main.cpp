// telvor-capture: a DirectShow capture client that measures what an
// application gets from a camera. Run with --help for the options.
#include <windows.h>
#include <dshow.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "CaptureOptions.h"
#include "CommandLine.h"
#include "CaptureSink.h"
#include "Device.h"
#include "FrameSaver.h"
#include "Report.h"
#include "base/Handle.h"
#include "telvor_producer.h"

namespace {

using namespace capture;

constexpr std::int64_t kTicksPerSecond = 10000000;
// Time allowed for the graph to start and the first sample to arrive.
constexpr DWORD kFirstSampleGraceMs = 20000;

HANDLE g_interrupted = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(g_interrupted);
  return TRUE;
}


int Failure(const char* what, HRESULT hr, const std::string& detail = {}) {
  std::fprintf(stderr, "telvor-capture: %s (0x%08lX)%s%s\n", what, static_cast<unsigned long>(hr),
               detail.empty() ? "" : ": ", detail.c_str());
  return 1;
}

void ListAll() {
  for (DeviceKind kind : {DeviceKind::kVideo, DeviceKind::kAudio}) {
    std::printf("%s capture devices:\n", kind == DeviceKind::kVideo ? "video" : "audio");
    const std::vector<std::wstring> names = ListDevices(kind);
    if (names.empty()) std::printf("  (none)\n");
    for (std::size_t i = 0; i < names.size(); ++i) std::printf("  %zu: %s\n", i, tools::Utf8(names[i]).c_str());
  }
}

struct Session {
  ComPtr<IBaseFilter> camera;
  std::wstring name;
  ComPtr<IPin> pin;
  CMediaType chosen;
  ComPtr<IGraphBuilder> graph;
  ComPtr<CaptureSink> sink;
};

int OpenAndConnect(const CaptureOptions& o, Session& s) {
  const DeviceKind kind = o.audio ? DeviceKind::kAudio : DeviceKind::kVideo;
  HRESULT hr = OpenDevice(kind, o.device, s.camera, s.name);
  if (FAILED(hr)) return Failure("no such capture device (try --list)", hr, tools::Utf8(o.device));
  hr = FindCapturePin(s.camera.Get(), s.pin);
  if (FAILED(hr)) return Failure("the device has no output pin", hr);
  std::string why;
  hr = o.audio ? NegotiateAudio(s.pin.Get(), s.chosen, why)
               : NegotiateVideo(s.pin.Get(), {o.format, o.width, o.height, o.fps}, s.chosen, why);
  if (FAILED(hr)) return Failure("the device does not offer that format", hr, why);
  hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, s.graph.PutVoid());
  if (FAILED(hr)) return Failure("cannot create the filter graph", hr);
  const REFERENCE_TIME period = o.audio ? 0 : FrameDurationOf(s.chosen);
  const auto window = static_cast<std::int64_t>(o.duration_s * kTicksPerSecond);
  // Room for every expected sample (audio: 10 ms packets) plus slack, so Receive never allocates.
  const std::int64_t expected = window / (period > 0 ? period : 100000) * 2 + 64;
  s.sink = CaptureSink::Create(o.audio ? MEDIATYPE_Audio : MEDIATYPE_Video, window, static_cast<std::size_t>(expected));
  hr = s.graph->AddFilter(s.camera.Get(), s.name.c_str());
  if (SUCCEEDED(hr)) hr = s.graph->AddFilter(s.sink.Get(), L"telvor-capture");
  if (FAILED(hr)) return Failure("cannot add the filters to the graph", hr);
  hr = s.graph->ConnectDirect(s.pin.Get(), s.sink->InputPin(), &s.chosen);
  if (FAILED(hr)) return Failure("the device's pin does not connect", hr);
  // The graph would pick this clock itself; asking makes the choice explicit.
  hr = s.graph->SetDefaultSyncSource();
  if (FAILED(hr)) return Failure("the graph has no clock", hr);
  return 0;
}

// Runs the graph until the window has passed, Ctrl+C, or no sample came.
int RunGraph(const CaptureOptions& o, Session& s) {
  ComPtr<IMediaControl> control;
  HRESULT hr = s.graph->QueryInterface(IID_IMediaControl, control.PutVoid());
  if (SUCCEEDED(hr)) hr = control->Run();
  if (FAILED(hr)) return Failure("the graph does not run", hr);
  const HANDLE waits[2] = {s.sink->WindowDone(), g_interrupted};
  const DWORD limit = static_cast<DWORD>(o.duration_s * 1000) + kFirstSampleGraceMs;
  const DWORD result = WaitForMultipleObjects(2, waits, FALSE, limit);
  control->Stop();
  if (result == WAIT_OBJECT_0 + 1) std::fprintf(stderr, "telvor-capture: interrupted; figures cover what arrived\n");
  if (result == WAIT_TIMEOUT && !s.sink->Records().empty()) {
    std::fprintf(stderr, "telvor-capture: samples stopped before the window ended\n");
  }
  return 0;
}

void Print(const CaptureOptions& o, const Session& s, const KeyValues& figures) {
  const PictureLayout layout = LayoutOf(s.chosen);
  const std::string device = tools::Utf8(s.name);
  if (!o.quiet) {
    if (o.audio) {
      std::printf("telvor-capture: %s audio: %s\n", device.c_str(), AudioSummary(figures).c_str());
    } else {
      std::printf("telvor-capture: %s video %s %dx%d: %s\n", device.c_str(), FormatName(layout.format), layout.width,
                  layout.height, VideoSummary(figures).c_str());
    }
  }
  std::printf("device=%s\nkind=%s\n", device.c_str(), o.audio ? "audio" : "video");
  if (!o.audio) {
    std::printf("format=%s\nwidth=%d\nheight=%d\nbottom_up=%d\n", FormatName(layout.format), layout.width,
                layout.height, layout.bottomUp ? 1 : 0);
  }
  for (const auto& [key, value] : figures) std::printf("%s=%s\n", key.c_str(), value.c_str());
  std::fflush(stdout);
}

const WAVEFORMATEX* WaveFormatOf(const AM_MEDIA_TYPE& type) {
  if (!IsEqualGUID(type.formattype, FORMAT_WaveFormatEx) || type.cbFormat < sizeof(WAVEFORMATEX)) return nullptr;
  return reinterpret_cast<const WAVEFORMATEX*>(type.pbFormat);
}

int Capture(const CaptureOptions& o) {
  Session s;
  if (int code = OpenAndConnect(o, s)) return code;
  const CMediaType& connected = s.sink->ConnectionType();
  const PictureLayout layout = LayoutOf(connected);
  const WAVEFORMATEX* wave = WaveFormatOf(connected);
  if (o.audio && !wave) return Failure("the audio connection has no wave format", VFW_E_INVALIDMEDIATYPE);
  s.sink->SetLayout(layout);
  FrameSaver saver(layout, o.save_count);
  std::string error;
  if (!o.raw_path.empty() && !saver.OpenRaw(o.raw_path, error)) return Failure("output", E_FAIL, error);
  if (!o.png_prefix.empty()) saver.SetPngPrefix(o.png_prefix);
  if (!o.wav_path.empty() && !saver.OpenWav(o.wav_path, wave->nChannels, wave->nSamplesPerSec, wave->wBitsPerSample, error)) {
    return Failure("output", E_FAIL, error);
  }
  if (!o.raw_path.empty() || !o.png_prefix.empty() || !o.wav_path.empty()) {
    s.sink->SetConsumer([&saver](const std::uint8_t* data, std::size_t size) { saver.Save(data, size); });
  }
  if (int code = RunGraph(o, s)) return code;
  if (!saver.Finish(error)) std::fprintf(stderr, "telvor-capture: %s\n", error.c_str());
  if (s.sink->Records().empty()) {
    std::fprintf(stderr, "telvor-capture: no sample arrived\n");
    return 3;
  }
  CaptureRun run;
  run.window = static_cast<std::int64_t>(o.duration_s * kTicksPerSecond);
  run.period = FrameDurationOf(connected);
  run.cpuTime = s.sink->CpuTime();
  if (wave) {
    run.blockAlign = wave->nBlockAlign ? wave->nBlockAlign : 1;
    run.samplesPerSecond = wave->nSamplesPerSec;
  }
  Print(o, s, o.audio ? AudioFigures(s.sink->Records(), run) : VideoFigures(s.sink->Records(), run));
  return 0;
}

// The pacing clock on its own, so a capture's jitter can be set beside what
// the machine (and the runtime's clock) gives without any camera.
int MeasureClock(const CaptureOptions& o) {
  ComPtr<IReferenceClock> clock;
  HRESULT hr = CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                                clock.PutVoid());
  if (FAILED(hr)) return Failure("cannot create the system clock", hr);
  const double fps = o.fps > 0 ? o.fps : 30;
  const auto period = static_cast<REFERENCE_TIME>(kTicksPerSecond / fps + 0.5);
  const auto count = static_cast<std::size_t>(o.duration_s * kTicksPerSecond / static_cast<double>(period));
  UniqueHandle semaphore(CreateSemaphoreW(nullptr, 0, 0x7fffffff, nullptr));
  if (!semaphore) return Failure("cannot create a semaphore", HRESULT_FROM_WIN32(GetLastError()));
  REFERENCE_TIME now = 0;
  DWORD_PTR cookie = 0;
  hr = clock->GetTime(&now);
  if (SUCCEEDED(hr)) {
    hr = clock->AdvisePeriodic(now + period, period, reinterpret_cast<HSEMAPHORE>(semaphore.Get()), &cookie);
  }
  if (FAILED(hr)) return Failure("the clock refuses a periodic advise", hr);
  std::vector<std::int64_t> wakeups;
  wakeups.reserve(count + 1);
  const HANDLE waits[2] = {semaphore.Get(), g_interrupted};
  const auto patience = static_cast<DWORD>(period / 10000 * 10 + 1000);
  while (wakeups.size() <= count && WaitForMultipleObjects(2, waits, FALSE, patience) == WAIT_OBJECT_0) {
    wakeups.push_back(static_cast<std::int64_t>(telvor_clock_now()));
  }
  clock->Unadvise(cookie);
  const KeyValues figures = ClockFigures(wakeups, period);
  if (!o.quiet) {
    std::printf("telvor-capture: system clock alone, %s wake-ups: jitter p50/p99/max %s/%s/%s ms\n",
                Figure(figures, "wakeups").c_str(), Figure(figures, "jitter_p50_ms").c_str(),
                Figure(figures, "jitter_p99_ms").c_str(), Figure(figures, "jitter_max_ms").c_str());
  }
  std::printf("kind=clock\n");
  for (const auto& [key, value] : figures) std::printf("%s=%s\n", key.c_str(), value.c_str());
  std::fflush(stdout);
  return wakeups.size() > count ? 0 : 3;
}

int Main(int argc, wchar_t** argv) {
  CaptureOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) return tools::RefuseCommandLine("telvor-capture", error, 2);
  if (options.help) {
    std::fputs(kCaptureHelp, stdout);
    return 0;
  }
  if (options.list) {
    ListAll();
    return 0;
  }
  return options.clock ? MeasureClock(options) : Capture(options);
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return 2;
  g_interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int code = 1;
  if (SUCCEEDED(init)) {
    code = Main(argc, argv);
    CoUninitialize();
  } else {
    code = Failure("COM does not start", init);
  }
  LocalFree(argv);
  return code;
}
