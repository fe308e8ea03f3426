#include <gtest/gtest.h>
#include <windows.h>

#include <malloc.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "base/AccessGuard.h"
#include "base/Handle.h"
#include "support/GuardedBuffer.h"

namespace telvor {
namespace {

// A fault cuts the body short and reports failure, to the innermost guard
// only; many faults on two threads leave C++ exceptions working, and no
// handler behind.
TEST(AccessGuard, AFaultCutsTheInnermostBodyShortAndNoHandlerStaysBehind) {
  GuardedBuffer none(0);  // no bytes: its data pointer is the page that faults
  volatile unsigned char* page = none.data();
  int value = 0;
  auto faults = [&] {
    value = 1;
    value += page[0];
    value = 99;
  };
  bool innerResult = true;
  auto outer = [&] { innerResult = RunGuarded(faults); };
  EXPECT_TRUE(RunGuarded(outer));  // the outer body completes
  EXPECT_FALSE(innerResult);
  EXPECT_EQ(value, 1);

  std::atomic<int> caught{0};
  auto worker = [&] {
    for (int i = 0; i < 500; ++i) {
      auto body = [&] { (void)page[i]; };
      if (!RunGuarded(body)) ++caught;
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(caught.load(), 1000);
  EXPECT_THROW(throw std::runtime_error("still works"), std::runtime_error);

  // A host that frees the module must not find our handler in its exception
  // dispatch, so nothing stays installed once no use is held. Installed with
  // no guard active, it passes a fault on to the code's own handler
  // (IsBadReadPtr catches its probe fault itself).
  EXPECT_FALSE(AccessGuardInstalled());
  {
    AccessGuardUse use;
    EXPECT_TRUE(AccessGuardInstalled());
    EXPECT_EQ(IsBadReadPtr(none.data(), 1), TRUE);
  }
  EXPECT_FALSE(AccessGuardInstalled());
}

// Passes a raised access violation on as handled, as a host's own handler
// (a JIT, a crash reporter) would.
LONG CALLBACK HostHandler(EXCEPTION_POINTERS* info) {
  return info->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ? EXCEPTION_CONTINUE_EXECUTION
                                                                            : EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI RaiseWhenSet(void* event) {
  WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
  RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
  return 0;
}

TEST(AccessGuard, AFaultOnAnUnguardedThreadNeedsNoHeapLock) {
  // Our handler sees every fault of the host, also on threads that never ran
  // guarded code, and possibly while the C runtime's heap is locked: it must
  // not allocate. The heap is locked here by another thread instead.
  AccessGuardUse use;
  void* host = AddVectoredExceptionHandler(0, HostHandler);
  ASSERT_NE(host, nullptr);
  UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle thread(CreateThread(nullptr, 0, RaiseWhenSet, go.Get(), 0, nullptr));
  ASSERT_TRUE(thread);
  HANDLE heap = reinterpret_cast<HANDLE>(_get_heap_handle());
  ASSERT_TRUE(HeapLock(heap));
  SetEvent(go.Get());
  const DWORD waited = WaitForSingleObject(thread.Get(), 5000);
  HeapUnlock(heap);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the fault waited for the locked heap";
  WaitForSingleObject(thread.Get(), INFINITE);
  RemoveVectoredExceptionHandler(host);
}

}  // namespace
}  // namespace telvor
