#include "ProcessCounters.h"

#include <psapi.h>
#include <tlhelp32.h>

namespace {

long CountThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD self = GetCurrentProcessId();
  long count = 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// Wine answers GetProcessHandleCount with 0; its handle values are small
// multiples of four, so the open ones can be counted one by one.
long CountHandles() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return static_cast<long>(count);
  long open = 0;
  DWORD flags = 0;
  for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++open;
  }
  return open;
}

// -1 when the system does not count GUI objects: a process that has just
// made a device context and a bitmap has at least two.
long GuiObjects(DWORD kind) {
  const DWORD value = GetGuiResources(GetCurrentProcess(), kind);
  if (value > 0) return static_cast<long>(value);
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = dc ? CreateCompatibleBitmap(dc, 1, 1) : nullptr;
  const DWORD probe = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  if (bitmap) DeleteObject(bitmap);
  if (dc) DeleteDC(dc);
  return probe > 0 ? 0 : -1;
}

bool Line(std::FILE* out, const char* name, std::int64_t before, std::int64_t after, std::int64_t bound) {
  if (before < 0 || after < 0) {
    std::fprintf(out, "  %-14s %12s %12s %10s   (not counted by this system)\n", name, "-", "-", "-");
    return true;
  }
  const std::int64_t growth = after - before;
  const bool ok = bound < 0 || growth <= bound;
  std::fprintf(out, "  %-14s %12lld %12lld %+10lld", name, static_cast<long long>(before),
               static_cast<long long>(after), static_cast<long long>(growth));
  if (bound >= 0) std::fprintf(out, "   (bound %+lld) %s", static_cast<long long>(bound), ok ? "ok" : "LEAK");
  std::fprintf(out, "\n");
  return ok;
}

}  // namespace

ProcessCounters ProcessCounters::Take() {
  ProcessCounters c;
  c.handles = CountHandles();
  c.gdiObjects = GuiObjects(GR_GDIOBJECTS);
  c.userObjects = GuiObjects(GR_USEROBJECTS);
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof(memory);
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                           sizeof(memory))) {
    // Wine leaves PrivateUsage at 0 but keeps the commit charge in PagefileUsage.
    c.privateBytes = static_cast<std::int64_t>(memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage);
    c.workingSet = static_cast<std::int64_t>(memory.WorkingSetSize);
  }
  c.threads = CountThreads();
  return c;
}

bool ReportCounters(std::FILE* out, const ProcessCounters& before, const ProcessCounters& after,
                    const CounterBounds& bounds) {
  std::fprintf(out, "  %-14s %12s %12s %10s\n", "counter", "before", "after", "growth");
  bool ok = Line(out, "handles", before.handles, after.handles, bounds.handles);
  ok &= Line(out, "GDI objects", before.gdiObjects, after.gdiObjects, bounds.gdiObjects);
  ok &= Line(out, "USER objects", before.userObjects, after.userObjects, bounds.userObjects);
  ok &= Line(out, "private bytes", before.privateBytes, after.privateBytes, bounds.privateBytes);
  Line(out, "working set", before.workingSet, after.workingSet, -1);
  ok &= Line(out, "threads", before.threads, after.threads, bounds.threads);
  return ok;
}
