#include "telvor_producer.h"

#include <windows.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/CommittedMemory.h"
#include "base/Handle.h"
#include "transport/ChannelNames.h"
#include "transport/ObjectSecurity.h"
#include "transport/SharedChannel.h"
#include "transport/SlotHeader.h"
#include "transport/WatchStatus.h"

using telvor::RingBytes;
using telvor::SlotHeader;
using telvor::kSlotHeaderSize;
using telvor::LocalMemory;
using telvor::MappedView;

// The formats are passed by programs built with other compilers, 32-bit and
// 64-bit: their layout must be the one every Windows compiler gives the C
// declaration (8-byte alignment for the double on both).
static_assert(sizeof(telvor_video_format) == 32 && offsetof(telvor_video_format, frame_rate) == 16 &&
                  offsetof(telvor_video_format, live_slots) == 28,
              "telvor_video_format layout");
static_assert(sizeof(telvor_audio_format) == 16 && offsetof(telvor_audio_format, capacity) == 12,
              "telvor_audio_format layout");
static_assert(sizeof(telvor_watcher) == 112 && offsetof(telvor_watcher, rate) == 88 &&
                  offsetof(telvor_watcher, age) == 104,
              "telvor_watcher layout");

struct telvor_channel {
  const wchar_t* kind = L"";  // "video" / "audio", for messages
  std::uint32_t slots = 0;
  std::uint32_t live_slots = 0;  // the first ones, written round-robin
  std::uint32_t capacity = 0;
  std::size_t sequence_offset = 0;
  std::size_t timestamp_offset = 0;
  UniqueHandle owner;  // exists exactly as long as this producer does
  UniqueHandle mutex;
  UniqueHandle mapping;
  // Manual-reset, set after each write by its number's parity (the other one
  // is reset), so any number of cameras wait for the next item without
  // polling. Optional: cameras poll when they are missing.
  UniqueHandle written[2];
  MappedView view;
  UniqueHandle watch_status;  // the Global\\ status section, made for the cameras
  std::uint64_t last_sequence = 0;
  std::uint32_t next_slot = 0;

  // Everything but the marker, which goes last: a camera that still sees the
  // ring never sees it without its producer's marker.
  void CloseRing() {
    view.Reset();
    for (UniqueHandle* handle : {&watch_status, &written[0], &written[1], &mapping, &mutex}) handle->Reset();
    last_sequence = 0;
  }
  void CloseObjects() {
    CloseRing();
    owner.Reset();
  }
};

namespace {

// Plain bytes rather than a string: nothing to allocate while failing, and
// no destructor left to run at thread exit after a program unloads the DLL.
thread_local char g_last_error[512] = "no error";

telvor_result Fail(telvor_result code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_last_error, sizeof g_last_error, format, args);
  va_end(args);
  return code;
}

// The callers are C and other languages, which cannot unwind a C++
// exception; the standard containers used inside throw only when memory
// runs out.
template <typename Body>
telvor_result Guarded(Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return Fail(TELVOR_E_OUTOFMEMORY, "out of memory");
  }
}

