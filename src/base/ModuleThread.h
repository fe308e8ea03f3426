// Threads that run this module's code hold a reference to the module for as
// long as they run. A host that frees the module under a graph it leaked
// running then only drops its own reference: the module stays until the last
// such thread ends, and nothing has to wait for a thread while the loader is
// locked (a thread cannot end without the loader lock).
#pragma once

#include <windows.h>

namespace telvor {

// CreateThread, with the module held by the thread until it returns.
HANDLE CreateModuleThread(LPTHREAD_START_ROUTINE procedure, void* parameter, DWORD* id);

}  // namespace telvor
