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

TEST(LazyWindow, ClassIsRegisteredOnceAndRemovedByTheLastTeardown) {
  ASSERT_TRUE(LazyWindow::Initialize());
  const std::wstring name = LazyWindow::ClassName();
  Sleep(20);  // a second registration would get a new clock suffix
  EXPECT_TRUE(LazyWindow::Initialize());
  EXPECT_EQ(LazyWindow::ClassName(), name);
  LazyWindow::Uninitialize();
  EXPECT_TRUE(ClassExists(name)) << "one user is left";
  LazyWindow::Uninitialize();
  EXPECT_FALSE(ClassExists(name));

  // An unmatched teardown is ignored; the next Initialize starts afresh.
  LazyWindow::Uninitialize();
  EXPECT_TRUE(LazyWindow::Initialize());
  EXPECT_TRUE(ClassExists(LazyWindow::ClassName()));
  LazyWindow::Uninitialize();
}

}  // namespace
}  // namespace Tessel
