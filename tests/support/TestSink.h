// A renderer-like sink filter built on our own framework, for pin tests. Its
// one input pin "In" accepts any type (or only the types given), proposes none,
// records every sample and answers Receive with a result the test chooses. It
// can offer its own allocator or none, as a capture client such as FFmpeg does.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "framework/BaseFilter.h"
#include "framework/InputPin.h"
#include "framework/ComPtr.h"
#include "base/Handle.h"
#include "framework/MediaType.h"

namespace telvor::test {

inline constexpr size_t kMaxCopyBytes = 64 * 1024;

struct ReceivedSample {
  bool hasTime = false;  // GetTime gave at least a start
  REFERENCE_TIME start = 0, stop = 0;
  bool hasMediaTime = false;
  LONGLONG mediaStart = 0, mediaStop = 0;
  bool syncPoint = false, preroll = false, discontinuity = false;
  long actualLength = 0;
  REFERENCE_TIME arrival = 0;  // stream time at Receive (0 without a clock): what FFmpeg stamps video by
  std::vector<BYTE> data;  // the first min(actualLength, kMaxCopyBytes) bytes
};

struct TestSinkOptions {
  bool offerAllocator = false;  // false: GetAllocator answers VFW_E_NO_ALLOCATOR
  ComPtr<IMemAllocator> allocator;  // offered instead of a memory allocator when set
  long bufferSize = 0;          // > 0: reported through GetAllocatorRequirements
  long bufferCount = 1;
  HRESULT receiveResult = S_OK;
  std::vector<CMediaType> acceptedTypes;  // empty: every type is accepted
  std::function<void(IMediaSample*)> onReceive;  // runs inside Receive, after the sample is recorded
};

class TestSinkPin;

class TestSink : public CBaseFilter {
 public:
  // A new sink holding one reference for the caller.
  static ComPtr<TestSink> Create(const TestSinkOptions& options = {}) {
    return ComPtr<TestSink>(new TestSink(options));
  }

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override;
  IPin* InputPin();

  // --- what the test reads (thread-safe) ---
  std::vector<ReceivedSample> Samples();
  size_t SampleCount();
  int EndOfStreamCount();
  // The allocator the source chose, or null.
  ComPtr<IMemAllocator> NotifiedAllocator();
  // Waits until at least `count` samples arrived; false on timeout.
  bool WaitForSamples(size_t count, DWORD timeoutMs);
  bool WaitForEndOfStream(int count, DWORD timeoutMs);
  void ClearSamples();

 private:
  friend class TestSinkPin;
  explicit TestSink(const TestSinkOptions& options);
  ~TestSink() override;
  void Record(IMediaSample* sample);
  void CountEndOfStream();
  template <typename Predicate>
  bool WaitFor(Predicate done, DWORD timeoutMs);

  CCritSec m_StateLock;
  TestSinkOptions m_Options;
  TestSinkPin* m_pPin = nullptr;

  CCritSec m_RecordLock;  // guards everything below
  std::vector<ReceivedSample> m_Samples;
  int m_EndOfStreams = 0;
  UniqueHandle m_Changed;  // auto reset: something was recorded
};

}  // namespace telvor::test
