// AMCap and the conferencing programs built the same way: the capture graph
// builder does the connecting. A camera without a preview pin gets the
// system's Smart Tee in front of the preview, which takes its buffers from
// the camera's own allocator.
#include <dshow.h>
#include <vfwmsgs.h>

#include <algorithm>

#include "AppSink.h"
#include "CommandLine.h"
#include "Apps.h"
#include "Picture.h"

namespace appcheck {
namespace {

// The system's Sample Grabber followed by its Null Renderer: the preview
// window as far as the camera can tell, with every sample counted.
struct Renderer {
  ComPtr<IBaseFilter> grabber, null;
  ComPtr<ISampleGrabber> control;

  HRESULT Create(IGraphBuilder* graph, const wchar_t* name, GrabberCallback* callback) {
    HRESULT hr = CoCreateInstance(kClsidSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  grabber.PutVoid());
    if (SUCCEEDED(hr)) hr = CoCreateInstance(kClsidNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, null.PutVoid());
    if (SUCCEEDED(hr)) hr = grabber->QueryInterface(IID_ISampleGrabber, control.PutVoid());
    if (SUCCEEDED(hr)) hr = graph->AddFilter(grabber.Get(), name);
    if (SUCCEEDED(hr)) hr = graph->AddFilter(null.Get(), L"Null Renderer");
    if (SUCCEEDED(hr)) hr = control->SetBufferSamples(FALSE);
    if (SUCCEEDED(hr)) hr = control->SetOneShot(FALSE);
    if (SUCCEEDED(hr)) hr = control->SetCallback(callback, 0);
    return hr;
  }

  Layout Connected() {
    AM_MEDIA_TYPE type{};
    if (!control || FAILED(control->GetConnectedMediaType(&type))) return Layout();
    const Layout layout = LayoutOf(type);
    FreeMediaType(type);
    return layout;
  }

