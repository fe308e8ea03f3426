// ICorvaneVideoStream and ISpecifyPropertyPages: the camera's own controls,
// used by its property page and by applications that know the camera.
#include <dshow.h>

#include <cstdlib>
#include <string>

#include "base/Log.h"
#include "filter/video/CorvaneVideoStream.h"
#include "framework/Source.h"
#include "imaging/SwScaler.h"
#include "settings/ModulePaths.h"
#include "settings/SettingsKeys.h"
#include "settings/ZentraSettings.h"

namespace {

// Methods for a capture card this module does not drive. The two texts
// differ in case, as applications have long seen them.
HRESULT NotForThisCamera() {
  telvor::Error() << L"SUPPORTED ONLY for CORVANE";
  return E_NOTIMPL;
}
HRESULT NotForThisCameraLower() {
  telvor::Error() << L"SUPPORTED only for CORVANE";
  return E_NOTIMPL;
}

}  // namespace

// The forced type, else the current type, else the first offered type.
const CMediaType* CorvaneVideoStream::ModelType() const {
  if (m_pForcedType) return m_pForcedType.get();
  if (m_mt.subtype != GUID_NULL) return &m_mt;
  return m_Offer.types.empty() ? nullptr : &m_Offer.types.front();
}

STDMETHODIMP CorvaneVideoStream::GetSubType(GUID* subtype) {
  if (!subtype) return E_INVALIDARG;
  CAutoLock lock(m_pFilter->pInfoLock());
  *subtype = m_mt.subtype != GUID_NULL ? m_mt.subtype : m_pEntry->subtype;
  return S_OK;
}

STDMETHODIMP CorvaneVideoStream::GetOutputSize(UINT* width, UINT* height) {
  if (!width || !height) return E_INVALIDARG;
  CAutoLock lock(m_pFilter->pInfoLock());
  UINT w;
  UINT h;
  if (m_mt.subtype != GUID_NULL) {
    const BITMAPINFOHEADER* header = VideoBitmapHeader(m_mt);
    if (!header) return E_ACCESSDENIED;
    w = static_cast<UINT>(header->biWidth);
    h = static_cast<UINT>(std::abs(static_cast<long long>(header->biHeight)));
  } else {
    w = static_cast<UINT>(m_pEntry->defaultWidth);
    h = static_cast<UINT>(m_pEntry->defaultHeight);
  }
  if (w == 0 || h == 0) {
    w = m_SetWidth;
    h = m_SetHeight;
  }
  *width = w;
  *height = h;
  return S_OK;
}

STDMETHODIMP CorvaneVideoStream::GetSupportedSize(INT index, UINT* width, UINT* height) {
  if (!width || !height) return E_INVALIDARG;
  if (index < 0 || static_cast<size_t>(index) >= m_Offer.sizes.size()) return E_INVALIDARG;
  *width = m_Offer.sizes[index].first;
  *height = m_Offer.sizes[index].second;
  return S_OK;
}

// The forced type is replaced under the state lock, so no connection is
// made from half of it, and the info lock, under which negotiation and
// applications read it.
STDMETHODIMP CorvaneVideoStream::SetSubType(REFGUID subtype) {
  CAutoLock lock(m_pFilter->pStateLock());
  CAutoLock info(m_pFilter->pInfoLock());
  const CMediaType* model = ModelType();
  if (!model) return E_ACCESSDENIED;
  // A current type set through SetFormat may carry no picture at all.
  const BITMAPINFOHEADER* header = VideoBitmapHeader(*model);
  if (!header) return E_ACCESSDENIED;
  const LONG width = header->biWidth;
  const long long height = std::abs(static_cast<long long>(header->biHeight));
  auto forced = std::make_unique<CMediaType>();
  const HRESULT hr = BuildVideoType(forced.get(), subtype, width, height, 30.0);
  if (FAILED(hr)) return hr;
  m_pForcedType = std::move(forced);
  m_FormatSet = false;  // the newest choice wins
  return S_OK;
}

