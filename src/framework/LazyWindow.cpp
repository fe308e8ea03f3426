#include "framework/LazyWindow.h"

#include <ctime>
#include <cwchar>

#include "base/Log.h"

namespace Tessel {
namespace {

constexpr wchar_t kUnit[] = L"LazyWindow";
constexpr wchar_t kInitialize[] = L"Tessel::LazyWindow::Initialize";
constexpr wchar_t kWindowDataName[] = L"Qorin.WindowData";

// Changed only at process attach and detach under the loader lock, apart from
// the count, which is atomic for users on other threads.
volatile LONG g_useCount = 0;
HINSTANCE g_hostInstance = nullptr;
ATOM g_classAtom = 0;
ATOM g_windowDataAtom = 0;
wchar_t g_className[48] = L"";

// The record that Create has handed to CreateWindowExW and that no window
// procedure has taken yet; per thread because each thread creates its own.
thread_local LazyWindowRecord* t_pendingRecord = nullptr;

LazyWindowRecord* RecordOf(HWND window) {
  if (!g_windowDataAtom) return nullptr;
  return static_cast<LazyWindowRecord*>(GetPropW(window, MAKEINTATOM(g_windowDataAtom)));
}

// WM_NCCREATE: the window takes the record, or refuses to be created when it
// cannot keep it (a window whose handler is unreachable is of no use).
LRESULT AdoptRecord(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
  auto* record = create ? static_cast<LazyWindowRecord*>(create->lpCreateParams) : nullptr;
  if (!record) return DefWindowProcW(window, message, wParam, lParam);
  if (record == t_pendingRecord) t_pendingRecord = nullptr;
  if (!g_windowDataAtom || !SetPropW(window, MAKEINTATOM(g_windowDataAtom), record)) {
    delete record;
    return FALSE;
  }
  return record->handler(window, message, wParam, lParam, record->context);
}

}  // namespace

bool LazyWindow::Initialize() {
  if (InterlockedIncrement(&g_useCount) != 1 || g_classAtom) return g_classAtom != 0;
  if (!g_hostInstance) g_hostInstance = GetModuleHandleW(nullptr);

  // The clock suffix makes the name differ between processes and between
  // loads, so a class left behind by an earlier load never collides.
  std::swprintf(g_className, sizeof(g_className) / sizeof(g_className[0]), L"Qorin.WndClass.%ld",
                static_cast<long>(std::clock()));
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_OWNDC | CS_DBLCLKS;
  windowClass.lpfnWndProc = &LazyWindow::WindowProc;
  windowClass.hInstance = g_hostInstance;
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENU + 1));
  windowClass.lpszClassName = g_className;
  g_classAtom = RegisterClassExW(&windowClass);
  if (!g_classAtom) {
    TELVOR_ERROR_AT(kUnit, kInitialize) << L"err=" << static_cast<unsigned long>(GetLastError());
    g_className[0] = L'\0';
  }

  g_windowDataAtom = GlobalAddAtomW(kWindowDataName);
  if (!g_windowDataAtom) {
    TELVOR_ERROR_AT(kUnit, kInitialize) << L"err=" << static_cast<unsigned long>(GetLastError());
  }
  return g_classAtom != 0;
}

void LazyWindow::Uninitialize() {
  LONG count = g_useCount;
  // Never below zero, whatever the callers do.
  for (;;) {
    if (count <= 0) return;
    const LONG seen = InterlockedCompareExchange(&g_useCount, count - 1, count);
    if (seen == count) break;
    count = seen;
  }
  if (count != 1) return;
  if (g_classAtom) {
    UnregisterClassW(MAKEINTATOM(g_classAtom), g_hostInstance);
    g_classAtom = 0;
    g_className[0] = L'\0';
  }
  if (g_windowDataAtom) {
    GlobalDeleteAtom(g_windowDataAtom);
    g_windowDataAtom = 0;
  }
}

HWND LazyWindow::Create(std::unique_ptr<LazyWindowRecord> record, const wchar_t* title) {
  if (!record || !g_classAtom) return nullptr;
  LazyWindowRecord* const outer = t_pendingRecord;  // a handler may create windows too
  t_pendingRecord = record.get();
  HWND window = CreateWindowExW(0, g_className, title ? title : L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                g_hostInstance, record.get());
  if (t_pendingRecord == record.get()) {
    t_pendingRecord = nullptr;  // never reached the window procedure: still ours to free
  } else {
    record.release();  // the window took it (and may already have freed it)
  }
  t_pendingRecord = outer;
  return window;
}

const wchar_t* LazyWindow::ClassName() { return g_className; }
ATOM LazyWindow::ClassAtom() { return g_classAtom; }
ATOM LazyWindow::WindowDataAtom() { return g_windowDataAtom; }

LRESULT CALLBACK LazyWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) return AdoptRecord(window, message, wParam, lParam);
  LazyWindowRecord* record = RecordOf(window);
  if (!record) return DefWindowProcW(window, message, wParam, lParam);
  const LRESULT result = record->handler(window, message, wParam, lParam, record->context);
  if (message == WM_NCDESTROY) {
    RemovePropW(window, MAKEINTATOM(g_windowDataAtom));
    delete record;
  }
  return result;
}

}  // namespace Tessel
