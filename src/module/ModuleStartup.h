// Process attach, between the entry point's own steps: records the host,
// derives the settings paths from the module's location and builds the
// camera table and the class templates.
#pragma once

#include <windows.h>

void StartModule(HMODULE module);
