#include "Device.h"

#include <amvideo.h>
#include <dvdmedia.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include <cstdlib>
#include <cwchar>

namespace capture {
namespace {

// Owns a VARIANT read from a property bag.
struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  ~Variant() { VariantClear(&v); }
};

// Owns a task-memory media type handed out by IAMStreamConfig.
struct TaskMediaType {
  AM_MEDIA_TYPE* p = nullptr;
  ~TaskMediaType() { DeleteMediaType(p); }
};

const GUID& CategoryOf(DeviceKind kind) {
  return kind == DeviceKind::kVideo ? CLSID_VideoInputDeviceCategory : CLSID_AudioInputDeviceCategory;
}

// Calls `visit(moniker, friendlyName)` for each device until it returns true.
template <typename Visit>
HRESULT ForEachDevice(DeviceKind kind, Visit visit) {
  ComPtr<ICreateDevEnum> devices;
  HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                devices.PutVoid());
  if (FAILED(hr)) return hr;
  ComPtr<IEnumMoniker> monikers;
  hr = devices->CreateClassEnumerator(CategoryOf(kind), monikers.Put(), 0);
  if (hr != S_OK || !monikers) return S_FALSE;  // the category is empty
  ComPtr<IMoniker> moniker;
  while (monikers->Next(1, moniker.Put(), nullptr) == S_OK) {
    ComPtr<IPropertyBag> bag;
    std::wstring name;
    if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.PutVoid()))) {
      Variant value;
      if (SUCCEEDED(bag->Read(L"FriendlyName", &value.v, nullptr)) && value.v.vt == VT_BSTR) name = value.v.bstrVal;
    }
    if (visit(moniker.Get(), name)) return S_OK;
  }
  return S_FALSE;
}

bool ParsePosition(const std::wstring& text, int& position) {
  if (text.empty() || text.size() > 6) return false;
  wchar_t* end = nullptr;
  const long value = std::wcstol(text.c_str(), &end, 10);
  if (*end != L'\0' || value < 0) return false;
  position = static_cast<int>(value);
  return true;
}

bool Refuse(std::string& why, const char* reason) {
  why = reason;
  return false;
}

HRESULT Fail(std::string& why, const char* reason, HRESULT hr) {
  why = reason;
  return hr;
}


// Edits an offered type to the request; false (with a reason) when the
// capability does not cover it.
bool FitCapability(AM_MEDIA_TYPE& type, const VIDEO_STREAM_CONFIG_CAPS& caps, const FormatRequest& request,
                   std::string& why) {
  BITMAPINFOHEADER* bmi = BitmapHeaderOf(type);
  const PixelFormat format = FormatOfSubtype(type.subtype);
  if (!bmi || format == PixelFormat::kUnknown) return Refuse(why, "not an uncompressed picture format we read");
  if (request.format != PixelFormat::kUnknown && format != request.format) return Refuse(why, "other format");
  if (request.width > 0) {
    if (request.width < caps.MinOutputSize.cx || request.width > caps.MaxOutputSize.cx ||
        request.height < caps.MinOutputSize.cy || request.height > caps.MaxOutputSize.cy) {
      return Refuse(why, "size outside the capability");
    }
    bmi->biWidth = request.width;
    bmi->biHeight = bmi->biHeight < 0 ? -request.height : request.height;
  }
  if (request.fps > 0) {
    const auto interval = static_cast<REFERENCE_TIME>(10000000.0 / request.fps + 0.5);
    if (interval < caps.MinFrameInterval || interval > caps.MaxFrameInterval) {
      return Refuse(why, "frame rate outside the capability");
    }
    *AvgTimePerFrameOf(type) = interval;
  }
  PictureLayout layout = LayoutOf(type);
  const std::size_t bytes = PictureBytes(layout);
  if (bytes == 0 || bytes > 0x7FFFFFFF) return Refuse(why, "unusable picture size");
  bmi->biSizeImage = static_cast<DWORD>(bytes);
  type.lSampleSize = static_cast<ULONG>(bytes);
  return true;
}

}  // namespace

std::vector<std::wstring> ListDevices(DeviceKind kind) {
  std::vector<std::wstring> names;
  ForEachDevice(kind, [&](IMoniker*, const std::wstring& name) {
    names.push_back(name);
    return false;
  });
  return names;
}

HRESULT OpenDevice(DeviceKind kind, const std::wstring& selector, ComPtr<IBaseFilter>& filter, std::wstring& name) {
  int position = -1;
  const bool byPosition = ParsePosition(selector, position);
  int index = 0;
  HRESULT bound = VFW_E_NOT_FOUND;
  const HRESULT hr = ForEachDevice(kind, [&](IMoniker* moniker, const std::wstring& friendly) {
    const bool match = byPosition ? index == position : friendly == selector;
    ++index;
    if (!match) return false;
    name = friendly;
    bound = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.PutVoid());
    return true;
  });
  return FAILED(hr) ? hr : bound;
}

