// IAMStreamConfig: how capture applications list the pin's formats and pick
// one before connecting.
#include <dshow.h>
#include <dvdmedia.h>

#include <cstdlib>
#include <utility>

#include "base/Log.h"
#include "filter/video/CorvaneVideoStream.h"
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

STDMETHODIMP CorvaneVideoStream::SetFormat(AM_MEDIA_TYPE* type) {
  ComPtr<IFilterGraph> graph;
  {
    CAutoLock lock(m_pFilter->pStateLock());
    if (!type) {
      CAutoLock info(m_pFilter->pInfoLock());
      m_mt = CMediaType();
      m_FormatSet = false;
      return S_OK;
    }
    if (type->majortype != MEDIATYPE_Video) return E_INVALIDARG;
    if (m_pForcedType) {
      if (type->subtype != m_pForcedType->subtype) return E_INVALIDARG;
    } else if (!AcceptsSubtype(type->subtype)) {
      return E_INVALIDARG;
    }
    if (HasSideBeyond(*type, kMaxConverterSide) || !HasUsableFrameDuration(*type)) return E_INVALIDARG;
    CMediaType chosen;
    if (FAILED(chosen.Set(*type))) return E_OUTOFMEMORY;
    // Applications edit the type GetFormat gave them and may leave the old
    // subtype's bit count and sizes behind: the subtype and size they chose
    // decide, the rest follows from them.
    if (!NormaliseVideoType(&chosen)) return E_INVALIDARG;
    {
      CAutoLock info(m_pFilter->pInfoLock());
      m_mt = std::move(chosen);
      m_FormatSet = true;
    }
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
  CAutoLock lock(m_pFilter->pInfoLock());
  const AM_MEDIA_TYPE& source = m_mt.subtype != GUID_NULL ? m_mt : m_Offer.types.front();
  *type = CreateMediaType(&source);
  return *type ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CorvaneVideoStream::GetNumberOfCapabilities(int* count, int* size) {
  if (!count || !size) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
  // The list stays what it is once connected: applications read it again
  // to offer the user other formats, and a restart picks from it anew.
  *count = m_pForcedType ? 1 : static_cast<int>(m_Offer.types.size());
  return S_OK;
}

STDMETHODIMP CorvaneVideoStream::GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) {
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneVideoStream::GetStreamCaps", this) << L" iIndex=" << index;
  if (!type || !caps) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  // A forced type is the only capability; a negative index into the offer
  // is past no end and counts as past it.
  const AM_MEDIA_TYPE* chosen;
  if (m_pForcedType) {
    if (index > 0) return S_FALSE;
    chosen = m_pForcedType.get();
  } else {
    if (index < 0 || static_cast<size_t>(index) >= m_Offer.types.size()) return S_FALSE;
    chosen = &m_Offer.types[index];
  }
  *type = CreateMediaType(chosen);
  if (!*type) return E_OUTOFMEMORY;
  FillCaps(*chosen, reinterpret_cast<VIDEO_STREAM_CONFIG_CAPS*>(caps));
  return S_OK;
}
