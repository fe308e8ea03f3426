#include "filter/video/VideoMediaTypes.h"

#include <dshow.h>
#include <dvdmedia.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/Log.h"
#include "imaging/Pixel.h"
#include "imaging/SwScaler.h"

namespace telvor {
namespace {

constexpr wchar_t kUnit[] = L"Utils";

constexpr DWORD FourCc(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<unsigned char>(a)) | (static_cast<DWORD>(static_cast<unsigned char>(b)) << 8) |
         (static_cast<DWORD>(static_cast<unsigned char>(c)) << 16) |
         (static_cast<DWORD>(static_cast<unsigned char>(d)) << 24);
}

// Black is studio-range Y 16 with both chroma values 128 in the YUV formats
// (YUY2 stores Y, Cb, Y, Cr) and zero bytes in RGB.
const VideoSubtypeInfo kSubtypes[] = {
    {&MEDIASUBTYPE_YV12, FourCc('Y', 'V', '1', '2'), 12, 1, false, kOutputYv12, true, 0x1010, 128},
    {&MEDIASUBTYPE_NV12, FourCc('N', 'V', '1', '2'), 12, 1, false, kOutputNv12, true, 0x1010, 128},
    {&kMediaSubtypeI420, FourCc('I', '4', '2', '0'), 12, 1, false, kOutputI420, true, 0x1010, 128},
    {&MEDIASUBTYPE_YUY2, FourCc('Y', 'U', 'Y', '2'), 16, 2, false, kOutputYuy2, false, 0x8010, 0},
    {&MEDIASUBTYPE_RGB32, BI_RGB, 32, 4, true, kOutputRgb32, false, 0, 0},
    {&MEDIASUBTYPE_RGB24, BI_RGB, 24, 3, true, kOutputRgb24, false, 0, 0},
    {&MEDIASUBTYPE_RGB565, BI_RGB, 16, 2, true, 0, false, 0, 0},
};

// The fields shared by both header kinds, read from or written to a type.
struct VideoHeaderFields {
  RECT source;
  RECT target;
  DWORD bitRate;
  REFERENCE_TIME frameDuration;
  BITMAPINFOHEADER bitmap;
  bool interlaced;
};

template <typename Header>
VideoHeaderFields FieldsOf(const Header& header) {
  return {header.rcSource, header.rcTarget, header.dwBitRate, header.AvgTimePerFrame, header.bmiHeader, false};
}

// Copies the header out of the block: a client's pbFormat carries no
// alignment promise.
bool ReadVideoHeader(const AM_MEDIA_TYPE& type, VideoHeaderFields* fields) {
  if (!type.pbFormat) return false;
  if (IsEqualGUID(type.formattype, FORMAT_VideoInfo) && type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    VIDEOINFOHEADER header;
    std::memcpy(&header, type.pbFormat, sizeof(header));
    *fields = FieldsOf(header);
    return true;
  }
  if (IsEqualGUID(type.formattype, FORMAT_VideoInfo2) && type.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
    VIDEOINFOHEADER2 header;
    std::memcpy(&header, type.pbFormat, sizeof(header));
    *fields = FieldsOf(header);
    fields->interlaced = (header.dwInterlaceFlags & AMINTERLACE_IsInterlaced) != 0;
    return true;
  }
  return false;
}

// rowPixels is biWidth, which may exceed the picture width by the padding.
bool FitsSizeLimits(std::int64_t width, std::int64_t height, std::int64_t rowPixels) {
  if (width < 0 || height < 0 || rowPixels < 0) return false;
  if (width > kMaxVideoDimension || height > kMaxVideoDimension || rowPixels > kMaxVideoDimension + 3) return false;
  return 4 * std::max(width, rowPixels) * height <= kMaxVideoImageBytes;
}

std::int64_t PaddedWidth(std::int64_t width) { return width + width % 4; }

bool IsUsableRate(double framesPerSecond) { return std::isfinite(framesPerSecond) && framesPerSecond > 0; }

REFERENCE_TIME FrameDuration(double framesPerSecond) {
  if (!IsUsableRate(framesPerSecond)) return 0;
  const double duration = 10000000.0 / framesPerSecond;
  // A rate so slow that the duration leaves the 64-bit range saturates.
  if (duration >= 9.2e18) return INT64_MAX;
  return static_cast<REFERENCE_TIME>(duration);
}

DWORD BitRate(std::uint32_t width, std::uint32_t height, WORD bitCount, double framesPerSecond) {
  if (!IsUsableRate(framesPerSecond)) return 0;
  // The per-frame bit count is a 32-bit product; only the scaling by the rate
  // is done in floating point, and it saturates rather than wrapping.
  const std::uint32_t bitsPerFrame = height * bitCount * width;
  const double rate = static_cast<double>(bitsPerFrame) * framesPerSecond;
  if (rate >= 4294967295.0) return 0xFFFFFFFF;
  return static_cast<DWORD>(rate);
}

void ReleaseFormat(AM_MEDIA_TYPE* type) {
  if (type->pbFormat) CoTaskMemFree(type->pbFormat);
  type->pbFormat = nullptr;
  type->cbFormat = 0;
  type->formattype = GUID_NULL;
  if (type->pUnk) type->pUnk->Release();
  type->pUnk = nullptr;
}

template <typename Header>
void WriteHeader(Header* header, const VideoHeaderFields& fields) {
  header->rcSource = fields.source;
  header->rcTarget = fields.target;
  header->dwBitRate = fields.bitRate;
  header->dwBitErrorRate = 0;
  header->AvgTimePerFrame = fields.frameDuration;
  header->bmiHeader = fields.bitmap;
}

// Everything but the header kind; validates before allocating so a refused
// request never leaves a half-built block behind.
HRESULT PrepareVideoFields(AM_MEDIA_TYPE* type, REFGUID subtype, std::int64_t width, std::int64_t height,
                           double framesPerSecond, VideoHeaderFields* out) {
  ReleaseFormat(type);
  WORD bitCount = 0;
  DWORD compression = 0;
  if (const VideoSubtypeInfo* info = FindVideoSubtype(subtype)) {
    bitCount = info->bitCount;
    compression = info->compression;
  } else if (!IsEqualGUID(subtype, MEDIASUBTYPE_MPEG2_VIDEO)) {
    return TELVOR_COM_ERROR(E_INVALIDARG, kUnit);
  }
  const std::int64_t rowPixels = PaddedWidth(width);
  if (!FitsSizeLimits(width, height, rowPixels)) return TELVOR_COM_ERROR(E_INVALIDARG, kUnit);

  VideoHeaderFields& fields = *out;
  fields = {};
  BITMAPINFOHEADER& bitmap = fields.bitmap;
  bitmap.biSize = sizeof(BITMAPINFOHEADER);
  bitmap.biWidth = static_cast<LONG>(rowPixels);
  bitmap.biHeight = static_cast<LONG>(height);
  bitmap.biPlanes = 1;
  bitmap.biBitCount = bitCount;
  bitmap.biCompression = compression;
  bitmap.biSizeImage = static_cast<DWORD>(DibRowBytes(rowPixels, bitCount) * height);
  if (rowPixels != width) {
    fields.source = {0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    fields.target = fields.source;
  }
  fields.bitRate =
      BitRate(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), bitCount, framesPerSecond);
  fields.frameDuration = FrameDuration(framesPerSecond);

  type->majortype = MEDIATYPE_Video;
  type->subtype = subtype;
  type->bFixedSizeSamples = TRUE;
  type->bTemporalCompression = FALSE;
  type->lSampleSize = bitmap.biSizeImage;
  return S_OK;
}

template <typename Header>
Header* AllocateHeader(AM_MEDIA_TYPE* type, REFGUID formatType) {
  void* block = CoTaskMemAlloc(sizeof(Header));
  if (!block) {
    TELVOR_COM_ERROR(E_OUTOFMEMORY, kUnit);
    return nullptr;
  }
  std::memset(block, 0, sizeof(Header));
  type->formattype = formatType;
  type->cbFormat = sizeof(Header);
  type->pbFormat = static_cast<BYTE*>(block);
  return static_cast<Header*>(block);
}

// The picture's size: rcSource, or the bitmap when rcSource is empty. 64-bit
// so that hostile rectangles (INT_MIN..INT_MAX) cannot overflow.
void PictureSize(const VideoHeaderFields& fields, std::int64_t* width, std::int64_t* height) {
  *width = std::int64_t{fields.source.right} - fields.source.left;
  *height = std::int64_t{fields.source.bottom} - fields.source.top;
  if (*width == 0 || *height == 0) {
    *width = fields.bitmap.biWidth;
    *height = std::abs(std::int64_t{fields.bitmap.biHeight});
  }
}

}  // namespace

