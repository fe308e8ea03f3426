// COM registration of every class template: a server entry under
// HKCR\CLSID for each, and a filter-mapper entry under its capture-device
// category for each filter.
#pragma once

#include <windows.h>

extern "C" {
HRESULT STDAPICALLTYPE DllRegisterServer();
HRESULT STDAPICALLTYPE DllUnregisterServer();
}
