// The streaming thread and its buffer loop inside Wine's real filter graph.
// That the camera's run/stop cycles through this loop leave no thread,
// handle or memory behind is telvor-stress's (telvor_stress_short).
#include <gtest/gtest.h>

#include <windows.h>
#include <evcode.h>

#include "framework/TestSource.h"

namespace telvor::test {
namespace {

constexpr DWORD kWaitMs = 5000;

class StreamingTest : public SinkGraphTest {
 protected:
  void TearDown() override {
    source.Reset();
    SinkGraphTest::TearDown();
  }
  void BuildGraph(const TestSinkOptions& options = {}) { Connect(source.Get(), source->stream, nullptr, options); }
  // Waits for one event code; false on timeout.
  bool WaitForEvent(long wanted, LONG_PTR* param1) {
    ComPtr<IMediaEvent> events;
    EXPECT_EQ(S_OK, graph.QueryInto(IID_IMediaEvent, events.PutVoid()));
    for (const ULONGLONG deadline = GetTickCount64() + kWaitMs; events && GetTickCount64() < deadline;) {
      long code;
      LONG_PTR p1, p2;
      if (events->GetEvent(&code, &p1, &p2, 50) != S_OK) continue;
      events->FreeEventParams(code, p1, p2);
      if (code == wanted) return *param1 = p1, true;
    }
    return false;
  }

  ComPtr<TestSource> source = TestSource::Create();
};

TEST_F(StreamingTest, PauseStartsNoThreadUnconnectedAndLeavesNoneWhenTheStartFails) {
  EXPECT_EQ(S_OK, source->Pause());
  FILTER_STATE state;
  // A live source: a graph must not wait for renderers to get a sample in pause.
  EXPECT_EQ(VFW_S_CANT_CUE, source->GetState(0, &state));
  EXPECT_EQ(State_Paused, state);
  EXPECT_EQ(S_OK, source->Run(0));
  EXPECT_EQ(S_OK, source->GetState(0, &state));
  EXPECT_EQ(S_OK, source->Stop());
  EXPECT_EQ(0, source->stream->threadCreates);

  source->stream->threadCreateResult = E_OUTOFMEMORY;
  BuildGraph();
  EXPECT_EQ(E_OUTOFMEMORY, source->Pause());
  EXPECT_FALSE(source->stream->HasThread());
  EXPECT_EQ(1, source->stream->threadDestroys) << "a failed start still cleans up";
  EXPECT_EQ(S_OK, source->Stop());
}

// A live source: nothing before Run, then samples stamped in stream time on
// the pin's own grid, never ahead of the moment they arrive. Pausing holds
// delivery, running again goes on where it was, stopping starts afresh.
TEST_F(StreamingTest, LiveStampsOnTheFrameGridThroughPauseRunAndStop) {
  BuildGraph();
  ASSERT_EQ(S_OK, control->Pause());
  Sleep(150);
  EXPECT_EQ(0u, sink->SampleCount());
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(3, kWaitMs));
  REFERENCE_TIME now = 0;
  ASSERT_EQ(S_OK, source->StreamTime(now));
  ASSERT_EQ(S_OK, control->Pause());
  const size_t paused = sink->SampleCount();
  Sleep(150);
  EXPECT_EQ(paused, sink->SampleCount());
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(paused + 3, kWaitMs));
  ASSERT_EQ(S_OK, control->Stop());
  EXPECT_FALSE(source->stream->HasThread());
  EXPECT_EQ(1, source->stream->threadCreates);
  EXPECT_EQ(1, source->stream->threadDestroys);

  const std::vector<ReceivedSample> samples = sink->Samples();
  EXPECT_GE(samples[0].start, 0);
  EXPECT_LE(samples[2].start, now) << "stamped ahead of the stream time";
  for (size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE(i);
    const ReceivedSample& sample = samples[i];
    ASSERT_EQ(static_cast<size_t>(kFrameBytes), sample.data.size());
    EXPECT_EQ(static_cast<BYTE>(i + 1), sample.data[0]) << "samples arrive in fill order";
    EXPECT_TRUE(sample.hasTime && sample.syncPoint && sample.stop == sample.start + kFrameDuration);
    EXPECT_EQ(static_cast<LONGLONG>(i), sample.mediaStart);
    if (i < paused) {
      EXPECT_EQ(samples[0].start + static_cast<REFERENCE_TIME>(i) * kFrameDuration, sample.start);
    } else {
      EXPECT_GE(sample.start, samples[i - 1].stop);
    }
  }
  EXPECT_EQ(0, sink->EndOfStreamCount()) << "stopping is not the end of the stream";
  sink->ClearSamples();
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs));
  EXPECT_EQ(0, sink->Samples()[0].mediaStart);
}

