// OBS Studio's video capture source (libdshowcapture): every activation
// enumerates and binds every device, builds a new graph, and runs it without
// pausing first; its sink asks the camera filter for IKsPropertySet on every
// sample, and deactivation stops the graph from the application thread at
// any moment, also while a sample is being received.
#include <dshow.h>
#include <mmreg.h>
#include <vfwmsgs.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>

#include "AppSink.h"
#include "Apps.h"
#include "Picture.h"

namespace appcheck {
namespace {

// How long the sink stays inside the Receive the application stops during:
// long enough for Stop to be well under way when the sink then calls the camera.
constexpr DWORD kHoldInsideReceiveMs = 300;

// Planar YUV first, then packed YUV, MJPEG and RGB.
int FormatRank(const GUID& s) {
  if (IsEqualGUID(s, MEDIASUBTYPE_YV12) || IsEqualGUID(s, MEDIASUBTYPE_NV12) || IsEqualGUID(s, MEDIASUBTYPE_IYUV) ||
      IsEqualGUID(s, FourCcSubtype(FourCc('I', '4', '2', '0')))) {
    return 0;
  }
  if (IsEqualGUID(s, MEDIASUBTYPE_YUY2) || IsEqualGUID(s, MEDIASUBTYPE_UYVY) ||
      IsEqualGUID(s, FourCcSubtype(FourCc('Y', 'V', 'Y', 'U')))) {
    return 1;
  }
  if (IsEqualGUID(s, MEDIASUBTYPE_MJPG)) return 2;
  if (IsEqualGUID(s, MEDIASUBTYPE_RGB24) || IsEqualGUID(s, MEDIASUBTYPE_RGB32) || IsEqualGUID(s, MEDIASUBTYPE_ARGB32)) {
    return 3;
  }
  return 4;
}

// How far a capability is from the requested size and rate, the format's
// rank breaking ties: smaller is better.
long Score(const Capability& c, long width, long height, double fps) {
  const VIDEO_STREAM_CONFIG_CAPS& caps = c.caps;
  const long dx = width < caps.MinOutputSize.cx ? caps.MinOutputSize.cx - width
                  : width > caps.MaxOutputSize.cx ? width - caps.MaxOutputSize.cx : 0;
  const long dy = height < caps.MinOutputSize.cy ? caps.MinOutputSize.cy - height
                  : height > caps.MaxOutputSize.cy ? height - caps.MaxOutputSize.cy : 0;
  long score = (dx + dy) * 10 + FormatRank(c.type.subtype);
  if (fps > 0) {
    const auto interval = static_cast<REFERENCE_TIME>(1e7 / fps);
    if (interval < caps.MinFrameInterval || interval > caps.MaxFrameInterval) score += 5;
  }
  return score;
}

// The capture pin: of the right major type, and either without IKsPropertySet
// or reporting the capture category (a failing Get is no match).
ComPtr<IPin> FindPin(IBaseFilter* filter, const GUID& majorType) {
  for (const ComPtr<IPin>& pin : OutputPins(filter)) {
    if (!PinHasMajorType(pin.Get(), majorType)) continue;
    HRESULT hr = S_OK;
    DWORD returned = 0;
    const GUID category = PinCategory(pin.Get(), hr, returned);
    if (hr == E_NOINTERFACE || (SUCCEEDED(hr) && IsEqualGUID(category, PIN_CATEGORY_CAPTURE))) return pin;
  }
  return nullptr;
}

// Capabilities as OBS lists them: FORMAT_VideoInfo only, and the pin's media
// types when the capability list is not implemented.
std::vector<Capability> VideoCapabilities(IAMStreamConfig* config, IPin* pin) {
  std::vector<Capability> caps, kept;
  HRESULT stoppedBy = S_OK;
  const HRESULT hr = ReadCapabilities(config, caps, stoppedBy);
  Out().Hr("capabilities_hr", hr);
  if (hr == E_NOTIMPL) {
    ComPtr<IEnumMediaTypes> types;
    AM_MEDIA_TYPE* type = nullptr;
    if (SUCCEEDED(pin->EnumMediaTypes(types.Put())) && types) {
      while (types->Next(1, &type, nullptr) == S_OK && type) {
        Capability c;
        c.type.Set(*type);
        if (const BITMAPINFOHEADER* bmi = BitmapHeaderOf(*type)) {
          c.caps.MinOutputSize = c.caps.MaxOutputSize = SIZE{bmi->biWidth, std::abs(bmi->biHeight)};
          c.caps.MinFrameInterval = c.caps.MaxFrameInterval = *AvgTimePerFrameOf(*type);
        }
        caps.push_back(std::move(c));
        DeleteMediaType(type);
        type = nullptr;
      }
    }
  }
  for (Capability& c : caps) {
    if (IsEqualGUID(c.type.formattype, FORMAT_VideoInfo) && BitmapHeaderOf(c.type)) kept.push_back(std::move(c));
  }
  Out().Count("capabilities", kept.size());
  return kept;
}

// The partial type OBS's pin proposes: the major type alone, no format block.
CMediaType Partial(const GUID& majorType) {
  CMediaType type(&majorType);
  type.ResetFormatBuffer();
  return type;
}

struct Activation {
  Activation(const AppOptions& options, std::uint32_t number) : o(options), run(number) {}
  const AppOptions& o;
  std::uint32_t run;
  Graph g;
  ComPtr<IBaseFilter> camera, microphone;
  ComPtr<IPin> pin, audioPin;
  ComPtr<AppSink> sink, audioSink;
  Recorder recorder, sound;
  std::atomic<double> queryMaxMs{0};
  std::atomic<std::uint64_t> queryFailures{0};
  double fps = 0;

