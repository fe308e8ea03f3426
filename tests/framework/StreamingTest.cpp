// The streaming thread and its buffer loop inside Wine's real filter graph.
#include <gtest/gtest.h>

#include <control.h>
#include <evcode.h>
#include <tlhelp32.h>

#include "framework/TestSource.h"
#include "support/TestSink.h"

namespace telvor::test {
namespace {

constexpr DWORD kWaitMs = 5000;

int ThreadsInProcess() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  return count;
}

class StreamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    source = TestSource::Create();
  }
  void TearDown() override {
    if (control) control->Stop();
    control.Reset();
    events.Reset();
    graph.Reset();
    sink.Reset();
    source.Reset();
    EXPECT_EQ(0, CBaseObject::ObjectsActive());
    CoUninitialize();
  }
  // Both filters in a real graph, connected directly.
  void BuildGraph(const TestSinkOptions& options = {}) {
    sink = TestSink::Create(options);
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                     graph.PutVoid()));
    ASSERT_EQ(S_OK, graph->AddFilter(source.Get(), L"source"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink.Get(), L"sink"));
    ASSERT_EQ(S_OK, graph->ConnectDirect(source->stream, sink->InputPin(), nullptr));
    ASSERT_EQ(S_OK, graph.As(&control));
    ASSERT_EQ(S_OK, graph.QueryInto(IID_IMediaEvent, events.PutVoid()));
  }
  // Waits for one event code; false on timeout.
  bool WaitForEvent(long wanted, LONG_PTR* param1) {
    const ULONGLONG deadline = GetTickCount64() + kWaitMs;
    while (GetTickCount64() < deadline) {
      long code;
      LONG_PTR p1, p2;
      if (events->GetEvent(&code, &p1, &p2, 50) != S_OK) continue;
      events->FreeEventParams(code, p1, p2);
      if (code == wanted) {
        *param1 = p1;
        return true;
      }
    }
    return false;
  }

  ComPtr<TestSource> source;
  ComPtr<TestSink> sink;
  ComPtr<IFilterGraph> graph;
  ComPtr<IMediaControl> control;
  ComPtr<IMediaEvent> events;
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
// the pin's own grid, never ahead of the moment they arrive.
TEST_F(StreamingTest, NothingBeforeRunThenStreamTimeStampsOnTheFrameGrid) {
  BuildGraph();
  ASSERT_EQ(S_OK, control->Pause());
  Sleep(150);
  EXPECT_EQ(0u, sink->SampleCount());
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(3, kWaitMs));
  REFERENCE_TIME now = 0;
  ASSERT_EQ(S_OK, source->StreamTime(now));
  FILTER_STATE state;
  EXPECT_EQ(S_OK, source->GetState(0, &state));
  EXPECT_EQ(State_Running, state);
  ASSERT_EQ(S_OK, control->Stop());
  EXPECT_FALSE(source->stream->HasThread());
  EXPECT_EQ(1, source->stream->threadCreates);
  EXPECT_EQ(1, source->stream->threadDestroys);

  std::vector<ReceivedSample> samples = sink->Samples();
  ASSERT_GE(samples.size(), 3u);
  EXPECT_GE(samples[0].start, 0);
  for (size_t i = 0; i < samples.size(); ++i) {
    const ReceivedSample& sample = samples[i];
    ASSERT_EQ(static_cast<size_t>(kFrameBytes), sample.data.size());
    EXPECT_EQ(static_cast<BYTE>(i + 1), sample.data[0]) << "samples arrive in fill order";
    EXPECT_TRUE(sample.hasTime);
    EXPECT_EQ(samples[0].start + static_cast<REFERENCE_TIME>(i) * kFrameDuration, sample.start);
    EXPECT_EQ(sample.start + kFrameDuration, sample.stop);
    EXPECT_EQ(static_cast<LONGLONG>(i), sample.mediaStart);
    EXPECT_TRUE(sample.syncPoint);
  }
  EXPECT_LE(samples[2].start, now) << "stamped ahead of the stream time";
  EXPECT_EQ(0, sink->EndOfStreamCount()) << "stopping is not the end of the stream";
}

TEST_F(StreamingTest, PauseHoldsDeliveryRunContinuesAndStopStartsAfresh) {
  BuildGraph();
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(3, kWaitMs));
  ASSERT_EQ(S_OK, control->Pause());
  const size_t paused = sink->SampleCount();
  Sleep(150);
  EXPECT_EQ(paused, sink->SampleCount());
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(paused + 3, kWaitMs));
  std::vector<ReceivedSample> samples = sink->Samples();
  for (size_t i = 1; i < samples.size(); ++i) {
    EXPECT_GE(samples[i].start, samples[i - 1].stop) << i;
    EXPECT_EQ(samples[i - 1].mediaStop, samples[i].mediaStart) << i;
  }
  ASSERT_EQ(S_OK, control->Stop());
  sink->ClearSamples();
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs));
  EXPECT_EQ(0, sink->Samples()[0].mediaStart);
}

