// How the COM server creates a camera's property page.
#pragma once

#include <windows.h>

#include "framework/Unknown.h"

// Allocates without throwing and returns null (leaving *hr alone) when memory
// runs out; otherwise the page's constructor sets *hr.
CUnknown* NewPropertyPage(LPUNKNOWN outer, int cameraIndex, HRESULT* hr);