  // The camera filter asked for IKsPropertySet, as the source does on each sample.
  void QueryCamera() {
    const LARGE_INTEGER start = Now();
    ComPtr<IKsPropertySet> properties;
    NoteStreaming("inside Receive, asking the camera filter for IKsPropertySet");
    if (FAILED(camera->QueryInterface(IID_IKsPropertySet, properties.PutVoid()))) ++queryFailures;
    NoteStreaming(nullptr);
    const double ms = MsBetween(start, Now());
    double seen = queryMaxMs.load();
    while (ms > seen && !queryMaxMs.compare_exchange_weak(seen, ms)) {
    }
  }

  // Video: the format, the sink, the connection.
  int OpenVideo(const std::vector<DeviceEntry>& devices, int index) {
    HRESULT hr = devices[static_cast<std::size_t>(index)].moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                                                                  camera.PutVoid());
    Out().Hr("bind_hr", hr);
    if (FAILED(hr)) return Fatal("BindToObject", hr);
    hr = g.graph->AddFilter(camera.Get(), L"Video Capture Filter");
    if (FAILED(hr)) return Fatal("AddFilter", hr);
    pin = FindPin(camera.Get(), MEDIATYPE_Video);
    if (!pin) return Fatal("finding the video capture pin", VFW_E_NOT_FOUND);
    ComPtr<IAMStreamConfig> config;
    hr = pin->QueryInterface(IID_IAMStreamConfig, config.PutVoid());
    if (FAILED(hr)) return Fatal("IAMStreamConfig on the capture pin", hr);
    const std::vector<Capability> caps = VideoCapabilities(config.Get(), pin.Get());
    GUID expected = GUID_NULL;
    if (!o.SizeGiven() && IsEqualGUID(o.format, GUID_NULL)) {
      // "Device default": whatever the pin says before any connection.
      AM_MEDIA_TYPE* current = nullptr;
      hr = config->GetFormat(&current);
      Out().Hr("get_format_hr", hr);
      if (FAILED(hr) || !current) return Fatal("GetFormat", FAILED(hr) ? hr : E_POINTER);
      expected = current->subtype;
      fps = RateOf(*current);
      DeleteMediaType(current);
    } else {
      const Capability* best = nullptr;
      long bestScore = 0;
      const long width = o.SizeGiven() ? o.width : 0, height = o.SizeGiven() ? o.height : 0;
      for (const Capability& c : caps) {
        if (!IsEqualGUID(o.format, GUID_NULL) && !IsEqualGUID(o.format, c.type.subtype)) continue;
        const BITMAPINFOHEADER* bmi = BitmapHeaderOf(c.type);
        const long score = Score(c, width ? width : bmi->biWidth, height ? height : std::abs(bmi->biHeight), o.fps);
        if (!best || score < bestScore) best = &c, bestScore = score;
      }
      if (!best) return Fatal("finding a capability", VFW_E_NO_ACCEPTABLE_TYPES);
      CMediaType type = best->type;
      BITMAPINFOHEADER* bmi = BitmapHeaderOf(type);
      if (o.SizeGiven()) bmi->biWidth = o.width;
      const long rows = o.SizeGiven() ? o.height : std::abs(bmi->biHeight);
      bmi->biHeight = o.flip ? -rows : rows;
      if (o.fps > 0) *AvgTimePerFrameOf(type) = static_cast<REFERENCE_TIME>(1e7 / o.fps);
      fps = RateOf(type);
      expected = type.subtype;
      Out().Add("chosen", SubtypeName(type.subtype) + " " + SizeText(bmi->biWidth, bmi->biHeight));
      hr = config->SetFormat(&type);
      Out().Hr("set_format_hr", hr);
      if (FAILED(hr) && hr != E_NOTIMPL) return Fatal("SetFormat", hr);
    }
    SinkRules rules;
    rules.proposals = {Partial(MEDIATYPE_Video)};
    rules.accepts = [expected](const AM_MEDIA_TYPE& t) {
      return IsEqualGUID(t.subtype, expected) &&
             (IsEqualGUID(t.formattype, FORMAT_VideoInfo) || IsEqualGUID(t.formattype, FORMAT_VideoInfo2));
    };
    rules.adoptQueryAccept = true;
    rules.honourSampleType = true;
    rules.dropUnstamped = true;
    rules.duringReceive = [this] { QueryCamera(); };
    sink = AppSink::Create(rules, L"OBS video sink");
    return Connect(sink.Get(), pin.Get(), camera.Get(), MEDIATYPE_Video, "");
  }

