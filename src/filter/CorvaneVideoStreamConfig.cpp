// IAMStreamConfig: how capture applications list the pin's formats and pick
// one before connecting.
#include <dshow.h>
#include <dvdmedia.h>

#include <cstdlib>

#include "base/Log.h"
#include "filter/CorvaneVideoStream.h"
#include "framework/ComPtr.h"
#include "framework/MediaTypeDump.h"
#include "framework/Source.h"
#include "imaging/SwScaler.h"

namespace {

constexpr wchar_t kUnit[] = L"CorvaneVideoStream";

void FillCaps(const AM_MEDIA_TYPE& type, VIDEO_STREAM_CONFIG_CAPS* caps) {
  const BITMAPINFOHEADER* header = VideoBitmapHeader(type);
  if (!header) return;
  const VIDEOINFOHEADER* info = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
  const VIDEOINFOHEADER2* info2 = reinterpret_cast<const VIDEOINFOHEADER2*>(type.pbFormat);
  const bool second = type.formattype == FORMAT_VideoInfo2;
  const REFERENCE_TIME frameTime = second ? info2->AvgTimePerFrame : info->AvgTimePerFrame;
  const DWORD bitRate = second ? info2->dwBitRate : info->dwBitRate;
  const SIZE size = {header->biWidth, header->biHeight < 0 ? -header->biHeight : header->biHeight};

  *caps = VIDEO_STREAM_CONFIG_CAPS();
  caps->guid = FORMAT_VideoInfo;
  caps->VideoStandard = 0;
  caps->InputSize = caps->MinCroppingSize = caps->MaxCroppingSize = size;
  caps->CropGranularityX = caps->CropGranularityY = caps->CropAlignX = caps->CropAlignY = 1;
  caps->MinOutputSize = caps->MaxOutputSize = size;
  caps->OutputGranularityX = caps->OutputGranularityY = 1;
  caps->MinFrameInterval = caps->MaxFrameInterval = frameTime;
  caps->MinBitsPerSecond = caps->MaxBitsPerSecond = static_cast<LONG>(bitRate);
}

}  // namespace

// A current type with a real picture in it: what a client fixed with
// SetFormat or a connection, which then is the pin's only capability.
bool CorvaneVideoStream::HasCapsType() const {
  if (m_mt.subtype == GUID_NULL) return false;
  const BITMAPINFOHEADER* header = VideoBitmapHeader(m_mt);
  return header && header->biWidth != 0 && header->biHeight != 0;
}

STDMETHODIMP CorvaneVideoStream::SetFormat(AM_MEDIA_TYPE* type) {
  ComPtr<IFilterGraph> graph;
  {
    CAutoLock lock(m_pFilter->pStateLock());
    if (!type) {
      m_mt = CMediaType();
      return S_OK;
    }
    if (type->majortype != MEDIATYPE_Video) return E_INVALIDARG;
    if (m_pForcedType) {
      if (type->subtype != m_pForcedType->subtype) return E_INVALIDARG;
    } else if (type->subtype != MEDIASUBTYPE_YV12 && type->subtype != MEDIASUBTYPE_YUY2 &&
               type->subtype != MEDIASUBTYPE_RGB24 && type->subtype != MEDIASUBTYPE_RGB32) {
      return E_INVALIDARG;
    }
    if (HasSideBeyond(*type, kMaxConverterSide)) return E_INVALIDARG;
    if (FAILED(m_mt.Set(*type))) return E_OUTOFMEMORY;
    if (IsConnected()) graph = m_pFilter->GetFilterGraph();
    telvor::Trace() << L"SetFormat succeeded";
    DumpMediaType(&m_mt);
  }
  // The graph runs the new connection; OutputFormat follows there. Its lock
  // comes before ours (it holds it while it stops us), so it is called with
  // ours released.
  if (graph) graph->Reconnect(static_cast<IPin*>(this));
  return S_OK;
}

STDMETHODIMP CorvaneVideoStream::GetFormat(AM_MEDIA_TYPE** type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pStateLock());
  const AM_MEDIA_TYPE& source = m_mt.subtype != GUID_NULL ? m_mt : m_Offer.types.front();
  *type = CreateMediaType(&source);
  return *type ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CorvaneVideoStream::GetNumberOfCapabilities(int* count, int* size) {
  if (!count || !size) return E_POINTER;
  CAutoLock lock(m_pFilter->pStateLock());
  *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
  if (m_pForcedType || HasCapsType()) {
    *count = 1;
  } else {
    *count = static_cast<int>(m_Offer.types.size());
  }
  return S_OK;
}

STDMETHODIMP CorvaneVideoStream::GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) {
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneVideoStream::GetStreamCaps", this) << L" iIndex=" << index;
  if (!type || !caps) return E_POINTER;
  CAutoLock lock(m_pFilter->pStateLock());
  // A fixed type answers whatever the index, a forced one only up to 0;
  // a negative index into the offer is past no end and counts as past it.
  const AM_MEDIA_TYPE* chosen;
  if (m_pForcedType) {
    if (index > 0) return S_FALSE;
    chosen = m_pForcedType.get();
  } else if (HasCapsType()) {
    chosen = &m_mt;
  } else {
    if (index < 0 || static_cast<size_t>(index) >= m_Offer.types.size()) return S_FALSE;
    chosen = &m_Offer.types[index];
  }
  *type = CreateMediaType(chosen);
  if (!*type) return E_OUTOFMEMORY;
  FillCaps(*chosen, reinterpret_cast<VIDEO_STREAM_CONFIG_CAPS*>(caps));
  return S_OK;
}
