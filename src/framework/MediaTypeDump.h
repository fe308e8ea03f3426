// The two trace lines the pins write whenever a media type is checked, set or
// changed: the record itself, then its format block (video, interlaced video
// or wave header) when the block is long enough to hold one.
#pragma once

#include <windows.h>
#include <strmif.h>

// A null type writes nothing: there is nothing to describe.
void DumpMediaType(const AM_MEDIA_TYPE* type);
