// The pieces both camera pins share: the pin-category property, the
// clock that paces samples, and the thread that owns a pin's channel.
#include <gtest/gtest.h>

#include <dshow.h>

#include <atomic>
#include <vector>

#include "filter/CapturePinCategory.h"
#include "filter/ChannelThread.h"
#include "framework/StreamClock.h"

namespace {

using telvor::ChannelThread;
using telvor::StreamClock;

class CategoryOnly : public telvor::CapturePinCategory {
 public:
  STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
};

TEST(CapturePinCategory, AnswersTheCaptureCategoryForGetOnly) {
  CategoryOnly pin;
  GUID category = GUID_NULL;
  DWORD returned = 0;
  EXPECT_EQ(S_OK, pin.Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 16, &returned));
  EXPECT_EQ(PIN_CATEGORY_CAPTURE, category);
  EXPECT_EQ(16u, returned);
  returned = 0;  // the size alone
  EXPECT_EQ(S_OK, pin.Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, nullptr, 0, &returned));
  EXPECT_EQ(16u, returned);
  BYTE small[15];
  EXPECT_EQ(E_UNEXPECTED, pin.Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, small, 15, &returned));
  EXPECT_EQ(16u, returned) << "too small a buffer is told the size it needs";
  EXPECT_EQ(E_POINTER, pin.Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, nullptr, 16, nullptr));
  EXPECT_EQ(E_PROP_ID_UNSUPPORTED, pin.Get(AMPROPSETID_Pin, 1, nullptr, 0, &category, 16, &returned));
  EXPECT_EQ(E_PROP_SET_UNSUPPORTED,
            pin.Get(PIN_CATEGORY_CAPTURE, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 16, &returned));
  EXPECT_EQ(E_NOTIMPL, pin.Set(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 16));

  DWORD support = 0;
  EXPECT_EQ(S_OK, pin.QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, &support));
  EXPECT_EQ(static_cast<DWORD>(KSPROPERTY_SUPPORT_GET), support);
  EXPECT_EQ(S_OK, pin.QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr));
  EXPECT_EQ(E_PROP_ID_UNSUPPORTED, pin.QuerySupported(AMPROPSETID_Pin, 2, &support));
  EXPECT_EQ(E_PROP_SET_UNSUPPORTED, pin.QuerySupported(GUID_NULL, 0, &support));
}

// Deadlines of both clock sources: base + 0 is due at once, a later one is
// neither early nor badly late, and re-arming before it signals only once.
TEST(StreamClock, BothSourcesSignalAtBasePlusStreamTimeOnce) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  for (StreamClock::Source source : {StreamClock::Source::kSystemClock, StreamClock::Source::kFallbackTimer}) {
    SCOPED_TRACE(static_cast<int>(source));
    StreamClock clock(L"Test", L"Test::Pace", nullptr);
    ASSERT_EQ(S_OK, clock.Start(source));
    EXPECT_EQ(source, clock.ActiveSource());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(clock.Event(), 200));
    const REFERENCE_TIME target = clock.Now() - clock.BaseTime() + 600000;  // 60 ms from now
    ASSERT_EQ(S_OK, clock.AdviseAt(target - 300000));
    ASSERT_EQ(S_OK, clock.AdviseAt(target));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(clock.Event(), 40));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(clock.Event(), 1000));
    EXPECT_GE(clock.Now() - clock.BaseTime(), target - 20000);  // 2 ms of clock granularity
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(clock.Event(), 100));
    clock.Stop();
    EXPECT_EQ(nullptr, clock.Event());
  }
  CoUninitialize();
}

struct LoopRecord {
  std::vector<UINT> calls;
  std::vector<DWORD> threads;
};

// No producer: the loop's quiet retries are not recorded.
telvor::SharedChannel* RecordStart(void* context, bool quiet) {
  auto* record = static_cast<LoopRecord*>(context);
  if (quiet) return nullptr;
  record->calls.push_back(ChannelThread::kStartChannel);
  record->threads.push_back(GetCurrentThreadId());
  return nullptr;
}
void RecordStop(void* context) {
  auto* record = static_cast<LoopRecord*>(context);
  record->calls.push_back(ChannelThread::kStopChannel);
  record->threads.push_back(GetCurrentThreadId());
}

LoopRecord* g_record = nullptr;

DWORD WINAPI RecordingThreadProc(void* owner) {
  const ChannelThread::Handlers handlers = {&RecordStart, &RecordStop, g_record, L"Test", L"Test::ThreadProc"};
  return ChannelThread::RunMessageLoop(handlers, owner);
}

TEST(ChannelThread, StartAndStopRunOnTheChannelThreadInOrder) {
  LoopRecord record;
  g_record = &record;
  ChannelThread thread;
  thread.Stop();  // nothing to stop yet
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(thread.Start(&RecordingThreadProc, nullptr));
    const DWORD id = thread.ThreadId();
    EXPECT_NE(GetCurrentThreadId(), id);
    thread.Stop();
    EXPECT_FALSE(thread.Running());
    ASSERT_EQ(2u * (round + 1), record.calls.size());
    EXPECT_EQ(ChannelThread::kStartChannel, record.calls[2 * round]);
    EXPECT_EQ(ChannelThread::kStopChannel, record.calls[2 * round + 1]);
    EXPECT_EQ(id, record.threads[2 * round]);
    EXPECT_EQ(id, record.threads[2 * round + 1]);
  }
  g_record = nullptr;
}

}  // namespace
