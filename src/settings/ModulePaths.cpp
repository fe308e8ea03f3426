#include "settings/ModulePaths.h"

#include <cwchar>
#include <string>

#include "base/Log.h"

namespace {

struct KnownHost {
  const wchar_t* fileName;
  bool HostInfo::*flag;
  const wchar_t* tag;  // null: recognised without a tag line
};

// Tag lines are written in this order.
constexpr KnownHost kKnownHosts[] = {
    {L"amcap.exe", &HostInfo::isAmcap, L"[AMCap]"},
    {L"FlashMediaLiveEncoder.exe", &HostInfo::isFlashMediaLiveEncoder, L"[Adobe Flash Media Live Encoder]"},
    {L"vlc.exe", &HostInfo::isVlc, L"[VLC media player]"},
    {L"skype.exe", &HostInfo::isSkype, L"[Skype]"},
    {L"DVStreamsie.exe", &HostInfo::isDvStreamsie, nullptr},
    {L"EDIUS.exe", &HostInfo::isEdius, nullptr},
    {L"YYMixer.exe", &HostInfo::isYyMixer, nullptr},
};

size_t FileNameStart(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? 0 : slash + 1;
}

// The text without its last extension; a dot in a directory name is no extension.
std::wstring WithoutExtension(const std::wstring& path) {
  const size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos || dot < FileNameStart(path)) return path;
  return path.substr(0, dot);
}

bool StorePath(const std::wstring& path, wchar_t* field) {
  if (path.size() >= static_cast<size_t>(kModulePathChars)) {
    field[0] = L'\0';
    telvor::Error() << L"Path too long, settings fall back to the registry: " << path;
    return false;
  }
  wmemcpy(field, path.c_str(), path.size() + 1);
  return true;
}

// The 32-bit module sits beside the 64-bit one as NAME32.AX and shares its
// settings, so a "32" ending the file name (with more before it) is no part
// of the settings files' names.
std::wstring WithoutBitnessSuffix(const std::wstring& stem) {
  const size_t nameLength = stem.size() - FileNameStart(stem);
  if (nameLength <= 2 || stem.compare(stem.size() - 2, 2, L"32") != 0) return stem;
  return stem.substr(0, stem.size() - 2);
}

}  // namespace

HostInfo DetectHost(const wchar_t* hostFileName) {
  HostInfo host = {};
  if (!hostFileName) return host;
  for (const KnownHost& known : kKnownHosts) {
    if (CompareStringOrdinal(hostFileName, -1, known.fileName, -1, TRUE) == CSTR_EQUAL) host.*known.flag = true;
  }
  return host;
}

void LogHostTags(const HostInfo& host) {
  for (const KnownHost& known : kKnownHosts) {
    if (known.tag && host.*known.flag) telvor::Info() << known.tag;
  }
}

void SetHostFileName(const wchar_t* hostPath, ModulePaths* paths) {
  const std::wstring path = hostPath ? hostPath : L"";
  StorePath(path.substr(FileNameStart(path)), paths->hostFileName);
}

void DeriveSettingsPaths(const wchar_t* modulePath, ModulePaths* paths) {
  const std::wstring path = modulePath ? modulePath : L"";
  const std::wstring directory = path.substr(0, FileNameStart(path));
  const std::wstring stem = WithoutBitnessSuffix(WithoutExtension(path));
  // A second extension goes too: A.B.AX keeps its settings in A.B.INI but its
  // format files are A.FORMAT.NN.INI.
  const std::wstring shortStem = WithoutExtension(stem);
  StorePath(directory + stem.substr(directory.size()) + L".INI", paths->iniPath);
  StorePath(directory + shortStem.substr(directory.size()) + L".FORMAT", paths->formatPath);
  paths->folder = directory.substr(0, directory.empty() ? 0 : directory.size() - 1);
}
