// Chromium's DirectShow capture path (Chrome, Edge, Electron and WebView2
// programs): a virtual camera is always driven through it, since Media
// Foundation does not list one.
#include <dshow.h>
#include <ks.h>
#include <ksmedia.h>
#include <vfwmsgs.h>

#include <algorithm>
#include <cmath>

#include "AppSink.h"
#include "Apps.h"
#include "Picture.h"

namespace appcheck {
namespace {

const GUID kI420 = FourCcSubtype(FourCc('I', '4', '2', '0'));
const GUID kNv21 = FourCcSubtype(FourCc('N', 'V', '2', '1'));
// PROPSETID_VIDCAP_VIDEOPROCAMP, which MinGW declares without a definition.
const GUID kVideoProcAmpSet = {0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};

// The subtypes Chromium lists a capability for (YV12 and NV12 are skipped).
bool Listed(const GUID& s) {
  for (const GUID* kept : {&kI420, &MEDIASUBTYPE_IYUV, &MEDIASUBTYPE_RGB24, &MEDIASUBTYPE_RGB32, &MEDIASUBTYPE_ARGB32,
                           &MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_UYVY, &MEDIASUBTYPE_MJPG}) {
    if (IsEqualGUID(s, *kept)) return true;
  }
  return false;
}

// Its format preference, best first: I420 > YV12 > NV12 > NV21 > UYVY > YUY2 >
// RGB24 > ARGB (RGB32 counts as ARGB) > MJPEG.
int Preference(const GUID& s) {
  const GUID* order[] = {&kI420, &MEDIASUBTYPE_YV12, &MEDIASUBTYPE_NV12, &kNv21, &MEDIASUBTYPE_UYVY,
                         &MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_RGB24, &MEDIASUBTYPE_ARGB32, &MEDIASUBTYPE_MJPG};
  const GUID& same = IsEqualGUID(s, MEDIASUBTYPE_IYUV) ? kI420 : IsEqualGUID(s, MEDIASUBTYPE_RGB32) ? MEDIASUBTYPE_ARGB32 : s;
  for (int i = 0; i < 9; ++i) {
    if (IsEqualGUID(same, *order[i])) return i;
  }
  return 9;
}

struct Entry {
  int index = 0;  // into GetStreamCaps
  GUID subtype = GUID_NULL;
  long width = 0, height = 0;
  float rate = 0;
};

// Chromium's capability list: VIDEOINFOHEADER types of the listed subtypes,
// one entry per rate (IAMVideoControl's list when the filter answers,
// else AvgTimePerFrame).
std::vector<Entry> Usable(const std::vector<Capability>& caps, IBaseFilter* filter, IPin* pin, const GUID& only) {
  ComPtr<IAMVideoControl> control;
  const bool hasControl = SUCCEEDED(filter->QueryInterface(IID_IAMVideoControl, control.PutVoid()));
  Out().Flag("video_control", hasControl);
  std::vector<Entry> usable;
  for (const Capability& c : caps) {
    const BITMAPINFOHEADER* bmi = BitmapHeaderOf(c.type);
    if (!IsEqualGUID(c.type.majortype, MEDIATYPE_Video) || !IsEqualGUID(c.type.formattype, FORMAT_VideoInfo) ||
        !bmi || !Listed(c.type.subtype) || (!IsEqualGUID(only, GUID_NULL) && !IsEqualGUID(only, c.type.subtype))) {
      continue;
    }
    Entry e{c.index, c.type.subtype, bmi->biWidth, std::labs(bmi->biHeight), 0};
    std::vector<float> rates;
    LONG count = 0;
    LONGLONG* list = nullptr;
    if (hasControl && SUCCEEDED(control->GetFrameRateList(pin, c.index, SIZE{e.width, e.height}, &count, &list)) &&
        list) {
      for (LONG i = 0; i < count; ++i) {
        if (list[i] > 0) rates.push_back(1e7f / static_cast<float>(list[i]));
      }
      CoTaskMemFree(list);
    }
    const REFERENCE_TIME frame = *AvgTimePerFrameOf(c.type);
    if (rates.empty() && frame > 0) rates.push_back(1e7f / static_cast<float>(frame));
    if (rates.empty()) rates.push_back(0);
    for (float rate : rates) {
      e.rate = rate;
      usable.push_back(e);
    }
  }
  return usable;
}

// Closest height, then width, then rate, then the preferred format.
const Entry* Choose(const std::vector<Entry>& usable, long width, long height, float rate) {
  const auto better = [&](const Entry& a, const Entry& b) {
    const long ha = std::labs(a.height - height), hb = std::labs(b.height - height);
    if (ha != hb) return ha < hb;
    const long wa = std::labs(a.width - width), wb = std::labs(b.width - width);
    if (wa != wb) return wa < wb;
    const float ra = std::fabs(a.rate - rate), rb = std::fabs(b.rate - rate);
    if (ra != rb) return ra < rb;
    return Preference(a.subtype) < Preference(b.subtype);
  };
  const auto best = std::min_element(usable.begin(), usable.end(), better);
  return best == usable.end() ? nullptr : &*best;
}

// The sink's proposals: I420, YUY2, UYVY, RGB24, RGB32 at the chosen size,
// with empty rectangles and the picture's byte count.
std::vector<CMediaType> Proposals(const Entry& chosen) {
  std::vector<CMediaType> types;
  for (const GUID* subtype : {&kI420, &MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_UYVY, &MEDIASUBTYPE_RGB24, &MEDIASUBTYPE_RGB32}) {
    CMediaType type(&MEDIATYPE_Video);
    type.SetSubtype(subtype);
    type.SetFormatType(&FORMAT_VideoInfo);
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    if (!info) continue;
    BITMAPINFOHEADER& bmi = info->bmiHeader;
    bmi.biSize = sizeof(BITMAPINFOHEADER);
    bmi.biWidth = chosen.width;
    bmi.biHeight = chosen.height;
    bmi.biPlanes = 1;
    bmi.biBitCount = BitCountOf(*subtype);
    bmi.biCompression = CompressionOf(*subtype);
    bmi.biSizeImage = static_cast<DWORD>(std::int64_t{chosen.width} * chosen.height * bmi.biBitCount / 8);
    if (chosen.rate > 0) info->AvgTimePerFrame = static_cast<REFERENCE_TIME>(1e7 / chosen.rate);
    type.SetSampleSize(bmi.biSizeImage);
    types.push_back(type);
  }
  return types;
}

// The sink takes a type only when its bitmap header names the same format.
bool Accepts(const AM_MEDIA_TYPE& type) {
  const BITMAPINFOHEADER* bmi = BitmapHeaderOf(type);
  const bool known = Listed(type.subtype) || IsEqualGUID(type.subtype, MEDIASUBTYPE_YV12);
  return known && bmi && IsEqualGUID(type.formattype, FORMAT_VideoInfo) && bmi->biCompression == CompressionOf(type.subtype);
}

struct Chromium {
  explicit Chromium(const AppOptions& options) : o(options) {}
  const AppOptions& o;
  ComPtr<IBaseFilter> camera;
  ComPtr<IPin> capturePin;
  Graph g;
  ComPtr<AppSink> sink;
  Entry chosen;

