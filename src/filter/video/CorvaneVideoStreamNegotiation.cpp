// What the video pin proposes and accepts during connection, and how it
// sizes its buffers.
#include <dshow.h>
#include <dvdmedia.h>

#include "base/Log.h"
#include "filter/video/CorvaneVideoStream.h"
#include "framework/MediaTypeDump.h"
#include "framework/Source.h"
#include "imaging/SwScaler.h"

namespace {

constexpr wchar_t kUnit[] = L"CorvaneVideoStream";

// The bitmap header of a VIDEOINFOHEADER or VIDEOINFOHEADER2 type whose
// format block is long enough to hold it; null otherwise.
const BITMAPINFOHEADER* BitmapHeader(const AM_MEDIA_TYPE& type) {
  if (!type.pbFormat) return nullptr;
  if (type.formattype == FORMAT_VideoInfo && type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    return &reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader;
  }
  if (type.formattype == FORMAT_VideoInfo2 && type.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
    return &reinterpret_cast<const VIDEOINFOHEADER2*>(type.pbFormat)->bmiHeader;
  }
  return nullptr;
}

bool SameSubtypeAndSize(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
  const OutputFormat x = DescribeVideoType(a);
  const OutputFormat y = DescribeVideoType(b);
  return x.subtype == y.subtype && x.width == y.width && x.height == y.height;
}

}  // namespace

const BITMAPINFOHEADER* VideoBitmapHeader(const AM_MEDIA_TYPE& type) { return BitmapHeader(type); }

// The DIB size of a header, as biSizeImage is defined: rows padded to 4
// bytes. 64-bit, and -1 for a picture no buffer could hold.
std::int64_t DibImageBytes(const BITMAPINFOHEADER& header) {
  const std::int64_t width = header.biWidth;
  const std::int64_t height = header.biHeight < 0 ? -static_cast<std::int64_t>(header.biHeight) : header.biHeight;
  if (width < 0 || width > telvor::kMaxVideoDimension || height > telvor::kMaxVideoDimension) return -1;
  const std::int64_t bytes = telvor::DibRowBytes(width, header.biBitCount) * height;
  return bytes > telvor::kMaxVideoImageBytes ? -1 : bytes;
}

bool CorvaneVideoStream::HasCurrentType() const { return m_mt.majortype != GUID_NULL; }

HRESULT CorvaneVideoStream::GetMediaType(int position, CMediaType* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  if (position < 0) return E_INVALIDARG;
  // An application that set a format gets that one, whatever else the
  // downstream pin would have liked.
  if (m_FormatSet) return position == 0 ? type->Set(m_mt) : VFW_S_NO_MORE_ITEMS;
  if (!HasCurrentType()) {
    if (m_pForcedType) {
      if (position > 0) return VFW_S_NO_MORE_ITEMS;
      return type->Set(*m_pForcedType);
    }
    if (static_cast<size_t>(position) >= m_Offer.types.size()) return VFW_S_NO_MORE_ITEMS;
    return type->Set(m_Offer.types[position]);
  }
  if (position == 0) return type->Set(m_mt);
  if (static_cast<size_t>(position - 1) >= m_Offer.types.size()) return VFW_S_NO_MORE_ITEMS;
  return type->Set(m_Offer.types[position - 1]);
}

bool CorvaneVideoStream::AcceptsSubtype(REFGUID subtype) const {
  if (m_Host.isEdius || m_Host.isYyMixer) return subtype == MEDIASUBTYPE_YUY2;
  return subtype == MEDIASUBTYPE_YV12 || subtype == MEDIASUBTYPE_YUY2 || subtype == MEDIASUBTYPE_RGB24 ||
         subtype == MEDIASUBTYPE_RGB32 || subtype == telvor::kMediaSubtypeI420 || subtype == MEDIASUBTYPE_NV12;
}

HRESULT CorvaneVideoStream::CheckMediaType(const CMediaType* type) {
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneVideoStream::CheckMediaType", this);
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  // EDIUS reconnects while running and must get exactly what it had.
  if (m_Host.isEdius && HasCurrentType()) {
    if (SameSubtypeAndSize(*type, m_mt)) return S_OK;
    telvor::Trace() << L"CheckMediaType FAILED 1";
    DumpMediaType(type);
    DumpMediaType(&m_mt);
    return S_FALSE;
  }
  bool accepted = false;
  // A picture the converter cannot produce, or a header that sizes buffers
  // for another format than its subtype, would go out without its picture.
  if (type->majortype == MEDIATYPE_Video && !HasSideBeyond(*type, kMaxConverterSide) &&
      IsConsistentVideoType(*type) && HasUsableFrameDuration(*type)) {
    if (m_FormatSet) {
      accepted = SameSubtypeAndSize(*type, m_mt);
    } else if (m_pForcedType) {
      accepted = m_Host.isDvStreamsie || SameSubtypeAndSize(*type, *m_pForcedType);
    } else {
      accepted = AcceptsSubtype(type->subtype);
    }
  }
  if (accepted) return S_OK;
  telvor::Trace() << L"CheckMediaType FAILED";
  DumpMediaType(type);
  return S_FALSE;
}

HRESULT CorvaneVideoStream::SetMediaType(const CMediaType* type) {
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneVideoStream::SetMediaType", this);
  DumpMediaType(type);
  // A downstream pin's proposal may carry no rate; the one the application
  // set, if any, is what it asked for.
  const std::int64_t setDuration = m_FormatSet ? DescribeVideoType(m_mt).frameDuration : 0;
  HRESULT hr = CSourceStream::SetMediaType(type);
  if (FAILED(hr)) return hr;
  OutputFormat format = DescribeVideoType(*type);
  // A type attached to a sample is not checked first: its rate counts only
  // when the camera can keep it.
  if (!IsUsableFrameDuration(format.frameDuration)) format.frameDuration = 0;
  if (format.frameDuration < 1) format.frameDuration = setDuration;
  if (format.frameDuration < 1) format.frameDuration = static_cast<std::int64_t>(10000000.0 / m_CameraFps);
  UseOutputFormat(format);
  return hr;
}

HRESULT CorvaneVideoStream::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!allocator || !request) return E_POINTER;
  const BITMAPINFOHEADER* header = BitmapHeader(m_mt);
  if (!header) return E_FAIL;
  const std::int64_t imageBytes = DibImageBytes(*header);
  // A client's header may claim any size; only what the output format really
  // needs counts, and never less than the converter writes.
  const std::int64_t needed = std::max<std::int64_t>(imageBytes, 0) + 16;
  if (imageBytes <= 0 || needed > telvor::kMaxVideoImageBytes) return E_FAIL;
  // One buffer held downstream must not stall the stream: a Smart Tee takes
  // a second from our allocator for its preview copy inside Receive, a
  // renderer keeps its last picture, and the pin holds the next deadline's
  // buffer from one delivery to the next. Each is filled just before it
  // goes out, so the count adds no delay.
  request->cBuffers = std::max<long>(request->cBuffers, kVideoBufferCount);
  request->cbBuffer = static_cast<long>(needed);
  ALLOCATOR_PROPERTIES granted = {};
  HRESULT hr = allocator->SetProperties(request, &granted);
  if (FAILED(hr)) return hr;
  return granted.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}
