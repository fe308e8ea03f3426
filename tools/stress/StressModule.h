// The module under stress: a private copy of TELVOR.AX with a settings file
// naming one camera's video and audio filters, loaded the way hosts load it,
// and a graph of those filters feeding null renderers.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <string>

#include "framework/ComPtr.h"

enum class StressKind { kVideo, kAudio };

class StressModule {
 public:
  StressModule(std::wstring source, int camera) : source_(std::move(source)), camera_(camera) {}
  ~StressModule();
  StressModule(const StressModule&) = delete;
  StressModule& operator=(const StressModule&) = delete;

  // Copies, configures and loads the module and gets both class objects.
  bool Load(bool video, bool audio);
  // A filter of that kind, created through its class object; null on failure.
  ComPtr<IBaseFilter> CreateFilter(StressKind kind);
  // Create, look at the pin and its formats as a capture application does, release.
  bool CreateDestroy(StressKind kind);
  // Releases the class objects, then asks the module.
  HRESULT CanUnloadNow();

 private:
  std::wstring source_;
  int camera_;
  std::wstring folder_;
  HMODULE module_ = nullptr;
  ComPtr<IClassFactory> factories_[2];
};

class StressGraph {
 public:
  explicit StressGraph(StressModule& module) : module_(module) {}
  ~StressGraph();
  bool Build(bool video, bool audio);
  // One Run, a few frame periods of streaming, one Stop; false when a state
  // change fails or the graph reports an error.
  bool RunStop();

 private:
  bool AddBranch(StressKind kind);
  StressModule& module_;
  ComPtr<IGraphBuilder> graph_;
  ComPtr<IMediaControl> control_;
  ComPtr<IMediaEvent> events_;
};