const VideoSubtypeInfo* FindVideoSubtype(REFGUID subtype) {
  for (const VideoSubtypeInfo& info : kSubtypes) {
    if (IsEqualGUID(*info.subtype, subtype)) return &info;
  }
  return nullptr;
}

}  // namespace telvor

OutputFormat DescribeVideoType(const AM_MEDIA_TYPE& type) {
  using namespace telvor;
  OutputFormat format = {};
  VideoHeaderFields fields;
  if (!ReadVideoHeader(type, &fields)) return format;
  std::int64_t width = 0;
  std::int64_t height = 0;
  PictureSize(fields, &width, &height);
  const std::int64_t rowPixels = fields.bitmap.biWidth;
  if (!FitsSizeLimits(width, height, rowPixels)) return format;

  format.subtype = type.subtype;
  format.width = static_cast<std::uint32_t>(width);
  format.height = static_cast<std::uint32_t>(height);
  if (const VideoSubtypeInfo* info = FindVideoSubtype(type.subtype)) {
    // A client reading our RGB samples as a bitmap expects its padded rows
    // (an RGB24 row of an odd width is not a multiple of 4 bytes).
    format.stride = info->rgb ? static_cast<std::uint32_t>(DibRowBytes(rowPixels, info->bitCount))
                              : info->bytesPerPixel * static_cast<std::uint32_t>(rowPixels);
    format.bottomUp = info->rgb && fields.bitmap.biHeight > 0;
  }
  format.frameDuration = fields.frameDuration;
  format.interlaced = fields.interlaced;
  return format;
}

