// What a video pin offers, built once from its camera's settings and the host.
#pragma once

#include <windows.h>

#include <utility>
#include <vector>

#include "framework/MediaType.h"
#include "settings/CameraTable.h"
#include "settings/ModulePaths.h"

// What a pin offers, built once from the camera's settings and the host.
struct VideoOffer {
  std::vector<CMediaType> types;
  std::vector<std::pair<UINT, UINT>> sizes;
};

// Offered types and size list for a camera. sourceFps is the producer's rate
// (skype's list uses it), cameraFps the camera's configured rate, formatFile
// the camera's per-camera format file.
VideoOffer BuildVideoOffer(const HostInfo& host, const FilterEntry& entry, double cameraFps, double sourceFps,
                           const wchar_t* formatFile);
