#include "support/TestSink.h"

#include <uuids.h>

#include <algorithm>
#include <new>

namespace telvor::test {

class TestSinkPin : public CBaseInputPin {
 public:
  TestSinkPin(TestSink* filter, CCritSec* lock, HRESULT* hr)
      : CBaseInputPin(L"TestSinkPin", filter, lock, hr, L"In"), m_pSink(filter) {}

  HRESULT CheckMediaType(const CMediaType* type) override {
    const auto& accepted = m_pSink->m_Options.acceptedTypes;
    const bool any = accepted.empty() || std::find(accepted.begin(), accepted.end(), *type) != accepted.end();
    return any ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }

  STDMETHODIMP EndOfStream() override {
    m_pSink->CountEndOfStream();
    return S_OK;
  }

  STDMETHODIMP GetAllocator(IMemAllocator** allocator) override {
    if (!m_pSink->m_Options.offerAllocator) return CBaseInputPin::GetAllocator(allocator);
    if (!allocator) return E_POINTER;
    *allocator = nullptr;
    if (m_pSink->m_Options.allocator) return m_pSink->m_Options.allocator.CopyTo(allocator);
    if (!m_pOwnAllocator) {
      HRESULT hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                    m_pOwnAllocator.PutVoid());
      if (FAILED(hr)) return hr;
    }
    return m_pOwnAllocator.CopyTo(allocator);
  }

  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override {
    const TestSinkOptions& options = m_pSink->m_Options;
    if (!props || options.bufferSize <= 0) return CBaseInputPin::GetAllocatorRequirements(props);
    *props = ALLOCATOR_PROPERTIES{options.bufferCount, options.bufferSize, 1, 0};
    return S_OK;
  }

  STDMETHODIMP Receive(IMediaSample* sample) override {
    if (!sample) return E_POINTER;
    m_pSink->Record(sample);
    if (m_pSink->m_Options.onReceive) m_pSink->m_Options.onReceive(sample);
    return m_pSink->m_Options.receiveResult;
  }

 private:
  TestSink* m_pSink;
  ComPtr<IMemAllocator> m_pOwnAllocator;
};

// --- filter ---

TestSink::TestSink(const TestSinkOptions& options)
    : CBaseFilter(L"TestSink", nullptr, &m_StateLock, GUID_NULL),
      m_Options(options),
      m_Changed(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  HRESULT hr = S_OK;
  m_pPin = new TestSinkPin(this, &m_StateLock, &hr);
}

TestSink::~TestSink() { delete m_pPin; }

CBasePin* TestSink::GetPin(int n) { return n == 0 ? m_pPin : nullptr; }

IPin* TestSink::InputPin() { return m_pPin; }

void TestSink::Record(IMediaSample* sample) {
  ReceivedSample record;
  if (m_pClock && SUCCEEDED(m_pClock->GetTime(&record.arrival))) record.arrival -= m_tStart;
  record.hasTime = SUCCEEDED(sample->GetTime(&record.start, &record.stop));
  record.hasMediaTime = SUCCEEDED(sample->GetMediaTime(&record.mediaStart, &record.mediaStop));
  record.syncPoint = sample->IsSyncPoint() == S_OK;
  record.preroll = sample->IsPreroll() == S_OK;
  record.discontinuity = sample->IsDiscontinuity() == S_OK;
  record.actualLength = sample->GetActualDataLength();
  BYTE* data = nullptr;
  if (SUCCEEDED(sample->GetPointer(&data)) && data && record.actualLength > 0) {
    // The sample's own size bounds the copy too: a wrong actual length must
    // show up as a test failure, not as a read past the buffer.
    const long size = std::min(record.actualLength, sample->GetSize());
    const size_t copied = std::min(static_cast<size_t>(std::max(size, 0L)), kMaxCopyBytes);
    record.data.assign(data, data + copied);
  }
  CAutoLock lock(&m_RecordLock);
  m_Samples.push_back(std::move(record));
  SetEvent(m_Changed.Get());
}

void TestSink::CountEndOfStream() {
  CAutoLock lock(&m_RecordLock);
  ++m_EndOfStreams;
  SetEvent(m_Changed.Get());
}

std::vector<ReceivedSample> TestSink::Samples() {
  CAutoLock lock(&m_RecordLock);
  return m_Samples;
}

size_t TestSink::SampleCount() {
  CAutoLock lock(&m_RecordLock);
  return m_Samples.size();
}

int TestSink::EndOfStreamCount() {
  CAutoLock lock(&m_RecordLock);
  return m_EndOfStreams;
}

ComPtr<IMemAllocator> TestSink::NotifiedAllocator() { return m_pPin->Allocator(); }

void TestSink::ClearSamples() {
  CAutoLock lock(&m_RecordLock);
  m_Samples.clear();
}

template <typename Predicate>
bool TestSink::WaitFor(Predicate done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    {
      CAutoLock lock(&m_RecordLock);
      if (done()) return true;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(m_Changed.Get(), static_cast<DWORD>(deadline - now));
  }
}

bool TestSink::WaitForSamples(size_t count, DWORD timeoutMs) {
  return WaitFor([&] { return m_Samples.size() >= count; }, timeoutMs);
}

bool TestSink::WaitForEndOfStream(int count, DWORD timeoutMs) {
  return WaitFor([&] { return m_EndOfStreams >= count; }, timeoutMs);
}

}  // namespace telvor::test
