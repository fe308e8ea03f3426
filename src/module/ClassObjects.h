// Creation functions of the class templates: one per camera index and kind,
// so that a template alone decides which camera its class object creates.
#pragma once

#include <windows.h>

#include "framework/ClassFactory.h"
#include "module/CameraTable.h"

// Implemented by the filter and property-page subsystems. Each allocates its
// object without throwing and returns null (leaving *hr alone) when memory
// runs out; otherwise the object's constructor sets *hr.
CUnknown* NewCameraFilter(LPUNKNOWN outer, const GUID& mediaKind, UINT cameraIndex, const FilterEntry* entry,
                          HRESULT* hr);
CUnknown* NewPropertyPage(LPUNKNOWN outer, int cameraIndex, HRESULT* hr);

// The CreateCameraFilter member for (cameraIndex, kind) and the
// CreatePropertyPage member for cameraIndex; null outside 0..63.
LPFNNewCOMObject CameraFilterCreator(int cameraIndex, MediaKind kind);
LPFNNewCOMObject PropertyPageCreator(int cameraIndex);
