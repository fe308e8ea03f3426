// The streaming thread and its buffer loop inside Wine's real filter graph.
// That the camera's run/stop cycles through this loop leave no thread,
// handle or memory behind is telvor-stress's (telvor_stress_short).
#include <gtest/gtest.h>

#include <windows.h>
#include <evcode.h>

#include "support/TestSource.h"
#include "support/ShiftedClock.h"

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
  // The first parameter of the first `wanted` event; false on timeout.
  bool WaitForEvent(long wanted, LONG_PTR* param1) {
    ComPtr<IMediaEvent> events;
    EXPECT_EQ(S_OK, graph.QueryInto(IID_IMediaEvent, events.PutVoid()));
    long code = 0;
    LONG_PTR param2 = 0;
    for (const ULONGLONG deadline = GetTickCount64() + kWaitMs; events && GetTickCount64() < deadline;) {
      if (events->GetEvent(&code, param1, &param2, 50) != S_OK) continue;
      events->FreeEventParams(code, *param1, param2);
      if (code == wanted) return true;
    }
    return false;
  }

  ComPtr<TestSource> source = TestSource::Create();
};

TEST_F(StreamingTest, AFailedStartLeavesNoThread) {
  source->stream->threadCreateResult = E_OUTOFMEMORY;
  BuildGraph();
  EXPECT_EQ(E_OUTOFMEMORY, source->Pause());
  EXPECT_FALSE(source->stream->HasThread());
  EXPECT_EQ(1, source->stream->threadDestroys) << "a failed start still cleans up";
  EXPECT_EQ(S_OK, source->Stop());
}

// A live source: unconnected it starts no thread; connected nothing comes
// before Run, then samples stamped in stream time on the pin's own grid,
// never ahead of the moment they arrive. Pausing holds delivery, running
// again goes on where it was, stopping starts afresh.
TEST_F(StreamingTest, LiveStampsOnTheFrameGridThroughPauseRunAndStop) {
  EXPECT_EQ(S_OK, source->Pause());
  FILTER_STATE state;
  // A graph must not wait for renderers to get a sample of a live source in pause.
  EXPECT_EQ(VFW_S_CANT_CUE, source->GetState(0, &state));
  EXPECT_EQ(State_Paused, state);
  EXPECT_EQ(S_OK, source->Run(0));
  EXPECT_EQ(S_OK, source->GetState(0, &state));
  EXPECT_EQ(S_OK, source->Stop());
  EXPECT_EQ(0, source->stream->threadCreates);

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

// Every way a run goes on or ends, one fresh graph each. A deadline the fill
// lets pass, and deadlines a picture stream wakes up for more than half a
// period late (a stall of three and a half periods), leave gaps on the grid;
// sound (the default) would catch up sample by sample. S_FALSE from the fill
// ends the stream once, a failure also aborts the graph, S_FALSE from
// downstream ends the loop quietly; the thread waits in each case, and a new
// run streams again. (That such pictures still reach the client a period
// apart is the camera's pacing's: PacedStreamingTest.)
TEST_F(StreamingTest, GapsOnTheGridAndEachEndOnce) {
  constexpr REFERENCE_TIME kPeriod = kFrameDuration;
  const struct {
    const char* name;
    int skipAt, stallAt;
    REFERENCE_TIME stall;
    int endAt;
    HRESULT endResult, receiveResult;
    size_t samples;
    int endOfStreams;
    size_t gapAt;  // the first sample after a gap of at least `gap` deadlines; 0: none
    LONGLONG gap;
  } cases[] = {
      {"skipped", 2, 0, 0, 0, S_OK, S_OK, 6, 0, 1, 2},
      {"late", 0, 2, kPeriod * 7 / 2, 0, S_OK, S_OK, 6, 0, 2, 4},
      {"fill answers S_FALSE", 0, 0, 0, 3, S_FALSE, S_OK, 2, 1, 0, 0},
      {"fill fails", 0, 0, 0, 2, E_ACCESSDENIED, S_OK, 1, 1, 0, 0},
      {"downstream answers S_FALSE", 0, 0, 0, 0, S_OK, S_FALSE, 1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    source = TestSource::Create();
    TestStream& stream = *source->stream;
    stream.skipAt = c.skipAt;
    stream.stallAt = c.stallAt;
    stream.stallMs = static_cast<DWORD>(c.stall / 10000);
    if (c.stallAt) stream.SkipLateDeadlines();
    stream.endAt = c.endAt;
    stream.endResult = c.endResult;
    TestSinkOptions options;
    options.receiveResult = c.receiveResult;
    BuildGraph(options);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->WaitForSamples(c.samples, kWaitMs));
    const bool ends = c.endAt || c.receiveResult != S_OK;
    if (ends) {
      ASSERT_TRUE(sink->WaitForEndOfStream(c.endOfStreams, kWaitMs));
      Sleep(100);
      EXPECT_EQ(c.samples, sink->SampleCount());
      EXPECT_EQ(static_cast<int>(c.samples) + (c.endAt ? 1 : 0), stream.fills) << "the thread waits";
      EXPECT_TRUE(stream.HasThread());
      LONG_PTR param = 0;
      if (FAILED(c.endResult)) {
        ASSERT_TRUE(WaitForEvent(EC_ERRORABORT, &param));
        EXPECT_EQ(c.endResult, static_cast<HRESULT>(param));
      }
    }
    ASSERT_EQ(S_OK, control->Stop());
    EXPECT_FALSE(stream.HasThread());
    EXPECT_EQ(c.endOfStreams, sink->EndOfStreamCount());
    const std::vector<ReceivedSample> samples = sink->Samples();
    if (c.gapAt) {
      EXPECT_GE(samples[c.gapAt].mediaStart - samples[c.gapAt - 1].mediaStart, c.gap);
    }
    for (size_t i = 1; i < samples.size(); ++i) {
      SCOPED_TRACE("sample " + std::to_string(i));
      EXPECT_EQ((samples[i].mediaStart - samples[0].mediaStart) * kPeriod, samples[i].start - samples[0].start);
    }
    if (!ends) continue;
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->WaitForSamples(c.samples + 1, kWaitMs));
    EXPECT_EQ(c.endOfStreams, sink->EndOfStreamCount());
  }
}

