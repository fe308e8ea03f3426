// An audio producer inside the test process: creates a camera's audio ring
// and mutex the way a producer program does and writes packets into it. It
// can also write what a careless producer writes (a wrong length field).
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/Handle.h"

namespace telvor::test {

class AudioRing {
 public:
  static constexpr std::uint32_t kSlots = 16;
  static constexpr std::uint32_t kHeaderBytes = 84;

  AudioRing(int camera, std::uint32_t capacity, std::uint32_t channels = 2, std::uint32_t bits = 16,
            std::uint32_t rate = 48000)
      : capacity_(capacity) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(kSlots) * (capacity + kHeaderBytes);
    mapping_.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                      static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes),
                                      Name(L"KAVO.VCAM.A.SHARE.MEMORY.", camera).c_str()));
    mutex_.Reset(CreateMutexW(nullptr, FALSE, Name(L"KAVO.VCAM.A.MUTEX.", camera).c_str()));
    if (mapping_) view_ = static_cast<std::uint8_t*>(MapViewOfFile(mapping_.Get(), FILE_MAP_WRITE, 0, 0, 0));
    if (view_) {
      Put32(view_ + 0x2C, channels);
      Put32(view_ + 0x30, bits);
      Put32(view_ + 0x34, rate);
      Put32(view_ + 0x48, capacity);
    }
  }
  ~AudioRing() {
    if (view_) UnmapViewOfFile(view_);
  }
  AudioRing(const AudioRing&) = delete;
  AudioRing& operator=(const AudioRing&) = delete;

  bool Ok() const { return view_ && mutex_; }

  // Writes one packet; `claimedLength` is what the slot's length field says
  // (the real length unless a test wants it to lie).
  void Write(const std::vector<std::uint8_t>& payload) { Write(payload, static_cast<std::uint32_t>(payload.size())); }
  void Write(const std::vector<std::uint8_t>& payload, std::uint32_t claimedLength) {
    WaitForSingleObject(mutex_.Get(), INFINITE);
    ++sequence_;
    std::uint8_t* slot = view_ + ((sequence_ - 1) % kSlots) * (capacity_ + kHeaderBytes);
    std::memcpy(slot + kHeaderBytes, payload.data(), std::min<size_t>(payload.size(), capacity_));
    Put32(slot + 0x4C, claimedLength);
    Put64(slot + 0x40, sequence_ * 100000);
    Put64(slot + 0x38, sequence_);  // last: the reader looks at it first
    ReleaseMutex(mutex_.Get());
  }

  // Holding the mutex across writes keeps the camera's reader out, as a
  // producer that writes a burst under one hold does.
  void Lock() { WaitForSingleObject(mutex_.Get(), INFINITE); }
  void Unlock() { ReleaseMutex(mutex_.Get()); }

  // A packet whose every byte is `marker`.
  static std::vector<std::uint8_t> Packet(std::uint32_t length, std::uint8_t marker) {
    return std::vector<std::uint8_t>(length, marker);
  }

 private:
  static std::wstring Name(const wchar_t* stem, int camera) {
    return stem + std::wstring(camera < 10 ? L"0" : L"") + std::to_wstring(camera);
  }
  static void Put32(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, 4); }
  static void Put64(std::uint8_t* at, std::uint64_t value) { std::memcpy(at, &value, 8); }

  std::uint32_t capacity_;
  UniqueHandle mapping_;
  UniqueHandle mutex_;
  std::uint8_t* view_ = nullptr;
  std::uint64_t sequence_ = 0;
};

}  // namespace telvor::test
