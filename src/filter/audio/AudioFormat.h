// The audio camera's one format and the records built from it.
#pragma once

#include <windows.h>
#include <mmreg.h>
#include <strmif.h>

#include "framework/MediaType.h"

namespace telvor {

inline constexpr WORD kAudioChannels = 2;
inline constexpr WORD kAudioBitsPerSample = 16;
inline constexpr DWORD kAudioSamplesPerSecond = 48000;

// PCM with block align and byte rate derived from the three numbers, so the
// record stays consistent whatever they are.
WAVEFORMATEX MakePcmFormat(WORD channels, WORD bitsPerSample, DWORD samplesPerSecond);

// The media type carrying `wave`: audio, PCM, fixed-size samples of one
// frame, an 18-byte WAVEFORMATEX as format block. E_OUTOFMEMORY when the
// format block cannot be allocated.
HRESULT BuildAudioType(const WAVEFORMATEX& wave, CMediaType* type);

// The capability record of the single type: every minimum equals its maximum.
void FillAudioCaps(const WAVEFORMATEX& wave, AUDIO_STREAM_CONFIG_CAPS* caps);

}  // namespace telvor
