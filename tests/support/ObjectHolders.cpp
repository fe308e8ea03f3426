#include "support/ObjectHolders.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "base/Handle.h"

namespace telvor::test {
namespace {

constexpr SYSTEM_INFORMATION_CLASS kExtendedHandles = static_cast<SYSTEM_INFORMATION_CLASS>(64);
constexpr OBJECT_INFORMATION_CLASS kObjectName = static_cast<OBJECT_INFORMATION_CLASS>(1);
constexpr OBJECT_INFORMATION_CLASS kObjectType = static_cast<OBJECT_INFORMATION_CLASS>(2);
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

struct HandleEntry {
  PVOID object;
  ULONG_PTR processId;
  ULONG_PTR handle;
  ULONG access;
  USHORT creatorBackTraceIndex;
  USHORT typeIndex;
  ULONG attributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};

using QuerySystem = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
using QueryObject = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

// The object's name or type as the kernel reports it, "" when it does not.
std::wstring ObjectText(QueryObject query, HANDLE object, OBJECT_INFORMATION_CLASS what) {
  alignas(8) unsigned char buffer[2048];
  ULONG length = 0;
  if (!NT_SUCCESS(query(object, what, buffer, sizeof(buffer) - sizeof(wchar_t), &length))) return L"";
  const UNICODE_STRING& text = *reinterpret_cast<const UNICODE_STRING*>(buffer);
  return text.Buffer ? std::wstring(text.Buffer, text.Length / sizeof(wchar_t)) : L"";
}

// The program's file name, in ASCII (other letters as '?').
std::string ProgramOf(DWORD processId) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  wchar_t path[1024];
  DWORD length = static_cast<DWORD>(std::size(path));
  if (!process || !QueryFullProcessImageNameW(process.Get(), 0, path, &length)) return "?";
  std::string name;
  for (DWORD i = std::wstring(path, length).find_last_of(L"\\/") + 1; i < length; ++i) {
    name += path[i] < 128 ? static_cast<char>(path[i]) : '?';
  }
  return name;
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string ObjectHolders(const std::wstring& name) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto querySystem = reinterpret_cast<QuerySystem>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
  const auto queryObject = reinterpret_cast<QueryObject>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryObject")));
  if (!querySystem || !queryObject) return "no handle listing in this system\n";
  std::vector<unsigned char> table(1 << 16);
  NTSTATUS status;
  ULONG needed = 0;
  while ((status = querySystem(kExtendedHandles, table.data(), static_cast<ULONG>(table.size()), &needed)) ==
             kInfoLengthMismatch &&
         table.size() < (64u << 20)) {
    table.resize(std::max<size_t>(table.size() * 2, needed + 4096));
  }
  if (!NT_SUCCESS(status)) return "cannot list handles, status " + std::to_string(status) + "\n";

  const auto& handles = *reinterpret_cast<const HandleTable*>(table.data());
  std::map<DWORD, UniqueHandle> processes;
  std::string holders;
  for (ULONG_PTR i = 0; i < handles.count; ++i) {
    const HandleEntry& entry = handles.entries[i];
    const DWORD processId = static_cast<DWORD>(entry.processId);
    UniqueHandle& process = processes[processId];
    if (!process) process.Reset(OpenProcess(PROCESS_DUP_HANDLE, FALSE, processId));
    HANDLE copy = nullptr;
    if (!process || !DuplicateHandle(process.Get(), reinterpret_cast<HANDLE>(entry.handle), GetCurrentProcess(), &copy,
                                     0, FALSE, DUPLICATE_SAME_ACCESS)) {
      continue;
    }
    UniqueHandle own(copy);
    // A file's name query can block on a pipe; named objects of interest are never files.
    if (ObjectText(queryObject, own.Get(), kObjectType) == L"File") continue;
    if (EndsWith(ObjectText(queryObject, own.Get(), kObjectName), name)) {
      holders += std::to_string(processId) + " " + ProgramOf(processId) + "\n";
    }
  }
  return holders;
}

}  // namespace telvor::test
