// Every binary a user installs says what it is: Explorer's properties,
// installers and support requests read these fields.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/WinTestSupport.h"
#include "telvor_version.h"

namespace telvor::test {
namespace {

std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT chars = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
  if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars) || !value) return L"";
  return value;
}

TEST(VersionResource, EveryBinaryCarriesTheProductAndItsVersion) {
  const std::wstring binaries[] = {BuiltModulePath(), BuildTreePath(L"tools/feed/telvor-feed.exe"),
                                   BuildTreePath(L"tools/capture/telvor-capture.exe"),
                                   BuildTreePath(L"tools/props/telvor-props.exe")};
  const wchar_t* bitness = sizeof(void*) == 8 ? L"(64-bit)" : L"(32-bit)";
  for (const std::wstring& path : binaries) {
    SCOPED_TRACE(testing::Message() << path);
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    EXPECT_EQ(VersionString(block, L"ProductName"), L"" TELVOR_PRODUCT_NAME);
    EXPECT_EQ(VersionString(block, L"ProductVersion"), TELVOR_VERSION_W);
    EXPECT_EQ(VersionString(block, L"FileVersion"), TELVOR_VERSION_W);
    EXPECT_NE(VersionString(block, L"FileDescription").find(bitness), std::wstring::npos);
    const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    EXPECT_EQ(VersionString(block, L"OriginalFilename"), name);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT bytes = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &bytes));
    EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), static_cast<WORD>(std::stoi(TELVOR_VERSION)));
  }
}

}  // namespace
}  // namespace telvor::test
