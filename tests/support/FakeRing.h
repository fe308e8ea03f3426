// A ring the test writes itself, standing in for a producer so that each
// case can set up exactly the slot contents it is about, rules of the ring
// broken included.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "base/Handle.h"
#include "support/WinTestSupport.h"
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
    return reinterpret_cast<SlotHeader*>(static_cast<std::uint8_t*>(view_.Get()) + RingBytes(slot, capacity));
  }
  void Lock() { WaitForSingleObject(mutex_.Get(), INFINITE); }
  void Unlock() { ReleaseMutex(mutex_.Get()); }

  // Slot 0's video format, under the mutex (also a producer changing it
  // mid-stream); the capacity field is what slot addressing uses.
  void SetVideoFormat(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height, double fps,
                      std::uint32_t capacity) {
    Lock();
    SlotHeader* header = Header(0, 0);
    header->video_fourcc = fourcc;
    header->video_width = width;
    header->video_height = height;
    header->video_frame_rate = fps;
    header->video_capacity = capacity;
    Unlock();
  }
  // Writes one video slot under the mutex, the sequence last as a careful
  // producer would. The stride is `stride_capacity` + 84 (normally the
  // announced capacity); payload bytes are clipped to what the section holds.
  void WriteSlot(std::uint32_t slot, std::uint32_t stride_capacity, std::uint64_t sequence, std::uint64_t timestamp,
                 std::uint32_t length, std::uint8_t value, std::uint32_t fill_bytes) {
    const std::uint64_t start = RingBytes(slot, stride_capacity);
    if (start + kSlotHeaderSize > bytes_) return;
    const std::uint64_t room = bytes_ - start - kSlotHeaderSize;
    Lock();
    SlotHeader* header = Header(stride_capacity, slot);
    std::memset(header + 1, value, static_cast<std::size_t>(std::min<std::uint64_t>(fill_bytes, room)));
    header->video_timestamp = timestamp;
    header->payload_length = length;
    header->video_sequence = sequence;
    Unlock();
  }

 private:
  std::size_t bytes_;
  UniqueHandle mapping_;
  UniqueHandle mutex_;
  MappedView view_;
};

// The producer helper (ProducerHelper.cpp) feeding one camera from a process
// of its own, ended with this object.
class HelperProducer {
 public:
  HelperProducer(int camera, const std::wstring& arguments)
      : holding_(CreateEventW(nullptr, FALSE, FALSE,
                              ChannelObjectName(L"TELVOR.TEST.HOLDING.%02d", camera, false).c_str())),
        process_(L"\"" + BuildTreePath(L"tests/transport/telvor_transport_helper.exe") + L"\" " +
                 std::to_wstring(camera) + L" " + arguments) {}
  bool Started() const { return process_.Started(); }
  // True once the helper holds the video mutex.
  bool Holding(DWORD timeout_ms = 20000) const {
    return WaitForSingleObject(holding_.Get(), timeout_ms) == WAIT_OBJECT_0;
  }

 private:
  UniqueHandle holding_;
  BackgroundProcess process_;
};

}  // namespace telvor::test
