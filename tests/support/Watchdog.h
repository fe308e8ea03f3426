// Ends the whole process with exit code 3 and a message on stderr when it is
// not disarmed (destroyed) within the given time: a deadlock fails the test
// instead of hanging the suite until ctest's own timeout.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

#include "base/Handle.h"

namespace telvor::test {

class Watchdog {
 public:
  Watchdog(const char* what, DWORD seconds)
      : what_(what), seconds_(seconds), disarmed_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    thread_.Reset(CreateThread(nullptr, 0, &Watchdog::Run, this, 0, nullptr));
  }
  ~Watchdog() {
    SetEvent(disarmed_.Get());
    WaitForSingleObject(thread_.Get(), INFINITE);
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static DWORD WINAPI Run(void* self) {
    auto* dog = static_cast<Watchdog*>(self);
    if (WaitForSingleObject(dog->disarmed_.Get(), dog->seconds_ * 1000) == WAIT_TIMEOUT) {
      std::fprintf(stderr, "WATCHDOG: %s did not finish within %lu s (deadlock?)\n", dog->what_.c_str(),
                   static_cast<unsigned long>(dog->seconds_));
      std::fflush(stderr);
      TerminateProcess(GetCurrentProcess(), 3);
    }
    return 0;
  }

  std::string what_;
  DWORD seconds_;
  UniqueHandle disarmed_;
  UniqueHandle thread_;
};

}  // namespace telvor::test
