// A producer in a process of its own that writes the ring itself, for the
// tests where a producer dies or stalls:
//   feed <camera> <value>             frames filled with <value> every 10 ms, forever
//   hold <camera> <value>             five frames, then take the mutex, signal, keep it
//   stall <camera> <value> <ms>       frames; then keep the mutex <ms>, signal, go on feeding
// It opens the ring a camera may still hold from an earlier producer and
// numbers its frames above whatever that ring holds. The test ends it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "transport/SlotHeader.h"

namespace {

constexpr std::uint32_t kWidth = 64;
constexpr std::uint32_t kHeight = 48;
constexpr std::uint32_t kCapacity = kWidth * kHeight * 2;

std::wstring Name(const wchar_t* stem, int camera) {
  wchar_t text[96];
  std::swprintf(text, 96, L"%ls%02d", stem, camera);
  return text;
}

struct Ring {
  HANDLE mapping = nullptr;
  HANDLE mutex = nullptr;
  std::uint8_t* view = nullptr;
  std::uint64_t sequence = 0;
  std::uint32_t next_slot = 0;

  bool Open(int camera) {
    const DWORD bytes = telvor::kVideoSlotCount * (kCapacity + telvor::kSlotHeaderSize);
    mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, bytes,
                                 Name(L"KAVO.VCAM.V.SHARE.MEMORY.", camera).c_str());
    mutex = CreateMutexW(nullptr, FALSE, Name(L"KAVO.VCAM.V.MUTEX.", camera).c_str());
    if (!mapping || !mutex) return false;
    view = static_cast<std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view) return false;
    Lock();
    telvor::SlotHeader header;
    for (std::uint32_t i = 0; i < telvor::kVideoSlotCount; ++i) {
      std::memcpy(&header, Slot(i), sizeof(header));
      if (header.video_sequence >= sequence) {
        sequence = header.video_sequence;
        next_slot = (i + 1) % telvor::kVideoSlotCount;
      }
    }
    std::memcpy(&header, view, sizeof(header));
    header.video_fourcc = telvor::kFourCcYuy2;
    header.video_width = kWidth;
    header.video_height = kHeight;
    header.video_frame_rate = 50.0;
    header.video_capacity = kCapacity;
    std::memcpy(view, &header, sizeof(header));
    ReleaseMutex(mutex);
    return true;
  }
  std::uint8_t* Slot(std::uint32_t i) { return view + i * (kCapacity + telvor::kSlotHeaderSize); }
  // An abandoned mutex (an earlier producer died with it) is ours all the same.
  void Lock() { WaitForSingleObject(mutex, INFINITE); }
  void Write(std::uint8_t value) {
    Lock();
    std::uint8_t* slot = Slot(next_slot);
    next_slot = (next_slot + 1) % telvor::kVideoSlotCount;
    std::memset(slot + telvor::kSlotHeaderSize, value, kCapacity);
    telvor::SlotHeader header;
    std::memcpy(&header, slot, sizeof(header));
    ++sequence;
    header.video_timestamp = sequence * 200000;
    header.payload_length = kCapacity;
    header.video_sequence = sequence;
    std::memcpy(slot, &header, sizeof(header));
    ReleaseMutex(mutex);
  }
};

void Signal(int camera) {
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, Name(L"TELVOR.ROBUST.SIGNAL.", camera).c_str());
  if (event) {
    SetEvent(event);
    CloseHandle(event);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string mode = argv[1];
  const int camera = std::atoi(argv[2]);
  const auto value = static_cast<std::uint8_t>(std::atoi(argv[3]));
  Ring ring;
  if (!ring.Open(camera)) {
    std::fprintf(stderr, "cannot open the ring: %lu\n", GetLastError());
    return 1;
  }
  if (mode == "hold") {
    for (int i = 0; i < 5; ++i) {
      ring.Write(value);
      Sleep(10);
    }
    ring.Lock();
    Signal(camera);
    Sleep(INFINITE);
  }
  const DWORD stall_ms = mode == "stall" && argc > 4 ? static_cast<DWORD>(std::atoi(argv[4])) : 0;
  for (int i = 0;; ++i) {
    ring.Write(value);
    Sleep(10);
    if (stall_ms && i == 5) {
      ring.Lock();
      Signal(camera);
      Sleep(stall_ms);
      ReleaseMutex(ring.mutex);
    }
  }
}
