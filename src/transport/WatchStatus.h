// Who is streaming a camera right now, published by the cameras for the
// producer: one named section per camera, "KAVO.VCAM.STATUS.NN", beside the
// channels and independent of them. Each running video or audio stream owns
// one entry of a fixed table, claimed by compare-exchanging its host's
// process id into a free (or dead host's) entry and released at stop.
//
// Cameras only write it. Only the user who made the section may open it (the
// cameras' user for the session's, the producer's for the Global\ one), but
// any program of that user can scribble over it, so nothing a camera reads
// back from it ever steers a memory access: a camera remembers the index it
// claimed and writes there, and readers copy entries out and check every
// field before they use it. An entry whose stream has not delivered for a
// while may be taken over by a new stream when no entry is free; its owner
// sees that at its next look and claims another.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "base/Handle.h"

namespace telvor {

inline constexpr wchar_t kWatchStatusName[] = L"KAVO.VCAM.STATUS.%02d";
inline constexpr std::uint32_t kWatchStatusMagic = 0x53575654;  // "TVWS"
inline constexpr std::uint32_t kWatchStatusVersion = 1;
inline constexpr std::uint32_t kWatchEntries = 16;
inline constexpr std::uint32_t kWatchExeChars = 64;
// A running stream delivers several times a second; an entry whose last
// delivery is older than this belongs to a paused, stalled or dead host.
inline constexpr std::uint64_t kWatchFreshTicks = 3 * 10000000ull;
// How often a stream checks that its entry is still its own.
inline constexpr std::uint64_t kWatchLookTicks = 5000000ull;

enum class WatchKind : std::uint32_t { kVideo = 1, kAudio = 2 };

// Fixed-size fields only: 32- and 64-bit hosts share the section.
#pragma pack(push, 8)
struct WatchEntry {
  volatile LONG owner;       // host process id; 0: free
  std::uint32_t kind;        // WatchKind
  volatile LONG generation;  // odd while the description below changes
  std::uint32_t width;       // audio: channels
  std::uint32_t height;      // audio: bits per sample
  std::uint32_t rate_milli;  // frames per second x 1000; audio: samples per second
  char format[8];            // "YUY2", "YV12", "RGB32", "RGB24", "PCM", NUL-padded
  std::uint16_t exe[kWatchExeChars];  // host executable's file name, UTF-16, NUL-terminated
  volatile LONG64 samples;        // delivered since the stream started
  volatile LONG64 last_delivery;  // WatchClockNow() at the last delivery; 0: none yet
};
struct WatchBlock {
  std::uint32_t magic;
  std::uint32_t version;
  std::uint32_t entry_count;
  std::uint32_t entry_size;
  WatchEntry entries[kWatchEntries];
};
#pragma pack(pop)
static_assert(sizeof(WatchEntry) == 176, "same layout for 32- and 64-bit hosts");
static_assert(sizeof(WatchBlock) == 16 + kWatchEntries * 176, "same layout for 32- and 64-bit hosts");

// QueryPerformanceCounter in 100-ns units: the producer library's clock.
std::uint64_t WatchClockNow();

// Creates (or, with `create` false, opens) camera `camera`'s status section
// for reading and writing. A section that exists already is used only when
// this process's user made it with the status's own descriptor: anything
// else is another program's, and `refused` says so.
UniqueHandle OpenWatchSection(int camera, bool global, bool create, bool* refused = nullptr);

// What a stream describes about itself when it starts.
struct WatchFormat {
  WatchKind kind;
  char format[8];
  std::uint32_t width, height, rate_milli;
};

// One stream's entry in its camera's status, in the session's section and,
// when a producer made one, in the Global\ one. Start and Stop are for the
// streaming thread's start and end; Delivered is its per-sample call and
// costs two interlocked stores per section.
class WatchPublisher {
 public:
  WatchPublisher() = default;
  ~WatchPublisher() { Stop(); }
  WatchPublisher(const WatchPublisher&) = delete;
  WatchPublisher& operator=(const WatchPublisher&) = delete;

  void Start(int camera, const WatchFormat& format);
  void Delivered() {
    const std::uint64_t now = WatchClockNow();
    ++delivered_;
    for (Place& place : places_) {
      if (!place.entry) continue;
      InterlockedExchange64(&place.entry->samples, delivered_);
      InterlockedExchange64(&place.entry->last_delivery, static_cast<LONG64>(now));
    }
    if (now >= next_look_) Look(now);
  }
  void Stop();

 private:
  struct Place {
    UniqueHandle mapping;
    MappedView view;
    WatchEntry* entry = nullptr;
    LONG generation = 0;  // the entry's after our claim: any other value means it was taken
    bool refusal_logged = false;
  };
  void Publish(Place& place, bool global);
  bool Claim(Place& place, std::uint64_t now);
  bool StillOurs(const Place& place) const;
  void Release(Place& place);
  // Reclaims a lost entry and opens a section that appeared since the start
  // (a Global\ producer started after the application).
  void Look(std::uint64_t now);

  int camera_ = -1;
  WatchFormat format_ = {};
  LONG64 delivered_ = 0;
  std::uint64_t next_look_ = 0;
  Place places_[2];  // session, global
};

// A copied-out, checked entry.
struct Watcher {
  WatchKind kind;
  std::uint32_t process_id;
  char executable[kWatchExeChars];  // UTF-8
  char format[8];
  std::uint32_t width, height, rate_milli;
  std::uint64_t samples;
  std::uint64_t age;  // 100-ns units since the last delivery; UINT64_MAX: none yet, or a time not yet come
  bool host_alive;
  bool Running() const { return host_alive && age <= kWatchFreshTicks; }
};

// Reads camera `camera`'s status (the Global\ section with `global`) into
// `out` (room for kWatchEntries): every claimed entry that passes the checks,
// stale ones included (host_alive, age). Returns how many; 0 without a section.
std::uint32_t ReadWatchers(int camera, bool global, Watcher* out);
// The same over a section already mapped, `bytes` long.
std::uint32_t ReadWatchBlock(const void* view, std::size_t bytes, std::uint64_t now, Watcher* out);

}  // namespace telvor