  int Connect(AppSink* target, IPin* from, IBaseFilter* filter, const GUID& major, const std::string& kind) {
    HRESULT hr = g.graph->AddFilter(target, major == MEDIATYPE_Video ? L"OBS video sink" : L"OBS audio sink");
    if (FAILED(hr)) return Fatal("AddFilter", hr);
    {
      Deadline d("ConnectDirect", o.TimeoutMs());
      hr = g.graph->ConnectDirect(from, target->InputPin(), nullptr);
    }
    Out().Hr(kind + "connect_hr", hr);
    if (FAILED(hr)) {
      Deadline d("RenderStream", o.TimeoutMs());
      hr = g.builder->RenderStream(&PIN_CATEGORY_CAPTURE, &major, filter, nullptr, target);
      Out().Hr(kind + "render_stream_hr", hr);
    }
    if (FAILED(hr)) return Fatal(kind + "connection", hr);
    return kExitShown;
  }

  // The microphone beside it: its own format, 10 ms buffers suggested.
  int OpenAudio() {
    HRESULT hr = S_OK;
    const std::vector<DeviceEntry> devices = EnumerateDevices(CLSID_AudioInputDeviceCategory, hr);
    const int index = ChooseDevice(devices, o.audio, "audio");
    if (index < 0) return kExitFailed;
    hr = devices[static_cast<std::size_t>(index)].moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                                                          microphone.PutVoid());
    Out().Hr("audio_bind_hr", hr);
    if (FAILED(hr)) return Fatal("binding the microphone", hr);
    hr = g.graph->AddFilter(microphone.Get(), L"Audio Capture Filter");
    if (FAILED(hr)) return Fatal("AddFilter", hr);
    audioPin = FindPin(microphone.Get(), MEDIATYPE_Audio);
    if (!audioPin) return Fatal("finding the audio capture pin", VFW_E_NOT_FOUND);
    ComPtr<IAMStreamConfig> config;
    hr = audioPin->QueryInterface(IID_IAMStreamConfig, config.PutVoid());
    AM_MEDIA_TYPE* type = nullptr;
    if (SUCCEEDED(hr)) hr = config->GetFormat(&type);
    Out().Hr("audio_get_format_hr", hr);
    if (FAILED(hr) || !type) return Fatal("audio GetFormat", FAILED(hr) ? hr : E_POINTER);
    hr = config->SetFormat(type);
    Out().Hr("audio_set_format_hr", hr);
    const bool plainWave = type->cbFormat == sizeof(WAVEFORMATEX) && type->pbFormat;
    const DWORD bytesPerSecond = plainWave ? reinterpret_cast<WAVEFORMATEX*>(type->pbFormat)->nAvgBytesPerSec : 0;
    const GUID subtype = type->subtype;
    DeleteMediaType(type);
    if (FAILED(hr)) return Fatal("audio SetFormat", hr);
    ComPtr<IAMBufferNegotiation> negotiation;
    const bool negotiates = SUCCEEDED(audioPin->QueryInterface(IID_IAMBufferNegotiation, negotiation.PutVoid()));
    Out().Flag("audio_buffer_negotiation", negotiates);
    if (!negotiates) Out().Problem("the audio pin has no IAMBufferNegotiation");
    if (negotiates && plainWave) {
      ALLOCATOR_PROPERTIES wanted{-1, static_cast<long>(bytesPerSecond / 100), -1, -1};
      Out().Hr("audio_suggest_hr", negotiation->SuggestAllocatorProperties(&wanted));
    }
    SinkRules rules;
    rules.majorType = MEDIATYPE_Audio;
    rules.proposals = {Partial(MEDIATYPE_Audio)};
    rules.accepts = [subtype](const AM_MEDIA_TYPE& t) { return IsEqualGUID(t.subtype, subtype); };
    rules.dropUnstamped = true;
    audioSink = AppSink::Create(rules, L"OBS audio sink");
    const int code = Connect(audioSink.Get(), audioPin.Get(), microphone.Get(), MEDIATYPE_Audio, "audio_");
    if (code != kExitShown) return code;
    if (negotiates) {
      ALLOCATOR_PROPERTIES got{};
      Out().Hr("audio_allocator_hr", negotiation->GetAllocatorProperties(&got));
      Out().Count("audio_allocator_buffer_bytes", static_cast<std::uint64_t>(std::max(0L, got.cbBuffer)));
      Out().Count("audio_allocator_buffers", static_cast<std::uint64_t>(std::max(0L, got.cBuffers)));
    }
    const CMediaType& connected = audioSink->ConnectionType();
    const DWORD rate = connected.cbFormat >= sizeof(WAVEFORMATEX)
                           ? reinterpret_cast<WAVEFORMATEX*>(connected.pbFormat)->nAvgBytesPerSec : 0;
    Out().Count("audio_bytes_per_second", rate);
    sound.SetLayout(Layout(), LengthRule::kAtLeast, 1);
    audioSink->SetRecorder(&sound);
    return kExitShown;
  }

