// How the COM server creates a camera filter for one camera index and kind.
#pragma once

#include <windows.h>

#include "framework/Unknown.h"
#include "settings/CameraTable.h"
#include "settings/ModulePaths.h"

// Allocates without throwing and returns null (leaving *hr alone) when memory
// runs out; otherwise the filter's constructor sets *hr.
CUnknown* NewCameraFilter(LPUNKNOWN outer, const GUID& mediaKind, UINT cameraIndex, const FilterEntry* entry,
                          const CameraSite& site, HRESULT* hr);
