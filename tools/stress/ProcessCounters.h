// What a long-running host would see leak: kernel handles, GDI and USER
// objects, private memory and threads of this process.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>

struct ProcessCounters {
  long handles = 0;
  long gdiObjects = -1;   // -1: the system does not count them (Wine's GetGuiResources is a stub)
  long userObjects = -1;
  std::int64_t privateBytes = 0;
  std::int64_t workingSet = 0;  // shown, not judged: it follows the system's paging
  long threads = 0;

  static ProcessCounters Take();
};

// Largest growth from the baseline that still counts as "back".
struct CounterBounds {
  long handles = 16;
  long gdiObjects = 2;
  long userObjects = 2;
  std::int64_t privateBytes = 8 * 1024 * 1024;
  long threads = 2;
};

// Prints both samples and their difference; true when every counter is
// within its bound.
bool ReportCounters(std::FILE* out, const ProcessCounters& before, const ProcessCounters& after,
                    const CounterBounds& bounds);
