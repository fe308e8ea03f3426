// The pieces both camera pins share: the pin-category property, the
// clock that paces samples, and the thread that owns a pin's channel.
#include <gtest/gtest.h>

#include <dshow.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "filter/CapturePinCategory.h"
#include "filter/ChannelThread.h"
#include "framework/StreamClock.h"
#include "filter/PhaseLock.h"

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
    // A machine that stalls the 40 ms wait past the target lets it see the
    // signal: then only when it came counts.
    const DWORD early = WaitForSingleObject(clock.Event(), 40);
    EXPECT_TRUE(early == WAIT_TIMEOUT || early == WAIT_OBJECT_0);
    if (early == WAIT_TIMEOUT) {
      EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(clock.Event(), 1000));
    }
    EXPECT_GE(clock.Now() - clock.BaseTime(), target - 20000);  // 2 ms of clock granularity
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(clock.Event(), 100));
    clock.Stop();
    EXPECT_EQ(nullptr, clock.Event());
  }
  CoUninitialize();
}

// What the channel thread was asked, and on which thread.
using Calls = std::vector<std::pair<UINT, DWORD>>;

telvor::SharedChannel* RecordStart(void* calls, bool quiet) {
  // No producer: the loop's quiet retries are not recorded.
  if (!quiet) static_cast<Calls*>(calls)->emplace_back(ChannelThread::kStartChannel, GetCurrentThreadId());
  return nullptr;
}
void RecordStop(void* calls) {
  static_cast<Calls*>(calls)->emplace_back(ChannelThread::kStopChannel, GetCurrentThreadId());
}
DWORD WINAPI RecordingThreadProc(void* calls) {
  return ChannelThread::RunMessageLoop({&RecordStart, &RecordStop, calls, L"Test", L"Test::ThreadProc"}, calls);
}

TEST(ChannelThread, StartAndStopRunOnTheChannelThreadInOrder) {
  Calls calls;
  ChannelThread thread;
  thread.Stop();  // nothing to stop yet
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(thread.Start(&RecordingThreadProc, &calls));
    const DWORD id = thread.ThreadId();
    EXPECT_NE(GetCurrentThreadId(), id);
    thread.Stop();
    EXPECT_FALSE(thread.Running());
    ASSERT_EQ(2u * (round + 1), calls.size());
    EXPECT_EQ(Calls({{ChannelThread::kStartChannel, id}, {ChannelThread::kStopChannel, id}}),
              Calls(calls.end() - 2, calls.end()));
  }
}

// The shift at each deadline against a producer writing at offset + k * its
// period (+ drift per frame, + jump from frame `jumpAt` on, none from `stopAt` on,
// every `lateEvery`-th frame `lateBy` later).
struct Script {
  const char* name;
  std::int64_t producerPeriod;
  std::int64_t offset;
  std::int64_t drift = 0;
  int jumpAt = 1 << 30;
  std::int64_t jump = 0;
  int stopAt = 1 << 30;
  int lateEvery = 1 << 30;
  std::int64_t lateBy = 0;
};

std::vector<std::int64_t> RunScript(const Script& s, std::int64_t period, int deadlines,
                                    telvor::PhaseLock::MarginRule rule = telvor::PhaseLock::MarginRule::kAdapts,
                                    bool* anotherRate = nullptr) {
  telvor::PhaseLock lock(rule);
  lock.Reset(period);
  std::vector<std::int64_t> shifts;
  std::int64_t shift = 0, previous = -period;
  for (int k = 0; k < deadlines; ++k) {
    const std::int64_t deadline = k * period + shift;
    bool arrived = false;
    std::int64_t newest = 0;
    for (int j = 0; j < s.stopAt; ++j) {
      const std::int64_t a = s.offset + j * (s.producerPeriod + s.drift) + (j >= s.jumpAt ? s.jump : 0) +
                             (j % s.lateEvery == s.lateEvery - 1 ? s.lateBy : 0);
      if (a > deadline) break;
      if (a > previous) arrived = true, newest = a;
    }
    previous = deadline;
    shift = lock.Update(arrived, deadline - newest, shift);
    shifts.push_back(shift);
  }
  if (anotherRate) *anotherRate = lock.SeesAnotherRate();
  return shifts;
}

}  // namespace

