// The video pin's private control interface, reached through the camera
// filter or the pin. Applications and the camera's property page use it to
// read the output format and to choose colour space, size and scale style.
#pragma once

#include <windows.h>
#include <unknwn.h>

// {A91B736C-B63B-4E57-AF03-1D26C174851E}
inline constexpr GUID IID_ICorvaneVideoStream = {
    0xA91B736C, 0xB63B, 0x4E57, {0xAF, 0x03, 0x1D, 0x26, 0xC1, 0x74, 0x85, 0x1E}};

// Method order is the binary contract (vtable slots 3 to 20 after IUnknown).
struct ICorvaneVideoStream : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetSubType(GUID* subtype) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetOutputSize(UINT* width, UINT* height) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSupportedSize(INT index, UINT* width, UINT* height) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetSubType(REFGUID subtype) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOutputSize(UINT width, UINT height) = 0;
  // Capture-hardware controls this module does not drive: always E_NOTIMPL.
  virtual HRESULT STDMETHODCALLTYPE GetInput(UINT* input) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetInput(UINT input) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved10() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved11() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UINT property, LONG* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetProperty(UINT property, LONG value) = 0;
  // 0 Stretch, 1 Fill, 2 Fit; stored per camera in the settings.
  virtual HRESULT STDMETHODCALLTYPE GetScaleStyle(UINT* style) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetScaleStyle(UINT style) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDeinterlacing(UINT* mode) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved17() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved18() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved19() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatistics(UINT* value1, UINT* value2, UINT* value3, UINT* value4,
                                                  UINT* value5, LONGLONG* value6, UINT* value7, UINT* value8,
                                                  UINT* value9) = 0;
};
