#include "Devices.h"
#include "CommandLine.h"

#include <dshow.h>
#include <ks.h>
#include <ksmedia.h>
#include <vfwmsgs.h>

#include <cwchar>

namespace appcheck {
namespace {

// IKsTopologyInfo, which MinGW does not declare: only its presence matters here.
const IID kIidKsTopologyInfo = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

std::wstring ReadText(IPropertyBag* bag, const wchar_t* name) {
  VARIANT value;
  VariantInit(&value);
  std::wstring text;
  if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal) text = value.bstrVal;
  VariantClear(&value);
  return text;
}

}  // namespace

std::vector<DeviceEntry> EnumerateDevices(const GUID& category, HRESULT& hr) {
  std::vector<DeviceEntry> devices;
  ComPtr<ICreateDevEnum> enumerator;
  hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                        enumerator.PutVoid());
  if (FAILED(hr)) return devices;
  ComPtr<IEnumMoniker> monikers;
  hr = enumerator->CreateClassEnumerator(category, monikers.Put(), 0);
  if (hr != S_OK || !monikers) return devices;  // S_FALSE: the category is empty
  ComPtr<IMoniker> moniker;
  while (monikers->Next(1, moniker.Put(), nullptr) == S_OK) {
    DeviceEntry entry;
    entry.moniker = moniker;
    ComPtr<IPropertyBag> bag;
    if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.PutVoid()))) {
      entry.friendlyName = ReadText(bag.Get(), L"FriendlyName");
      entry.description = ReadText(bag.Get(), L"Description");
      entry.devicePath = ReadText(bag.Get(), L"DevicePath");
    }
    LPOLESTR display = nullptr;
    if (SUCCEEDED(moniker->GetDisplayName(nullptr, nullptr, &display)) && display) {
      entry.displayName = display;
      CoTaskMemFree(display);
    }
    devices.push_back(std::move(entry));
  }
  return devices;
}

int SelectDevice(const std::vector<DeviceEntry>& devices, const std::wstring& selector) {
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (selector == devices[i].description || selector == devices[i].friendlyName) return static_cast<int>(i);
  }
  wchar_t* end = nullptr;
  const long position = std::wcstol(selector.c_str(), &end, 10);
  if (selector.empty() || *end != L'\0' || position < 0 || static_cast<std::size_t>(position) >= devices.size()) {
    return -1;
  }
  return static_cast<int>(position);
}

HRESULT BindEvery(const std::vector<DeviceEntry>& devices, bool topology, int& answered) {
  HRESULT first = S_OK;
  answered = 0;
  for (const DeviceEntry& device : devices) {
    ComPtr<IBaseFilter> filter;
    const HRESULT hr = device.moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.PutVoid());
    if (FAILED(hr)) {
      if (SUCCEEDED(first)) first = hr;
      continue;
    }
    ComPtr<IUnknown> info;
    if (topology && SUCCEEDED(filter->QueryInterface(kIidKsTopologyInfo, info.PutVoid()))) ++answered;
  }
  return first;
}

std::vector<ComPtr<IPin>> OutputPins(IBaseFilter* filter) {
  std::vector<ComPtr<IPin>> outputs;
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(pins.Put())) || !pins) return outputs;
  ComPtr<IPin> pin;
  while (pins->Next(1, pin.Put(), nullptr) == S_OK) {
    PIN_DIRECTION direction;
    if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT) outputs.push_back(pin);
  }
  return outputs;
}

GUID PinCategory(IPin* pin, HRESULT& hr, DWORD& returned) {
  GUID category = GUID_NULL;
  returned = 0;
  ComPtr<IKsPropertySet> properties;
  hr = pin->QueryInterface(IID_IKsPropertySet, properties.PutVoid());
  if (FAILED(hr)) return GUID_NULL;
  hr = properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof(category), &returned);
  return category;
}

bool PinHasMajorType(IPin* pin, const GUID& majorType) {
  ComPtr<IEnumMediaTypes> types;
  if (FAILED(pin->EnumMediaTypes(types.Put())) || !types) return false;
  AM_MEDIA_TYPE* type = nullptr;
  bool found = false;
  while (!found && types->Next(1, &type, nullptr) == S_OK && type) {
    found = IsEqualGUID(type->majortype, majorType);
    DeleteMediaType(type);
    type = nullptr;
  }
  return found;
}

HRESULT ReadCapabilities(IAMStreamConfig* config, std::vector<Capability>& list, HRESULT& stoppedBy) {
  int count = 0, size = 0;
  stoppedBy = S_OK;
  const HRESULT hr = config->GetNumberOfCapabilities(&count, &size);
  if (FAILED(hr)) return hr;
  if (size != static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS))) return E_UNEXPECTED;
  for (int i = 0; i < count; ++i) {
    Capability entry;
    entry.index = i;
    AM_MEDIA_TYPE* type = nullptr;
    stoppedBy = config->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&entry.caps));
    if (stoppedBy != S_OK || !type) {
      DeleteMediaType(type);
      if (stoppedBy == S_OK) stoppedBy = E_POINTER;
      break;
    }
    entry.type.Set(*type);
    DeleteMediaType(type);
    list.push_back(std::move(entry));
  }
  return hr;
}

std::string SizeText(long width, long height) { return std::to_string(width) + "x" + std::to_string(height); }


}  // namespace appcheck
