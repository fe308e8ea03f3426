/*
 * telvor_producer.h - feed pictures and sound to the TELVOR virtual cameras.
 *
 * A camera N (0..63) reads two channels that a producer program creates:
 *
 *   video: file mapping "KAVO.VCAM.V.SHARE.MEMORY.NN", mutex "KAVO.VCAM.V.MUTEX.NN"
 *   audio: file mapping "KAVO.VCAM.A.SHARE.MEMORY.NN", mutex "KAVO.VCAM.A.MUTEX.NN"
 *
 * NN is N printed with at least two digits ("07", "12"). The camera takes
 * both objects of a channel from the session's local namespace, or, when the
 * session does not hold both, both from behind "Global\" (never one of each),
 * so a producer in another session or a service creates them with
 * TELVOR_GLOBAL_NAMES. It opens the mapping for reading only and the mutex
 * for waiting and releasing only (SYNCHRONIZE | MUTEX_MODIFY_STATE).
 *
 * This library creates and writes those channels. It is a DLL,
 * telvor_producer.dll, one for 64-bit and one for 32-bit programs, that needs
 * only Windows system DLLs. Include this header (C99 or C++) and link the
 * import library of your compiler (telvor_producer.lib for Microsoft's and
 * LLVM's linkers, libtelvor_producer.dll.a for MinGW), or load the DLL at run
 * time (LoadLibraryW and GetProcAddress, Python's ctypes, C#'s P/Invoke).
 * Every function is exported under its plain name ("telvor_write", also in
 * the 32-bit DLL) and uses the C calling convention (cdecl). Ship the DLL of
 * your program's bitness beside its executable.
 *
 *   telvor_video_format vf = {TELVOR_FOURCC_YUY2, 640, 480, 30.0, 0};
 *   telvor_channel* video = NULL;
 *   if (telvor_open_video(0, 0, &vf, &video) != TELVOR_OK)
 *     fprintf(stderr, "%s\n", telvor_last_error_message());
 *   ...
 *   telvor_write(video, frame, 640 * 480 * 2, TELVOR_TIMESTAMP_NOW);
 *   ...
 *   telvor_close(video);
 *
 * Threads: every function may be called from any thread. Calls on one
 * channel must not overlap (use one thread per channel, e.g. a video thread
 * and an audio thread); calls on different channels may.
 *
 * Versions: telvor_version() is the DLL's version, TELVOR_PRODUCER_VERSION the
 * header's, both packed by TELVOR_MAKE_VERSION. A program built against an
 * older header keeps working with any newer DLL of the same major version,
 * because within a major version the library only ever adds: new functions
 * are appended, new flags take unused bits, new result codes and constants
 * take new values. An existing function keeps its name, parameters, result
 * and calling convention; an existing struct keeps its size and the offset
 * and meaning of every field (the library never grows a struct a program
 * passes in; new settings come with new functions or flags); a constant
 * never changes its value. Flags the DLL does not know are refused with
 * TELVOR_E_INVALIDARG, so a program that passes a newer flag to an older DLL
 * fails cleanly. A program that calls a function newer than the oldest DLL
 * it runs with checks telvor_version() first, or resolves that function with
 * GetProcAddress and copes with NULL.
 *
 * ---------------------------------------------------------------------------
 * Writing a producer without this library: the shared layout
 * ---------------------------------------------------------------------------
 * A channel's section is a ring of slots starting at offset 0: 8 slots for
 * video, 16 for audio. Slot i starts at i * (C + 84), where C is the payload
 * capacity written in slot 0's header (video: offset 0x28, audio: 0x48). Each
 * slot is an 84-byte header followed by C payload bytes. The section must be
 * at least slots * (C + 84) bytes, or the camera refuses it. All integers are
 * little-endian; fields may be unaligned.
 *
 *   off  size type  field
 *   0x00  4   u32   video FourCC ("YUY2" 0x32595559 or "YV12" 0x32315659)
 *   0x04  4   u32   video width in pixels
 *   0x08  4   u32   video height in lines
 *   0x0C  4   -     reserved
 *   0x10  8   f64   video frame rate, frames per second
 *   0x18  8   u64   video sequence number of the frame in this slot
 *   0x20  8   u64   video timestamp, 100-ns units
 *   0x28  4   u32   video payload capacity C (slot 0 of the video ring)
 *   0x2C  4   u32   audio channel count
 *   0x30  4   u32   audio bits per sample
 *   0x34  4   u32   audio samples per second
 *   0x38  8   u64   audio sequence number of the packet in this slot
 *   0x40  8   u64   audio timestamp, 100-ns units
 *   0x48  4   u32   audio payload capacity C (slot 0 of the audio ring)
 *   0x4C  4   u32   bytes of payload held in this slot
 *   0x50  4   -     reserved
 *   0x54  C   bytes payload: one frame (YUY2: Y0 Cb Y1 Cr per pixel pair;
 *                   YV12: Y plane, then Cr, then Cb at half width and height)
 *                   or one packet of interleaved PCM samples
 *
 * The video ring uses the video fields, the audio ring the audio fields.
 * Slot 0 doubles as the format header: the camera takes the format from slot
 * 0 only (video: FourCC, width, height all non-zero; audio: bits per sample
 * and samples per second non-zero) and looks at it again before every frame,
 * so a producer may change its format while cameras watch (see "Changing
 * the format" in docs/producer.md). The cameras' audio pin accepts 16-bit
 * stereo PCM at 48,000 samples per second.
 *
 * Rules: write a slot only while holding the channel's mutex; give every new
 * frame or packet a sequence number higher than all before it (the camera
 * delivers in sequence order and skips numbers 2^31 or more ahead; audio
 * compares the low 32 bits only); keep the mutex for as short as possible,
 * since the camera holds it while it takes a frame. This library starts at
 * 1 (or just above what a ring left open by a camera still holds), writes the
 * slots round-robin and stamps the sequence number last.
 *
 * Latency: a camera that opens on a running producer starts with every frame
 * the ring holds (each slot numbered above the lowest one) and keeps its
 * queue of up to five at that depth for as long as producer and camera run
 * at the same rate: about one frame period of delay per frame handed over.
 * A producer faster than the camera fills that queue too. So the library
 * writes only the first `live_slots` video slots and numbers the others 0,
 * which no camera delivers. The default is 1: cameras move their deadlines
 * to a few milliseconds after the frames arrive, so the newest frame is
 * always whole when a deadline comes and none needs to be kept in hand.
 * Each slot above 1 adds up to one period of delay. Sound keeps every slot
 * live.
 *
 * Waking the cameras: after each write the library sets the manual-reset
 * event "KAVO.VCAM.V.WRITTEN<p>.NN" (audio: "KAVO.VCAM.A.WRITTEN<p>.NN"),
 * where <p> is the item's sequence number modulo 2, and resets the other one
 * before it releases the mutex. A camera that finds nothing new waits for
 * the event of the next number without holding the mutex; without the
 * events it polls every 2 ms holding it.
 */
