// A buffer whose last byte sits just before an inaccessible page, so that a
// read or write one byte past the end faults instead of passing unnoticed.
// (The sanitizers cannot see overruns inside a larger heap block; a page can.)
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

class GuardedBuffer {
 public:
  // 4096 bytes: the page of both systems on the processors we build for.
  explicit GuardedBuffer(std::size_t bytes) : mapped_((bytes + 2 * kPage - 1) / kPage * kPage) {
    const std::size_t dataBytes = mapped_ - kPage;
#ifdef _WIN32
    base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, mapped_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    if (base_) VirtualProtect(base_ + dataBytes, kPage, PAGE_NOACCESS, &old);
#else
    void* p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
    if (base_) mprotect(base_ + dataBytes, kPage, PROT_NONE);
#endif
    data_ = base_ ? base_ + dataBytes - bytes : nullptr;
  }
  ~GuardedBuffer() {
#ifdef _WIN32
    if (base_) VirtualFree(base_, 0, MEM_RELEASE);
#else
    if (base_) munmap(base_, mapped_);
#endif
  }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  std::uint8_t* data() { return data_; }

 private:
  static constexpr std::size_t kPage = 4096;
  std::size_t mapped_;
  std::uint8_t* base_ = nullptr;
  std::uint8_t* data_ = nullptr;
};