namespace {

// The bitmap header inside a client's block, where it may be rewritten.
BITMAPINFOHEADER* WritableBitmap(AM_MEDIA_TYPE* type) {
  if (!type->pbFormat) return nullptr;
  if (IsEqualGUID(type->formattype, FORMAT_VideoInfo) && type->cbFormat >= sizeof(VIDEOINFOHEADER)) {
    return &reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader;
  }
  if (IsEqualGUID(type->formattype, FORMAT_VideoInfo2) && type->cbFormat >= sizeof(VIDEOINFOHEADER2)) {
    return &reinterpret_cast<VIDEOINFOHEADER2*>(type->pbFormat)->bmiHeader;
  }
  return nullptr;
}

// The image size the subtype and the bitmap's rows give; -1 beyond the limits.
std::int64_t ImageBytesFor(const telvor::VideoSubtypeInfo& info, const BITMAPINFOHEADER& bitmap) {
  const std::int64_t height = std::abs(std::int64_t{bitmap.biHeight});
  if (!telvor::FitsSizeLimits(bitmap.biWidth, height, bitmap.biWidth)) return -1;
  return telvor::DibRowBytes(bitmap.biWidth, info.bitCount) * height;
}

}  // namespace

bool IsConsistentVideoType(const AM_MEDIA_TYPE& type) {
  telvor::VideoHeaderFields fields;
  if (!telvor::ReadVideoHeader(type, &fields)) return false;
  const telvor::VideoSubtypeInfo* info = telvor::FindVideoSubtype(type.subtype);
  if (!info) return false;
  const BITMAPINFOHEADER& bitmap = fields.bitmap;
  // BI_BITFIELDS is how some clients spell plain 32-bit RGB.
  const bool compressionAgrees = bitmap.biCompression == info->compression ||
                                 (info->rgb && info->bitCount == 32 && bitmap.biCompression == BI_BITFIELDS);
  if (!compressionAgrees || bitmap.biBitCount != info->bitCount) return false;
  // The image sizes a client states are not checked: buffers are sized from
  // the picture, and many clients leave out the rows' padding.
  return ImageBytesFor(*info, bitmap) > 0;
}

bool IsUsableFrameDuration(std::int64_t duration) {
  return duration == 0 || (duration >= kMinFrameDuration && duration <= kMaxFrameDuration);
}

bool HasUsableFrameDuration(const AM_MEDIA_TYPE& type) {
  telvor::VideoHeaderFields fields;
  return telvor::ReadVideoHeader(type, &fields) && IsUsableFrameDuration(fields.frameDuration);
}