#ifndef TELVOR_PRODUCER_H
#define TELVOR_PRODUCER_H

#include <stdint.h>

/* Programs import the functions from the DLL. Define TELVOR_PRODUCER_STATIC
 * when the library's code is compiled into the program itself. */
#if defined(_WIN32) && !defined(TELVOR_PRODUCER_STATIC)
#define TELVOR_API __declspec(dllimport)
#else
#define TELVOR_API
#endif
/* Stated, so that a program compiled with another default (/Gz, -mrtd)
 * still calls the 32-bit DLL correctly. */
#if defined(_WIN32)
#define TELVOR_CALL __cdecl
#else
#define TELVOR_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* major.minor.patch, each 0..255: (major << 16) | (minor << 8) | patch. Also
 * for #if: #if TELVOR_PRODUCER_VERSION >= TELVOR_MAKE_VERSION(1, 2, 0) */
#define TELVOR_MAKE_VERSION(major, minor, patch) (((major) << 16) | ((minor) << 8) | (patch))
#define TELVOR_PRODUCER_VERSION_MAJOR 1
#define TELVOR_PRODUCER_VERSION_MINOR 1
#define TELVOR_PRODUCER_VERSION_PATCH 0
#define TELVOR_PRODUCER_VERSION \
  TELVOR_MAKE_VERSION(TELVOR_PRODUCER_VERSION_MAJOR, TELVOR_PRODUCER_VERSION_MINOR, TELVOR_PRODUCER_VERSION_PATCH)