  // GetStreamCaps again, the rate written in floating point, SetFormat, the
  // power-line query, ConnectDirect, Pause, Run: what AllocateAndStart does.
  int Start(Recorder& recorder, LARGE_INTEGER& running) {
    ComPtr<IAMStreamConfig> config;
    HRESULT hr = FindOnPin(g.builder.Get(), &PIN_CATEGORY_CAPTURE, camera.Get(), IID_IAMStreamConfig, config.PutVoid());
    Out().Hr("find_stream_config_hr", hr);
    if (FAILED(hr)) return Fatal("FindInterface(IAMStreamConfig)", hr);
    AM_MEDIA_TYPE* type = nullptr;
    VIDEO_STREAM_CONFIG_CAPS caps{};
    hr = config->GetStreamCaps(chosen.index, &type, reinterpret_cast<BYTE*>(&caps));
    Out().Hr("stream_caps_hr", hr);
    if (FAILED(hr) || !type) return Fatal("GetStreamCaps", FAILED(hr) ? hr : E_POINTER);
    if (REFERENCE_TIME* frame = AvgTimePerFrameOf(*type); frame && chosen.rate > 0) {
      *frame = static_cast<REFERENCE_TIME>(1e7 / chosen.rate);
    }
    hr = config->SetFormat(type);
    DeleteMediaType(type);
    Out().Hr("set_format_hr", hr);
    if (FAILED(hr)) return Fatal("SetFormat", hr);
    ComPtr<IKsPropertySet> properties;
    DWORD support = 0;
    hr = camera->QueryInterface(IID_IKsPropertySet, properties.PutVoid());
    if (SUCCEEDED(hr)) {
      hr = properties->QuerySupported(kVideoProcAmpSet, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY,
                                      &support);
    }
    Out().Hr("powerline_query_hr", hr);
    {
      Deadline d("ConnectDirect", o.TimeoutMs());
      hr = g.graph->ConnectDirect(capturePin.Get(), sink->InputPin(), nullptr);
    }
    Out().Hr("connect_hr", hr);
    if (FAILED(hr)) return Fatal("ConnectDirect", hr);
    const CMediaType& connected = sink->ConnectionType();
    const Layout layout = LayoutOf(connected, true);
    Out().Add("connected_subtype", SubtypeName(connected.subtype));
    if (!IsEqualGUID(connected.subtype, chosen.subtype)) {
      Out().Problem("connected " + SubtypeName(connected.subtype) + " though SetFormat chose " +
                    SubtypeName(chosen.subtype));
    }
    if (layout.width != chosen.width || layout.height != chosen.height) {
      Out().Problem("connected " + SizeText(layout.width, layout.height) + " though SetFormat chose " +
                    SizeText(chosen.width, chosen.height));
    }
    recorder.SetLayout(layout, LengthRule::kAtLeast, layout.bytes);
    sink->SetRecorder(&recorder);
    {
      Deadline d("Pause", o.TimeoutMs());
      hr = g.control->Pause();
    }
    Out().Hr("pause_hr", hr);
    if (FAILED(hr)) return Fatal("Pause", hr);
    {
      Deadline d("Run", o.TimeoutMs());
      hr = g.control->Run();
    }
    running = Now();
    Out().Hr("run_hr", hr);
    return FAILED(hr) ? Fatal("Run", hr) : kExitShown;
  }

