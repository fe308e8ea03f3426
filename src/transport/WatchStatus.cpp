#include "transport/WatchStatus.h"

#include <cstring>

#include "base/CommittedMemory.h"
#include "base/Log.h"
#include "base/ModuleFileName.h"
#include "transport/ObjectSecurity.h"
#include "transport/SharedChannel.h"

namespace telvor {
namespace {

constexpr int kCopyAttempts = 4;

// A process id read from the section is only ever asked about, never trusted.
bool ProcessAlive(std::uint32_t pid) {
  UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;  // there, but another user's
  return WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

void HostFileName(std::uint16_t* out) {
  const std::wstring path = ModuleFileName(nullptr);
  const wchar_t* name = path.c_str();
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == L'\\' || path[i] == L'/') name = path.c_str() + i + 1;
  }
  std::uint32_t n = 0;
  for (; n + 1 < kWatchExeChars && name[n]; ++n) out[n] = static_cast<std::uint16_t>(name[n]);
  out[n] = 0;
}

// Copies entry `index` out while no writer changes its description.
bool CopyEntry(const WatchBlock* block, std::uint32_t index, WatchEntry& copy) {
  const WatchEntry* entry = &block->entries[index];
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    const LONG before = entry->generation;
    MemoryBarrier();
    std::memcpy(&copy, const_cast<const WatchEntry*>(entry), sizeof copy);
    MemoryBarrier();
    if ((before & 1) == 0 && entry->generation == before) return true;
    Sleep(0);
  }
  return false;
}

}  // namespace

std::uint64_t WatchClockNow() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  const std::uint64_t ticks = static_cast<std::uint64_t>(counter.QuadPart);
  const std::uint64_t hz = static_cast<std::uint64_t>(frequency.QuadPart);
  return hz == 0 ? 0 : ticks / hz * 10000000ull + ticks % hz * 10000000ull / hz;
}

UniqueHandle OpenWatchSection(int camera, bool global, bool create, bool* refused) {
  if (refused) *refused = false;
  ProcessUser user;
  ObjectSecurity security;
  if (!user.Load() || !security.Build(user, SECTION_ALL_ACCESS, 0)) return UniqueHandle();
  const std::wstring name = ChannelObjectName(kWatchStatusName, camera, global);
  constexpr DWORD kAccess = SECTION_QUERY | SECTION_MAP_READ | SECTION_MAP_WRITE | READ_CONTROL;
  UniqueHandle section(create ? CreateFileMappingW(INVALID_HANDLE_VALUE, security.Get(), PAGE_READWRITE, 0,
                                                   sizeof(WatchBlock), name.c_str())
                              : OpenFileMappingW(kAccess, FALSE, name.c_str()));
  const DWORD error = GetLastError();
  if (!section) {
    // Denied: the name is taken by an object this user may not open.
    if (refused) *refused = error == ERROR_ACCESS_DENIED;
    return section;
  }
  if ((create && error != ERROR_ALREADY_EXISTS) || MadeByUser(section.Get(), user.Sid(), 0)) return section;
  if (refused) *refused = true;
  return UniqueHandle();
}

void WatchPublisher::Start(int camera, const WatchFormat& format) {
  if (places_[0].mapping || places_[1].mapping) Stop();
  camera_ = camera;
  format_ = format;
  delivered_ = 0;
  const std::uint64_t now = WatchClockNow();
  next_look_ = now + kWatchLookTicks;
  // The session's section is the cameras' own; a Global\ one exists only
  // when a producer with global names made it (creating one needs a right
  // that capture applications seldom have).
  for (int global = 0; global < 2; ++global) {
    places_[global].refusal_logged = false;
    Publish(places_[global], global != 0);
  }
}

void WatchPublisher::Publish(Place& place, bool global) {
  bool refused = false;
  place.mapping = OpenWatchSection(camera_, global, !global, &refused);
  if (refused && !place.refusal_logged) {
    place.refusal_logged = true;
    TELVOR_ERROR_AT(L"WatchStatus", L"WatchPublisher::Publish")
        << L"camera " << camera_ << L": " << ChannelObjectName(kWatchStatusName, camera_, global)
        << L" was made by another program or user; this stream is not published there";
  }
  if (!place.mapping) return;
  // A section someone made smaller than the table cannot be mapped at
  // the table's size: that camera then publishes nothing.
  place.view.Reset(MapViewOfFile(place.mapping.Get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(WatchBlock)));
  // Pages someone reserved but never committed fault at the first touch.
  if (!place.view || CommittedBytes(place.view.Get()) < sizeof(WatchBlock) || !Claim(place, WatchClockNow())) {
    place.view.Reset();
    place.mapping.Reset();
  }
}

namespace {

// Whether a new stream may take `entry` when no entry is free: its host has
// gone, or it has not delivered for a while (a paused or stalled graph, or
// a number someone wrote there). Its owner, if alive, claims another at its
// next look.
bool Abandoned(const WatchEntry& entry, LONG self, std::uint64_t now) {
  const LONG owner = entry.owner;
  if (owner == 0) return false;
  const auto last = static_cast<std::uint64_t>(entry.last_delivery);
  if (last == 0 || last + kWatchFreshTicks < now || last > now + kWatchFreshTicks) return true;
  return owner != self && !ProcessAlive(static_cast<std::uint32_t>(owner));
}

}  // namespace

