// Owning holders for kernel handles and locks: the one set every layer uses.
#pragma once

#include <windows.h>

#include <utility>

// Owns one kernel handle (event, thread, mutex, mapping). Both null and
// INVALID_HANDLE_VALUE count as "no handle", since Win32 uses either.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  UniqueHandle(UniqueHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.h_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  void Reset(HANDLE h = nullptr) {
    HANDLE old = std::exchange(h_, h);
    if (Valid(old)) CloseHandle(old);
  }
  HANDLE Release() { return std::exchange(h_, nullptr); }
  HANDLE Get() const { return h_; }
  explicit operator bool() const { return Valid(h_); }

 private:
  static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  HANDLE h_ = nullptr;
};

// A critical section; named after what it guards where it is declared.
class CCritSec {
 public:
  CCritSec() { InitializeCriticalSection(&section_); }
  // For a lock held a few instructions at a time by two busy threads: a
  // waiter spins this many rounds before it sleeps, sparing both a trip
  // through the kernel.
  explicit CCritSec(DWORD spinCount) { InitializeCriticalSectionAndSpinCount(&section_, spinCount); }
  ~CCritSec() { DeleteCriticalSection(&section_); }
  CCritSec(const CCritSec&) = delete;
  CCritSec& operator=(const CCritSec&) = delete;

  void Lock() { EnterCriticalSection(&section_); }
  bool TryLock() { return TryEnterCriticalSection(&section_) != FALSE; }
  void Unlock() { LeaveCriticalSection(&section_); }

 private:
  CRITICAL_SECTION section_;
};

namespace telvor {

// Holds a slim reader/writer lock shared for one scope.
class SharedLockHold {
 public:
  explicit SharedLockHold(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockShared(lock_); }
  ~SharedLockHold() { ReleaseSRWLockShared(lock_); }
  SharedLockHold(const SharedLockHold&) = delete;
  SharedLockHold& operator=(const SharedLockHold&) = delete;

 private:
  SRWLOCK* lock_;
};

}  // namespace telvor

// Holds a CCritSec for one scope.
class CAutoLock {
 public:
  explicit CAutoLock(CCritSec* lock) : lock_(lock) { lock_->Lock(); }
  ~CAutoLock() { lock_->Unlock(); }
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;

 private:
  CCritSec* lock_;
};

namespace telvor {

// Owns one pointer the system handed out and gives it back with Free: a
// mapped view, memory the security functions allocated for their caller, an
// open registry key.
template <typename T, auto Free>
class SystemPointer {
 public:
  SystemPointer() = default;
  ~SystemPointer() { Reset(); }
  SystemPointer(const SystemPointer&) = delete;
  SystemPointer& operator=(const SystemPointer&) = delete;

  T Get() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  // For an output argument; frees what was held first.
  T* Put() {
    Reset();
    return &pointer_;
  }
  void Reset(T pointer = nullptr) {
    if (pointer_) Free(pointer_);
    pointer_ = pointer;
  }

 private:
  T pointer_ = nullptr;
};

using MappedView = SystemPointer<void*, UnmapViewOfFile>;
// T is the pointer type LocalAlloc's memory is handed out as.
template <typename T>
using LocalMemory = SystemPointer<T, LocalFree>;
using RegistryKey = SystemPointer<HKEY, RegCloseKey>;

}  // namespace telvor
