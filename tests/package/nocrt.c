/* Linked by lld-link against telvor_producer.lib, as a program built with
 * Microsoft's tools would be, with no C runtime: only kernel32 and the DLL.
 * It feeds camera index 1 of the package's TELVOR.INI for three frames. */
#include "telvor_producer.h"

__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long length,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);


static void Say(const char* text) {
  unsigned long length = 0, written = 0;
  while (text[length]) ++length;
  WriteFile(GetStdHandle((unsigned long)-11), text, length, &written, 0);
}

static unsigned char frame[64 * 64 * 2];
static const telvor_video_format format = {TELVOR_FOURCC_YUY2, 64, 64, 30.0, 0, 0};

void __cdecl Start(void) {
  telvor_channel* video = 0;
  int i;
  if (telvor_version() >> 16 != TELVOR_PRODUCER_VERSION_MAJOR) {
    Say("nocrt: wrong major version\n");
    ExitProcess(1);
  }
  if (telvor_open_video(1, 0, &format, &video) != TELVOR_OK) {
    Say(telvor_last_error_message());
    ExitProcess(1);
  }
  for (i = 0; i < 3; ++i) {
    if (telvor_write(video, frame, sizeof frame, TELVOR_TIMESTAMP_NOW) != TELVOR_OK) ExitProcess(1);
  }
  Say(telvor_last_sequence(video) == 3 ? "nocrt: 3 frames written\n" : "nocrt: frames lost\n");
  telvor_close(video);
  ExitProcess(0);
}