TEST_F(StreamingTest, FillBufferFalseEndsStreamOnceAndRunRestarts) {
  source->stream->endAt = 3;
  BuildGraph();
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForEndOfStream(1, kWaitMs));
  Sleep(100);
  EXPECT_EQ(2u, sink->SampleCount());
  EXPECT_EQ(1, sink->EndOfStreamCount());
  EXPECT_EQ(3, source->stream->fills) << "after the end the thread waits instead of filling";
  EXPECT_TRUE(source->stream->HasThread());

  ASSERT_EQ(S_OK, control->Stop());
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(4, kWaitMs)) << "a new run streams again";
  EXPECT_EQ(1, sink->EndOfStreamCount());
  EXPECT_EQ(2, source->stream->threadCreates);
}

TEST_F(StreamingTest, ASkippedDeadlineLeavesAGapOnTheGrid) {
  source->stream->skipAt = 2;
  BuildGraph();
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(3, kWaitMs));
  ASSERT_EQ(S_OK, control->Stop());
  const std::vector<ReceivedSample> samples = sink->Samples();
  EXPECT_EQ(3, samples[1].data[0]) << "the skipped fill never went downstream";
  EXPECT_EQ(samples[0].start + 2 * kFrameDuration, samples[1].start);
  EXPECT_EQ(2, samples[1].mediaStart);
  EXPECT_EQ(0, sink->EndOfStreamCount());
}

// Late by two and a half periods: a picture stream waits for the next
// deadline, where sound (the default) would catch up sample by sample.
TEST_F(StreamingTest, APictureStreamLetsLateDeadlinesGo) {
  source->stream->stallAt = 2;
  source->stream->stallMs = static_cast<DWORD>(kFrameDuration * 7 / 2 / 10000);
  source->stream->SkipLateDeadlines();
  BuildGraph();
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(3, kWaitMs));
  ASSERT_EQ(S_OK, control->Stop());
  const std::vector<ReceivedSample> samples = sink->Samples();
  EXPECT_EQ(1, samples[1].mediaStart);
  EXPECT_GE(samples[2].mediaStart, 5);
  EXPECT_EQ(samples[0].start + samples[2].mediaStart * kFrameDuration, samples[2].start);
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

TEST_F(StreamingTest, FillBufferFailureEndsStreamAndAbortsGraph) {
  source->stream->endAt = 2;
  source->stream->endResult = E_ACCESSDENIED;
  BuildGraph();
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForEndOfStream(1, kWaitMs));
  LONG_PTR param = 0;
  ASSERT_TRUE(WaitForEvent(EC_ERRORABORT, &param));
  EXPECT_EQ(E_ACCESSDENIED, static_cast<HRESULT>(param));
  EXPECT_EQ(1u, sink->SampleCount());
  EXPECT_TRUE(source->stream->HasThread()) << "the thread outlives the failure and waits";
}

TEST_F(StreamingTest, DownstreamFalseEndsLoopWithoutEndOfStream) {
  TestSinkOptions options;
  options.receiveResult = S_FALSE;
  BuildGraph(options);
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs));
  Sleep(100);
  EXPECT_EQ(1u, sink->SampleCount());
  EXPECT_EQ(1, source->stream->fills);
  EXPECT_EQ(0, sink->EndOfStreamCount());
  ASSERT_EQ(S_OK, control->Stop());
  EXPECT_FALSE(source->stream->HasThread());
}

TEST_F(StreamingTest, ManyRunStopCyclesLeakNoThreadsOrHandles) {
  BuildGraph();
  // One warm-up cycle lets the graph and clock create their own threads.
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs));
  ASSERT_EQ(S_OK, control->Stop());
  Sleep(50);
  const int threadsBefore = ThreadsInProcess();
  DWORD handlesBefore = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesBefore));

  constexpr int kCycles = 25;
  for (int i = 0; i < kCycles; ++i) {
    sink->ClearSamples();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs)) << "cycle " << i;
    ASSERT_EQ(S_OK, control->Stop());
    ASSERT_FALSE(source->stream->HasThread());
  }
  Sleep(50);
  EXPECT_EQ(kCycles + 1, source->stream->threadCreates);
  EXPECT_EQ(kCycles + 1, source->stream->threadDestroys);
  // Small slack for Wine's own bookkeeping; a per-cycle leak shows as 25+.
  EXPECT_LE(ThreadsInProcess(), threadsBefore + 2);
  DWORD handlesAfter = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesAfter));
  EXPECT_LE(handlesAfter, handlesBefore + 5);
}

}  // namespace
}  // namespace telvor::test
