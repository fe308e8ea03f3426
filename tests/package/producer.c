/* A producer written against the package alone: a solid colour and a tone
 * into one camera. It creates <ready-file> once it feeds, and ends when the
 * application that watched the camera has gone (at the latest after a
 * minute). Built twice: linked with an import library, and
 * (TELVOR_LOAD_AT_RUN_TIME) loading telvor_producer.dll with LoadLibraryW,
 * where the names after the file are resolved as well.
 *   producer <camera> <Y> <U> <V> <ready-file> [function names...] */
#include <windows.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "telvor_producer.h"

#ifdef TELVOR_LOAD_AT_RUN_TIME
#define FUNCTIONS(X)                                                                                          \
  X(telvor_open_video) X(telvor_open_audio) X(telvor_write) X(telvor_last_sequence) X(telvor_capacity)       \
  X(telvor_close) X(telvor_clock_now) X(telvor_watchers) X(telvor_last_error_message) X(telvor_version)
#define DECLARE(name) static __typeof__(&name) p_##name;
FUNCTIONS(DECLARE)
#define CALL(name) p_##name
#else
#define CALL(name) name
#endif

enum { kWidth = 640, kHeight = 360, kFps = 30, kRate = 48000, kPacket = kRate / kFps };

static int Failed(const char* what) {
  fprintf(stderr, "producer: %s: %s\n", what, CALL(telvor_last_error_message)());
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 6) return 2;
  const int camera = atoi(argv[1]);
#ifdef TELVOR_LOAD_AT_RUN_TIME
  HMODULE dll = LoadLibraryW(L"telvor_producer.dll");
  if (!dll) return fprintf(stderr, "producer: LoadLibraryW failed, error %lu\n", GetLastError()), 1;
  for (int i = 6; i < argc; ++i) {
    if (!GetProcAddress(dll, argv[i])) return fprintf(stderr, "producer: %s is not exported\n", argv[i]), 1;
  }
#define RESOLVE(name) \
  if (!(p_##name = (__typeof__(&name))(void (*)(void))GetProcAddress(dll, #name))) return 1;
  FUNCTIONS(RESOLVE)
#endif
  const uint32_t version = CALL(telvor_version)();
  if (version >> 16 != TELVOR_PRODUCER_VERSION_MAJOR || version < TELVOR_PRODUCER_VERSION) {
    return fprintf(stderr, "producer: DLL version 0x%06x, header 0x%06x\n", (unsigned)version,
                   (unsigned)TELVOR_PRODUCER_VERSION), 1;
  }
  telvor_channel *video = NULL, *audio = NULL;
  const telvor_video_format vf = {TELVOR_FOURCC_YUY2, kWidth, kHeight, kFps, 0, 0};
  const telvor_audio_format af = {2, 16, kRate, 0};
  /* The message of a failure must reach the caller's thread across the DLL. */
  if (CALL(telvor_open_video)(64, 0, &vf, &video) != TELVOR_E_INVALIDARG || video ||
      !strstr(CALL(telvor_last_error_message)(), "64")) {
    return fprintf(stderr, "producer: camera 64 was not refused as it should be\n"), 1;
  }
  if (CALL(telvor_open_video)(camera, 0, &vf, &video) != TELVOR_OK) return Failed("video");
  if (CALL(telvor_open_audio)(camera, 0, &af, &audio) != TELVOR_OK) return Failed("audio");
  if (CALL(telvor_capacity)(video) != kWidth * kHeight * 2) return fprintf(stderr, "producer: capacity\n"), 1;

  static uint8_t frame[kWidth * kHeight * 2];
  static int16_t sound[kPacket * 2];
  for (size_t i = 0; i < sizeof frame; i += 4) {
    frame[i] = frame[i + 2] = (uint8_t)atoi(argv[2]);
    frame[i + 1] = (uint8_t)atoi(argv[3]);
    frame[i + 3] = (uint8_t)atoi(argv[4]);
  }
  FILE* ready = fopen(argv[5], "w");
  if (!ready || fclose(ready) != 0) return fprintf(stderr, "producer: cannot create %s\n", argv[5]), 1;
  const uint64_t start = CALL(telvor_clock_now)();
  uint64_t frames = 0;
  uint32_t watching = 0, watched = 0;
  for (; frames < 60 * kFps && (watching > 0 || !watched); ++frames) {
    for (int i = 0; i < kPacket; ++i) {
      sound[2 * i] = sound[2 * i + 1] = (int16_t)(8000 * sin(6.283185307 * 440 * (frames * kPacket + i) / kRate));
    }
    if (CALL(telvor_write)(video, frame, sizeof frame, TELVOR_TIMESTAMP_NOW) != TELVOR_OK) return Failed("write");
    if (CALL(telvor_write)(audio, sound, sizeof sound, TELVOR_TIMESTAMP_NOW) != TELVOR_OK) return Failed("write");
    const uint64_t due = start + (frames + 1) * 10000000 / kFps, now = CALL(telvor_clock_now)();
    if (due > now) Sleep((DWORD)((due - now) / 10000));
    if (frames % 10 == 0) { /* FFmpeg records for little more than a second */
      if (CALL(telvor_watchers)(camera, 0, NULL, 0, &watching) != TELVOR_OK) return Failed("watchers");
      watched |= watching;
    }
  }
  if (CALL(telvor_last_sequence)(video) != frames) return fprintf(stderr, "producer: sequence\n"), 1;
  CALL(telvor_close)(video);
  CALL(telvor_close)(audio);
  printf("producer: camera %d, %u frames, version 0x%06x, %s\n", camera, (unsigned)frames, (unsigned)version,
         watched ? "watched" : "never watched");
#ifdef TELVOR_LOAD_AT_RUN_TIME
  FreeLibrary(dll);
#endif
  return watched ? 0 : 1;
}
