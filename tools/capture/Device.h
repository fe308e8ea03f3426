// Finding a capture device and choosing its format, the way capture
// applications do it: the system device enumerator, then the output pin's
// IAMStreamConfig (GetStreamCaps, edit the offered type, SetFormat).
#pragma once

#include <windows.h>
#include <strmif.h>

#include <string>
#include <vector>

#include "FrameBand.h"
#include "VideoHeader.h"
#include "framework/ComPtr.h"
#include "framework/MediaType.h"

namespace capture {

enum class DeviceKind { kVideo, kAudio };

// Friendly names in the enumerator's order; empty when there are none.
std::vector<std::wstring> ListDevices(DeviceKind kind);

// The device whose friendly name equals `selector` or, if `selector` is a
// number, the one at that position. `name` receives its friendly name.
HRESULT OpenDevice(DeviceKind kind, const std::wstring& selector, ComPtr<IBaseFilter>& filter, std::wstring& name);

// The filter's capture output pin (the first output pin if none says so).
HRESULT FindCapturePin(IBaseFilter* filter, ComPtr<IPin>& pin);

struct FormatRequest {
  PixelFormat format = PixelFormat::kUnknown;  // unknown: whatever the capability offers
  std::int32_t width = 0;                      // 0: the capability's size
  std::int32_t height = 0;
  double fps = 0;  // 0: the capability's rate
};

// Tries the pin's capabilities in order and sets the first that fits the
// request (its type edited to the requested size and rate), as FFmpeg does.
// `chosen` receives the type set; `why` a sentence when nothing fits.
HRESULT NegotiateVideo(IPin* pin, const FormatRequest& request, CMediaType& chosen, std::string& why);
// Audio cameras offer one format: take it, or the pin's current one.
HRESULT NegotiateAudio(IPin* pin, CMediaType& chosen, std::string& why);

// The picture layout a video type describes (VIDEOINFOHEADER or VIDEOINFOHEADER2).
PictureLayout LayoutOf(const AM_MEDIA_TYPE& type);
// The frame duration of a video type, 100-ns units; 0 when it has none.
REFERENCE_TIME FrameDurationOf(const AM_MEDIA_TYPE& type);
const char* FormatName(PixelFormat format);
PixelFormat FormatOfSubtype(const GUID& subtype);

}  // namespace capture