  void Release(IGraphBuilder* graph) {
    if (control) control->SetCallback(nullptr, 0);
    if (graph && grabber) graph->RemoveFilter(grabber.Get());
    if (graph && null) graph->RemoveFilter(null.Get());
    control.Reset();
    grabber.Reset();
    null.Reset();
  }
};

// A page count from ISpecifyPropertyPages on `object`, reported under `key`.
void ReportPages(IUnknown* object, const std::string& key) {
  ComPtr<ISpecifyPropertyPages> pages;
  HRESULT hr = object ? object->QueryInterface(IID_ISpecifyPropertyPages, pages.PutVoid()) : E_POINTER;
  CAUUID list{};
  if (SUCCEEDED(hr)) hr = pages->GetPages(&list);
  Out().Hr(key + "_hr", hr);
  Out().Count(key, SUCCEEDED(hr) ? list.cElems : 0);
  if (list.pElems) CoTaskMemFree(list.pElems);
  if (FAILED(hr)) Out().Problem("no property pages on the " + key.substr(0, key.find('_')));
}

// The buffers of the camera's connection, as its downstream pin reports its
// allocator: a Smart Tee copies each preview sample into one more of them.
void ReportBuffers(IAMStreamConfig* config, const std::string& key) {
  ComPtr<IPin> pin, peer;
  ComPtr<IMemInputPin> input;
  ComPtr<IMemAllocator> allocator;
  ALLOCATOR_PROPERTIES properties{};
  HRESULT hr = config ? config->QueryInterface(IID_IPin, pin.PutVoid()) : E_POINTER;
  if (SUCCEEDED(hr)) hr = pin->ConnectedTo(peer.Put());
  if (SUCCEEDED(hr)) hr = peer->QueryInterface(IID_IMemInputPin, input.PutVoid());
  if (SUCCEEDED(hr)) hr = input->GetAllocator(allocator.Put());
  if (SUCCEEDED(hr)) hr = allocator->GetProperties(&properties);
  if (SUCCEEDED(hr)) Out().Count(key, static_cast<std::uint64_t>(std::max(0L, properties.cBuffers)));
}

// GetFormat, the size and rate edited (with the picture's byte count), SetFormat
// on the connected pin: the pin then reconnects.
HRESULT ChangeFormat(IAMStreamConfig* config, const AppOptions& o) {
  AM_MEDIA_TYPE* type = nullptr;
  HRESULT hr = config->GetFormat(&type);
  Out().Hr("resize_get_format_hr", hr);
  BITMAPINFOHEADER* bmi = SUCCEEDED(hr) && type ? BitmapHeaderOf(*type) : nullptr;
  if (!bmi) {
    DeleteMediaType(type);
    return FAILED(hr) ? hr : VFW_E_INVALIDMEDIATYPE;
  }
  if (o.SizeGiven()) {
    bmi->biWidth = o.width;
    bmi->biHeight = bmi->biHeight < 0 ? -o.height : o.height;
    const std::size_t bytes = FrameBytes(type->subtype, o.width, o.height);
    bmi->biSizeImage = static_cast<DWORD>(bytes);
    type->lSampleSize = static_cast<ULONG>(bytes);
  }
  if (o.fps > 0) *AvgTimePerFrameOf(*type) = static_cast<REFERENCE_TIME>(1e7 / o.fps);
  {
    Deadline d("SetFormat on the connected pin", o.TimeoutMs());
    hr = config->SetFormat(type);
  }
  DeleteMediaType(type);
  Out().Hr("resize_set_format_hr", hr);
  // The pin must be connected again, at the new format, for the preview to go on.
  ComPtr<IPin> pin, peer;
  AM_MEDIA_TYPE now{};
  if (SUCCEEDED(config->QueryInterface(IID_IPin, pin.PutVoid())) && SUCCEEDED(pin->ConnectedTo(peer.Put())) &&
      SUCCEEDED(pin->ConnectionMediaType(&now))) {
    const Layout layout = LayoutOf(now);
    Out().Add("resize_pin_connection", SubtypeName(layout.subtype) + " " + SizeText(layout.width, layout.height));
    FreeMediaType(now);
  } else {
    Out().Add("resize_pin_connection", "none");
    Out().Problem("the capture pin is no longer connected after SetFormat");
  }
  return hr;
}

}  // namespace

int RunCapGraph(const AppOptions& o) {
  HRESULT hr = S_OK;
  const std::vector<DeviceEntry> devices = EnumerateDevices(CLSID_VideoInputDeviceCategory, hr);
  const int index = ChooseDevice(devices, o.video, "video");
  if (index < 0) return kExitFailed;
  // The program keeps the display name (in its settings) and opens the device from it.
  const std::wstring display = devices[static_cast<std::size_t>(index)].displayName;
  Out().Add("display_name", tools::Utf8(display));
  ComPtr<IBaseFilter> camera;
  {
    ComPtr<IBindCtx> context;
    ComPtr<IMoniker> moniker;
    ULONG eaten = 0;
    hr = CreateBindCtx(0, context.Put());
    if (SUCCEEDED(hr)) hr = MkParseDisplayName(context.Get(), display.c_str(), &eaten, moniker.Put());
    Out().Hr("parse_display_name_hr", hr);
    if (SUCCEEDED(hr)) hr = moniker->BindToObject(context.Get(), nullptr, IID_IBaseFilter, camera.PutVoid());
    Out().Hr("bind_hr", hr);
    if (FAILED(hr)) return Fatal("reopening the device by its display name", hr);
  }
  Graph g;
  if (FAILED(g.Create())) return kExitFailed;
  hr = g.graph->AddFilter(camera.Get(), L"Video Capture");
  if (FAILED(hr)) return Fatal("AddFilter", hr);
  ComPtr<IAMStreamConfig> config;
  ComPtr<IAMVideoCompression> compression;
  ComPtr<IAMDroppedFrames> dropped;
  hr = FindOnPin(g.builder.Get(), &PIN_CATEGORY_CAPTURE, camera.Get(), IID_IAMStreamConfig, config.PutVoid());
  Out().Hr("find_stream_config_hr", hr);
  Out().Hr("find_video_compression_hr",
           FindOnPin(g.builder.Get(), &PIN_CATEGORY_CAPTURE, camera.Get(), IID_IAMVideoCompression, compression.PutVoid()));
  Out().Hr("find_dropped_frames_hr",
           FindOnPin(g.builder.Get(), &PIN_CATEGORY_CAPTURE, camera.Get(), IID_IAMDroppedFrames, dropped.PutVoid()));
  ReportPages(camera.Get(), "filter_pages");
  ReportPages(config.Get(), "pin_pages");

  Recorder preview, captured;
  preview.KeepPictures(!o.png.empty());
  GrabberCallback previewCallback(&preview), captureCallback(&captured);
  Renderer previewRenderer, captureRenderer;
  hr = previewRenderer.Create(g.graph.Get(), L"Preview Grabber", &previewCallback);
  Out().Hr("renderer_hr", hr);
  if (FAILED(hr)) return Fatal("creating the Sample Grabber and Null Renderer", hr);
  {
    Deadline d("RenderStream(preview)", o.TimeoutMs());
    hr = g.builder->RenderStream(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, camera.Get(), previewRenderer.grabber.Get(),
                                 previewRenderer.null.Get());
  }
  Out().Hr("render_preview_hr", hr);
  Out().Flag("smart_tee", hr == VFW_S_NOPREVIEWPIN);
  if (FAILED(hr)) return Fatal("RenderStream(preview)", hr);
  if (o.captureBranch) {
    hr = captureRenderer.Create(g.graph.Get(), L"Capture Grabber", &captureCallback);
    if (SUCCEEDED(hr)) {
      Deadline d("RenderStream(capture)", o.TimeoutMs());
      hr = g.builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.Get(), captureRenderer.grabber.Get(),
                                   captureRenderer.null.Get());
    }
    Out().Hr("render_capture_hr", hr);
    if (FAILED(hr)) return Fatal("RenderStream(capture)", hr);
  }
  ReportBuffers(config.Get(), "buffers");
  Layout before = previewRenderer.Connected();
  Out().Add("connected", SubtypeName(before.subtype) + " " + SizeText(before.width, before.height));
  if ((o.SizeGiven() || o.fps > 0) && config) {
    hr = ChangeFormat(config.Get(), o);
    if (FAILED(hr)) return Fatal("SetFormat on the connected pin", hr);
    ReportBuffers(config.Get(), "resize_buffers");
    const Layout after = previewRenderer.Connected();
    Out().Add("reconnected", SubtypeName(after.subtype) + " " + SizeText(after.width, after.height));
    if (o.SizeGiven() && (after.width != o.width || after.height != o.height)) {
      Out().Problem("the preview did not reconnect at the new size");
    }
  }

