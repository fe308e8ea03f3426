#include <gtest/gtest.h>
#include <windows.h>

#include <malloc.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "base/AccessGuard.h"

namespace telvor {
namespace {

// A page that faults on any access.
class NoAccessPage {
 public:
  NoAccessPage() : page_(static_cast<volatile unsigned char*>(
                       VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS))) {}
  ~NoAccessPage() { VirtualFree(const_cast<unsigned char*>(page_), 0, MEM_RELEASE); }
  volatile unsigned char* get() const { return page_; }

 private:
  volatile unsigned char* page_;
};

// A fault cuts the body short and reports failure, to the innermost guard
// only; many faults on two threads leave C++ exceptions working.
TEST(AccessGuard, AFaultCutsTheInnermostBodyShortAndReportsFailure) {
  NoAccessPage page;
  int value = 0;
  auto completes = [&] { value = 42; };
  EXPECT_TRUE(RunGuarded(completes));
  EXPECT_EQ(value, 42);
  auto faults = [&] {
    value = 1;
    value += page.get()[0];
    value = 99;
  };
  bool innerResult = true;
  auto outer = [&] { innerResult = RunGuarded(faults); };
  EXPECT_TRUE(RunGuarded(outer));
  EXPECT_FALSE(innerResult);
  EXPECT_EQ(value, 1);

  std::atomic<int> caught{0};
  auto worker = [&] {
    for (int i = 0; i < 500; ++i) {
      auto body = [&] { (void)page.get()[i]; };
      if (!RunGuarded(body)) ++caught;
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(caught.load(), 1000);
  EXPECT_THROW(throw std::runtime_error("still works"), std::runtime_error);
}

TEST(AccessGuard, TheHandlerIsInstalledOnlyWhileGuardedCodeMayRun) {
  // A host that frees the module must not find our handler in its exception
  // dispatch, so nothing may stay installed once no use is held.
  auto body = [] {};
  ASSERT_TRUE(RunGuarded(body));
  EXPECT_FALSE(AccessGuardInstalled());
  {
    AccessGuardUse use;
    EXPECT_TRUE(AccessGuardInstalled());
    // With the handler installed but no guard active, a fault must go on to
    // the code's own handler (IsBadReadPtr catches its probe fault itself).
    NoAccessPage page;
    EXPECT_EQ(IsBadReadPtr(const_cast<unsigned char*>(page.get()), 1), TRUE);
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
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, RaiseWhenSet, go, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  HANDLE heap = reinterpret_cast<HANDLE>(_get_heap_handle());
  ASSERT_TRUE(HeapLock(heap));
  SetEvent(go);
  const DWORD waited = WaitForSingleObject(thread, 5000);
  HeapUnlock(heap);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the fault waited for the locked heap";
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(go);
  RemoveVectoredExceptionHandler(host);
}

}  // namespace
}  // namespace telvor
