#include "StressModule.h"

#include <cstdio>
#include <fstream>


namespace {

// The null renderer of the platform's editing services (qedit).
const CLSID kNullRenderer = {0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

// A camera's filters: fixed identifiers whose last byte is the camera index.
CLSID CameraFilterId(int camera, bool audio) {
  CLSID id = {0x992DFFB6, 0x575E, 0x47D4, {0xA9, 0xCE, 0xD7, 0x63, 0xD7, 0xFF, 0x3B, 0x00}};
  if (audio) id.Data4[6] = 0x3C;
  id.Data4[7] = static_cast<BYTE>(camera);
  return id;
}

template <typename F>
F Export(HMODULE module, const char* name) {
  return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(WINAPI*)();

std::wstring NewFolder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder =
      std::wstring(temp) + L"telvor-stress-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
      std::to_wstring(GetTickCount64());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

bool WriteSettings(const std::wstring& path, int camera) {
  const int number = camera + 1;
  char text[512];
  std::snprintf(text, sizeof text,
                "[CONFIG]\r\nFILTERS=64\r\nFILTER.VIDEO.NAME.%02d=TELVOR stress camera\r\n"
                "FILTER.AUDIO.NAME.%02d=TELVOR stress microphone\r\nFILTER.FPS.%02d=60\r\n"
                "FILTER.COLORSPACE.%02d=YUY2\r\nFILTER.DEFAULT.OUTPUT.W.%02d=320\r\n"
                "FILTER.DEFAULT.OUTPUT.H.%02d=240\r\n",
                number, number, number, number, number, number);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
  CloseHandle(file);
  return ok != FALSE;
}

ComPtr<IPin> FirstPin(IBaseFilter* filter, PIN_DIRECTION direction) {
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(pins.Put()))) return {};
  ComPtr<IPin> pin;
  while (pins->Next(1, pin.Put(), nullptr) == S_OK) {
    PIN_DIRECTION d;
    if (SUCCEEDED(pin->QueryDirection(&d)) && d == direction) return pin;
  }
  return {};
}

}  // namespace

StressModule::~StressModule() {
  for (auto& factory : factories_) factory.Reset();
  if (module_) FreeLibrary(module_);
  if (!folder_.empty()) {
    DeleteFileW((folder_ + L"\\TELVOR.AX").c_str());
    DeleteFileW((folder_ + L"\\TELVOR.INI").c_str());
    RemoveDirectoryW(folder_.c_str());
  }
}

bool StressModule::Load(bool video, bool audio) {
  folder_ = NewFolder();
  const std::wstring copy = folder_ + L"\\TELVOR.AX";
  if (!CopyFileW(source_.c_str(), copy.c_str(), FALSE) || !WriteSettings(folder_ + L"\\TELVOR.INI", camera_)) {
    std::fprintf(stderr, "cannot copy the module from %ls\n", source_.c_str());
    return false;
  }
  module_ = LoadLibraryW(copy.c_str());
  auto get = Export<GetClassObjectFn>(module_, "DllGetClassObject");
  if (!get) {
    std::fprintf(stderr, "cannot load %ls (%lu)\n", copy.c_str(), GetLastError());
    return false;
  }
  const CLSID ids[2] = {CameraFilterId(camera_, false), CameraFilterId(camera_, true)};
  const bool wanted[2] = {video, audio};
  for (int i = 0; i < 2; ++i) {
    if (!wanted[i]) continue;
    const HRESULT hr = get(ids[i], IID_IClassFactory, factories_[i].PutVoid());
    if (FAILED(hr)) {
      std::fprintf(stderr, "no class object for the %s filter: 0x%08lX\n", i ? "audio" : "video",
                   static_cast<unsigned long>(hr));
      return false;
    }
  }
  return true;
}

ComPtr<IBaseFilter> StressModule::CreateFilter(StressKind kind) {
  ComPtr<IBaseFilter> filter;
  IClassFactory* factory = factories_[kind == StressKind::kAudio ? 1 : 0].Get();
  if (!factory || FAILED(factory->CreateInstance(nullptr, IID_IBaseFilter, filter.PutVoid()))) return {};
  return filter;
}

