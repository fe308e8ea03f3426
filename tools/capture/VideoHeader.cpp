#include "VideoHeader.h"

#include <dshow.h>
#include <dvdmedia.h>

namespace capture {

BITMAPINFOHEADER* BitmapHeaderOf(const AM_MEDIA_TYPE& type) {
  if (!type.pbFormat) return nullptr;
  if (IsEqualGUID(type.formattype, FORMAT_VideoInfo) && type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    return &reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader;
  }
  if (IsEqualGUID(type.formattype, FORMAT_VideoInfo2) && type.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
    return &reinterpret_cast<VIDEOINFOHEADER2*>(type.pbFormat)->bmiHeader;
  }
  return nullptr;
}

REFERENCE_TIME* AvgTimePerFrameOf(const AM_MEDIA_TYPE& type) {
  if (!BitmapHeaderOf(type)) return nullptr;
  return IsEqualGUID(type.formattype, FORMAT_VideoInfo)
             ? &reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat)->AvgTimePerFrame
             : &reinterpret_cast<VIDEOINFOHEADER2*>(type.pbFormat)->AvgTimePerFrame;
}

}  // namespace capture
