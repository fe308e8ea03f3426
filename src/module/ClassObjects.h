// The class templates and their creation functions: one per camera index and
// kind, so that a template alone decides which camera its class object
// creates, built from the camera table at process attach.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/ClassFactory.h"
#include "settings/CameraTable.h"

// How one filter is registered with the filter mapper.
struct FilterSetup {
  const CLSID* clsid;
  const wchar_t* name;
  DWORD merit;
  UINT pinCount;
  const REGFILTERPINS* pins;
  const CLSID* category;
};

// What the templates point at besides the camera table. Zero before the build.
struct ClassRecords {
  FilterSetup setups[kMaxFilters];  // in the order the filters were found
  int setupCount;
  CLSID propertyPageIds[kMaxCameras];  // set for cameras with a video filter
};

// Fills templates (room for kMaxTemplates) for the first cameraCount cameras
// of filters: per camera its video filter, its audio filter and, with video,
// its property page. The templates point into filters and records, which must
// outlive them. Returns the number of templates.
int BuildClassTemplates(const FilterTable& filters, int cameraCount, ClassRecords* records,
                        CFactoryTemplate* templates);

// The CreateCameraFilter member for (cameraIndex, kind) and the
// CreatePropertyPage member for cameraIndex; null outside 0..63.
LPFNNewCOMObject CameraFilterCreator(int cameraIndex, MediaKind kind);
LPFNNewCOMObject PropertyPageCreator(int cameraIndex);
