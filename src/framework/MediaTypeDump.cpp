#include "framework/MediaTypeDump.h"

#include <dshow.h>
#include <dvdmedia.h>
#include <mmreg.h>

#include <cstring>
#include <ostream>

#include "base/Log.h"

// The dump prints a block only when cbFormat covers the whole header.
static_assert(sizeof(VIDEOINFOHEADER) == 88 && sizeof(VIDEOINFOHEADER2) == 112 && sizeof(WAVEFORMATEX) == 18,
              "platform header sizes");

namespace {

struct NamedGuid {
  const GUID* id;
  const wchar_t* name;
};

const NamedGuid kMajorTypes[] = {
    {&MEDIATYPE_Video, L"MEDIATYPE_Video"},
    {&MEDIATYPE_Audio, L"MEDIATYPE_Audio"},
};

const NamedGuid kSubtypes[] = {
    {&MEDIASUBTYPE_RGB565, L"MEDIASUBTYPE_RGB565"}, {&MEDIASUBTYPE_RGB24, L"MEDIASUBTYPE_RGB24"},
    {&MEDIASUBTYPE_RGB32, L"MEDIASUBTYPE_RGB32"},   {&MEDIASUBTYPE_YUY2, L"MEDIASUBTYPE_YUY2"},
    {&MEDIASUBTYPE_UYVY, L"MEDIASUBTYPE_UYVY"},     {&MEDIASUBTYPE_YV12, L"MEDIASUBTYPE_YV12"},
    {&MEDIASUBTYPE_IYUV, L"MEDIASUBTYPE_IYUV"},     {&MEDIASUBTYPE_NV12, L"MEDIASUBTYPE_NV12"},
    {&MEDIASUBTYPE_PCM, L"MEDIASUBTYPE_PCM"},
};

const NamedGuid kFormatTypes[] = {
    {&FORMAT_VideoInfo, L"FORMAT_VideoInfo"},
    {&FORMAT_VideoInfo2, L"FORMAT_VideoInfo2"},
    {&FORMAT_WaveFormatEx, L"FORMAT_WaveFormatEx"},
};

// Known identifiers by name; anything else as the family prefix followed by
// the braced registry form, so unexpected types are still identifiable.
template <size_t N>
void WriteGuid(std::wostream& out, const GUID& id, const NamedGuid (&known)[N], const wchar_t* family) {
  for (const NamedGuid& entry : known) {
    if (IsEqualGUID(*entry.id, id)) {
      out << entry.name << L' ';
      return;
    }
  }
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  out << family << text << L' ';
}

void WriteRect(std::wostream& out, const RECT& rect) {
  out << rect.left << L',' << rect.top << L',' << rect.right << L',' << rect.bottom;
}

void WriteBitmapHeader(std::wostream& out, const BITMAPINFOHEADER& bitmap) {
  out << L"BITMAPINFOHEADER = {" << bitmap.biSize << L',' << bitmap.biWidth << L',' << bitmap.biHeight << L','
      << bitmap.biPlanes << L',' << bitmap.biBitCount << L',' << bitmap.biCompression << L',' << bitmap.biSizeImage
      << L',' << bitmap.biXPelsPerMeter << L',' << bitmap.biYPelsPerMeter << L',' << bitmap.biClrUsed << L','
      << bitmap.biClrImportant << L"} ";
}

// Headers are copied out: a client's format block carries no alignment promise.
template <typename Header>
Header ReadHeader(const AM_MEDIA_TYPE& type) {
  Header header;
  std::memcpy(&header, type.pbFormat, sizeof(header));
  return header;
}

bool Holds(const AM_MEDIA_TYPE& type, const GUID& formatType, size_t size) {
  return type.pbFormat && IsEqualGUID(type.formattype, formatType) && type.cbFormat >= size;
}

void WriteFormatBlock(std::wostream& out, const AM_MEDIA_TYPE& type) {
  if (Holds(type, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER))) {
    const auto header = ReadHeader<VIDEOINFOHEADER>(type);
    out << L"VIDEOINFOHEADER = {";
    WriteRect(out, header.rcSource);
    out << L' ';
    WriteRect(out, header.rcTarget);
    out << L' ' << header.dwBitRate << L',' << header.dwBitErrorRate << L',' << header.AvgTimePerFrame << L' ';
    WriteBitmapHeader(out, header.bmiHeader);
  } else if (Holds(type, FORMAT_VideoInfo2, sizeof(VIDEOINFOHEADER2))) {
    const auto header = ReadHeader<VIDEOINFOHEADER2>(type);
    out << L"VIDEOINFOHEADER2 = {";
    WriteRect(out, header.rcSource);
    out << L',';
    WriteRect(out, header.rcTarget);
    out << L',' << header.dwBitRate << L',' << header.dwBitErrorRate << L',' << header.AvgTimePerFrame << L','
        << header.dwInterlaceFlags << L',' << header.dwCopyProtectFlags << L',' << header.dwPictAspectRatioX
        << L',' << header.dwPictAspectRatioY << L',' << header.dwControlFlags << L' ';
    WriteBitmapHeader(out, header.bmiHeader);
  } else if (Holds(type, FORMAT_WaveFormatEx, sizeof(WAVEFORMATEX))) {
    const auto wave = ReadHeader<WAVEFORMATEX>(type);
    out << L"WAVEFORMATEX = {" << wave.wFormatTag << L',' << wave.nChannels << L',' << wave.nSamplesPerSec << L','
        << wave.nAvgBytesPerSec << L',' << wave.nBlockAlign << L',' << wave.wBitsPerSample << L',' << wave.cbSize;
  }
}

}  // namespace

void DumpMediaType(const AM_MEDIA_TYPE* type) {
  if (!type) return;
  {
    telvor::LogLine line = telvor::Trace();
    std::wostream& out = line.stream();
    out << L"AM_MEDIA_TYPE = {";
    WriteGuid(out, type->majortype, kMajorTypes, L"MEDIATYPE_");
    WriteGuid(out, type->subtype, kSubtypes, L"MEDIASUBTYPE_");
    WriteGuid(out, type->formattype, kFormatTypes, L"FORMAT_");
    out << type->bFixedSizeSamples << L',' << type->bTemporalCompression << L',' << type->lSampleSize << L','
        << type->cbFormat << L'}';
  }
  telvor::LogLine line = telvor::Trace();
  WriteFormatBlock(line.stream(), *type);
  line << L'}';
}