  void ReportSound(const Recorder::Snapshot& s) {
    double bytes = 0;
    std::uint64_t stamped = 0;
    for (const FrameRecord& r : s.frames) bytes += r.length, stamped += r.stamped ? 1 : 0;
    const CMediaType& connected = audioSink->ConnectionType();
    const double perSecond = connected.cbFormat >= sizeof(WAVEFORMATEX)
                                 ? reinterpret_cast<WAVEFORMATEX*>(connected.pbFormat)->nAvgBytesPerSec : 0;
    const double meanBytes = s.frames.empty() ? 0 : bytes / static_cast<double>(s.frames.size());
    Out().Count("audio_samples", s.frames.size());
    Out().Count("audio_dropped_unstamped", s.droppedUnstamped);
    Out().Number("audio_packet_ms_mean", perSecond > 0 ? meanBytes * 1000 / perSecond : 0, 2);
    if (s.frames.empty()) Out().Problem("no sound arrived");
  }

  // Deactivation: Stop from the application thread, perhaps while the sink
  // is inside a Receive.
  void Stop() {
    if (o.stopInsideReceive) {
      sink->HoldNextReceive(kHoldInsideReceiveMs);
      const bool inside = PumpWait(sink->InsideReceive(), o.TimeoutMs());
      Out().Flag("stopped_inside_receive", inside);
      if (!inside) Out().Problem("no Receive came to stop inside");
    }
    Deadline d(o.stopInsideReceive ? "Stop while a Receive is in progress" : "Stop", o.TimeoutMs());
    const HRESULT hr = g.control->Stop();
    Out().Hr("stop_hr", hr);
    Out().Number("stop_ms", d.ElapsedMs(), 1);
  }

