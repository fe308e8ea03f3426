// A producer in a process of its own, for the cross-process transport tests.
//   feed <camera> <count>  write <count> frames and packets 5 ms apart, then idle
//   hold <camera>          write 3 frames, take the video mutex, signal, idle
// Every item carries its sequence number in its first four payload bytes and
// the timestamp sequence x 400,000 (video) or x 200,000 (audio).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "telvor_producer.h"

namespace {

bool Write(telvor_channel* channel, std::vector<unsigned char>& payload, std::uint64_t step) {
  const std::uint64_t sequence = telvor_last_sequence(channel) + 1;
  const std::uint32_t tag = static_cast<std::uint32_t>(sequence);
  std::memcpy(payload.data(), &tag, 4);
  if (telvor_write(channel, payload.data(), static_cast<std::uint32_t>(payload.size()), sequence * step) == TELVOR_OK) {
    return true;
  }
  std::fprintf(stderr, "write: %s\n", telvor_last_error_message());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  const int camera = std::atoi(argv[2]);
  const telvor_video_format video_format = {TELVOR_FOURCC_YUY2, 64, 48, 25.0, 0, 0};
  const telvor_audio_format audio_format = {2, 16, 48000, 64};
  telvor_channel* video = nullptr;
  telvor_channel* audio = nullptr;
  if (telvor_open_video(camera, 0, &video_format, &video) != TELVOR_OK ||
      telvor_open_audio(camera, 0, &audio_format, &audio) != TELVOR_OK) {
    std::fprintf(stderr, "open: %s\n", telvor_last_error_message());
    return 1;
  }
  std::vector<unsigned char> frame(64 * 48 * 2), packet(64);
  const int count = mode == "feed" && argc > 3 ? std::atoi(argv[3]) : 3;
  for (int i = 0; i < count; ++i) {
    if (!Write(video, frame, 400000) || !Write(audio, packet, 200000)) return 1;
    Sleep(5);
  }
  if (mode == "hold") {
    wchar_t name[64];
    std::swprintf(name, 64, L"KAVO.VCAM.V.MUTEX.%02d", camera);
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name);
    std::swprintf(name, 64, L"TELVOR.TEST.HOLDING.%02d", camera);
    HANDLE holding = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (!mutex || !holding || WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) return 1;
    SetEvent(holding);
  }
  Sleep(20000);  // the test ends us
  return 0;
}
