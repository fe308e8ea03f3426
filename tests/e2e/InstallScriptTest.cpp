// The package's install.cmd and uninstall.cmd, started by their paths as
// Explorer starts them, from a folder whose name holds an apostrophe and an
// ampersand: every path in them must stay one word for cmd.

#include "Clients.h"
#include "support/DeviceRegistry.h"

namespace {

using namespace telvor::e2e;
using telvor::test::kModuleFileName;

constexpr int kIndex = kEndToEndCameras + 1;
constexpr char kName[] = "TELVOR e2e install script camera";

TEST(InstallScripts, RegisterAndUnregisterFromAFolderNamedWithQuotesAndAmpersands) {
  TempDir dir;
  const std::wstring folder = dir.File(L"Tom's & Jerry's cams") + L"\\";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  for (const wchar_t* script : {L"install.cmd", L"uninstall.cmd"}) {
    ASSERT_TRUE(telvor::test::CopyFileTo(telvor::test::WinePath(TELVOR_PACKAGING_DIR, script), folder + script));
  }
  ASSERT_TRUE(telvor::test::CopyFileTo(telvor::test::BuiltModulePath(), folder + kModuleFileName));
  telvor::test::WriteTextFile(folder + L"TELVOR.INI", "[CONFIG]\r\n" + CameraSettings(kIndex, kName, ""));
  const std::string shown(folder.begin(), folder.end());
  const bool is64 = sizeof(void*) == 8;
  const std::string own = is64 ? "TELVOR.AX for 64-bit" : "TELVOR32.AX for 32-bit";
  const std::wstring server = L"CLSID\\" + telvor::test::VideoFilterIdText(kIndex) + L"\\InprocServer32";

  const ProcessResult installed = RunCaptured(dir, Quoted(folder + L"install.cmd"));
  EXPECT_EQ(installed.exitCode, 0) << installed.output;
  EXPECT_NE(installed.output.find("Registered " + own + " applications."), std::string::npos) << installed.output;
  // The module of the other bitness is missing; the line naming the folder is whole.
  EXPECT_NE(installed.output.find(std::string(is64 ? "TELVOR32.AX" : "TELVOR.AX") + " is not in \"" + shown + "\": "),
            std::string::npos)
      << installed.output;
  EXPECT_EQ(telvor::test::RegistryText(HKEY_CLASSES_ROOT, server, nullptr), folder + kModuleFileName);

  const ProcessResult removed = RunCaptured(dir, Quoted(folder + L"uninstall.cmd"));
  EXPECT_EQ(removed.exitCode, 0) << removed.output;
  EXPECT_NE(removed.output.find("Unregistered " + own + " applications."), std::string::npos) << removed.output;
  EXPECT_EQ(telvor::test::RegistryText(HKEY_CLASSES_ROOT, server, nullptr), L"");
}

}  // namespace
