#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "framework/AccessGuard.h"

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

TEST(AccessGuard, AFaultCutsTheBodyShortAndReportsFailure) {
  int value = 0;
  auto completes = [&] { value = 42; };
  EXPECT_TRUE(RunGuarded(completes));
  EXPECT_EQ(value, 42);

  NoAccessPage page;
  unsigned char out[64] = {};
  auto body = [&] {
    value = 1;
    for (int i = 0; i < 64; ++i) out[i] = static_cast<unsigned char>(page.get()[i] + 1);
    value = 99;
  };
  EXPECT_FALSE(RunGuarded(body));
  EXPECT_EQ(value, 1);
  EXPECT_EQ(out[0], 0);
}

TEST(AccessGuard, NestedGuardsReturnToTheInnermost) {
  NoAccessPage page;
  bool inner_result = true;
  auto inner = [&] { (void)page.get()[0]; };
  auto outer = [&] { inner_result = RunGuarded(inner); };
  EXPECT_TRUE(RunGuarded(outer));
  EXPECT_FALSE(inner_result);
}

TEST(AccessGuard, ManyFaultsOnTwoThreadsLeaveExceptionsWorking) {
  NoAccessPage page;
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

TEST(AccessGuard, FaultOutsideAnyGuardReachesOtherHandlers) {
  // With the handler installed but no guard active, a fault must go on to the
  // code's own handler (IsBadReadPtr catches its probe fault itself).
  NoAccessPage page;
  auto body = [] {};
  ASSERT_TRUE(RunGuarded(body));
  EXPECT_EQ(IsBadReadPtr(const_cast<unsigned char*>(page.get()), 1), TRUE);
}

}  // namespace
}  // namespace telvor