/* Result codes are HRESULTs: 0 on success, negative on failure. Failures of
 * the operating system come back as HRESULT_FROM_WIN32(error). Every failing
 * call also leaves a readable sentence in telvor_last_error_message(). */
typedef int32_t telvor_result;
#define TELVOR_OK ((telvor_result)0)
/* A bad camera index, flag, format, size or pointer. */
#define TELVOR_E_INVALIDARG ((telvor_result)0x80070057L)
#define TELVOR_E_OUTOFMEMORY ((telvor_result)0x8007000EL)
/* Another producer already feeds this channel (ERROR_ALREADY_EXISTS). */
#define TELVOR_E_IN_USE ((telvor_result)0x800700B7L)
/* A camera still holds the channel open from an earlier producer, and its
 * ring is too small for the requested format (ERROR_BAD_LENGTH). Close the
 * capture application or use the earlier size. */
#define TELVOR_E_SIZE_MISMATCH ((telvor_result)0x80070018L)
/* An object with one of the channel's names exists and was not created by a
 * producer running as this user (ERROR_INVALID_OWNER): another program took
 * the camera's names first. Nothing is fed through it. */
#define TELVOR_E_NOT_OWNER ((telvor_result)0x8007051BL)
/* The channel mutex stayed busy for TELVOR_LOCK_TIMEOUT_MS (ERROR_TIMEOUT). */
#define TELVOR_E_TIMEOUT ((telvor_result)0x800705B4L)

#define TELVOR_LOCK_TIMEOUT_MS 2000

/* Flags of telvor_open_video / telvor_open_audio. */
#define TELVOR_GLOBAL_NAMES 0x1u /* create the objects behind "Global\" */

#define TELVOR_FOURCC_YUY2 0x32595559u
#define TELVOR_FOURCC_YV12 0x32315659u

/* Pass as timestamp to stamp the item with telvor_clock_now() at the moment
 * it is written, under the mutex. */
#define TELVOR_TIMESTAMP_NOW UINT64_MAX

/* A largest ring this library creates: 1 GiB. */
#define TELVOR_MAX_RING_BYTES (1024ull * 1024ull * 1024ull)

typedef struct telvor_video_format {
  uint32_t fourcc;    /* TELVOR_FOURCC_YUY2 or TELVOR_FOURCC_YV12 (others are passed on as is) */
  uint32_t width;     /* pixels; even for YUY2 and YV12 */
  uint32_t height;    /* lines; even for YV12 */
  double frame_rate;  /* frames per second, > 0; cameras take it as their default rate */
  uint32_t capacity;  /* bytes per slot; 0: one frame of this format (required for other FourCCs) */
  uint32_t live_slots; /* slots written round-robin, 1..8; 0: TELVOR_VIDEO_LIVE_SLOTS */
} telvor_video_format;

/* Live video slots when the format leaves it 0, see above. */
#define TELVOR_VIDEO_LIVE_SLOTS 1u

typedef struct telvor_audio_format {
  uint32_t channels;           /* 1 or more; cameras accept 2 */
  uint32_t bits_per_sample;    /* 8, 16, 24 or 32; cameras accept 16 */
  uint32_t samples_per_second; /* cameras accept 48000 */
  uint32_t capacity;           /* bytes per slot; 0: 100 ms of sound. A multiple of one sample frame. */
} telvor_audio_format;

