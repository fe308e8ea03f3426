// The camera table: for each of 64 camera indexes a video and an audio filter
// entry, the registration records of the configured filters, the property-page
// identifiers and the class templates. Built once from the settings at process
// attach and read-only afterwards.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>

#include "framework/ClassFactory.h"

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

// How one filter is registered with the filter mapper.
struct FilterSetup {
  const CLSID* clsid;
  const wchar_t* name;
  DWORD merit;
  UINT pinCount;
  const REGFILTERPINS* pins;
  const CLSID* category;
};

// Everything a build fills besides the template list. Zero before the build.
struct CameraTables {
  FilterTable filters;
  FilterSetup setups[kMaxFilters];  // in the order the filters were found
  int setupCount;
  CLSID propertyPageIds[kMaxCameras];  // set for cameras with a video filter
};

// Identifier scheme: one base per kind, the last byte is the camera index.
CLSID VideoFilterId(int cameraIndex);
CLSID AudioFilterId(int cameraIndex);
CLSID PropertyPageId(int cameraIndex);

// Reads the settings file iniPath and fills tables and templates (room for
// kMaxTemplates). Returns the number of templates. tables must be zero.
int BuildCameraTable(const wchar_t* iniPath, CameraTables* tables, CFactoryTemplate* templates);

// The module's own table, as process attach built it. An index outside 0..63
// gives an empty entry.
const FilterEntry& GetFilterEntry(int cameraIndex, MediaKind kind);
