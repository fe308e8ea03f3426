// A ring the test writes itself, standing in for a producer so that each
// case can set up exactly the slot contents it is about.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <string>

#include "base/Handle.h"
#include "transport/SharedChannel.h"
#include "transport/SlotHeader.h"

namespace telvor::test {

struct RingNames {
  const wchar_t* mapping;
  const wchar_t* mutex;
};
inline constexpr RingNames kVideoNames = {L"KAVO.VCAM.V.SHARE.MEMORY.%02d", L"KAVO.VCAM.V.MUTEX.%02d"};
inline constexpr RingNames kAudioNames = {L"KAVO.VCAM.A.SHARE.MEMORY.%02d", L"KAVO.VCAM.A.MUTEX.%02d"};

// Security attributes from SDDL text; null text: the default security.
class Security {
 public:
  explicit Security(const wchar_t* sddl) {
    if (sddl) ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor_.Put(), nullptr);
    attributes_.lpSecurityDescriptor = descriptor_.Get();
  }
  SECURITY_ATTRIBUTES* Get() { return descriptor_.Get() ? &attributes_ : nullptr; }

 private:
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor_;
  SECURITY_ATTRIBUTES attributes_ = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

class FakeRing {
 public:
  FakeRing(const RingNames& names, int camera, std::size_t section_bytes, const wchar_t* mapping_sddl = nullptr,
           const wchar_t* mutex_sddl = nullptr)
      : bytes_(section_bytes) {
    mapping_.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, Security(mapping_sddl).Get(), PAGE_READWRITE, 0,
                                      static_cast<DWORD>(section_bytes),
                                      ChannelObjectName(names.mapping, camera, false).c_str()));
    mutex_.Reset(CreateMutexW(Security(mutex_sddl).Get(), FALSE, ChannelObjectName(names.mutex, camera, false).c_str()));
    view_.Reset(MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  }
  bool Ok() const { return mapping_ && mutex_ && view_; }

  // Slot i of a ring whose slots hold `capacity` payload bytes.
  SlotHeader* Header(std::uint32_t capacity, std::uint32_t slot) {
    return reinterpret_cast<SlotHeader*>(Base() + std::size_t{slot} * (capacity + kSlotHeaderSize));
  }
  std::uint8_t* Base() { return static_cast<std::uint8_t*>(view_.Get()); }
  void Lock() { WaitForSingleObject(mutex_.Get(), INFINITE); }
  void Unlock() { ReleaseMutex(mutex_.Get()); }
  std::size_t Bytes() const { return bytes_; }

 private:
  std::size_t bytes_;
  UniqueHandle mapping_;
  UniqueHandle mutex_;
  MappedView view_;
};

}  // namespace telvor::test