STDMETHODIMP CorvaneVideoStream::SetOutputSize(UINT width, UINT height) {
  {
    CAutoLock lock(m_pFilter->pStateLock());
    CAutoLock info(m_pFilter->pInfoLock());
    const CMediaType* model = ModelType();
    if (!model) return E_ACCESSDENIED;
    if (width > static_cast<UINT>(kMaxConverterSide) || height > static_cast<UINT>(kMaxConverterSide)) {
      return E_INVALIDARG;
    }
    auto forced = std::make_unique<CMediaType>();
    const HRESULT hr = BuildVideoType(forced.get(), model->subtype, width, height, 30.0);
    if (FAILED(hr)) return hr;
    m_pForcedType = std::move(forced);
    m_FormatSet = false;
    m_SetWidth = width;
    m_SetHeight = height;
  }
  // The table reads these at the next load; a failed write changes nothing now.
  SetConfigString(m_Paths->iniPath, CameraKey(settings::kDefaultOutputWidth).c_str(), std::to_wstring(width).c_str());
  SetConfigString(m_Paths->iniPath, CameraKey(settings::kDefaultOutputHeight).c_str(), std::to_wstring(height).c_str());
  return S_OK;
}

STDMETHODIMP CorvaneVideoStream::GetInput(UINT*) { return NotForThisCamera(); }
STDMETHODIMP CorvaneVideoStream::SetInput(UINT) { return NotForThisCamera(); }
STDMETHODIMP CorvaneVideoStream::Reserved10() { return NotForThisCamera(); }
STDMETHODIMP CorvaneVideoStream::Reserved11() { return NotForThisCamera(); }
STDMETHODIMP CorvaneVideoStream::GetProperty(UINT, LONG*) { return NotForThisCameraLower(); }
STDMETHODIMP CorvaneVideoStream::SetProperty(UINT, LONG) { return NotForThisCameraLower(); }
STDMETHODIMP CorvaneVideoStream::Reserved17() { return NotForThisCameraLower(); }
STDMETHODIMP CorvaneVideoStream::Reserved18() { return NotForThisCameraLower(); }
STDMETHODIMP CorvaneVideoStream::Reserved19() { return NotForThisCameraLower(); }

STDMETHODIMP CorvaneVideoStream::GetScaleStyle(UINT* style) {
  if (!style) return E_POINTER;
  // Read as a number: users enter it as REG_DWORD when the settings live in
  // the registry, and a text read refuses that.
  const auto stored = static_cast<UINT>(GetConfigInt(CameraKey(settings::kScaleStyle).c_str(), 0, m_Paths->iniPath));
  m_Frames.SetScaleStyle(stored);
  *style = stored;
  return S_OK;
}

// Takes effect at the next converter rebuild (a format change), as the
// running picture should not jump under the user mid-stream.
STDMETHODIMP CorvaneVideoStream::SetScaleStyle(UINT style) {
  SetConfigString(m_Paths->iniPath, CameraKey(settings::kScaleStyle).c_str(), std::to_wstring(style).c_str());
  m_Frames.SetScaleStyle(style);
  return S_OK;
}

STDMETHODIMP CorvaneVideoStream::GetDeinterlacing(UINT* mode) {
  if (!mode) return E_POINTER;
  const std::wstring key = CameraKey(settings::kDeinterlacing);
  *mode = static_cast<UINT>(GetConfigInt(key.c_str(), settings::kDefaultDeinterlacing, m_Paths->iniPath));
  return S_OK;
}

// The counters belong to capture hardware; a virtual camera has none to report.
STDMETHODIMP CorvaneVideoStream::GetStatistics(UINT* value1, UINT* value2, UINT* value3, UINT* value4,
                                               UINT* value5, LONGLONG* value6, UINT* value7, UINT* value8,
                                               UINT* value9) {
  if (!value1 || !value2 || !value3 || !value4 || !value5 || !value6 || !value7 || !value8 || !value9) {
    return E_INVALIDARG;
  }
  *value1 = *value2 = *value3 = *value4 = *value5 = 0;
  *value6 = 0;
  *value7 = *value8 = *value9 = 0;
  return S_OK;
}

STDMETHODIMP CorvaneVideoStream::GetPages(CAUUID* pages) {
  if (!pages) return E_POINTER;
  pages->cElems = 1;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (!pages->pElems) return E_OUTOFMEMORY;
  pages->pElems[0] = PropertyPageId(static_cast<int>(m_CameraIndex));
  return S_OK;
}