  void Release() {
    Deadline d("releasing the graph and the devices", o.TimeoutMs());
    for (IBaseFilter* f : {static_cast<IBaseFilter*>(sink.Get()), static_cast<IBaseFilter*>(audioSink.Get()),
                           camera.Get(), microphone.Get()}) {
      if (f && g.graph) g.graph->RemoveFilter(f);
    }
    sink.Reset();
    audioSink.Reset();
    pin.Reset();
    audioPin.Reset();
    g = Graph();
    camera.Reset();
    microphone.Reset();
    Out().Number("release_ms", d.ElapsedMs(), 1);
  }

  int Go() {
    HRESULT hr = S_OK;
    const std::vector<DeviceEntry> video = EnumerateDevices(CLSID_VideoInputDeviceCategory, hr);
    const std::vector<DeviceEntry> audio = EnumerateDevices(CLSID_AudioInputDeviceCategory, hr);
    const int index = ChooseDevice(video, o.video, "video");
    if (index < 0) return kExitFailed;
    int unused = 0;
    {
      Deadline d("binding every device", o.TimeoutMs());
      hr = BindEvery(video, false, unused);
      const HRESULT audioHr = BindEvery(audio, false, unused);
      if (SUCCEEDED(hr)) hr = audioHr;
    }
    Out().Hr("bind_every_hr", hr);
    if (FAILED(g.Create())) return kExitFailed;
    int code = OpenVideo(video, index);
    if (code == kExitShown && !o.audio.empty()) code = OpenAudio();
    if (code != kExitShown) return code;
    const CMediaType& connected = sink->ConnectionType();
    const Layout layout = LayoutOf(connected);
    Out().Add("connected_subtype", SubtypeName(connected.subtype));
    if (o.SizeGiven() && (layout.width != o.width || layout.height != o.height)) {
      Out().Problem("connected " + SizeText(layout.width, layout.height) + " though " + SizeText(o.width, o.height) +
                    " was set");
    }
    recorder.SetLayout(layout, LengthRule::kAtLeast, layout.bytes);
    recorder.KeepPictures(!o.png.empty());
    sink->SetRecorder(&recorder);
    {
      Deadline d("Run", o.TimeoutMs());
      hr = g.control->Run();
    }
    const LARGE_INTEGER running = Now();
    Out().Hr("run_hr", hr);
    if (FAILED(hr)) return Fatal("Run", hr);
    const Recorder::Snapshot snapshot = Collect(recorder, o);
    const bool shown = ReportRun(snapshot, {fps, true, running, o.PngFor(run)});
    Out().Count("query_accepts", sink->QueryAccepts());
    Out().Count("sample_types", sink->SampleTypes());
    Out().Number("filter_query_max_ms", queryMaxMs.load(), 1);
    Out().Count("filter_query_failures", queryFailures.load());
    if (audioSink) ReportSound(sound.Take());
    Stop();
    return shown ? kExitShown : kExitNoPicture;
  }
};

}  // namespace

int RunObs(const AppOptions& o) {
  int code = kExitShown;
  for (std::uint32_t run = 0; run <= o.restarts && code == kExitShown; ++run) {
    BeginRun(run);
    Activation a{o, run};
    code = a.Go();
    a.Release();
  }
  BeginRun(0);
  return code;
}

}  // namespace appcheck
