// Tools of the robustness tests: a helper process that writes the producer
// ring by hand (so it can break every rule the producer library enforces),
// and an allocator whose sample buffers touch an inaccessible page.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "HostileRing.h"
#include "framework/MediaType.h"
#include "support/Watchdog.h"
#include "support/WinTestSupport.h"

namespace telvor::test {

// IUnknown of a heap object handed out with one reference.
template <typename Interface, const IID* Iid>
class HeapUnknown : public Interface {
 public:
  virtual ~HeapUnknown() = default;
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = iid == IID_IUnknown || iid == *Iid ? static_cast<Interface*>(this) : nullptr;
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

// One sample with its own pages: [guard][data...] or [data...][guard]. Times
// and flags the pin sets are not read back by these tests.
class GuardedSample : public HeapUnknown<IMediaSample, &IID_IMediaSample> {
 public:
  GuardedSample(long bytes, bool guard_before) : size_(bytes) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const std::size_t page = info.dwPageSize;
    const std::size_t data_pages = (static_cast<std::size_t>(std::max<long>(bytes, 1)) + page - 1) / page;
    base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, (data_pages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base_) return;
    DWORD old = 0;
    VirtualProtect(guard_before ? base_ : base_ + data_pages * page, page, PAGE_NOACCESS, &old);
    data_ = guard_before ? base_ + page : base_ + data_pages * page - bytes;
    std::memset(data_, 0xA5, static_cast<std::size_t>(bytes));
    actual_ = bytes;
  }
  ~GuardedSample() override {
    if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    ::DeleteMediaType(type_);
  }
  bool Ok() const { return base_ != nullptr; }

  STDMETHODIMP GetPointer(BYTE** buffer) override { return buffer ? (*buffer = data_, S_OK) : E_POINTER; }
  STDMETHODIMP_(long) GetSize() override { return size_; }
  STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
  STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return S_OK; }
  STDMETHODIMP IsSyncPoint() override { return S_FALSE; }
  STDMETHODIMP SetSyncPoint(BOOL) override { return S_OK; }
  STDMETHODIMP IsPreroll() override { return S_FALSE; }
  STDMETHODIMP SetPreroll(BOOL) override { return S_OK; }
  STDMETHODIMP IsDiscontinuity() override { return S_FALSE; }
  STDMETHODIMP SetDiscontinuity(BOOL) override { return S_OK; }
  STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
  STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return S_OK; }
  STDMETHODIMP_(long) GetActualDataLength() override { return actual_; }
  STDMETHODIMP SetActualDataLength(long length) override {
    if (length < 0 || length > size_) return VFW_E_BUFFER_OVERFLOW;
    actual_ = length;
    return S_OK;
  }
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** type) override {
    if (!type) return E_POINTER;
    *type = type_ ? ::CreateMediaType(type_) : nullptr;
    return !type_ ? S_FALSE : *type ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* type) override {
    ::DeleteMediaType(type_);
    type_ = type ? ::CreateMediaType(type) : nullptr;
    return S_OK;
  }

 private:
  long size_;
  long actual_ = 0;
  BYTE* base_ = nullptr;
  BYTE* data_ = nullptr;
  AM_MEDIA_TYPE* type_ = nullptr;
};

// An IMemAllocator handing out samples whose buffers end exactly at a
// PAGE_NOACCESS page (or, with guard_before, start right after one), sized
// to the bytes the pin asked for. A write outside the buffer faults at once.
class GuardedAllocator : public HeapUnknown<IMemAllocator, &IID_IMemAllocator> {
 public:
  static GuardedAllocator* Create(bool guard_before) { return new GuardedAllocator(guard_before); }

  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override {
    if (!request || !actual) return E_POINTER;
    if (committed_) return VFW_E_ALREADY_COMMITTED;
    // Like the platform's memory allocator: no negative or absurd sizes.
    if (request->cbBuffer < 0 || request->cBuffers < 0 || request->cbAlign < 0 || request->cbPrefix < 0) {
      return E_INVALIDARG;
    }
    props_ = *request;
    props_.cBuffers = std::max(props_.cBuffers, 1L);
    props_.cbAlign = std::max(props_.cbAlign, 1L);
    if (limit_ > 0) props_.cbBuffer = std::min(props_.cbBuffer, limit_);
    *actual = props_;
    return S_OK;
  }
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* props) override { return props ? (*props = props_, S_OK) : E_POINTER; }
  STDMETHODIMP Commit() override { return committed_ = true, S_OK; }
  STDMETHODIMP Decommit() override { return committed_ = false, decommit_result_; }
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override {
    if (!sample) return E_POINTER;
    *sample = nullptr;
    if (!committed_) return VFW_E_NOT_COMMITTED;
    auto* made = new GuardedSample(props_.cbBuffer, guard_before_);
    if (made->Ok()) return *sample = made, S_OK;
    made->Release();
    return E_OUTOFMEMORY;
  }
  STDMETHODIMP ReleaseBuffer(IMediaSample*) override { return S_OK; }

  // Grants at most this many bytes per buffer from now on (0: what is asked).
  void LimitBufferSize(long bytes) { limit_ = bytes; }
  long GrantedSize() const { return props_.cbBuffer; }
  // Decommit still decommits but answers `result` (a client whose allocator fails).
  void SetDecommitResult(HRESULT result) { decommit_result_ = result; }

 private:
  explicit GuardedAllocator(bool guard_before) : guard_before_(guard_before) {}

  bool guard_before_;
  long limit_ = 0;
  bool committed_ = false;
  HRESULT decommit_result_ = S_OK;
  ALLOCATOR_PROPERTIES props_ = {};
};

// Command line of the robustness producer helper (RobustProducerHelper.cpp),
// for a BackgroundProcess.
inline std::wstring RobustHelper(const std::wstring& arguments) {
  return L"\"" + BuildTreePath(L"tests/robust/telvor_robust_producer.exe") + L"\" " + arguments;
}

// The event the helper signals once it holds the mutex.
inline std::wstring HelperSignalName(int camera) {
  return L"TELVOR.ROBUST.SIGNAL." + std::wstring(camera < 10 ? L"0" : L"") + std::to_wstring(camera);
}

}  // namespace telvor::test
