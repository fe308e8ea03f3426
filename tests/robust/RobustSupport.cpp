#include "RobustSupport.h"

#include <vfwmsgs.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/MediaType.h"
#include "support/WinTestSupport.h"

namespace telvor::test {

// --- GuardedAllocator and its samples ---

namespace {

std::size_t PageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

// One sample with its own pages: [guard][data...] or [data...][guard].
class GuardedSample : public IMediaSample {
 public:
  GuardedSample(long bytes, bool guard_before) : size_(bytes) {
    const std::size_t page = PageSize();
    const std::size_t data_pages = (static_cast<std::size_t>(std::max<long>(bytes, 1)) + page - 1) / page;
    mapped_ = (data_pages + 1) * page;
    base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, mapped_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base_) return;
    DWORD old = 0;
    if (guard_before) {
      VirtualProtect(base_, page, PAGE_NOACCESS, &old);
      data_ = base_ + page;
    } else {
      VirtualProtect(base_ + data_pages * page, page, PAGE_NOACCESS, &old);
      data_ = base_ + data_pages * page - bytes;
    }
    std::memset(data_, 0xA5, static_cast<std::size_t>(bytes));
    actual_ = bytes;
  }
  virtual ~GuardedSample() {
    if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    ::DeleteMediaType(type_);
  }
  bool Ok() const { return base_ != nullptr; }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMediaSample) {
      *out = static_cast<IMediaSample*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  // IMediaSample
  STDMETHODIMP GetPointer(BYTE** buffer) override {
    if (!buffer) return E_POINTER;
    *buffer = data_;
    return S_OK;
  }
  STDMETHODIMP_(long) GetSize() override { return size_; }
  // Times and flags the pin sets are not read back by these tests.
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
    *type = nullptr;
    if (!type_) return S_FALSE;
    *type = ::CreateMediaType(type_);
    return *type ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* type) override {
    ::DeleteMediaType(type_);
    type_ = type ? ::CreateMediaType(type) : nullptr;
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
  long size_;
  long actual_ = 0;
  std::size_t mapped_ = 0;
  BYTE* base_ = nullptr;
  BYTE* data_ = nullptr;
  AM_MEDIA_TYPE* type_ = nullptr;
};

}  // namespace

GuardedAllocator* GuardedAllocator::Create(bool guard_before) { return new GuardedAllocator(guard_before); }

GuardedAllocator::~GuardedAllocator() = default;

STDMETHODIMP GuardedAllocator::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMemAllocator) {
    *out = static_cast<IMemAllocator*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) GuardedAllocator::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) GuardedAllocator::Release() {
  const ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP GuardedAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
  if (!request || !actual) return E_POINTER;
  if (committed_) return VFW_E_ALREADY_COMMITTED;
  // Like the platform's memory allocator: no negative or absurd sizes.
  if (request->cbBuffer < 0 || request->cBuffers < 0 || request->cbAlign < 0 || request->cbPrefix < 0) {
    return E_INVALIDARG;
  }
  props_ = *request;
  if (props_.cBuffers < 1) props_.cBuffers = 1;
  if (props_.cbAlign < 1) props_.cbAlign = 1;
  if (limit_ > 0 && props_.cbBuffer > limit_) props_.cbBuffer = limit_;
  *actual = props_;
  return S_OK;
}

STDMETHODIMP GuardedAllocator::GetProperties(ALLOCATOR_PROPERTIES* props) {
  if (!props) return E_POINTER;
  *props = props_;
  return S_OK;
}

STDMETHODIMP GuardedAllocator::Commit() {
  committed_ = true;
  return S_OK;
}

STDMETHODIMP GuardedAllocator::Decommit() {
  committed_ = false;
  return decommit_result_;
}

STDMETHODIMP GuardedAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) {
  if (!sample) return E_POINTER;
  *sample = nullptr;
  if (!committed_) return VFW_E_NOT_COMMITTED;
  auto* made = new GuardedSample(props_.cbBuffer, guard_before_);
  if (!made->Ok()) {
    made->Release();
    return E_OUTOFMEMORY;
  }
  *sample = made;
  return S_OK;
}

STDMETHODIMP GuardedAllocator::ReleaseBuffer(IMediaSample*) { return S_OK; }

std::wstring RobustHelper(const std::wstring& arguments) {
  return L"\"" + BuildTreePath(L"tests/robust/telvor_robust_producer.exe") + L"\" " + arguments;
}

std::wstring HelperSignalName(int camera) {
  wchar_t text[64];
  std::swprintf(text, 64, L"TELVOR.ROBUST.SIGNAL.%02d", camera);
  return text;
}

}  // namespace telvor::test