  int code = kExitShown;
  bool shown = true;
  for (std::uint32_t run = 0; run <= o.restarts && code == kExitShown; ++run) {
    BeginRun(run);
    const Layout layout = previewRenderer.Connected();
    preview.SetLayout(layout, LengthRule::kAtLeast, layout.bytes);
    const Layout captureLayout = captureRenderer.Connected();
    captured.SetLayout(captureLayout, LengthRule::kAtLeast, captureLayout.bytes);
    {
      Deadline d("Run", o.TimeoutMs());
      hr = g.control->Run();
    }
    const LARGE_INTEGER running = Now();
    Out().Hr("run_hr", hr);
    if (FAILED(hr)) {
      code = Fatal("Run", hr);
      break;
    }
    const Recorder::Snapshot snapshot = Collect(preview, o);
    double fps = 0;
    if (AM_MEDIA_TYPE* current = nullptr; config && SUCCEEDED(config->GetFormat(&current)) && current) {
      fps = RateOf(*current);
      DeleteMediaType(current);
    }
    shown = ReportRun(snapshot, {fps, false, running, o.PngFor(run)}) && shown;
    if (o.captureBranch) {
      Out().SetPrefix((run == 0 ? std::string() : "restart" + std::to_string(run) + "_") + "capture_");
      ReportRun(captured.Take(), {fps, false, running, ""});
      BeginRun(run);
    }
    if (dropped) {
      long count = 0;
      if (SUCCEEDED(dropped->GetNumDropped(&count))) Out().Count("camera_dropped", static_cast<std::uint64_t>(count));
    }
    Deadline d("Stop", o.TimeoutMs());
    Out().Hr("stop_hr", g.control->Stop());
    Out().Number("stop_ms", d.ElapsedMs(), 1);
  }
  BeginRun(0);
  Deadline d("releasing the graph and the camera", o.TimeoutMs());
  previewRenderer.Release(g.graph.Get());
  captureRenderer.Release(g.graph.Get());
  g.graph->RemoveFilter(camera.Get());
  config.Reset();
  compression.Reset();
  dropped.Reset();
  return ReleaseAndAnswer(g, camera, d, code, shown);
}

}  // namespace appcheck
