// Owning holders for the kernel handles and the mapped view of a channel, so
// that every exit path of Create and Close releases exactly what was obtained,
// and for what the security functions allocate for their caller.
#pragma once

#include <windows.h>

#include <utility>

#include "base/Handle.h"

namespace telvor::transport {

// The project's one owner of a kernel handle.
using Handle = ::UniqueHandle;

class MappedView {
 public:
  MappedView() = default;
  ~MappedView() { Reset(); }
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;

  void* Get() const { return view_; }
  explicit operator bool() const { return view_ != nullptr; }
  void Reset(void* view = nullptr) {
    if (view_) UnmapViewOfFile(view_);
    view_ = view;
  }

 private:
  void* view_ = nullptr;
};

// Memory the system allocated with LocalAlloc on our behalf (security
// descriptors, SID texts), freed with LocalFree. T is the pointer type.
template <typename T>
class LocalMemory {
 public:
  LocalMemory() = default;
  ~LocalMemory() { Reset(); }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;

  T Get() const { return memory_; }
  // For an output argument; frees what was held first.
  T* Put() {
    Reset();
    return &memory_;
  }
  void Reset() {
    if (memory_) LocalFree(memory_);
    memory_ = nullptr;
  }

 private:
  T memory_ = nullptr;
};

}  // namespace telvor::transport
