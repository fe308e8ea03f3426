// A bare source filter holding one audio pin, for tests of the pin alone.
#pragma once

#include "filter/audio/CorvaneAudioStream.h"
#include "framework/ComPtr.h"
#include "framework/Source.h"

namespace telvor::test {

class AudioHost : public CSource {
 public:
  static ComPtr<AudioHost> Create(int camera) {
    HRESULT hr = S_OK;
    ComPtr<AudioHost> host(new AudioHost(camera, &hr));
    return SUCCEEDED(hr) ? host : ComPtr<AudioHost>();
  }
  CorvaneAudioStream* pin = nullptr;  // owned by CSource

 private:
  AudioHost(int camera, HRESULT* hr) : CSource(L"AudioHost", nullptr, CLSID_NULL, hr) {
    pin = new CorvaneAudioStream(hr, this, L"Audio", camera, nullptr);
  }
};

}  // namespace telvor::test
