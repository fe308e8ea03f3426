// A producer in a process of its own, for the tests where a producer dies,
// stalls or comes back:  <camera> <frames> [<hold ms> [<fill>]]
// writes <frames> video frames (YUY2 64x48, 50 fps) and audio packets 5 ms
// apart, then idles until the test ends it (or a minute passes). With a hold
// time it then takes the video mutex, signals TELVOR.TEST.HOLDING.<camera>,
// keeps the mutex that long and goes on writing. Each item carries its
// sequence number in its first four payload bytes (or <fill> in every byte),
// and the timestamp sequence x 200,000.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "telvor_producer.h"

namespace {

bool Write(telvor_channel* channel, std::vector<unsigned char>& payload, bool tagged) {
  const std::uint64_t sequence = telvor_last_sequence(channel) + 1;
  const std::uint32_t tag = static_cast<std::uint32_t>(sequence);
  if (tagged) std::memcpy(payload.data(), &tag, 4);
  if (telvor_write(channel, payload.data(), static_cast<std::uint32_t>(payload.size()), sequence * 200000) ==
      TELVOR_OK) {
    return true;
  }
  std::fprintf(stderr, "write: %s\n", telvor_last_error_message());
  return false;
}

bool HoldVideoMutex(int camera, DWORD hold_ms) {
  wchar_t name[64];
  std::swprintf(name, 64, L"KAVO.VCAM.V.MUTEX.%02d", camera);
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
  std::swprintf(name, 64, L"TELVOR.TEST.HOLDING.%02d", camera);
  HANDLE holding = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (!mutex || !holding || WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) return false;
  SetEvent(holding);
  Sleep(hold_ms);
  ReleaseMutex(mutex);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int camera = std::atoi(argv[1]);
  const int frames = std::atoi(argv[2]);
  const bool holds = argc > 3;
  const bool tagged = argc < 5;
  const auto fill = static_cast<unsigned char>(tagged ? 0 : std::atoi(argv[4]));
  const telvor_video_format video_format = {TELVOR_FOURCC_YUY2, 64, 48, 50.0, 0, 0};
  const telvor_audio_format audio_format = {2, 16, 48000, 64};
  telvor_channel* video = nullptr;
  telvor_channel* audio = nullptr;
  if (telvor_open_video(camera, 0, &video_format, &video) != TELVOR_OK ||
      telvor_open_audio(camera, 0, &audio_format, &audio) != TELVOR_OK) {
    std::fprintf(stderr, "open: %s\n", telvor_last_error_message());
    return 1;
  }
  std::vector<unsigned char> frame(64 * 48 * 2, fill), packet(64, fill);
  constexpr int kMinuteOfFrames = 12000;
  for (int i = 0; i < frames || (holds && i < kMinuteOfFrames); ++i) {
    if (!Write(video, frame, tagged) || !Write(audio, packet, tagged)) return 1;
    Sleep(5);
    if (holds && i + 1 == frames && !HoldVideoMutex(camera, static_cast<DWORD>(std::atoi(argv[3])))) return 1;
  }
  Sleep(60000);
  return 0;
}