telvor_result FromWin32(DWORD error) {
  return error == 0 ? TELVOR_E_INVALIDARG : static_cast<telvor_result>((error & 0xFFFF) | 0x80070000u);
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// What a ring differs in between the two kinds; the names are the cameras'.
struct RingKind {
  const wchar_t* kind;
  const telvor::ChannelNames& names;
  std::uint32_t slots;
  std::size_t capacity_offset;
  std::size_t sequence_offset;
  std::size_t timestamp_offset;
};

const RingKind kVideoRing = {L"video", telvor::kVideoChannelNames, telvor::kVideoSlotCount,
                             offsetof(SlotHeader, video_capacity), offsetof(SlotHeader, video_sequence),
                             offsetof(SlotHeader, video_timestamp)};
const RingKind kAudioRing = {L"audio", telvor::kAudioChannelNames, telvor::kAudioSlotCount,
                             offsetof(SlotHeader, audio_capacity), offsetof(SlotHeader, audio_sequence),
                             offsetof(SlotHeader, audio_timestamp)};

std::uint8_t* Slot(const telvor_channel& channel, std::uint32_t slot) {
  return static_cast<std::uint8_t*>(channel.view.Get()) +
         static_cast<std::size_t>(slot) * (static_cast<std::size_t>(channel.capacity) + kSlotHeaderSize);
}

template <typename T>
T ReadAt(const std::uint8_t* base, std::size_t offset) {
  T value;
  std::memcpy(&value, base + offset, sizeof value);
  return value;
}

template <typename T>
void WriteAt(std::uint8_t* base, std::size_t offset, T value) {
  std::memcpy(base + offset, &value, sizeof value);
}

// The mutex is a producer/consumer lock only; a holder that died left the ring
// as sound as a torn slot allows, so an abandoned wait counts as acquired.
telvor_result Lock(const telvor_channel& channel) {
  const DWORD result = WaitForSingleObject(channel.mutex.Get(), TELVOR_LOCK_TIMEOUT_MS);
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return TELVOR_OK;
  if (result == WAIT_TIMEOUT) {
    return Fail(TELVOR_E_TIMEOUT, "%ls channel mutex stayed busy for %d ms", channel.kind, TELVOR_LOCK_TIMEOUT_MS);
  }
  const DWORD error = GetLastError();
  return Fail(FromWin32(error), "waiting for the %ls channel mutex failed, error %lu", channel.kind, error);
}

telvor_result FailSystem(const char* doing) {
  const DWORD error = GetLastError();
  return Fail(FromWin32(error), "cannot %s, error %lu", doing, error);
}

// Who may open a channel's objects. The producer's user may do anything; the
// cameras of interactive users (any account, any session) may map the section
// for reading and wait for and release the mutex; nobody else may open them.
constexpr DWORD kCameraSectionAccess = SECTION_QUERY | SECTION_MAP_READ;
constexpr DWORD kCameraMutexAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

telvor_result LoadUser(telvor::ProcessUser& user) {
  return user.Load() ? TELVOR_OK : FailSystem("read the producer's user");
}

telvor_result Build(telvor::ObjectSecurity& security, const telvor::ProcessUser& user, DWORD all_access,
                    DWORD camera_access) {
  return security.Build(user, all_access, camera_access) ? TELVOR_OK : FailSystem("build a security descriptor");
}

// Takes the outcome of creating one named object. A new object is ours. One
// that existed is fed through only when a producer of this user made it (a
// camera keeps a restarted producer's ring alive); anything else means
// another program took the camera's name first and could read or rewrite
// what we write, or hold the mutex against us.
telvor_result Claim(UniqueHandle& object, HANDLE created, DWORD error, const std::wstring& name, const telvor::ProcessUser& user,
                    DWORD camera_access, int camera, const RingKind& ring) {
  object.Reset(created);
  if (object && (error != ERROR_ALREADY_EXISTS || telvor::MadeByUser(object.Get(), user.Sid(), camera_access))) {
    return TELVOR_OK;
  }
  if (!object && error != ERROR_ACCESS_DENIED) {
    return Fail(FromWin32(error), "cannot create %s, error %lu", Narrow(name).c_str(), error);
  }
  object.Reset();
  return Fail(TELVOR_E_NOT_OWNER,
              "camera %d %ls channel: %s exists and was not created by a producer of this user; another program "
              "holds the camera's names",
              camera, ring.kind, Narrow(name).c_str());
}

constexpr int kMarkerAttempts = 5;
constexpr DWORD kMarkerRetryMs = 10;

telvor_result CreateObjects(telvor_channel& channel, const RingKind& ring, int camera, bool global) {
  telvor::ProcessUser user;
  telvor::ObjectSecurity owner_security, mutex_security, mapping_security, written_security;
  telvor_result result = LoadUser(user);
  if (result == TELVOR_OK) result = Build(owner_security, user, EVENT_ALL_ACCESS, 0);
  if (result == TELVOR_OK) result = Build(mutex_security, user, MUTEX_ALL_ACCESS, kCameraMutexAccess);
  if (result == TELVOR_OK) result = Build(mapping_security, user, SECTION_ALL_ACCESS, kCameraSectionAccess);
  if (result == TELVOR_OK) result = Build(written_security, user, EVENT_ALL_ACCESS, SYNCHRONIZE);
  if (result != TELVOR_OK) return result;

  const std::wstring owner = telvor::ChannelObjectName(ring.names.producer, camera, global);
  DWORD error = ERROR_SUCCESS;
  // Cameras open the marker for a moment, a few times a second, to see
  // whether their producer is still there: a name that exists for a few
  // milliseconds more may be a camera's glance at a producer that has gone.
  for (int attempt = 0; attempt < kMarkerAttempts; ++attempt) {
    if (attempt > 0) Sleep(kMarkerRetryMs);
    channel.owner.Reset(CreateEventW(owner_security.Get(), TRUE, FALSE, owner.c_str()));
    error = GetLastError();
    if (!channel.owner || error != ERROR_ALREADY_EXISTS) break;
  }
  // Denied: another user's producer holds the name, unless the name is free
  // and this user may not create global names.
  const bool denied = !channel.owner && error == ERROR_ACCESS_DENIED &&
                      (UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, owner.c_str())) || GetLastError() == ERROR_ACCESS_DENIED);
  if (denied || (channel.owner && error == ERROR_ALREADY_EXISTS)) {
    return Fail(TELVOR_E_IN_USE, "camera %d %ls channel is already fed by another producer (%s exists)", camera,
                ring.kind, Narrow(owner).c_str());
  }
  if (!channel.owner) return Fail(FromWin32(error), "cannot create %s, error %lu", Narrow(owner).c_str(), error);

  const std::wstring mutex = telvor::ChannelObjectName(ring.names.mutex, camera, global);
  HANDLE created = CreateMutexW(mutex_security.Get(), FALSE, mutex.c_str());
  error = GetLastError();
  result = Claim(channel.mutex, created, error, mutex, user, kCameraMutexAccess, camera, ring);
  if (result != TELVOR_OK) return result;

  const std::uint64_t bytes = RingBytes(ring.slots, channel.capacity);
  const std::wstring mapping = telvor::ChannelObjectName(ring.names.mapping, camera, global);
  created = CreateFileMappingW(INVALID_HANDLE_VALUE, mapping_security.Get(), PAGE_READWRITE,
                               static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes), mapping.c_str());
  error = GetLastError();
  result = Claim(channel.mapping, created, error, mapping, user, kCameraSectionAccess, camera, ring);
  if (result != TELVOR_OK) return result;
  // Cameras publish who watches beside the channels, but capture
  // applications seldom may create global names: the producer makes the
  // section for its own user's cameras. Optional, so a failure costs only
  // the status.
  if (global) channel.watch_status = telvor::OpenWatchSection(camera, true, true);
  channel.view.Reset(MapViewOfFile(channel.mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (!channel.view) {
    const DWORD map_error = GetLastError();
    return Fail(FromWin32(map_error), "cannot map %s, error %lu", Narrow(mapping).c_str(), map_error);
  }
  // Without them cameras poll; an existing one is a camera's, kept open
  // from an earlier producer of this ring.
  for (int i = 0; i < 2; ++i) {
    const std::wstring name = telvor::ChannelObjectName(ring.names.written[i], camera, global);
    channel.written[i].Reset(CreateEventW(written_security.Get(), TRUE, FALSE, name.c_str()));
  }
  return TELVOR_OK;
}

// Frames an earlier producer left beyond the live slots would reach the next
// camera that opens as a backlog of old pictures. Number 0 is never
// delivered: it is not above any camera's last frame.
void RetireSlotsBeyondLive(telvor_channel& channel) {
  for (std::uint32_t slot = channel.live_slots; slot < channel.slots; ++slot) {
    WriteAt(Slot(channel, slot), channel.sequence_offset, std::uint64_t{0});
    WriteAt(Slot(channel, slot), offsetof(SlotHeader, payload_length), std::uint32_t{0});
  }
}

// A camera that kept the ring open across a producer restart still reads it
// with the stride it announced, so a re-opened ring keeps its capacity and the
// numbering continues above what the ring holds.
telvor_result AdoptRing(telvor_channel& channel, const RingKind& ring, std::uint32_t needed) {
  // A section another program reserved without committing it faults at the
  // first touch: only committed memory counts.
  const std::size_t committed = telvor::CommittedBytes(channel.view.Get());
  if (committed < telvor::kSlotHeaderSize) {
    return Fail(TELVOR_E_SIZE_MISMATCH, "%ls channel's section holds no committed memory", ring.kind);
  }
  const std::uint8_t* base = static_cast<const std::uint8_t*>(channel.view.Get());
  const std::uint32_t existing = ReadAt<std::uint32_t>(base, ring.capacity_offset);
  if (existing != 0) channel.capacity = existing;
  if (channel.capacity < needed || RingBytes(ring.slots, channel.capacity) > committed) {
    return Fail(TELVOR_E_SIZE_MISMATCH,
                "%ls channel is still open with %lu-byte slots in %llu bytes; %lu bytes per item do not fit",
                ring.kind, static_cast<unsigned long>(channel.capacity),
                static_cast<unsigned long long>(committed), static_cast<unsigned long>(needed));
  }
  std::uint32_t newest_slot = ring.slots;
  for (std::uint32_t slot = 0; slot < ring.slots; ++slot) {
    const std::uint64_t sequence = ReadAt<std::uint64_t>(Slot(channel, slot), ring.sequence_offset);
    if (sequence > channel.last_sequence) {
      channel.last_sequence = sequence;
      newest_slot = slot;
    }
  }
  channel.next_slot = newest_slot < channel.live_slots ? (newest_slot + 1) % channel.live_slots : 0;
  RetireSlotsBeyondLive(channel);
  return TELVOR_OK;
}

// Cameras look for their producer's marker every quarter of a second and
// let go of a ring whose marker has gone, so a larger producer started right
// after a smaller one waits for that instead of failing; a camera that keeps
// the old ring longer (one that never saw a marker) still gets the size message.
constexpr DWORD kLetGoWaitMs = 3000;
constexpr DWORD kLetGoPollMs = 50;
// A camera that opened the ring as its last producer let go of it never saw
// a marker and waits to see one before it heeds the marker's end. After the
// quick attempts the marker stays, then stays away, each for longer than a
// camera's look, so that every camera sees both.
constexpr DWORD kQuickAttemptsMs = 600;
constexpr DWORD kMarkerShownMs = 350;

// Leaves the mutex held on success. Between attempts nothing of the ring
// stays open, so the cameras see the marker gone and close the ring.
telvor_result OpenRing(telvor_channel& channel, const RingKind& ring, int camera, std::uint32_t flags,
                       std::uint32_t needed) {
  const std::uint32_t requested = channel.capacity;
  const ULONGLONG quick_until = GetTickCount64() + kQuickAttemptsMs;
  const ULONGLONG give_up = GetTickCount64() + kLetGoWaitMs;
  for (;;) {
    channel.capacity = requested;
    telvor_result result = CreateObjects(channel, ring, camera, (flags & TELVOR_GLOBAL_NAMES) != 0);
    if (result == TELVOR_OK) result = Lock(channel);
    if (result != TELVOR_OK) return result;
    result = AdoptRing(channel, ring, needed);
    if (result == TELVOR_OK) return result;
    ReleaseMutex(channel.mutex.Get());
    if (result != TELVOR_E_SIZE_MISMATCH || GetTickCount64() >= give_up) return result;
    const bool quick = GetTickCount64() < quick_until;
    channel.CloseRing();
    if (!quick) Sleep(kMarkerShownMs);
    channel.CloseObjects();
    Sleep(quick ? kLetGoPollMs : kMarkerShownMs);
  }
}

using HeaderWriter = void (*)(std::uint8_t* header, const void* format, std::uint32_t capacity);

telvor_result Open(const RingKind& ring, int camera, std::uint32_t flags, std::uint32_t capacity,
                   std::uint32_t needed, std::uint32_t live_slots, HeaderWriter write_header, const void* format,
                   telvor_channel** out) {
  telvor_channel* channel = new (std::nothrow) telvor_channel;
  if (!channel) return Fail(TELVOR_E_OUTOFMEMORY, "out of memory");
  channel->kind = ring.kind;
  channel->slots = ring.slots;
  channel->live_slots = live_slots;
  channel->capacity = capacity;
  channel->sequence_offset = ring.sequence_offset;
  channel->timestamp_offset = ring.timestamp_offset;
  const telvor_result result = OpenRing(*channel, ring, camera, flags, needed);
  if (result != TELVOR_OK) {
    delete channel;
    return result;
  }
  write_header(Slot(*channel, 0), format, channel->capacity);
  ReleaseMutex(channel->mutex.Get());
  *out = channel;
  return TELVOR_OK;
}

telvor_result CheckCommon(int camera, std::uint32_t flags, const void* format, telvor_channel** channel) {
  if (!format || !channel) return Fail(TELVOR_E_INVALIDARG, "format and channel must not be null");
  *channel = nullptr;
  if (camera < 0 || camera > 63) return Fail(TELVOR_E_INVALIDARG, "camera index %d is outside 0..63", camera);
  if (flags & ~TELVOR_GLOBAL_NAMES) return Fail(TELVOR_E_INVALIDARG, "unknown flags 0x%x", flags);
  return TELVOR_OK;
}

telvor_result CheckRingSize(const RingKind& ring, std::uint32_t capacity) {
  if (capacity == 0) return Fail(TELVOR_E_INVALIDARG, "%ls capacity must not be 0", ring.kind);
  if (RingBytes(ring.slots, capacity) > TELVOR_MAX_RING_BYTES) {
    return Fail(TELVOR_E_INVALIDARG, "%ls ring of %lu slots x %lu bytes exceeds %llu bytes", ring.kind,
                static_cast<unsigned long>(ring.slots), static_cast<unsigned long>(capacity),
                static_cast<unsigned long long>(TELVOR_MAX_RING_BYTES));
  }
  return TELVOR_OK;
}

// Bytes of one frame of the formats the cameras convert, 0 for any other.
std::uint64_t FrameBytes(const telvor_video_format& format) {
  const std::uint64_t pixels = static_cast<std::uint64_t>(format.width) * format.height;
  if (format.fourcc == TELVOR_FOURCC_YUY2) return pixels * 2;
  if (format.fourcc == TELVOR_FOURCC_YV12) return pixels * 3 / 2;
  return 0;
}

void WriteVideoHeader(std::uint8_t* header, const void* format, std::uint32_t capacity) {
  const auto& video = *static_cast<const telvor_video_format*>(format);
  WriteAt(header, offsetof(SlotHeader, video_fourcc), video.fourcc);
  WriteAt(header, offsetof(SlotHeader, video_width), video.width);
  WriteAt(header, offsetof(SlotHeader, video_height), video.height);
  WriteAt(header, offsetof(SlotHeader, video_frame_rate), video.frame_rate);
  WriteAt(header, offsetof(SlotHeader, video_capacity), capacity);
}

void WriteAudioHeader(std::uint8_t* header, const void* format, std::uint32_t capacity) {
  const auto& audio = *static_cast<const telvor_audio_format*>(format);
  WriteAt(header, offsetof(SlotHeader, audio_channels), audio.channels);
  WriteAt(header, offsetof(SlotHeader, audio_bits_per_sample), audio.bits_per_sample);
  WriteAt(header, offsetof(SlotHeader, audio_samples_per_second), audio.samples_per_second);
  WriteAt(header, offsetof(SlotHeader, audio_capacity), capacity);
}

telvor_result OpenVideo(int camera, uint32_t flags, const telvor_video_format* format, telvor_channel** channel) {
  telvor_result result = CheckCommon(camera, flags, format, channel);
  if (result != TELVOR_OK) return result;
  if (format->fourcc == 0 || format->width == 0 || format->height == 0) {
    return Fail(TELVOR_E_INVALIDARG, "FourCC, width and height must not be 0");
  }
  if (!std::isfinite(format->frame_rate) || format->frame_rate <= 0) {
    return Fail(TELVOR_E_INVALIDARG, "frame rate must be a positive number");
  }
  if (format->live_slots > kVideoRing.slots) {
    return Fail(TELVOR_E_INVALIDARG, "%lu live slots exceed the ring's %lu",
                static_cast<unsigned long>(format->live_slots), static_cast<unsigned long>(kVideoRing.slots));
  }
  const bool known = format->fourcc == TELVOR_FOURCC_YUY2 || format->fourcc == TELVOR_FOURCC_YV12;
  if (known && (format->width % 2 != 0 || (format->fourcc == TELVOR_FOURCC_YV12 && format->height % 2 != 0))) {
    return Fail(TELVOR_E_INVALIDARG, "%lux%lu is not a whole number of chroma samples",
                static_cast<unsigned long>(format->width), static_cast<unsigned long>(format->height));
  }
  const std::uint64_t frame = FrameBytes(*format);
  if (frame > TELVOR_MAX_RING_BYTES) return Fail(TELVOR_E_INVALIDARG, "a %llu-byte frame is too large",
                                                 static_cast<unsigned long long>(frame));
  const std::uint32_t capacity = format->capacity != 0 ? format->capacity : static_cast<std::uint32_t>(frame);
  if (capacity < frame) {
    return Fail(TELVOR_E_INVALIDARG, "capacity %lu is smaller than one %llu-byte frame",
                static_cast<unsigned long>(capacity), static_cast<unsigned long long>(frame));
  }
  result = CheckRingSize(kVideoRing, capacity);
  if (result != TELVOR_OK) return result;
  const std::uint32_t live = format->live_slots != 0 ? format->live_slots : TELVOR_VIDEO_LIVE_SLOTS;
  return Open(kVideoRing, camera, flags, capacity, static_cast<std::uint32_t>(frame != 0 ? frame : capacity), live,
              &WriteVideoHeader, format, channel);
}

telvor_result OpenAudio(int camera, uint32_t flags, const telvor_audio_format* format, telvor_channel** channel) {
  telvor_result result = CheckCommon(camera, flags, format, channel);
  if (result != TELVOR_OK) return result;
  const std::uint32_t bits = format->bits_per_sample;
  if (format->channels == 0 || format->channels > 32 || (bits != 8 && bits != 16 && bits != 24 && bits != 32) ||
      format->samples_per_second == 0 || format->samples_per_second > 1000000) {
    return Fail(TELVOR_E_INVALIDARG, "unsupported audio format: %lu channels, %lu bits, %lu samples per second",
                static_cast<unsigned long>(format->channels), static_cast<unsigned long>(bits),
                static_cast<unsigned long>(format->samples_per_second));
  }
  const std::uint32_t frame = format->channels * bits / 8;
  const std::uint32_t capacity = format->capacity != 0 ? format->capacity : format->samples_per_second / 10 * frame;
  if (capacity % frame != 0) {
    return Fail(TELVOR_E_INVALIDARG, "capacity %lu is not a multiple of the %lu-byte sample frame",
                static_cast<unsigned long>(capacity), static_cast<unsigned long>(frame));
  }
  result = CheckRingSize(kAudioRing, capacity);
  if (result != TELVOR_OK) return result;
  // Sound must not skip: every audio slot stays live.
  return Open(kAudioRing, camera, flags, capacity, capacity, kAudioRing.slots, &WriteAudioHeader, format, channel);
}

telvor_result Watchers(int camera, uint32_t flags, telvor_watcher* watchers, uint32_t capacity, uint32_t* count) {
  if (camera < 0 || camera > 63 || (flags & ~TELVOR_GLOBAL_NAMES) != 0 || !count || (capacity != 0 && !watchers)) {
    return Fail(TELVOR_E_INVALIDARG, "bad camera %d, flags 0x%x or null pointer", camera, static_cast<unsigned>(flags));
  }
  telvor::Watcher found[telvor::kWatchEntries];
  const std::uint32_t total = telvor::ReadWatchers(camera, (flags & TELVOR_GLOBAL_NAMES) != 0, found);
  std::uint32_t running = 0;
  for (std::uint32_t i = 0; i < total; ++i) {
    const telvor::Watcher& w = found[i];
    if (!w.Running()) continue;
    if (running < capacity) {
      telvor_watcher& out = watchers[running];
      out = {};
      out.kind = static_cast<uint32_t>(w.kind);
      out.process_id = w.process_id;
      std::memcpy(out.executable, w.executable, sizeof out.executable);
      std::memcpy(out.format, w.format, sizeof out.format);
      out.width = w.width;
      out.height = w.height;
      out.rate = w.kind == telvor::WatchKind::kVideo ? w.rate_milli / 1000.0 : w.rate_milli;
      out.samples = w.samples;
      out.age = w.age;
    }
    ++running;
  }
  *count = running;
  return TELVOR_OK;
}

}  // namespace

