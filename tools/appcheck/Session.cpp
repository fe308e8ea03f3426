// What the four applications share: the graph, choosing the device, a run's
// collection window.
#include <dshow.h>

#include "Apps.h"
#include "CommandLine.h"
#include "Picture.h"

namespace appcheck {

HRESULT Graph::Create() {
  HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.PutVoid());
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_ICaptureGraphBuilder2,
                          builder.PutVoid());
  }
  if (SUCCEEDED(hr)) hr = builder->SetFiltergraph(graph.Get());
  if (SUCCEEDED(hr)) hr = graph->QueryInterface(IID_IMediaControl, control.PutVoid());
  Out().Hr("graph_hr", hr);
  return hr;
}

int ChooseDevice(const std::vector<DeviceEntry>& devices, const std::wstring& selector, const char* kind) {
  Out().Count(std::string(kind) + "_devices", devices.size());
  const int chosen = SelectDevice(devices, selector);
  if (chosen < 0) {
    Out().Problem(std::string("no ") + kind + " device " + tools::Utf8(selector));
    return -1;
  }
  const DeviceEntry& device = devices[static_cast<std::size_t>(chosen)];
  Out().Add(std::string(kind) + "_device",
            tools::Utf8(device.description.empty() ? device.friendlyName : device.description));
  return chosen;
}

int Fatal(const std::string& step, HRESULT hr) {
  Out().Problem(step + " failed (" + HrText(hr) + ")");
  return kExitFailed;
}

Recorder::Snapshot Collect(Recorder& recorder, const AppOptions& options) {
  PumpWait(recorder.FirstSample(), options.TimeoutMs());
  PumpWait(nullptr, options.DurationMs());
  return recorder.Take();
}

void BeginRun(std::uint32_t run) { Out().SetPrefix(run == 0 ? "" : "restart" + std::to_string(run) + "_"); }

HRESULT FindOnPin(ICaptureGraphBuilder2* builder, const GUID* category, IBaseFilter* filter, REFIID iid, void** out) {
  HRESULT hr = builder->FindInterface(category, &MEDIATYPE_Interleaved, filter, iid, out);
  if (FAILED(hr)) hr = builder->FindInterface(category, &MEDIATYPE_Video, filter, iid, out);
  return hr;
}

double RateOf(const AM_MEDIA_TYPE& type) {
  const REFERENCE_TIME* frame = AvgTimePerFrameOf(type);
  return frame && *frame > 0 ? 1e7 / static_cast<double>(*frame) : 0;
}

int ReleaseAndAnswer(Graph& graph, ComPtr<IBaseFilter>& camera, const Deadline& releasing, int code, bool shown) {
  graph = Graph();
  camera.Reset();
  Out().Number("release_ms", releasing.ElapsedMs(), 1);
  if (code != kExitShown) return code;
  return shown ? kExitShown : kExitNoPicture;
}

}  // namespace appcheck
