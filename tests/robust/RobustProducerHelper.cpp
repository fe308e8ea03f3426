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
#include <string>

#include "HostileRing.h"

namespace {

using telvor::test::HostileRing;
constexpr std::uint32_t kCapacity = 64 * 48 * 2;
constexpr std::uint32_t kSlots = telvor::kVideoSlotCount;

// Goes on from the newest frame an earlier producer left in the ring.
struct Writer {
  HostileRing& ring;
  std::uint64_t sequence = 0;
  std::uint32_t next_slot = 0;

  explicit Writer(HostileRing& r) : ring(r) {
    // An abandoned mutex (an earlier producer died with it) is ours all the same.
    ring.Lock();
    for (std::uint32_t i = 0; i < kSlots; ++i) {
      if (ring.Header(kCapacity, i)->video_sequence >= sequence) {
        sequence = ring.Header(kCapacity, i)->video_sequence;
        next_slot = (i + 1) % kSlots;
      }
    }
    ring.Unlock();
    ring.SetFormat(telvor::kFourCcYuy2, 64, 48, 50.0, kCapacity);
  }
  void Write(std::uint8_t value) {
    ++sequence;
    ring.WriteSlot(next_slot, kCapacity, sequence, sequence * 200000, kCapacity, value, kCapacity);
    next_slot = (next_slot + 1) % kSlots;
  }
};

void Signal(int camera) {
  wchar_t name[64];
  std::swprintf(name, 64, L"TELVOR.ROBUST.SIGNAL.%02d", camera);
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
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
  HostileRing ring(camera, kSlots * (kCapacity + telvor::kSlotHeaderSize));
  if (!ring.Ok()) {
    std::fprintf(stderr, "cannot open the ring: %lu\n", GetLastError());
    return 1;
  }
  Writer writer(ring);
  if (mode == "hold") {
    for (int i = 0; i < 5; ++i) {
      writer.Write(value);
      Sleep(10);
    }
    ring.Lock();
    Signal(camera);
    Sleep(INFINITE);
  }
  const DWORD stall_ms = mode == "stall" && argc > 4 ? static_cast<DWORD>(std::atoi(argv[4])) : 0;
  for (int i = 0;; ++i) {
    writer.Write(value);
    Sleep(10);
    if (stall_ms && i == 5) {
      ring.Lock();
      Signal(camera);
      Sleep(stall_ms);
      ring.Unlock();
    }
  }
}