  // StopAndDeAllocate: Stop, then both pins disconnected.
  void Stop() {
    Deadline d("Stop", o.TimeoutMs());
    const HRESULT hr = g.control->Stop();
    Out().Hr("stop_hr", hr);
    Out().Number("stop_ms", d.ElapsedMs(), 1);
    Out().Hr("disconnect_camera_hr", g.graph->Disconnect(capturePin.Get()));
    Out().Hr("disconnect_sink_hr", g.graph->Disconnect(sink->InputPin()));
  }
};

}  // namespace

int RunChromium(const AppOptions& o) {
  HRESULT hr = S_OK;
  std::vector<DeviceEntry> devices = EnumerateDevices(CLSID_VideoInputDeviceCategory, hr);
  const int index = ChooseDevice(devices, o.video, "video");
  if (index < 0) return kExitFailed;
  int topology = 0;
  {
    Deadline d("binding every device", o.TimeoutMs());
    hr = BindEvery(devices, true, topology);
  }
  Out().Hr("bind_every_hr", hr);
  Out().Count("topology_info", static_cast<std::uint64_t>(topology));

  Chromium c{o};
  hr = devices[static_cast<std::size_t>(index)].moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                                                        c.camera.PutVoid());
  Out().Hr("bind_hr", hr);
  if (FAILED(hr)) return Fatal("BindToObject", hr);
  // Without a pin that reports the capture category in exactly 16 bytes the
  // device has no formats for Chromium.
  for (const ComPtr<IPin>& pin : OutputPins(c.camera.Get())) {
    DWORD returned = 0;
    const GUID category = PinCategory(pin.Get(), hr, returned);
    Out().Hr("pin_category_hr", hr);
    Out().Count("pin_category_bytes", returned);
    if (hr == S_OK && returned == sizeof(GUID) && IsEqualGUID(category, PIN_CATEGORY_CAPTURE)) {
      c.capturePin = pin;
      break;
    }
  }
  if (!c.capturePin) return Fatal("finding the capture pin by its category", VFW_E_NOT_FOUND);
  ComPtr<IAMStreamConfig> config;
  hr = c.capturePin->QueryInterface(IID_IAMStreamConfig, config.PutVoid());
  if (FAILED(hr)) return Fatal("IAMStreamConfig on the capture pin", hr);
  std::vector<Capability> caps;
  HRESULT stoppedBy = S_OK;
  hr = ReadCapabilities(config.Get(), caps, stoppedBy);
  Out().Hr("capabilities_hr", hr);
  Out().Count("capabilities", caps.size());
  Out().Hr("capabilities_stopped_by", stoppedBy);
  config.Reset();
  const std::vector<Entry> usable = Usable(caps, c.camera.Get(), c.capturePin.Get(), o.format);
  Out().Count("capabilities_usable", usable.size());
  // getUserMedia's defaults when the page asks for nothing.
  const long width = o.SizeGiven() ? o.width : 640, height = o.SizeGiven() ? o.height : 480;
  const Entry* chosen = Choose(usable, width, height, o.fps > 0 ? static_cast<float>(o.fps) : 30.0f);
  if (!chosen) return Fatal("finding a usable capability", VFW_E_NO_ACCEPTABLE_TYPES);
  c.chosen = *chosen;
  Out().Add("chosen", SubtypeName(chosen->subtype) + " " + SizeText(chosen->width, chosen->height));
  Out().Number("chosen_fps", chosen->rate);
  Out().Count("chosen_index", static_cast<std::uint64_t>(chosen->index));