// A deadline the fill lets pass, and deadlines a picture stream wakes up for
// more than half a period late (a stall of three and a half periods), leave
// gaps on the grid; sound (the default) would catch up sample by sample.
TEST_F(StreamingTest, SkippedAndLateDeadlinesLeaveGapsOnTheGrid) {
  const struct {
    int skipAt, stallAt;
    size_t sample;  // the first sample after the gap
    LONGLONG gap;   // at least, in deadlines
  } cases[] = {{2, 0, 1, 2}, {0, 2, 2, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.skipAt ? "skipped" : "late");
    TearDown();
    SetUp();
    source = TestSource::Create();
    source->stream->skipAt = c.skipAt;
    source->stream->stallAt = c.stallAt;
    source->stream->stallMs = static_cast<DWORD>(kFrameDuration * 7 / 2 / 10000);
    if (c.stallAt) source->stream->SkipLateDeadlines();
    BuildGraph();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->WaitForSamples(3, kWaitMs));
    ASSERT_EQ(S_OK, control->Stop());
    const std::vector<ReceivedSample> samples = sink->Samples();
    EXPECT_GE(samples[c.sample].mediaStart - samples[c.sample - 1].mediaStart, c.gap);
    for (const ReceivedSample& s : samples) {
      EXPECT_EQ((s.mediaStart - samples[0].mediaStart) * kFrameDuration, s.start - samples[0].start);
    }
    EXPECT_EQ(0, sink->EndOfStreamCount());
  }
}

// A picture held up after its deadline's wake-up (the machine was busy while
// it was converted) must not reach the client in the same period as the next
// one: FFmpeg rounds each video arrival, counted from the first or from Run,
// to the frame rate and refuses a second frame in one period.
TEST_F(StreamingTest, APictureHeldUpAfterItsWakeUpNeverSharesAPeriodWithTheNext) {
  source->stream->stallAt = 3;
  source->stream->stallMs = static_cast<DWORD>(kFrameDuration * 7 / 10 / 10000);
  source->stream->SkipLateDeadlines();
  BuildGraph();
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(6, kWaitMs));
  ASSERT_EQ(S_OK, control->Stop());
  const std::vector<ReceivedSample> samples = sink->Samples();
  const auto period = [](REFERENCE_TIME since) { return (since + kFrameDuration / 2) / kFrameDuration; };
  for (size_t i = 1; i < samples.size(); ++i) {
    SCOPED_TRACE("sample " + std::to_string(i));
    EXPECT_LT(period(samples[i - 1].arrival - samples[0].arrival), period(samples[i].arrival - samples[0].arrival));
    EXPECT_LT(period(samples[i - 1].arrival), period(samples[i].arrival));
  }
}

// How the loop ends: S_FALSE from the fill ends the stream once, a failure
// also aborts the graph, S_FALSE from downstream ends the loop quietly. The
// thread waits in every case, and a new run streams again.
TEST_F(StreamingTest, TheLoopEndsOnceAndANewRunStreamsAgain) {
  const struct {
    const char* name;
    int endAt;
    HRESULT endResult, receiveResult;
    size_t samples;
    int endOfStreams;
  } cases[] = {{"fill answers S_FALSE", 3, S_FALSE, S_OK, 2, 1},
               {"fill fails", 2, E_ACCESSDENIED, S_OK, 1, 1},
               {"downstream answers S_FALSE", 0, S_OK, S_FALSE, 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    source = TestSource::Create();
    source->stream->endAt = c.endAt;
    source->stream->endResult = c.endResult;
    TestSinkOptions options;
    options.receiveResult = c.receiveResult;
    BuildGraph(options);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->WaitForSamples(c.samples, kWaitMs));
    ASSERT_TRUE(sink->WaitForEndOfStream(c.endOfStreams, kWaitMs));
    Sleep(100);
    EXPECT_EQ(c.samples, sink->SampleCount());
    EXPECT_EQ(c.endOfStreams, sink->EndOfStreamCount());
    EXPECT_EQ(static_cast<int>(c.samples) + (c.endAt ? 1 : 0), source->stream->fills) << "the thread waits";
    EXPECT_TRUE(source->stream->HasThread());
    LONG_PTR param = 0;
    if (FAILED(c.endResult)) {
      ASSERT_TRUE(WaitForEvent(EC_ERRORABORT, &param));
      EXPECT_EQ(c.endResult, static_cast<HRESULT>(param));
    }
    ASSERT_EQ(S_OK, control->Stop());
    EXPECT_FALSE(source->stream->HasThread());
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->WaitForSamples(c.samples + 1, kWaitMs));
    EXPECT_EQ(c.endOfStreams, sink->EndOfStreamCount());
  }
}

}  // namespace
}  // namespace telvor::test
