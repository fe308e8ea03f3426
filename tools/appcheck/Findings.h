// What a telvor-appcheck run found, printed the moment it is found: one
// key=value line each, so a run that hangs still shows every step before the
// one that hung. A watchdog bounds the calls that can block for ever (a
// deadlock inside the camera or the graph) and ends the process with the
// name of the call that hung.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace appcheck {

// Exit codes: what the application would have made of the camera.
inline constexpr int kExitShown = 0;       // it shows pictures
inline constexpr int kExitFailed = 1;      // a step it cannot go on without failed
inline constexpr int kExitUsage = 2;       // our own command line
inline constexpr int kExitNoPicture = 3;   // it ran, but no picture reached it
inline constexpr int kExitHung = 4;        // a call never returned

class Findings {
 public:
  // Keys printed from now on start with `prefix` ("restart1_"), so every run
  // of one session reports under keys of its own.
  void SetPrefix(const std::string& prefix);
  void Add(const std::string& key, const std::string& value);
  void Hr(const std::string& key, HRESULT hr);
  void Count(const std::string& key, std::uint64_t value);
  void Number(const std::string& key, double value, int decimals = 3);
  void Flag(const std::string& key, bool value) { Count(key, value ? 1 : 0); }
  // Something the application would show or do wrong though it goes on;
  // listed once more at the end as problems=a;b.
  void Problem(const std::string& what);
  // Prints problems= and result= and answers `exitCode`.
  int Finish(int exitCode);
  // The one line the watchdog adds before it ends the process.
  void Hung(const char* step, double waitedMs);

 private:
  void Print(const std::string& line);
  std::string prefix_;
  std::vector<std::string> problems_;
};

Findings& Out();

// "0x80040217"
std::string HrText(HRESULT hr);

// What the streaming thread is doing in the application's sink right now
// (null: nothing of note); a hang report names it, since a deadlock usually
// has that thread on its other side.
void NoteStreaming(const char* what);

// Starts the watchdog thread; call once.
void StartWatchdog();

// Arms the watchdog for one call that may never return: if the object still
// lives `timeoutMs` later, the process prints hung=<step> and exits with
// kExitHung. One at a time, from the application thread.
class Deadline {
 public:
  Deadline(const char* step, DWORD timeoutMs);
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
  // Milliseconds since the call began.
  double ElapsedMs() const;

 private:
  LARGE_INTEGER start_;
};

// Milliseconds between two QueryPerformanceCounter readings.
double MsBetween(const LARGE_INTEGER& from, const LARGE_INTEGER& to);
LARGE_INTEGER Now();

// Waits for `event` up to `timeoutMs` while dispatching this thread's window
// messages, as an application's user-interface thread keeps doing; true when
// the event was signalled. A null event just lets the time pass.
bool PumpWait(HANDLE event, DWORD timeoutMs);

}  // namespace appcheck