HRESULT FindCapturePin(IBaseFilter* filter, ComPtr<IPin>& pin) {
  ComPtr<IEnumPins> pins;
  HRESULT hr = filter->EnumPins(pins.Put());
  if (FAILED(hr)) return hr;
  ComPtr<IPin> candidate;
  while (pins->Next(1, candidate.Put(), nullptr) == S_OK) {
    PIN_DIRECTION direction;
    if (FAILED(candidate->QueryDirection(&direction)) || direction != PINDIR_OUTPUT) continue;
    ComPtr<IKsPropertySet> properties;
    GUID category = GUID_NULL;
    DWORD returned = 0;
    const bool isCapture = SUCCEEDED(candidate.As(&properties)) &&
                           SUCCEEDED(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category,
                                                     sizeof(category), &returned)) &&
                           IsEqualGUID(category, PIN_CATEGORY_CAPTURE);
    if (!pin || isCapture) pin = candidate;
    if (isCapture) break;
  }
  return pin ? S_OK : VFW_E_NOT_FOUND;
}

HRESULT NegotiateVideo(IPin* pin, const FormatRequest& request, CMediaType& chosen, std::string& why) {
  ComPtr<IAMStreamConfig> config;
  HRESULT hr = pin->QueryInterface(IID_IAMStreamConfig, config.PutVoid());
  if (FAILED(hr)) return Fail(why, "the pin has no IAMStreamConfig", hr);
  int count = 0, size = 0;
  hr = config->GetNumberOfCapabilities(&count, &size);
  if (FAILED(hr)) return Fail(why, "GetNumberOfCapabilities failed", hr);
  if (size < static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS))) return Fail(why, "capabilities too small", E_UNEXPECTED);
  why = "no capability offers that format";
  for (int i = 0; i < count; ++i) {
    TaskMediaType offered;
    VIDEO_STREAM_CONFIG_CAPS caps{};
    if (config->GetStreamCaps(i, &offered.p, reinterpret_cast<BYTE*>(&caps)) != S_OK || !offered.p) continue;
    std::string reason;
    if (!FitCapability(*offered.p, caps, request, reason)) {
      if (reason != "other format") why = reason;
      continue;
    }
    hr = config->SetFormat(offered.p);
    if (hr == S_OK) return chosen.Set(*offered.p);
    why = "SetFormat refused the type";
  }
  return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT NegotiateAudio(IPin* pin, CMediaType& chosen, std::string& why) {
  ComPtr<IAMStreamConfig> config;
  HRESULT hr = pin->QueryInterface(IID_IAMStreamConfig, config.PutVoid());
  if (FAILED(hr)) return Fail(why, "the pin has no IAMStreamConfig", hr);
  TaskMediaType current;
  hr = config->GetFormat(&current.p);
  if (FAILED(hr) || !current.p) return Fail(why, "GetFormat failed", FAILED(hr) ? hr : E_UNEXPECTED);
  if (!IsEqualGUID(current.p->formattype, FORMAT_WaveFormatEx) || current.p->cbFormat < sizeof(WAVEFORMATEX)) {
    return Fail(why, "not a WAVEFORMATEX type", VFW_E_INVALIDMEDIATYPE);
  }
  hr = config->SetFormat(current.p);
  if (FAILED(hr)) return Fail(why, "SetFormat refused the pin's own type", hr);
  return chosen.Set(*current.p);
}

PixelFormat FormatOfSubtype(const GUID& subtype) {
  if (IsEqualGUID(subtype, MEDIASUBTYPE_YUY2)) return PixelFormat::kYuy2;
  if (IsEqualGUID(subtype, MEDIASUBTYPE_YV12)) return PixelFormat::kYv12;
  if (IsEqualGUID(subtype, MEDIASUBTYPE_RGB24)) return PixelFormat::kRgb24;
  if (IsEqualGUID(subtype, MEDIASUBTYPE_RGB32)) return PixelFormat::kRgb32;
  return PixelFormat::kUnknown;
}

const char* FormatName(PixelFormat format) {
  switch (format) {
    case PixelFormat::kYuy2: return "YUY2";
    case PixelFormat::kYv12: return "YV12";
    case PixelFormat::kRgb24: return "RGB24";
    case PixelFormat::kRgb32: return "RGB32";
    default: return "unknown";
  }
}

PictureLayout LayoutOf(const AM_MEDIA_TYPE& type) {
  PictureLayout layout;
  const BITMAPINFOHEADER* bmi = BitmapHeaderOf(type);
  if (!bmi || bmi->biHeight == INT32_MIN) return layout;
  layout.format = FormatOfSubtype(type.subtype);
  layout.width = bmi->biWidth;
  layout.height = std::abs(bmi->biHeight);
  const bool rgb = layout.format == PixelFormat::kRgb24 || layout.format == PixelFormat::kRgb32;
  layout.bottomUp = rgb && bmi->biHeight > 0;
  layout.stride = DefaultStride(layout.format, layout.width);
  return layout;
}

REFERENCE_TIME FrameDurationOf(const AM_MEDIA_TYPE& type) {
  const REFERENCE_TIME* avg = AvgTimePerFrameOf(type);
  return avg && *avg > 0 ? *avg : 0;
}

}  // namespace capture
