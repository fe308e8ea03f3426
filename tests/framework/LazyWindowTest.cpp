// The hidden window class the module registers at attach. Nothing in the
// product creates a window of it (LazyWindow::Create has no caller), so
// only the class's registration and removal are tested.
#include <gtest/gtest.h>

#include <string>

#include "framework/LazyWindow.h"

namespace Tessel {
namespace {

bool ClassExists(const std::wstring& name) {
  WNDCLASSEXW info = {};
  info.cbSize = sizeof(info);
  return GetClassInfoExW(GetModuleHandleW(nullptr), name.c_str(), &info) != FALSE;
}

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
  EXPECT_TRUE(LazyWindow::Initialize());
  EXPECT_TRUE(ClassExists(LazyWindow::ClassName()));
  LazyWindow::Uninitialize();
}

}  // namespace
}  // namespace Tessel