typedef struct telvor_channel telvor_channel;

/* Create (or re-open, when a camera still holds it from an earlier producer)
 * the video channel of `camera` and announce `format` in slot 0. */
TELVOR_API telvor_result TELVOR_CALL telvor_open_video(int camera, uint32_t flags, const telvor_video_format* format,
                                                   telvor_channel** channel);

/* The same for the audio channel. */
TELVOR_API telvor_result TELVOR_CALL telvor_open_audio(int camera, uint32_t flags, const telvor_audio_format* format,
                                                   telvor_channel** channel);

/* Write one frame or packet of `length` bytes (at most the capacity) into the
 * next slot, under the mutex, with the next sequence number. `timestamp` is in
 * 100-ns units; pass TELVOR_TIMESTAMP_NOW to use telvor_clock_now(). */
TELVOR_API telvor_result TELVOR_CALL telvor_write(telvor_channel* channel, const void* data, uint32_t length,
                                              uint64_t timestamp);

/* Sequence number of the last item written, 0 before the first. */
TELVOR_API uint64_t TELVOR_CALL telvor_last_sequence(const telvor_channel* channel);

/* Payload bytes per slot of the open channel. */
TELVOR_API uint32_t TELVOR_CALL telvor_capacity(const telvor_channel* channel);

/* Close the channel. Cameras that have it open keep reading the last items
 * until they stop; null is ignored. */
TELVOR_API void TELVOR_CALL telvor_close(telvor_channel* channel);

/* The library's clock, in 100-ns units: QueryPerformanceCounter scaled to
 * 10,000,000 per second. Monotonic and shared by all processes of a machine
 * since boot, so another program can compare its own reading with a frame's
 * timestamp to measure latency. */
TELVOR_API uint64_t TELVOR_CALL telvor_clock_now(void);

/* Who is watching: each capture application's stream of a camera, as the
 * cameras publish it in "KAVO.VCAM.STATUS.NN" (see docs/producer.md). */
#define TELVOR_WATCHER_VIDEO 1u
#define TELVOR_WATCHER_AUDIO 2u

typedef struct telvor_watcher {
  uint32_t kind;           /* TELVOR_WATCHER_VIDEO or TELVOR_WATCHER_AUDIO */
  uint32_t process_id;     /* the capture application's process */
  char executable[64];     /* its executable's file name, UTF-8 ("ffmpeg.exe") */
  char format[8];          /* "YUY2", "YV12", "RGB32", "RGB24"; audio "PCM" */
  uint32_t width, height;  /* audio: channels, bits per sample */
  double rate;             /* frames per second; audio: samples per second */
  uint64_t samples;        /* frames or buffers delivered since the stream started */
  uint64_t age;            /* 100-ns units since the last delivery */
} telvor_watcher;

/* The streams of `camera` running now (flags: TELVOR_GLOBAL_NAMES for a
 * producer with global names). Fills up to `capacity` entries; `*count` is
 * how many there are (it may exceed `capacity`). A stream that is paused,
 * or whose application ended or was killed, is not counted. No status at
 * all (no camera has streamed since the machine started) is 0 watchers. */
TELVOR_API telvor_result TELVOR_CALL telvor_watchers(int camera, uint32_t flags, telvor_watcher* watchers,
                                                 uint32_t capacity, uint32_t* count);

/* A sentence describing the calling thread's last failure. */
TELVOR_API const char* TELVOR_CALL telvor_last_error_message(void);

/* The DLL's version, packed like TELVOR_PRODUCER_VERSION. Everything this
 * header declares is there when the DLL's major version is the header's
 * (telvor_version() >> 16 == TELVOR_PRODUCER_VERSION_MAJOR) and
 * telvor_version() >= TELVOR_PRODUCER_VERSION. */
TELVOR_API uint32_t TELVOR_CALL telvor_version(void);

#ifdef __cplusplus
}
#endif

#endif /* TELVOR_PRODUCER_H */
