// Where a video media type keeps its picture header and frame duration, as
// capture applications edit them before SetFormat.
#pragma once

#include <windows.h>
#include <strmif.h>

namespace capture {

// The bitmap header and frame duration of a VIDEOINFOHEADER or
// VIDEOINFOHEADER2 type whose block holds them whole; null otherwise.
BITMAPINFOHEADER* BitmapHeaderOf(const AM_MEDIA_TYPE& type);
REFERENCE_TIME* AvgTimePerFrameOf(const AM_MEDIA_TYPE& type);

}  // namespace capture
