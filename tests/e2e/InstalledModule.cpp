#include "InstalledModule.h"

#include <cstdio>

namespace telvor::e2e {

using telvor::test::BuildTreePath;
using telvor::test::TempDir;
using telvor::test::UniqueName;

ProcessResult RunCaptured(const TempDir& dir, const std::wstring& commandLine, DWORD timeoutMs) {
  const std::wstring outputPath = dir.File(UniqueName(L"output") + L".txt");
  ProcessResult result;
  result.exitCode = telvor::test::RunProcess(commandLine, timeoutMs, outputPath);
  result.output = ReadFileBytes(outputPath);
  DeleteFileW(outputPath.c_str());
  return result;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string CameraSettings(int index, const std::string& video, const std::string& audio, int width, int height,
                           int fps) {
  char n[8];
  std::snprintf(n, sizeof(n), "%02d", index + 1);
  std::string lines = "FILTERS=64\r\n";
  auto add = [&](const char* key, const std::string& value) {
    if (!value.empty() && value != "0") lines += std::string("FILTER.") + key + "." + n + "=" + value + "\r\n";
  };
  add("VIDEO.NAME", video);
  add("AUDIO.NAME", audio);
  add("DEFAULT.OUTPUT.W", std::to_string(width));
  add("DEFAULT.OUTPUT.H", std::to_string(height));
  add("FPS", std::to_string(fps));
  return lines;
}

InstalledModule::InstalledModule(const std::string& settings) : modulePath_(dir_.File(telvor::test::kModuleFileName)) {
  copied_ = telvor::test::CopyFileTo(telvor::test::BuiltModulePath(), modulePath_);
  WriteSettings(settings);
  // Hosts (regsvr32, FFmpeg) inherit this, so their module lines land in one file.
  SetEnvironmentVariableW(L"TELVOR_LOG", LogPath().c_str());
}

InstalledModule::~InstalledModule() {
  if (registered_) Unregister();
}

void InstalledModule::WriteSettings(const std::string& settings) {
  telvor::test::WriteTextFile(dir_.File(L"TELVOR.INI"), "[CONFIG]\r\n" + settings);
}

void InstalledModule::WriteFormatFile(int cameraIndex, const std::string& settings) {
  wchar_t name[32];
  swprintf(name, 32, L"TELVOR.FORMAT.%02d.INI", cameraIndex + 1);
  telvor::test::WriteTextFile(dir_.File(name), "[CONFIG]\r\n" + settings);
}

ProcessResult InstalledModule::Register() {
  ProcessResult result = RunCaptured(dir_, L"regsvr32 " + Quoted(modulePath_), 60000);
  registered_ = registered_ || result.exitCode == 0;
  return result;
}

ProcessResult InstalledModule::Unregister() {
  ProcessResult result = RunCaptured(dir_, L"regsvr32 /u " + Quoted(modulePath_), 60000);
  if (result.exitCode == 0) registered_ = false;
  return result;
}

}  // namespace telvor::e2e
