// Runs a piece of code so that a memory access violation inside it returns
// control to the caller instead of ending the host process. Used where the
// module reads memory another process controls (a producer's frame slots),
// which may vanish or shrink under us.
#pragma once

namespace telvor {

// Calls body(context). Returns true when it completed, false when it was cut
// short by an access violation (anything else propagates as usual). The body
// must not own resources that need destructors to run: on a fault its frames
// are abandoned, not unwound.
bool RunGuarded(void (*body)(void* context), void* context);

// Removes the process-wide exception handler; call once at module unload.
void ShutdownAccessGuard();

template <typename Body>
bool RunGuarded(Body& body) {
  return RunGuarded([](void* context) { (*static_cast<Body*>(context))(); }, &body);
}

}  // namespace telvor
