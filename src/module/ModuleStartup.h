// Process attach, between the entry point's own steps: records the host,
// derives the settings paths from the module's location and builds the
// camera table and the class templates. What it records is the process's
// own and read-only afterwards; the server hands it to what it creates.
#pragma once

#include <windows.h>

#include "settings/CameraTable.h"
#include "settings/ModulePaths.h"

void StartModule(HMODULE module);

// The module's own, as process attach recorded them.
const HostInfo& GetHostInfo();
const ModulePaths& GetModulePaths();
// The process's host flags and paths, as the server hands them to every
// camera filter it creates.
CameraSite ProcessCameraSite();
// The module's own camera table. An index outside 0..63 gives an empty entry.
const FilterEntry& GetFilterEntry(int cameraIndex, MediaKind kind);
