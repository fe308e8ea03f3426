// Creation functions of the class templates: one per camera index and kind,
// so that a template alone decides which camera its class object creates.
#pragma once

#include <windows.h>

#include "framework/ClassFactory.h"
#include "module/CameraTable.h"

// The CreateCameraFilter member for (cameraIndex, kind) and the
// CreatePropertyPage member for cameraIndex; null outside 0..63.
LPFNNewCOMObject CameraFilterCreator(int cameraIndex, MediaKind kind);
LPFNNewCOMObject PropertyPageCreator(int cameraIndex);
