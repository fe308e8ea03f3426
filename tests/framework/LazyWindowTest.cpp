#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "framework/LazyWindow.h"

// Tells the tests when a watched allocation is freed, so record ownership is
// checked rather than assumed.
namespace {
const void* g_watched = nullptr;
bool g_watchedFreed = false;
void NoteFree(void* p) {
  if (p && p == g_watched) g_watchedFreed = true;
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  NoteFree(p);
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  NoteFree(p);
  std::free(p);
}

namespace Tessel {
namespace {

struct Seen {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

LRESULT Recorder(HWND window, UINT message, WPARAM wParam, LPARAM lParam, void* context) {
  static_cast<std::vector<Seen>*>(context)->push_back({message, wParam, lParam});
  if (message == WM_APP + 1) return 42;
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT RefuseCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam, void*) {
  if (message == WM_NCCREATE) return FALSE;
  return DefWindowProcW(window, message, wParam, lParam);
}

bool ClassExists(const std::wstring& name) {
  WNDCLASSEXW info = {};
  info.cbSize = sizeof(info);
  return GetClassInfoExW(GetModuleHandleW(nullptr), name.c_str(), &info) != FALSE;
}

// Owns one Initialize for the test's duration.
struct Initialized {
  Initialized() { EXPECT_TRUE(LazyWindow::Initialize()); }
  ~Initialized() { LazyWindow::Uninitialize(); }
};

TEST(LazyWindow, ClassIsRegisteredOnceAndRemovedWithItsAtomByTheLastTeardown) {
  ASSERT_TRUE(LazyWindow::Initialize());
  const std::wstring name = LazyWindow::ClassName();
  const ATOM classAtom = LazyWindow::ClassAtom();
  ASSERT_TRUE(ClassExists(name));

  Sleep(20);  // a second registration would get a new clock suffix
  EXPECT_TRUE(LazyWindow::Initialize());
  EXPECT_EQ(LazyWindow::ClassName(), name);
  EXPECT_EQ(LazyWindow::ClassAtom(), classAtom);

  LazyWindow::Uninitialize();
  EXPECT_TRUE(ClassExists(name)) << "one user is left";
  LazyWindow::Uninitialize();
  EXPECT_FALSE(ClassExists(name));
  EXPECT_EQ(CreateWindowExW(0, name.c_str(), L"", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr),
                            nullptr),
            nullptr);
  EXPECT_EQ(LazyWindow::ClassAtom(), 0);

  // An unmatched teardown is ignored; the next Initialize starts afresh.
  LazyWindow::Uninitialize();
  Initialized again;
  EXPECT_TRUE(ClassExists(LazyWindow::ClassName()));
}

// A window hands its messages to its record and frees it at WM_NCDESTROY; a
// record whose window is never made (no class, or creation refused) is freed
// at once.
TEST(LazyWindow, RecordsGoWithTheirWindowsOrAtOnce) {
  for (const bool registered : {false, true}) {
    for (const bool refused : {false, true}) {
      SCOPED_TRACE(testing::Message() << registered << refused);
      std::optional<Initialized> initialized;
      if (registered) initialized.emplace();
      std::vector<Seen> seen;
      auto record = std::make_unique<LazyWindowRecord>(LazyWindowRecord{refused ? &RefuseCreation : &Recorder, &seen});
      g_watched = record.get();
      g_watchedFreed = false;
      HWND window = LazyWindow::Create(std::move(record));
      EXPECT_EQ(window != nullptr, registered && !refused);
      if (window) {
        EXPECT_EQ(seen.front().message, static_cast<UINT>(WM_NCCREATE));
        EXPECT_FALSE(IsWindowVisible(window));
        EXPECT_EQ(SendMessageW(window, WM_APP + 1, 7, 9), 42);
        EXPECT_TRUE(seen.back().message == WM_APP + 1 && seen.back().wParam == 7u && seen.back().lParam == 9);
        EXPECT_FALSE(g_watchedFreed);
        ASSERT_TRUE(DestroyWindow(window));
        EXPECT_EQ(seen.back().message, static_cast<UINT>(WM_NCDESTROY));
      }
      EXPECT_TRUE(g_watchedFreed);
      g_watched = nullptr;
    }
  }
}

}  // namespace
}  // namespace Tessel
