#include "framework/AccessGuard.h"

#include <windows.h>

#include <atomic>
#include <mutex>

#include "compat/compat.h"

namespace telvor {
namespace {

#if TELVOR_HAS_SEH_KEYWORDS

bool GuardedCall(void (*body)(void*), void* context) {
  __try {
    body(context);
    return true;
  } __except (GetExceptionCode() == EXCEPTION_ACCESS_VIOLATION ? EXCEPTION_EXECUTE_HANDLER
                                                                 : EXCEPTION_CONTINUE_SEARCH) {
    return false;
  }
}

void RemoveHandler() {}

#else

// GCC for MinGW has no __try/__except. A vectored handler catches the fault on
// the faulting thread; it resumes that thread in RecoverFromFault (a normal
// function, outside the exception dispatcher), which jumps back to the guard.
struct GuardFrame {
  void* jump[5];  // __builtin_setjmp buffer
  GuardFrame* outer;
};

thread_local GuardFrame* t_innermost = nullptr;
std::atomic<void*> g_handler{nullptr};
std::mutex g_handler_mutex;

[[noreturn]] void RecoverFromFault() {
  GuardFrame* frame = t_innermost;
  __builtin_longjmp(frame->jump, 1);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || t_innermost == nullptr) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  CONTEXT* context = info->ContextRecord;
  // Enter RecoverFromFault as if called from the fault site: keep below the
  // faulting frame, 16-byte aligned minus the return-address slot, with the
  // 32-byte shadow area the Win64 convention expects.
  DWORD64 stack = (context->Rsp - 256) & ~static_cast<DWORD64>(15);
  context->Rsp = stack - 8;
  context->Rip = reinterpret_cast<DWORD64>(&RecoverFromFault);
  return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallHandler() {
  if (g_handler.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(g_handler_mutex);
  if (!g_handler.load(std::memory_order_relaxed)) {
    g_handler.store(AddVectoredExceptionHandler(1, OnException), std::memory_order_release);
  }
}

void RemoveHandler() {
  std::lock_guard<std::mutex> lock(g_handler_mutex);
  if (void* handler = g_handler.exchange(nullptr)) RemoveVectoredExceptionHandler(handler);
}

TELVOR_NOINLINE bool GuardedCall(void (*body)(void*), void* context) {
  InstallHandler();
  GuardFrame frame;
  frame.outer = t_innermost;
  t_innermost = &frame;
  if (__builtin_setjmp(frame.jump) != 0) {
    t_innermost = frame.outer;
    return false;
  }
  body(context);
  t_innermost = frame.outer;
  return true;
}

#endif

}  // namespace

bool RunGuarded(void (*body)(void* context), void* context) { return GuardedCall(body, context); }

void ShutdownAccessGuard() { RemoveHandler(); }

}  // namespace telvor
