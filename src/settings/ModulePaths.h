// Who loaded the module and where its settings files are: derived from the
// host's and the module's file names. Start-up records the process's own.
#pragma once

#include <windows.h>

#include <string>

inline constexpr int kModulePathChars = MAX_PATH;  // 260, terminator included

struct HostInfo {
  bool isAmcap;
  bool isFlashMediaLiveEncoder;
  bool isVlc;
  bool isSkype;
  bool isDvStreamsie;
  bool isEdius;
  bool isYyMixer;
};

struct ModulePaths {
  wchar_t hostFileName[kModulePathChars];  // the host executable's file name, no directory
  wchar_t iniPath[kModulePathChars];       // settings file: C:\X\TELVOR.AX (or TELVOR32.AX) gives C:\X\TELVOR.INI
  wchar_t formatPath[kModulePathChars];    // stem of the per-camera format files: C:\X\TELVOR.FORMAT
  std::wstring folder;                     // the module's folder, whole whatever its length: C:\X
};

// Flags for a host executable's file name, compared without regard to case.
HostInfo DetectHost(const wchar_t* hostFileName);
// Writes the tag lines of the hosts that have one ("[Skype]", ...).
void LogHostTags(const HostInfo& host);

// hostFileName from the host executable's full path.
void SetHostFileName(const wchar_t* hostPath, ModulePaths* paths);
// iniPath, formatPath and folder from the module's full path. A settings
// path that would not fit stays empty (and is logged): settings then come
// from the registry.
void DeriveSettingsPaths(const wchar_t* modulePath, ModulePaths* paths);

// Where a camera's filter and pins run: the host's flags and the module's
// paths. The COM server hands the process's own to every filter it creates;
// tests may hand others.
struct CameraSite {
  HostInfo host;
  const ModulePaths* paths;
};
