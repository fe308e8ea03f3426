// The camera table: for each of 64 camera indexes a video and an audio filter
// entry, read from the settings. It only describes the cameras; the COM
// server builds its class objects and registration records from it.
#pragma once

#include <windows.h>

#include <cstdint>

inline constexpr int kMaxCameras = 64;
inline constexpr int kMaxFilters = kMaxCameras * 2;
inline constexpr int kFilterNameChars = 1024;  // terminator included

enum class MediaKind : int { kVideo = 0, kAudio = 1 };

struct FilterEntry {
  GUID clsid;
  wchar_t name[kFilterNameChars];  // empty: no filter of this kind for the camera
  std::int32_t defaultWidth;
  std::int32_t defaultHeight;
  double fps;
  GUID subtype;
  std::int32_t index;
  std::int32_t scaleStyle;
  wchar_t videoPinName[kFilterNameChars];
  wchar_t audioPinName[kFilterNameChars];
};

// Entries are found by camera index and kind alone, whatever else is configured.
struct FilterTable {
  FilterEntry entries[kMaxFilters];

  FilterEntry& At(int cameraIndex, MediaKind kind) { return entries[cameraIndex * 2 + static_cast<int>(kind)]; }
  const FilterEntry& At(int cameraIndex, MediaKind kind) const {
    return entries[cameraIndex * 2 + static_cast<int>(kind)];
  }
};

// Identifier scheme: one base per kind, the last byte is the camera index.
CLSID VideoFilterId(int cameraIndex);
CLSID AudioFilterId(int cameraIndex);
CLSID PropertyPageId(int cameraIndex);

// Reads the settings file iniPath into table, which must be zero. Returns the
// number of cameras read (FILTERS, at most kMaxCameras); entries past it stay
// empty.
int BuildCameraTable(const wchar_t* iniPath, FilterTable* table);
