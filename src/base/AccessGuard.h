// Runs a piece of code so that a memory access violation inside it returns
// control to the caller instead of ending the host process. Used where the
// module reads memory another process controls (a producer's frame slots),
// which may vanish or shrink under us.
//
// Catching the fault takes a process-wide exception handler. It is installed
// only while some code of ours may run guarded: a host that frees the module
// must never find a handler of ours left behind in its exception dispatch.
#pragma once

namespace telvor {

// Calls body(context). Returns true when it completed, false when it was cut
// short by an access violation (anything else propagates as usual). The body
// must not own resources that need destructors to run: on a fault its frames
// are abandoned, not unwound. Without an AccessGuardUse held, the handler is
// installed for this call alone.
bool RunGuarded(void (*body)(void* context), void* context);

template <typename Body>
bool RunGuarded(Body& body) {
  return RunGuarded([](void* context) { (*static_cast<Body*>(context))(); }, &body);
}

// Keeps the handler installed for as long as it lives (a streaming pin holds
// one for its whole run, so frames do not install and remove it each time).
// The handler goes when the last use ends.
class AccessGuardUse {
 public:
  AccessGuardUse();
  ~AccessGuardUse();
  AccessGuardUse(const AccessGuardUse&) = delete;
  AccessGuardUse& operator=(const AccessGuardUse&) = delete;
};

// True while the process-wide handler is installed.
bool AccessGuardInstalled();

// Module unload: removes the handler and its thread slot whatever uses remain.
void ShutdownAccessGuard();

}  // namespace telvor