// One move to the margin after a steady producer's arrivals, then small
// steps only (to the margin its lateness needs); a producer at another rate
// moves them not at all.
TEST(PhaseLock, MovesOnceThenFollowsBySmallStepsAndNeverLocksToAnotherRate) {
  using telvor::PhaseLock;
  constexpr std::int64_t kPeriod = 333333;  // 30 fps
  constexpr std::int64_t kLocked = 150000 + PhaseLock::kMinMargin;
  constexpr std::int64_t kJustAfterStart = 10000 - PhaseLock::kMargin;  // placed 1 ms into the period
  struct Case {
    Script script;
    std::int64_t finalShift;  // -1: stays 0
    std::int64_t tolerance;
    int bigMoves = 1;
  } cases[] = {
      {{"same rate, 15 ms into the period", kPeriod, 150000}, kLocked, 0},
      {{"appears after ten periods", kPeriod, 10 * kPeriod + 150000}, kLocked, 0},
      // the newest arrival at the first deadlines is the one 1.7 ms before them
      {{"60 fps into 30", kPeriod / 2, 150000 - kPeriod / 2}, 0, 0},
      {{"drifting 20 us a frame", kPeriod, 150000, 200}, kLocked + 200 * 200, 20000},
      {{"phase jumps by 8 ms", kPeriod, 150000, 0, 60, 80000}, kLocked + 80000, PhaseLock::kStep},
      {{"stops after 40 frames", kPeriod, 150000, 0, 1 << 30, 0, 40}, 150000 + PhaseLock::kMargin, 0},
      {{"every tenth 2 ms late", kPeriod, 150000, 0, 1 << 30, 0, 1 << 30, 10, 20000}, kLocked + 12500, 0},
      {{"25 fps into 30", 400000, 150000}, -1, 0},
      // about the period's start: followed the short way, held at 0
      {{"phase steps back across the start", kPeriod, kJustAfterStart, 0, 60, -20000}, 0, 0},
      {{"faster by 0.1 ms, across the start", kPeriod, kJustAfterStart, -1000},
       kPeriod - 215000 + PhaseLock::kMinMargin, 5000, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script.name);
    bool anotherRate = false;
    const std::vector<std::int64_t> shifts =
        RunScript(c.script, kPeriod, 200, PhaseLock::MarginRule::kAdapts, &anotherRate);
    EXPECT_EQ(c.finalShift < 0, anotherRate);
    if (c.finalShift < 0) {
      for (std::int64_t s : shifts) EXPECT_EQ(0, s);
      continue;
    }
    // None before the first arrival, one move within the first window and a frame or two...
    const int appears = static_cast<int>(std::max<std::int64_t>(0, c.script.offset / kPeriod));
    for (int k = 0; k < appears; ++k) EXPECT_EQ(0, shifts[k]);
    int bigMoves = 0;
    for (size_t k = 1; k < shifts.size(); ++k) {
      const std::int64_t step = shifts[k] - shifts[k - 1];
      if (step > PhaseLock::kStep || step < -PhaseLock::kStep) ++bigMoves;
    }
    EXPECT_EQ(c.bigMoves, bigMoves);
    EXPECT_GT(shifts[appears + PhaseLock::kWindow + 2], 0);
    // ... then where the producer is, and steps only while it moves.
    EXPECT_NEAR(static_cast<double>(c.finalShift), static_cast<double>(shifts.back()), c.tolerance);
    if (c.script.drift == 0 && c.script.jump == 0) {
      EXPECT_EQ(shifts[shifts.size() - 50], shifts.back());
    }
  }
  // Sound keeps its margin however steady the producer.
  EXPECT_EQ(150000 + PhaseLock::kMargin,
            RunScript({"sound", kPeriod, 150000}, kPeriod, 200, PhaseLock::MarginRule::kFixed).back());
}
