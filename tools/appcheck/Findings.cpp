#include "Findings.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace appcheck {
namespace {

// Lines are written from the application thread and, once, from the watchdog.
std::mutex g_printLock;

struct Watch {
  std::mutex lock;
  const char* step = nullptr;
  ULONGLONG due = 0;
  ULONGLONG began = 0;
};
Watch g_watch;
std::atomic<const char*> g_streaming{nullptr};

DWORD WINAPI WatchdogThread(void*) {
  for (;;) {
    Sleep(50);
    const char* step = nullptr;
    ULONGLONG began = 0;
    {
      std::lock_guard<std::mutex> hold(g_watch.lock);
      if (g_watch.step && GetTickCount64() >= g_watch.due) {
        step = g_watch.step;
        began = g_watch.began;
      }
    }
    if (!step) continue;
    Out().Hung(step, static_cast<double>(GetTickCount64() - began));
    // The hung thread holds locks of the camera or the graph: unloading
    // modules or running destructors could block as well.
    TerminateProcess(GetCurrentProcess(), kExitHung);
  }
}

}  // namespace

Findings& Out() {
  static Findings findings;
  return findings;
}

std::string HrText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

void Findings::SetPrefix(const std::string& prefix) {
  std::lock_guard<std::mutex> hold(g_printLock);
  prefix_ = prefix;
}

void Findings::Print(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Findings::Add(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> hold(g_printLock);
  Print(prefix_ + key + "=" + value);
}

void Findings::Hr(const std::string& key, HRESULT hr) { Add(key, HrText(hr)); }

void Findings::Count(const std::string& key, std::uint64_t value) { Add(key, std::to_string(value)); }

void Findings::Number(const std::string& key, double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  Add(key, text);
}

void Findings::Problem(const std::string& what) {
  std::lock_guard<std::mutex> hold(g_printLock);
  const std::string run = prefix_.empty() ? "" : prefix_.substr(0, prefix_.size() - 1) + ": ";
  problems_.push_back(run + what);
  Print("problem=" + run + what);
}

int Findings::Finish(int exitCode) {
  static const char* const kResults[] = {"shown", "failed", "usage", "no_picture", "hung"};
  std::lock_guard<std::mutex> hold(g_printLock);
  std::string list;
  for (const std::string& p : problems_) list += (list.empty() ? "" : ";") + p;
  Print("problems=" + list);
  Print(std::string("result=") + (exitCode >= 0 && exitCode <= kExitHung ? kResults[exitCode] : "unknown"));
  return exitCode;
}

void Findings::Hung(const char* step, double waitedMs) {
  char waited[32];
  std::snprintf(waited, sizeof waited, "%.0f", waitedMs);
  Problem(std::string("hung in ") + step);
  std::lock_guard<std::mutex> hold(g_printLock);
  Print("hung=" + std::string(step));
  Print("hung_after_ms=" + std::string(waited));
  if (const char* streaming = g_streaming.load()) Print("streaming_thread=" + std::string(streaming));
  std::string list;
  for (const std::string& p : problems_) list += (list.empty() ? "" : ";") + p;
  Print("problems=" + list);
  Print("result=hung");
}

void NoteStreaming(const char* what) { g_streaming.store(what); }

void StartWatchdog() {
  if (HANDLE thread = CreateThread(nullptr, 0, &WatchdogThread, nullptr, 0, nullptr)) CloseHandle(thread);
}

Deadline::Deadline(const char* step, DWORD timeoutMs) : start_(Now()) {
  std::lock_guard<std::mutex> hold(g_watch.lock);
  g_watch.step = step;
  g_watch.began = GetTickCount64();
  g_watch.due = g_watch.began + timeoutMs;
}

Deadline::~Deadline() {
  std::lock_guard<std::mutex> hold(g_watch.lock);
  g_watch.step = nullptr;
}

double Deadline::ElapsedMs() const { return MsBetween(start_, Now()); }

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

double MsBetween(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Timed on the counter the samples' arrivals are stamped with, so a run's
// window is as long on that clock as the application asked.
bool PumpWait(HANDLE event, DWORD timeoutMs) {
  const LARGE_INTEGER start = Now();
  for (;;) {
    const double spent = MsBetween(start, Now());
    const DWORD left = spent >= timeoutMs ? 0 : static_cast<DWORD>(std::ceil(timeoutMs - spent));
    const DWORD count = event ? 1 : 0;
    const DWORD woke = MsgWaitForMultipleObjects(count, &event, FALSE, left, QS_ALLINPUT);
    if (event && woke == WAIT_OBJECT_0) return true;
    if (woke == WAIT_OBJECT_0 + count) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      continue;
    }
    return false;  // timed out (or the wait failed)
  }
}

}  // namespace appcheck