extern "C" {

telvor_result TELVOR_CALL telvor_open_video(int camera, uint32_t flags, const telvor_video_format* format,
                                            telvor_channel** channel) {
  return Guarded([&] { return OpenVideo(camera, flags, format, channel); });
}

telvor_result TELVOR_CALL telvor_open_audio(int camera, uint32_t flags, const telvor_audio_format* format,
                                            telvor_channel** channel) {
  return Guarded([&] { return OpenAudio(camera, flags, format, channel); });
}

telvor_result TELVOR_CALL telvor_write(telvor_channel* channel, const void* data, uint32_t length,
                                       uint64_t timestamp) {
  if (!channel) return Fail(TELVOR_E_INVALIDARG, "channel must not be null");
  if (length > channel->capacity) {
    return Fail(TELVOR_E_INVALIDARG, "%lu bytes exceed the %ls slot capacity of %lu bytes",
                static_cast<unsigned long>(length), channel->kind, static_cast<unsigned long>(channel->capacity));
  }
  if (length != 0 && !data) return Fail(TELVOR_E_INVALIDARG, "data must not be null");
  const telvor_result locked = Lock(*channel);
  if (locked != TELVOR_OK) return locked;
  std::uint8_t* slot = Slot(*channel, channel->next_slot);
  if (length != 0) std::memcpy(slot + kSlotHeaderSize, data, length);
  WriteAt(slot, offsetof(SlotHeader, payload_length), length);
  WriteAt(slot, channel->timestamp_offset, timestamp == TELVOR_TIMESTAMP_NOW ? telvor_clock_now() : timestamp);
  // Last, so that a producer dying mid-copy leaves an old number on a torn slot.
  const std::uint64_t sequence = channel->last_sequence + 1;
  WriteAt(slot, channel->sequence_offset, sequence);
  // Cameras that have this item wait on the other event: closed from now on.
  if (channel->written[(sequence + 1) % 2]) ResetEvent(channel->written[(sequence + 1) % 2].Get());
  ReleaseMutex(channel->mutex.Get());
  if (channel->written[sequence % 2]) SetEvent(channel->written[sequence % 2].Get());
  channel->last_sequence = sequence;
  channel->next_slot = (channel->next_slot + 1) % channel->live_slots;
  return TELVOR_OK;
}

uint64_t TELVOR_CALL telvor_last_sequence(const telvor_channel* channel) {
  return channel ? channel->last_sequence : 0;
}

uint32_t TELVOR_CALL telvor_capacity(const telvor_channel* channel) { return channel ? channel->capacity : 0; }

void TELVOR_CALL telvor_close(telvor_channel* channel) { delete channel; }

uint64_t TELVOR_CALL telvor_clock_now(void) {
  static const std::uint64_t frequency = [] {
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    return static_cast<std::uint64_t>(value.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  const std::uint64_t ticks = static_cast<std::uint64_t>(counter.QuadPart);
  // Split so that ticks x 10^7 cannot overflow for a long uptime.
  return ticks / frequency * 10000000ull + ticks % frequency * 10000000ull / frequency;
}

telvor_result TELVOR_CALL telvor_watchers(int camera, uint32_t flags, telvor_watcher* watchers, uint32_t capacity,
                                          uint32_t* count) {
  return Guarded([&] { return Watchers(camera, flags, watchers, capacity, count); });
}

const char* TELVOR_CALL telvor_last_error_message(void) { return g_last_error; }

uint32_t TELVOR_CALL telvor_version(void) { return TELVOR_PRODUCER_VERSION; }

}  // extern "C"
