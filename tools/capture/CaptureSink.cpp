#include "CaptureSink.h"

#include <uuids.h>
#include <vfwmsgs.h>

#include <algorithm>

#include "SoundStamp.h"
#include "telvor_producer.h"

namespace capture {
namespace {

const CLSID kClsidCaptureSink = {0x7d4b1e62, 0x93a5, 0x4c0f, {0x8e, 0x21, 0x5b, 0x6c, 0x7d, 0x8e, 0x9f, 0x01}};

std::int64_t FileTimeTicks(const FILETIME& t) {
  return static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
}

bool AllZero(const BYTE* data, std::size_t size) {
  return std::all_of(data, data + size, [](BYTE b) { return b == 0; });
}

}  // namespace

std::int64_t ProcessCpuTime() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return FileTimeTicks(kernel) + FileTimeTicks(user);
}

// --- pin ---

// No allocator of its own, as FFmpeg's pin: the camera brings one.
CaptureSinkPin::CaptureSinkPin(CaptureSink* filter, CCritSec* lock, HRESULT* hr)
    : CBaseInputPin(L"CaptureSinkPin", filter, lock, hr, L"In"), m_pSink(filter) {}

HRESULT CaptureSinkPin::CheckMediaType(const CMediaType* type) {
  return type && IsEqualGUID(type->majortype, m_pSink->m_MajorType) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

STDMETHODIMP CaptureSinkPin::Receive(IMediaSample* sample) {
  // Read the clocks before anything else: this is the delivery time measured.
  const std::int64_t arrival = static_cast<std::int64_t>(telvor_clock_now());
  std::int64_t streamArrival = 0;
  const bool running = m_pSink->StreamTimeNow(streamArrival);
  if (!sample) return E_POINTER;
  m_pSink->Record(sample, arrival, running, streamArrival);
  return S_OK;
}

// --- filter ---

ComPtr<CaptureSink> CaptureSink::Create(const GUID& majorType, std::int64_t window, std::size_t expectedSamples) {
  return ComPtr<CaptureSink>(new CaptureSink(majorType, window, expectedSamples));
}

CaptureSink::CaptureSink(const GUID& majorType, std::int64_t window, std::size_t expectedSamples)
    : CBaseFilter(L"CaptureSink", nullptr, &m_StateLock, kClsidCaptureSink),
      m_MajorType(majorType),
      m_Window(window),
      m_WindowDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  HRESULT hr = S_OK;
  m_pPin = new CaptureSinkPin(this, &m_StateLock, &hr);
  m_Records.reserve(expectedSamples);
}

CaptureSink::~CaptureSink() { delete m_pPin; }

STDMETHODIMP CaptureSink::Run(REFERENCE_TIME start) {
  CAutoLock lock(&m_StateLock);
  const HRESULT hr = CBaseFilter::Run(start);
  if (SUCCEEDED(hr)) {
    m_RunStart.store(start, std::memory_order_relaxed);
    m_RunClock.store(m_pClock.Get(), std::memory_order_release);
  }
  return hr;
}

STDMETHODIMP CaptureSink::Stop() {
  CAutoLock lock(&m_StateLock);
  m_RunClock.store(nullptr, std::memory_order_release);
  return CBaseFilter::Stop();
}

bool CaptureSink::StreamTimeNow(std::int64_t& time) const {
  IReferenceClock* clock = m_RunClock.load(std::memory_order_acquire);
  REFERENCE_TIME now = 0;
  if (!clock || FAILED(clock->GetTime(&now))) return false;
  time = now - m_RunStart.load(std::memory_order_relaxed);
  return true;
}

void CaptureSink::Record(IMediaSample* sample, std::int64_t arrival, bool running, std::int64_t streamArrival) {
  if (m_Closed) return;
  if (m_Records.empty()) {
    m_WindowStart = arrival;
    m_CpuStart = ProcessCpuTime();
  } else if (arrival - m_WindowStart >= m_Window) {
    m_CpuEnd = ProcessCpuTime();
    m_Closed = true;
    SetEvent(m_WindowDone.Get());
    return;
  }
  SampleRecord r;
  r.arrival = arrival;
  r.running = running;
  r.streamArrival = streamArrival;
  r.times.valid = SUCCEEDED(sample->GetTime(&r.times.start, &r.times.stop));
  BYTE* data = nullptr;
  const long size = sample->GetSize();
  const long actual = sample->GetActualDataLength();
  r.length = actual;
  // A wrong actual length must not make us read past the buffer.
  const std::size_t usable = static_cast<std::size_t>(std::max(0L, std::min(actual, size)));
  if (SUCCEEDED(sample->GetPointer(&data)) && data && usable > 0) {
    if (IsEqualGUID(m_MajorType, MEDIATYPE_Video)) {
      r.band = ReadBands(m_Layout, data, usable);
      if (r.band.stamped) r.latency = StampAge(r.band.stamp, static_cast<std::uint64_t>(arrival));
    } else {
      r.silent = AllZero(data, usable);
      feed::SoundStamp stamp;
      r.soundStamped = feed::ReadSoundStamp(data, usable, stamp);
      if (r.soundStamped) {
        r.soundPacket = stamp.packet;
        r.soundDelay = feed::SoundStampAge(stamp.time, static_cast<std::uint64_t>(arrival));
      }
    }
    if (m_Consumer) m_Consumer(data, usable);
  }
  m_Records.push_back(r);
}

}  // namespace capture
