#include "base/AccessGuard.h"

#include <windows.h>

#include <mutex>

#include "compat/compat.h"

namespace telvor {
namespace {

std::mutex g_use_mutex;
int g_uses = 0;  // under g_use_mutex

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

void Install() {}
void Remove() {}
bool Installed() { return g_uses > 0; }

#else

// GCC for MinGW has no __try/__except. A vectored handler catches the fault on
// the faulting thread; it resumes that thread in RecoverFromFault (a normal
// function, outside the exception dispatcher), which jumps back to the guard.
struct GuardFrame {
  void* jump[5];  // __builtin_setjmp buffer
  GuardFrame* outer;
#if defined(_M_IX86) || defined(__i386__)
  // 32-bit x86 keeps its frame-based handlers in a list on the stack, headed
  // in the thread block. Anything the body registered there lives in the
  // frames the jump abandons, so the head is put back as it was.
  void* handlers;
#endif
};

#if defined(_M_IX86) || defined(__i386__)
// The list head is the first word of the thread block, at fs:0.
void* HandlerListHead() {
  void* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}
void SetHandlerListHead(void* head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }
#endif

// The innermost guard of each thread lives in a system thread slot, not in
// compiler thread-local storage: the handler runs for every fault on every
// thread of the host, and the compiler's emulated storage allocates on a
// thread's first use, which inside a fault raised under the heap's lock
// would deadlock the host.
DWORD g_frame_slot = TLS_OUT_OF_INDEXES;  // set before the handler is installed
void* g_handler = nullptr;                // under g_use_mutex

GuardFrame* InnermostFrame() { return static_cast<GuardFrame*>(TlsGetValue(g_frame_slot)); }

[[noreturn]] void RecoverFromFault() {
  GuardFrame* frame = InnermostFrame();
#if defined(_M_IX86) || defined(__i386__)
  SetHandlerListHead(frame->handlers);
#endif
  __builtin_longjmp(frame->jump, 1);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
  // TlsGetValue clears the thread's last error; the faulting code may still need it.
  const DWORD lastError = GetLastError();
  const bool guarded = InnermostFrame() != nullptr;
  SetLastError(lastError);
  if (!guarded) return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT* context = info->ContextRecord;
  // Enter RecoverFromFault as if called from the fault site: keep below the
  // faulting frame, with the stack aligned as a call leaves it.
#if defined(_M_X64) || defined(__x86_64__)
  // 16-byte aligned minus the return-address slot; the margin leaves room
  // for the 32-byte shadow area the Win64 convention expects.
  DWORD64 stack = (context->Rsp - 256) & ~static_cast<DWORD64>(15);
  context->Rsp = stack - 8;
  context->Rip = reinterpret_cast<DWORD64>(&RecoverFromFault);
#elif defined(_M_IX86) || defined(__i386__)
  DWORD stack = (context->Esp - 256) & ~static_cast<DWORD>(15);
  context->Esp = stack - 4;
  context->Eip = reinterpret_cast<DWORD>(&RecoverFromFault);
#else
#error "no fault recovery for this processor"
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Under g_use_mutex.
void Install() {
  if (g_frame_slot == TLS_OUT_OF_INDEXES) g_frame_slot = TlsAlloc();
  if (g_frame_slot != TLS_OUT_OF_INDEXES && !g_handler) g_handler = AddVectoredExceptionHandler(1, OnException);
}

void Remove() {
  if (g_handler) RemoveVectoredExceptionHandler(g_handler);
  g_handler = nullptr;
}

bool Installed() { return g_handler != nullptr; }

TELVOR_NOINLINE bool GuardedCall(void (*body)(void*), void* context) {
  GuardFrame frame;
  frame.outer = InnermostFrame();
#if defined(_M_IX86) || defined(__i386__)
  frame.handlers = HandlerListHead();
#endif
  TlsSetValue(g_frame_slot, &frame);
  if (__builtin_setjmp(frame.jump) != 0) {
    TlsSetValue(g_frame_slot, frame.outer);
    return false;
  }
  body(context);
  TlsSetValue(g_frame_slot, frame.outer);
  return true;
}

#endif

}  // namespace

AccessGuardUse::AccessGuardUse() {
  std::lock_guard<std::mutex> lock(g_use_mutex);
  if (g_uses++ == 0) Install();
}

AccessGuardUse::~AccessGuardUse() {
  std::lock_guard<std::mutex> lock(g_use_mutex);
  if (--g_uses == 0) Remove();
}

bool RunGuarded(void (*body)(void* context), void* context) {
  AccessGuardUse use;
  {
    std::lock_guard<std::mutex> lock(g_use_mutex);
    // Without a handler (no thread slot left in the process) a fault would
    // end the host; refusing the body is the safe answer.
    if (!Installed()) return false;
  }
  return GuardedCall(body, context);
}

bool AccessGuardInstalled() {
  std::lock_guard<std::mutex> lock(g_use_mutex);
  return Installed();
}

void ShutdownAccessGuard() {
  std::lock_guard<std::mutex> lock(g_use_mutex);
  Remove();
#if !TELVOR_HAS_SEH_KEYWORDS
  if (g_frame_slot != TLS_OUT_OF_INDEXES) TlsFree(g_frame_slot);
  g_frame_slot = TLS_OUT_OF_INDEXES;
#endif
}

}  // namespace telvor