  if (FAILED(c.g.Create())) return Fatal("creating the graph", E_FAIL);
  SinkRules rules;
  rules.proposals = Proposals(*chosen);
  rules.accepts = Accepts;
  rules.shortSampleStops = true;
  rules.rgbAlwaysBottomUp = true;
  c.sink = AppSink::Create(rules, L"Chromium sink");
  hr = c.g.graph->AddFilter(c.camera.Get(), nullptr);
  if (SUCCEEDED(hr)) hr = c.g.graph->AddFilter(c.sink.Get(), L"Chromium sink");
  if (FAILED(hr)) return Fatal("AddFilter", hr);

  int code = kExitShown;
  bool shown = true;
  for (std::uint32_t run = 0; run <= o.restarts && code == kExitShown; ++run) {
    BeginRun(run);
    Recorder recorder;
    recorder.KeepPictures(!o.png.empty());
    LARGE_INTEGER running{};
    code = c.Start(recorder, running);
    if (code != kExitShown) break;
    const Recorder::Snapshot snapshot = Collect(recorder, o);
    shown = ReportRun(snapshot, {static_cast<double>(chosen->rate), false, running, o.PngFor(run)}) && shown;
    c.Stop();
    c.sink->SetRecorder(nullptr);
  }
  BeginRun(0);
  Deadline d("releasing the graph and the camera", o.TimeoutMs());
  c.g.graph->RemoveFilter(c.sink.Get());
  c.g.graph->RemoveFilter(c.camera.Get());
  c.sink.Reset();
  c.capturePin.Reset();
  c.g = Graph();
  c.camera.Reset();
  Out().Number("release_ms", d.ElapsedMs(), 1);
  if (code != kExitShown) return code;
  return shown ? kExitShown : kExitNoPicture;
}

}  // namespace appcheck
