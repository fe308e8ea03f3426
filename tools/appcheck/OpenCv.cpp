// OpenCV's DirectShow backend: it trusts the GetFormat block to be a
// VIDEOINFOHEADER, changes only the size, the subtype and lSampleSize of it,
// runs the graph without any clock, and takes a picture only from a sample of
// exactly width x height x 3 bytes.
#include <dshow.h>
#include <vfwmsgs.h>

#include <cstdlib>

#include "AppSink.h"
#include "Apps.h"
#include "Picture.h"

namespace appcheck {
namespace {

// The subtypes it tries in turn until SetFormat takes one.
std::vector<GUID> TryOrder(const GUID& wanted) {
  std::vector<GUID> order;
  if (!IsEqualGUID(wanted, GUID_NULL)) order.push_back(wanted);
  for (const char* name : {"RGB24", "RGB32", "RGB555", "RGB565", "YUY2", "YVYU", "YUYV", "IYUV", "UYVY", "YV12", "YVU9",
                           "Y411", "Y41P", "Y211", "AYUV", "MJPG", "Y800", "I420"}) {
    GUID subtype = GUID_NULL;
    std::wstring wide(name, name + std::char_traits<char>::length(name));
    if (SubtypeByName(wide, subtype) && !IsEqualGUID(subtype, wanted)) order.push_back(subtype);
  }
  return order;
}

}  // namespace

int RunOpenCv(const AppOptions& o) {
  HRESULT hr = S_OK;
  const std::vector<DeviceEntry> devices = EnumerateDevices(CLSID_VideoInputDeviceCategory, hr);
  const int index = ChooseDevice(devices, o.video, "video");
  if (index < 0) return kExitFailed;
  ComPtr<IBaseFilter> camera;
  hr = devices[static_cast<std::size_t>(index)].moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                                                        camera.PutVoid());
  Out().Hr("bind_hr", hr);
  if (FAILED(hr)) return Fatal("BindToObject", hr);
  Graph g;
  if (FAILED(g.Create())) return kExitFailed;
  hr = g.graph->AddFilter(camera.Get(), devices[static_cast<std::size_t>(index)].friendlyName.c_str());
  if (FAILED(hr)) return Fatal("AddFilter", hr);
  ComPtr<IAMStreamConfig> config;
  hr = g.builder->FindInterface(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, camera.Get(), IID_IAMStreamConfig,
                                config.PutVoid());
  if (FAILED(hr)) {
    hr = g.builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.Get(), IID_IAMStreamConfig,
                                  config.PutVoid());
  }
  Out().Hr("find_stream_config_hr", hr);
  if (FAILED(hr)) return Fatal("FindInterface(IAMStreamConfig)", hr);
  {
    ComPtr<IAMVideoProcAmp> procAmp;
    ComPtr<IAMCameraControl> cameraControl;
    Out().Hr("video_proc_amp_hr", camera->QueryInterface(IID_IAMVideoProcAmp, procAmp.PutVoid()));
    Out().Hr("camera_control_hr", camera->QueryInterface(IID_IAMCameraControl, cameraControl.PutVoid()));
  }

  AM_MEDIA_TYPE* current = nullptr;
  hr = config->GetFormat(&current);
  Out().Hr("get_format_hr", hr);
  if (FAILED(hr) || !current) return Fatal("GetFormat", FAILED(hr) ? hr : E_POINTER);
  if (!current->pbFormat || current->cbFormat < sizeof(VIDEOINFOHEADER)) {
    // OpenCV would read past the block here.
    DeleteMediaType(current);
    return Fatal("GetFormat's block as a VIDEOINFOHEADER", VFW_E_INVALIDMEDIATYPE);
  }
  auto* info = reinterpret_cast<VIDEOINFOHEADER*>(current->pbFormat);
  const std::int32_t width = o.SizeGiven() ? o.width : info->bmiHeader.biWidth;
  const std::int32_t height = o.SizeGiven() ? o.height : std::abs(info->bmiHeader.biHeight);
  CMediaType set;
  for (const GUID& subtype : TryOrder(o.format)) {
    CMediaType attempt(*current);
    auto* edited = reinterpret_cast<VIDEOINFOHEADER*>(attempt.pbFormat);
    edited->bmiHeader.biWidth = width;
    edited->bmiHeader.biHeight = height;
    if (o.fps > 0) edited->AvgTimePerFrame = static_cast<REFERENCE_TIME>(1e7 / o.fps);
    attempt.subtype = subtype;
    attempt.lSampleSize = static_cast<ULONG>(width) * static_cast<ULONG>(height) * 3;
    hr = config->SetFormat(&attempt);
    if (hr == S_OK) {
      set = attempt;
      break;
    }
  }
  DeleteMediaType(current);
  Out().Hr("set_format_hr", hr);
  if (!set.IsValid()) return Fatal("SetFormat with every subtype", hr);
  const BITMAPINFOHEADER* header = BitmapHeaderOf(set);
  Out().Add("set_format", SubtypeName(set.subtype) + " " + SizeText(width, height));
  Out().Count("set_format_bit_count", header->biBitCount);
  Out().Count("set_format_size_image", header->biSizeImage);

  Recorder recorder;
  recorder.KeepPictures(!o.png.empty());
  GrabberCallback callback(&recorder);
  ComPtr<IBaseFilter> grabber, null;
  ComPtr<ISampleGrabber> grab;
  hr = CoCreateInstance(kClsidSampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, grabber.PutVoid());
  if (SUCCEEDED(hr)) hr = g.graph->AddFilter(grabber.Get(), L"Sample Grabber");
  if (SUCCEEDED(hr)) hr = grabber->QueryInterface(IID_ISampleGrabber, grab.PutVoid());
  if (SUCCEEDED(hr)) {
    AM_MEDIA_TYPE wanted{};
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = MEDIASUBTYPE_RGB24;
    hr = grab->SetMediaType(&wanted);
  }
  if (SUCCEEDED(hr)) hr = grab->SetOneShot(FALSE);
  if (SUCCEEDED(hr)) hr = grab->SetBufferSamples(FALSE);
  if (SUCCEEDED(hr)) hr = grab->SetCallback(&callback, 0);
  if (SUCCEEDED(hr)) hr = CoCreateInstance(kClsidNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, null.PutVoid());
  if (SUCCEEDED(hr)) hr = g.graph->AddFilter(null.Get(), L"NullRenderer");
  Out().Hr("grabber_hr", hr);
  if (FAILED(hr)) return Fatal("creating the Sample Grabber and Null Renderer", hr);
  {
    Deadline d("RenderStream(preview)", o.TimeoutMs());
    hr = g.builder->RenderStream(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, camera.Get(), grabber.Get(), null.Get());
  }
  Out().Hr("render_preview_hr", hr);
  Out().Flag("smart_tee", hr == VFW_S_NOPREVIEWPIN);
  if (FAILED(hr)) return Fatal("RenderStream(preview)", hr);
  AM_MEDIA_TYPE connected{};
  Layout layout;
  if (SUCCEEDED(grab->GetConnectedMediaType(&connected))) {
    layout = LayoutOf(connected);
    if (const BITMAPINFOHEADER* bmi = BitmapHeaderOf(connected)) {
      Out().Count("connected_size_image", bmi->biSizeImage);
      Out().Count("connected_bit_count", bmi->biBitCount);
    }
    FreeMediaType(connected);
  }
  Out().Add("connected", SubtypeName(layout.subtype) + " " + SizeText(layout.width, layout.height));
  recorder.SetLayout(layout, LengthRule::kExactly, static_cast<std::size_t>(width) * height * 3);
  ComPtr<IMediaFilter> clockless;
  hr = g.graph->QueryInterface(IID_IMediaFilter, clockless.PutVoid());
  if (SUCCEEDED(hr)) hr = clockless->SetSyncSource(nullptr);
  Out().Hr("no_clock_hr", hr);

  int code = kExitShown;
  bool shown = true;
  for (std::uint32_t run = 0; run <= o.restarts && code == kExitShown; ++run) {
    BeginRun(run);
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
    const Recorder::Snapshot snapshot = Collect(recorder, o);
    shown = ReportRun(snapshot, {RateOf(set), false, running, o.PngFor(run)}) && shown;
    Deadline d("Stop", o.TimeoutMs());
    Out().Hr("stop_hr", g.control->Stop());
    Out().Number("stop_ms", d.ElapsedMs(), 1);
  }
  BeginRun(0);
  Deadline d("releasing the graph and the camera", o.TimeoutMs());
  if (grab) grab->SetCallback(nullptr, 0);
  for (IBaseFilter* f : {grabber.Get(), null.Get(), camera.Get()}) g.graph->RemoveFilter(f);
  grab.Reset();
  grabber.Reset();
  null.Reset();
  config.Reset();
  return ReleaseAndAnswer(g, camera, d, code, shown);
}

}  // namespace appcheck
