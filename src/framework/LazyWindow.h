// A process-wide window class for hidden message windows. Each window hands
// its messages to a handler record given at creation, so that a helper can
// own a message window without writing a window class of its own.
//
// The module registers the class at process attach and removes it at detach;
// it creates no window of this class itself.
#pragma once

#include <windows.h>

#include <memory>

namespace Tessel {

// Returns the message result, as a window procedure would; messages it does
// not handle go to DefWindowProcW (WM_NCCREATE must answer TRUE for the window
// to be created).
using LazyWindowHandler = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam, void* context);

// Passed as the creation parameter of a window of the class (allocated with
// new); from WM_NCCREATE on the window owns it and deletes it at WM_NCDESTROY,
// after the handler has seen that message.
struct LazyWindowRecord {
  LazyWindowHandler handler;
  void* context;
};

class LazyWindow {
 public:
  // Counts a user; the first registers the class and adds the window-data
  // atom. True when the class is available. Failures are logged, not retried.
  static bool Initialize();
  // Drops a user; the last unregisters the class and deletes the atom. A
  // call without a matching Initialize does nothing.
  static void Uninitialize();

  // Creates a hidden top-level window of the class whose messages go to the
  // record. The record is freed whatever happens: by the window once it has
  // taken it, here when creation never reached the window procedure.
  static HWND Create(std::unique_ptr<LazyWindowRecord> record, const wchar_t* title = nullptr);

  // The registered class name ("" while none is registered) and atoms.
  static const wchar_t* ClassName();
  static ATOM ClassAtom();
  static ATOM WindowDataAtom();

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

}  // namespace Tessel
