// The framework's share of process attach and detach, and what it remembers.
#pragma once

#include <windows.h>

// Called by the module's DllMain with its own arguments, last. Attach: stops
// thread notifications, records the module handle and the operating-system
// version, then calls each template's init routine with TRUE. Detach: calls
// them with FALSE. Always returns TRUE.
BOOL WINAPI DllEntryPoint(HINSTANCE instance, ULONG reason, LPVOID reserved);

// The module handle recorded at attach (null before); registration and
// resource loading use it.
extern HINSTANCE g_hInst;
inline HINSTANCE ModuleHandle() { return g_hInst; }

// The operating-system version recorded at attach (all zero before).
const OSVERSIONINFOW& OsVersion();
