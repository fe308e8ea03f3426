#include "base/ModuleThread.h"

#include <new>

namespace telvor {
namespace {

struct ThreadStart {
  LPTHREAD_START_ROUTINE procedure;
  void* parameter;
  HMODULE module;
};

DWORD WINAPI RunHoldingTheModule(void* context) {
  const ThreadStart start = *static_cast<ThreadStart*>(context);
  delete static_cast<ThreadStart*>(context);
  const DWORD result = start.procedure(start.parameter);
  // The module may go with this reference: no code of it may run after.
  FreeLibraryAndExitThread(start.module, result);
}

}  // namespace

HANDLE CreateModuleThread(LPTHREAD_START_ROUTINE procedure, void* parameter, DWORD* id) {
  auto* start = new (std::nothrow) ThreadStart{procedure, parameter, nullptr};
  if (!start) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RunHoldingTheModule),
                          &start->module)) {
    delete start;
    return nullptr;
  }
  DWORD ignored = 0;
  HANDLE thread = CreateThread(nullptr, 0, &RunHoldingTheModule, start, 0, id ? id : &ignored);
  if (!thread) {
    const DWORD error = GetLastError();
    FreeLibrary(start->module);
    delete start;
    SetLastError(error);
  }
  return thread;
}

}  // namespace telvor