// A pacing moves the deadlines behind the stamps from the run's first one on,
// holds a picture before it goes or drops it, and hears every step: once per
// run, after every fill, per picture sent and delivered. The stamps keep
// their grid; a dropped picture leaves its gap.
TEST_F(StreamingTest, APacingShiftsHoldsAndDropsPicturesOffTheStampsGrid) {
  constexpr REFERENCE_TIME kShift = kFrameDuration / 2, kHold = 50000;
  struct Scripted : StreamPacing {
    void Running(bool) override { ++runs; }
    REFERENCE_TIME Place(REFERENCE_TIME, REFERENCE_TIME) override { return ++places, kShift; }
    void Deadline(REFERENCE_TIME) override { ++deadlines; }
    REFERENCE_TIME Follow(REFERENCE_TIME shift) override { return ++follows, shift; }
    REFERENCE_TIME HoldFor(REFERENCE_TIME, REFERENCE_TIME) override { return ++holds == 3 ? kDrop : kHold; }
    void Sent(REFERENCE_TIME) override { ++sent; }
    void Delivered() override { ++delivered; }
    int runs = 0, places = 0, deadlines = 0, follows = 0, holds = 0, sent = 0, delivered = 0;
  } pacing;
  source->stream->SkipLateDeadlines();
  source->stream->Pace(&pacing);
  BuildGraph();
  EXPECT_TRUE(SUCCEEDED(control->Run()));
  const std::vector<ReceivedSample> samples = Next(0, 6);
  ASSERT_EQ(S_OK, control->Stop()) << "the stream outlives its pacing";
  ASSERT_EQ(6u, samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE("sample " + std::to_string(i));
    EXPECT_EQ((samples[i].mediaStart - samples[0].mediaStart) * kFrameDuration, samples[i].start - samples[0].start);
    EXPECT_GE(samples[i].arrival - samples[i].start, kShift + kHold - 10000) << "before its deadline";
  }
  EXPECT_EQ(2, samples[2].mediaStart - samples[1].mediaStart) << "the dropped picture's gap";
  EXPECT_EQ(1, pacing.runs);
  EXPECT_EQ(1, pacing.places);
  EXPECT_EQ(source->stream->fills.load(), pacing.follows);
  EXPECT_LE(pacing.follows, pacing.deadlines);
  EXPECT_EQ(pacing.holds - 1, pacing.sent);
  EXPECT_EQ(pacing.sent, pacing.delivered);
  EXPECT_GE(pacing.delivered, 6);
}

// The graph's clock is the client's: one that refuses every deadline still
// gets a stream at its pace (kept by a timer of the stream's own), and one
// that jumps ahead (a machine that slept) gets the present, not the gap
// replayed sample by sample as fast as the stream can go.
TEST_F(StreamingTest, AClockThatRefusesDeadlinesOrJumpsAheadNeitherStallsNorFloods) {
  BuildGraph();
  const ComPtr<ShiftedClock> clock = ShiftedClock::Create();
  ComPtr<IMediaFilter> media;
  ASSERT_TRUE(clock && graph.As(&media) == S_OK && media->SetSyncSource(clock.Get()) == S_OK);
  clock->refuse_deadlines = true;
  ASSERT_EQ(S_OK, control->Run());
  const ULONGLONG started = GetTickCount64();
  EXPECT_EQ(Next(0, 10).size(), 10u) << "a refused deadline stalled the stream";
  EXPECT_GE(GetTickCount64() - started, 9 * kFrameDuration / 10000 - 20) << "faster than its frame rate";
  control->Stop();

  clock->refuse_deadlines = false;
  ASSERT_EQ(S_OK, control->Run());
  const size_t before = Next(sink->SampleCount(), 3).empty() ? 0 : sink->SampleCount();
  ASSERT_GT(before, 0u);
  constexpr REFERENCE_TIME kJump = 50000000;  // 5 s, 125 frames
  clock->shift += kJump;
  Sleep(400);
  const std::vector<ReceivedSample> all = sink->Samples();
  EXPECT_LE(all.size() - before, 14u) << "the gap was replayed";
  ASSERT_GT(all.size(), before + 2);
  EXPECT_GE(all.back().start - all[before - 1].start, kJump) << "the stream did not move on to the present";
}

}  // namespace
}  // namespace telvor::test