bool WatchPublisher::Claim(Place& place, std::uint64_t now) {
  auto* block = static_cast<WatchBlock*>(place.view.Get());
  const LONG self = static_cast<LONG>(GetCurrentProcessId());
  WatchEntry* claimed = nullptr;
  for (std::uint32_t i = 0; i < kWatchEntries && !claimed; ++i) {
    if (InterlockedCompareExchange(&block->entries[i].owner, self, 0) == 0) claimed = &block->entries[i];
  }
  for (std::uint32_t i = 0; i < kWatchEntries && !claimed; ++i) {
    WatchEntry& entry = block->entries[i];
    const LONG owner = entry.owner;
    if (Abandoned(entry, self, now) && InterlockedCompareExchange(&entry.owner, self, owner) == owner) {
      claimed = &entry;
    }
  }
  if (!claimed) return false;
  block->magic = kWatchStatusMagic;
  block->version = kWatchStatusVersion;
  block->entry_count = kWatchEntries;
  block->entry_size = sizeof(WatchEntry);
  InterlockedIncrement(&claimed->generation);
  if ((claimed->generation & 1) == 0) InterlockedIncrement(&claimed->generation);
  claimed->kind = static_cast<std::uint32_t>(format_.kind);
  claimed->width = format_.width;
  claimed->height = format_.height;
  claimed->rate_milli = format_.rate_milli;
  std::memcpy(claimed->format, format_.format, sizeof claimed->format);
  claimed->format[sizeof claimed->format - 1] = '\0';
  HostFileName(claimed->exe);
  InterlockedExchange64(&claimed->samples, delivered_);
  InterlockedExchange64(&claimed->last_delivery, delivered_ ? static_cast<LONG64>(now) : 0);
  place.generation = InterlockedIncrement(&claimed->generation);
  place.entry = claimed;
  return true;
}

bool WatchPublisher::StillOurs(const Place& place) const {
  return place.entry->owner == static_cast<LONG>(GetCurrentProcessId()) &&
         place.entry->generation == place.generation;
}

void WatchPublisher::Look(std::uint64_t now) {
  next_look_ = now + kWatchLookTicks;
  for (int global = 0; global < 2; ++global) {
    Place& place = places_[global];
    if (!place.view) {
      Publish(place, global != 0);
    } else if (!StillOurs(place)) {
      place.entry = nullptr;
      if (!Claim(place, now)) Release(place);
    }
  }
}

void WatchPublisher::Release(Place& place) {
  if (place.entry && StillOurs(place)) {
    InterlockedCompareExchange(&place.entry->owner, 0, static_cast<LONG>(GetCurrentProcessId()));
  }
  place.entry = nullptr;
  place.view.Reset();
  place.mapping.Reset();
}

void WatchPublisher::Stop() {
  for (Place& place : places_) Release(place);
}

std::uint32_t ReadWatchBlock(const void* view, std::size_t bytes, std::uint64_t now, Watcher* out) {
  if (!view || bytes < sizeof(WatchBlock)) return 0;
  const auto* block = static_cast<const WatchBlock*>(view);
  if (block->magic != kWatchStatusMagic || block->version != kWatchStatusVersion) return 0;
  std::uint32_t found = 0;
  for (std::uint32_t i = 0; i < kWatchEntries; ++i) {
    WatchEntry entry;
    if (!CopyEntry(block, i, entry) || entry.owner == 0) continue;
    if (entry.kind != static_cast<std::uint32_t>(WatchKind::kVideo) &&
        entry.kind != static_cast<std::uint32_t>(WatchKind::kAudio)) {
      continue;
    }
    Watcher& watcher = out[found++];
    watcher = {};
    watcher.kind = static_cast<WatchKind>(entry.kind);
    watcher.process_id = static_cast<std::uint32_t>(entry.owner);
    std::memcpy(watcher.format, entry.format, sizeof watcher.format);
    watcher.format[sizeof watcher.format - 1] = '\0';
    wchar_t exe[kWatchExeChars];
    for (std::uint32_t c = 0; c < kWatchExeChars; ++c) exe[c] = static_cast<wchar_t>(entry.exe[c]);
    exe[kWatchExeChars - 1] = L'\0';
    if (WideCharToMultiByte(CP_UTF8, 0, exe, -1, watcher.executable, kWatchExeChars, nullptr, nullptr) == 0) {
      watcher.executable[0] = '\0';
    }
    watcher.width = entry.width;
    watcher.height = entry.height;
    watcher.rate_milli = entry.rate_milli;
    watcher.samples = static_cast<std::uint64_t>(entry.samples);
    const auto last = static_cast<std::uint64_t>(entry.last_delivery);
    // Another host may deliver between `now` and this copy.
    // Another host may deliver between `now` and this copy; a time further
    // ahead than that was never a delivery.
    watcher.age = last == 0 || last > now + kWatchFreshTicks ? UINT64_MAX : last > now ? 0 : now - last;
    watcher.host_alive = ProcessAlive(watcher.process_id);
  }
  return found;
}

std::uint32_t ReadWatchers(int camera, bool global, Watcher* out) {
  const UniqueHandle mapping = OpenWatchSection(camera, global, false);
  if (!mapping) return 0;
  MappedView view;
  view.Reset(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
  if (!view) return 0;
  return ReadWatchBlock(view.Get(), CommittedBytes(view.Get()), WatchClockNow(), out);
}

}  // namespace telvor
