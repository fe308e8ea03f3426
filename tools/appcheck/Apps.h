// The four applications, each a function that repeats its DirectShow calls in
// its order and answers the exit code (the caller prints the result line),
// and what they share.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <cstdint>

#include "AppOptions.h"
#include "Devices.h"
#include "Findings.h"
#include "Frames.h"
#include "framework/ComPtr.h"

namespace appcheck {

int RunChromium(const AppOptions& options);
int RunObs(const AppOptions& options);
int RunCapGraph(const AppOptions& options);
int RunOpenCv(const AppOptions& options);

// A filter graph with the capture graph builder working on it.
struct Graph {
  ComPtr<IGraphBuilder> graph;
  ComPtr<ICaptureGraphBuilder2> builder;
  ComPtr<IMediaControl> control;
  // Reported as graph_hr; fails only when the system lacks DirectShow.
  HRESULT Create();
};

// The device the options name among the video (or audio) devices, reported
// as devices= / device=; -1 (and a problem) when there is none.
int ChooseDevice(const std::vector<DeviceEntry>& devices, const std::wstring& selector, const char* kind);

// A step the application cannot go on without: reports it, answers kExitFailed.
int Fatal(const std::string& step, HRESULT hr);

// Waits for the first sample (at most the timeout), then for the duration,
// and takes what arrived.
Recorder::Snapshot Collect(Recorder& recorder, const AppOptions& options);

// Starts the figures of run `run` (0 the first, then each restart).
void BeginRun(std::uint32_t run);

// FindInterface(category, Interleaved then Video, filter, iid), as the
// capture-graph programs, Chromium and OpenCV ask: `hr` the last result.
HRESULT FindOnPin(ICaptureGraphBuilder2* builder, const GUID* category, IBaseFilter* filter, REFIID iid, void** out);

// The end of a run: the graph and the camera released (release_ms), and the
// exit code of what the application showed.
// `releasing` times it from the release's first call on.
int ReleaseAndAnswer(Graph& graph, ComPtr<IBaseFilter>& camera, const Deadline& releasing, int code, bool shown);

// The stream rate a video type states, 0 without one.
double RateOf(const AM_MEDIA_TYPE& type);

}  // namespace appcheck
