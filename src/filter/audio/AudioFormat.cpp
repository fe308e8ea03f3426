#include "filter/audio/AudioFormat.h"

#include <uuids.h>

namespace telvor {

static_assert(sizeof(WAVEFORMATEX) == 18, "the format block is the packed 18-byte record");

WAVEFORMATEX MakePcmFormat(WORD channels, WORD bitsPerSample, DWORD samplesPerSecond) {
  WAVEFORMATEX wave = {};
  wave.wFormatTag = WAVE_FORMAT_PCM;
  wave.nChannels = channels;
  wave.nSamplesPerSec = samplesPerSecond;
  wave.nBlockAlign = static_cast<WORD>(bitsPerSample * channels / 8);
  wave.nAvgBytesPerSec = wave.nBlockAlign * samplesPerSecond;
  wave.wBitsPerSample = bitsPerSample;
  wave.cbSize = 0;
  return wave;
}

HRESULT BuildAudioType(const WAVEFORMATEX& wave, CMediaType* type) {
  if (!type) return E_POINTER;
  type->SetType(&MEDIATYPE_Audio);
  type->SetSubtype(&MEDIASUBTYPE_PCM);
  type->SetFormatType(&FORMAT_WaveFormatEx);
  type->SetTemporalCompression(FALSE);
  type->SetSampleSize(wave.nBlockAlign);
  // Only the 18 bytes of the plain record: extra bytes would make the type
  // compare unequal to what hosts send back.
  if (!type->SetFormat(reinterpret_cast<const BYTE*>(&wave), sizeof(WAVEFORMATEX))) return E_OUTOFMEMORY;
  return S_OK;
}

void FillAudioCaps(const WAVEFORMATEX& wave, AUDIO_STREAM_CONFIG_CAPS* caps) {
  *caps = {};
  caps->guid = MEDIATYPE_Audio;
  caps->MinimumChannels = caps->MaximumChannels = wave.nChannels;
  caps->ChannelsGranularity = 0;
  caps->MinimumBitsPerSample = caps->MaximumBitsPerSample = wave.wBitsPerSample;
  caps->BitsPerSampleGranularity = 0;
  caps->MinimumSampleFrequency = caps->MaximumSampleFrequency = wave.nSamplesPerSec;
  caps->SampleFrequencyGranularity = 0;
}

}  // namespace telvor
