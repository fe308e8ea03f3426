#include "framework/StreamClock.h"

#include <uuids.h>

#include "base/Log.h"

namespace telvor {
namespace {

constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;

REFERENCE_TIME PerformanceCounterTime() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? f.QuadPart : 1;
  }();
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  // Split so that count x 10^7 cannot overflow after long uptimes.
  const LONGLONG seconds = count.QuadPart / frequency;
  const LONGLONG rest = count.QuadPart % frequency;
  return seconds * kUnitsPerSecond + rest * kUnitsPerSecond / frequency;
}

}  // namespace

StreamClock::StreamClock(const wchar_t* unit, const wchar_t* function, const void* owner)
    : unit_(unit), function_(function), owner_(owner) {}

StreamClock::~StreamClock() { Stop(); }

HRESULT StreamClock::Start(Source preferred, IReferenceClock* graphClock) {
  Stop();
  event_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!event_) return HRESULT_FROM_WIN32(GetLastError());

  if (preferred == Source::kSystemClock && graphClock) {
    clock_ = graphClock;
    source_ = Source::kSystemClock;
  } else if (preferred == Source::kSystemClock && StartSystemClock()) {
    source_ = Source::kSystemClock;
  } else {
    if (preferred == Source::kSystemClock) {
      ErrorObject(unit_, __LINE__, function_, owner_)
          << L"system reference clock unavailable, pacing with the performance counter";
    }
    if (!StartFallbackTimer()) {
      const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
      Stop();
      return FAILED(hr) ? hr : E_FAIL;
    }
    source_ = Source::kFallbackTimer;
  }
  baseTime_ = Now();
  return AdviseAt(0);
}

bool StreamClock::StartSystemClock() {
  // The streaming thread is ours; the clock's server needs COM on it.
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (SUCCEEDED(init)) {
    comInitialized_ = true;
    comThread_ = GetCurrentThreadId();
  }
  ComPtr<IUnknown> unknown;
  HRESULT hr = CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.PutVoid());
  if (SUCCEEDED(hr)) hr = OleRun(unknown.Get());
  if (SUCCEEDED(hr)) hr = unknown.QueryInto(IID_IReferenceClock, clock_.PutVoid());
  if (SUCCEEDED(hr)) return true;
  clock_.Reset();
  return false;
}

bool StreamClock::StartFallbackTimer() {
  timer_ = CreateThreadpoolTimer(&StreamClock::OnTimer, this, nullptr);
  return timer_ != nullptr;
}

void CALLBACK StreamClock::OnTimer(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER) {
  SetEvent(static_cast<StreamClock*>(context)->event_.Get());
}

REFERENCE_TIME StreamClock::Now() const {
  if (clock_) {
    REFERENCE_TIME now = 0;
    if (SUCCEEDED(clock_->GetTime(&now))) return now;
  }
  return PerformanceCounterTime();
}

HRESULT StreamClock::AdviseAt(REFERENCE_TIME streamTime) {
  if (!event_) return E_UNEXPECTED;
  if (clock_ && !timer_) {
    // A fired one-shot advise is gone already; cancelling is for the rare
    // re-arm before the last deadline came, so it cannot fire twice.
    if (cookie_) clock_->Unadvise(cookie_);
    cookie_ = 0;
    const HRESULT hr = clock_->AdviseTime(baseTime_, streamTime, reinterpret_cast<HEVENT>(event_.Get()), &cookie_);
    if (SUCCEEDED(hr)) return hr;
    // The graph's clock is the application's: one that refuses a deadline
    // would leave the stream waiting for good. Its time is still read; a
    // timer of our own wakes the stream from now on.
    cookie_ = 0;
    ErrorObject(unit_, __LINE__, function_, owner_)
        << L"the graph's clock refused a deadline, hr=0x" << std::hex << static_cast<unsigned long>(hr) << std::dec
        << L"; keeping time with a timer of our own";
    if (!StartFallbackTimer()) return hr;
  }
  if (!timer_) return E_UNEXPECTED;
  const REFERENCE_TIME wait = baseTime_ + streamTime - Now();
  if (wait <= 0) {
    SetThreadpoolTimer(timer_, nullptr, 0, 0);
    SetEvent(event_.Get());
    return S_OK;
  }
  // Negative due times are relative, in 100 ns units.
  ULARGE_INTEGER due;
  due.QuadPart = static_cast<ULONGLONG>(-wait);
  FILETIME dueTime;
  dueTime.dwLowDateTime = due.LowPart;
  dueTime.dwHighDateTime = due.HighPart;
  SetThreadpoolTimer(timer_, &dueTime, 0, 0);
  return S_OK;
}

void StreamClock::Cancel() {
  if (clock_ && cookie_) clock_->Unadvise(cookie_);
  cookie_ = 0;
  if (timer_) {
    SetThreadpoolTimer(timer_, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(timer_, TRUE);
  }
  if (event_) ResetEvent(event_.Get());
}

void StreamClock::Stop() {
  if (clock_ && cookie_) clock_->Unadvise(cookie_);
  cookie_ = 0;
  clock_.Reset();
  if (timer_) {
    SetThreadpoolTimer(timer_, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(timer_, TRUE);
    CloseThreadpoolTimer(timer_);
    timer_ = nullptr;
  }
  event_.Reset();
  if (comInitialized_ && comThread_ == GetCurrentThreadId()) {
    CoUninitialize();
    comInitialized_ = false;
  }
}

}  // namespace telvor