bool StressModule::CreateDestroy(StressKind kind) {
  ComPtr<IBaseFilter> filter = CreateFilter(kind);
  if (!filter) return false;
  ComPtr<IPin> pin = FirstPin(filter.Get(), PINDIR_OUTPUT);
  if (!pin) return false;
  ComPtr<IAMStreamConfig> config;
  if (FAILED(pin.As(&config))) return false;
  int count = 0, size = 0;
  if (FAILED(config->GetNumberOfCapabilities(&count, &size)) || count < 1) return false;
  AM_MEDIA_TYPE* type = nullptr;
  BYTE caps[256];
  if (config->GetStreamCaps(0, &type, caps) != S_OK || !type) return false;
  CoTaskMemFree(type->pbFormat);
  if (type->pUnk) type->pUnk->Release();
  CoTaskMemFree(type);
  return true;
}

HRESULT StressModule::CanUnloadNow() {
  for (auto& factory : factories_) factory.Reset();
  auto can = Export<CanUnloadNowFn>(module_, "DllCanUnloadNow");
  return can ? can() : E_UNEXPECTED;
}

StressGraph::~StressGraph() {
  if (control_) control_->Stop();
  events_.Reset();
  control_.Reset();
  graph_.Reset();
}

bool StressGraph::AddBranch(StressKind kind) {
  const int k = kind == StressKind::kAudio ? 1 : 0;
  ComPtr<IBaseFilter> camera = module_.CreateFilter(kind);
  if (!camera) {
    std::fprintf(stderr, "cannot create the %s filter\n", k ? "audio" : "video");
    return false;
  }
  ComPtr<IBaseFilter> renderer;
  const HRESULT made =
      CoCreateInstance(kNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, renderer.PutVoid());
  if (FAILED(made)) {
    std::fprintf(stderr, "no null renderer: 0x%08lX\n", static_cast<unsigned long>(made));
    return false;
  }
  const wchar_t* names[2][2] = {{L"video camera", L"video renderer"}, {L"audio camera", L"audio renderer"}};
  if (FAILED(graph_->AddFilter(camera.Get(), names[k][0])) || FAILED(graph_->AddFilter(renderer.Get(), names[k][1]))) {
    return false;
  }
  ComPtr<IPin> out = FirstPin(camera.Get(), PINDIR_OUTPUT);
  ComPtr<IPin> in = FirstPin(renderer.Get(), PINDIR_INPUT);
  const HRESULT hr = out && in ? graph_->ConnectDirect(out.Get(), in.Get(), nullptr) : E_FAIL;
  if (FAILED(hr)) std::fprintf(stderr, "cannot connect the %s branch: 0x%08lX\n", k ? "audio" : "video", hr);
  return SUCCEEDED(hr);
}

bool StressGraph::Build(bool video, bool audio) {
  if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                              graph_.PutVoid()))) {
    return false;
  }
  if (FAILED(graph_.As(&control_)) || FAILED(graph_.QueryInto(IID_IMediaEvent, events_.PutVoid()))) return false;
  return (!video || AddBranch(StressKind::kVideo)) && (!audio || AddBranch(StressKind::kAudio));
}

bool StressGraph::RunStop() {
  if (FAILED(control_->Run())) return false;
  Sleep(40);  // a few frame periods at 60 frames per second
  OAFilterState state = State_Stopped;
  const bool running = SUCCEEDED(control_->GetState(1000, &state)) && state == State_Running;
  if (FAILED(control_->Stop())) return false;
  bool errors = false;
  long code = 0;
  LONG_PTR first = 0, second = 0;
  while (events_->GetEvent(&code, &first, &second, 0) == S_OK) {
    if (code == EC_ERRORABORT || code == EC_STREAM_ERROR_STOPPED) errors = true;
    events_->FreeEventParams(code, first, second);
  }
  return running && !errors;
}
