// Finding a device, its capture pin and its capabilities the ways the
// applications do; they differ in what they bind, which pin they take and
// which capability results they believe.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <string>
#include <vector>

#include "framework/ComPtr.h"
#include "framework/MediaType.h"

namespace appcheck {

struct DeviceEntry {
  std::wstring friendlyName;
  std::wstring description;
  std::wstring devicePath;
  std::wstring displayName;  // the moniker's, which capture-graph programs keep
  ComPtr<IMoniker> moniker;
};

// The devices of a category (CLSID_VideoInputDeviceCategory, ...) in the
// enumerator's order; `hr` receives the enumerator's failure, if any.
std::vector<DeviceEntry> EnumerateDevices(const GUID& category, HRESULT& hr);
// The position of the device named (description or friendly name) or
// numbered by `selector`; -1 when there is none.
int SelectDevice(const std::vector<DeviceEntry>& devices, const std::wstring& selector);
// Binds every device of the list and lets each go again, as Chromium and OBS
// do on every enumeration; answers the first failure (S_OK when all bound).
// With `topology`, each filter is also asked for IKsTopologyInfo; `answered`
// counts the filters that have it.
HRESULT BindEvery(const std::vector<DeviceEntry>& devices, bool topology, int& answered);

// Output pins of a filter, in its order.
std::vector<ComPtr<IPin>> OutputPins(IBaseFilter* filter);
// The pin's category as IKsPropertySet reports it: `hr` the Get's result,
// `returned` the bytes it gave; GUID_NULL without the interface (hr E_NOINTERFACE).
GUID PinCategory(IPin* pin, HRESULT& hr, DWORD& returned);
// True when one of the types the pin enumerates has this major type.
bool PinHasMajorType(IPin* pin, const GUID& majorType);

// One entry of IAMStreamConfig's capability list.
struct Capability {
  int index = 0;
  CMediaType type;
  VIDEO_STREAM_CONFIG_CAPS caps{};
};

// GetNumberOfCapabilities then GetStreamCaps(0..n-1), stopping at the first
// result other than exactly S_OK, as Chromium reads the list (`stoppedBy`
// gets that result, S_OK when the list was read whole).
HRESULT ReadCapabilities(IAMStreamConfig* config, std::vector<Capability>& list, HRESULT& stoppedBy);

// "1280x720" and the like, for the findings.
std::string SizeText(long width, long height);

}  // namespace appcheck