bool NormaliseVideoType(AM_MEDIA_TYPE* type) {
  BITMAPINFOHEADER* bitmap = WritableBitmap(type);
  const telvor::VideoSubtypeInfo* info = telvor::FindVideoSubtype(type->subtype);
  if (!bitmap || !info || info->outputKind == 0) return false;
  BITMAPINFOHEADER fixed;
  std::memcpy(&fixed, bitmap, sizeof(fixed));
  fixed.biSize = sizeof(BITMAPINFOHEADER);
  fixed.biPlanes = 1;
  fixed.biCompression = info->compression;
  fixed.biBitCount = info->bitCount;
  const std::int64_t bytes = ImageBytesFor(*info, fixed);
  if (bytes <= 0) return false;
  fixed.biSizeImage = static_cast<DWORD>(bytes);
  std::memcpy(bitmap, &fixed, sizeof(fixed));
  type->bFixedSizeSamples = TRUE;
  type->bTemporalCompression = FALSE;
  type->lSampleSize = fixed.biSizeImage;
  return true;
}

bool HasSideBeyond(const AM_MEDIA_TYPE& type, std::int64_t limit) {
  telvor::VideoHeaderFields fields;
  if (!telvor::ReadVideoHeader(type, &fields)) return false;
  std::int64_t width = 0;
  std::int64_t height = 0;
  telvor::PictureSize(fields, &width, &height);
  return width > limit || height > limit;
}

namespace {

// Both builders: the header block of kind Header, written from the fields.
template <typename Header>
HRESULT BuildWithHeader(AM_MEDIA_TYPE* type, REFGUID formatType, REFGUID subtype, std::int64_t width,
                        std::int64_t height, double framesPerSecond, Header** built) {
  using namespace telvor;
  VideoHeaderFields fields;
  const HRESULT hr = PrepareVideoFields(type, subtype, width, height, framesPerSecond, &fields);
  if (FAILED(hr)) return hr;
  *built = AllocateHeader<Header>(type, formatType);
  if (!*built) return E_OUTOFMEMORY;
  WriteHeader(*built, fields);
  return S_OK;
}

}  // namespace

HRESULT BuildVideoType(AM_MEDIA_TYPE* type, REFGUID subtype, std::int64_t width, std::int64_t height,
                       double framesPerSecond) {
  VIDEOINFOHEADER* header = nullptr;
  return BuildWithHeader(type, FORMAT_VideoInfo, subtype, width, height, framesPerSecond, &header);
}

HRESULT BuildVideoType2(AM_MEDIA_TYPE* type, REFGUID subtype, std::int64_t width, std::int64_t height,
                        double framesPerSecond) {
  VIDEOINFOHEADER2* header = nullptr;
  const HRESULT hr = BuildWithHeader(type, FORMAT_VideoInfo2, subtype, width, height, framesPerSecond, &header);
  // The remaining VIDEOINFOHEADER2 fields (copy protection, aspect ratio,
  // control flags) stay zero from the cleared block.
  if (SUCCEEDED(hr)) header->dwInterlaceFlags = AMINTERLACE_IsInterlaced;
  return hr;
}

std::int64_t PictureBytes(const OutputFormat& format) {
  const telvor::VideoSubtypeInfo* info = telvor::FindVideoSubtype(format.subtype);
  if (!info || info->outputKind == 0) return -1;
  const std::int64_t stride = format.stride;
  const std::int64_t height = format.height;
  if (static_cast<std::int64_t>(format.width) * info->bytesPerPixel > stride) return INT64_MAX;
  return stride * height + (info->quarterPlanes ? 2 * (stride / 2) * (height / 2) : 0);
}

void FillBlack(const OutputFormat& format, std::uint8_t* buffer) {
  const telvor::VideoSubtypeInfo* info = telvor::FindVideoSubtype(format.subtype);
  const std::int64_t bytes = PictureBytes(format);
  if (!info || bytes <= 0 || bytes == INT64_MAX) return;
  const std::int64_t first = static_cast<std::int64_t>(format.stride) * format.height;
  PxFill16(info->black, buffer, static_cast<std::int32_t>(first / 2));
  if (first % 2) buffer[first - 1] = static_cast<std::uint8_t>(info->black);
  std::memset(buffer + first, info->chromaBlack, static_cast<size_t>(bytes - first));
}
