// The streaming side of the video pin: one sample per clock deadline, filled
// from the oldest queued producer frame or, without one, the black picture.
#include <dshow.h>
#include <evcode.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "filter/CorvaneVideoStream.h"
#include "framework/AccessGuard.h"
#include "framework/Source.h"
#include "imaging/Pixel.h"
#include "imaging/SwScaler.h"
#include "module/Log.h"
#include "module/MediaTypeDump.h"
#include "transport/SlotHeader.h"
#include "transport/SlotsHold.h"

namespace {

constexpr wchar_t kUnit[] = L"CorvaneVideoStream";
constexpr int kFrameWaits = 6;  // 1 ms each before the last frame is reused
// Longest wait for the producer's mutex before a sample goes out black: one
// frame period, but never so long that a slow producer stalls a fast camera.
constexpr DWORD kMaxProducerWaitMs = 50;

// Holds the converter mutex for one scope.
class MutexHold {
 public:
  explicit MutexHold(HANDLE mutex) : mutex_(mutex) { WaitForSingleObject(mutex_, INFINITE); }
  ~MutexHold() { ReleaseMutex(mutex_); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

 private:
  HANDLE mutex_;
};

// Bytes the picture of `format` occupies in a buffer at its stride; what a
// sample must hold before anything is written into it. A client's type may
// claim a picture (rcSource) wider than its rows: nothing fits that.
std::int64_t PictureBytes(const OutputFormat& format) {
  const std::int64_t stride = format.stride;
  const std::int64_t height = format.height;
  std::int64_t pixelBytes = 1;
  if (format.subtype == MEDIASUBTYPE_YUY2) pixelBytes = 2;
  if (format.subtype == MEDIASUBTYPE_RGB24) pixelBytes = 3;
  if (format.subtype == MEDIASUBTYPE_RGB32) pixelBytes = 4;
  if (static_cast<std::int64_t>(format.width) * pixelBytes > stride) return INT64_MAX;
  if (format.subtype == MEDIASUBTYPE_YV12) return stride * height + 2 * (stride / 2) * (height / 2);
  return stride * height;
}

// The length a sample reports for a picture of this format: every row at the
// stride, padding included, as a bitmap's size counts it. A client that
// finds fewer bytes than its rows need takes the rows as packed (FFmpeg
// does), and a padded picture then comes out sheared.
long ActualLength(const OutputFormat& format) {
  if (!IsEqualGUID(format.subtype, MEDIASUBTYPE_YUY2) && !IsEqualGUID(format.subtype, MEDIASUBTYPE_YV12) &&
      !IsEqualGUID(format.subtype, MEDIASUBTYPE_RGB32) && !IsEqualGUID(format.subtype, MEDIASUBTYPE_RGB24)) {
    return -1;  // unknown: leave what the allocator set
  }
  // WritePicture has checked that the picture fits the sample.
  return static_cast<long>(PictureBytes(format));
}

std::int32_t StyleCode(UINT style) { return style == 1 || style == 2 ? static_cast<std::int32_t>(style) : 0; }

std::int32_t OutputKindOf(REFGUID subtype) {
  if (subtype == MEDIASUBTYPE_YV12) return kOutputYv12;
  if (subtype == MEDIASUBTYPE_YUY2) return kOutputYuy2;
  if (subtype == MEDIASUBTYPE_RGB24) return kOutputRgb24;
  if (subtype == MEDIASUBTYPE_RGB32) return kOutputRgb32;
  return 0;
}

}  // namespace

// --- converter ---

// A frame of the announced format must fit one slot, or every frame would
// be read past its slot's end.
bool CorvaneVideoStream::SourceFitsSlots(std::uint32_t capacity) const {
  const std::int32_t mode = m_SourceFourcc == telvor::kFourCcYv12 ? kConverterYv12 : kConverterYuy2;
  if (m_SourceWidth > telvor::kMaxVideoDimension || m_SourceHeight > telvor::kMaxVideoDimension) return false;
  const std::int64_t bytes = SwScaler::SourceBytes(mode, static_cast<std::int32_t>(m_SourceWidth),
                                                   static_cast<std::int32_t>(m_SourceHeight));
  return bytes > 0 && bytes <= capacity;
}

void CorvaneVideoStream::MakeWorkingPicture() {
  // Zero bytes are black in BGRA, and the conversions turn them into Y 16,
  // chroma 128 for the YUV outputs.
  const std::int64_t bytes = static_cast<std::int64_t>(m_OutputFormat.width) * m_OutputFormat.height * 4;
  m_pWorkingPicture = static_cast<std::uint8_t*>(PxAlloc(bytes));
  if (m_pWorkingPicture) std::memset(m_pWorkingPicture, 0, static_cast<size_t>(bytes));
}

// The channel's reader rebuilds the converter from the output format at any
// time, so the format changes under the converter lock.
void CorvaneVideoStream::UseOutputFormat(const OutputFormat& format) {
  {
    MutexHold hold(m_ConverterLock.Get());
    m_OutputFormat = format;
  }
  ResetScaler();
}

void CorvaneVideoStream::ResetScaler() {
  MutexHold hold(m_ConverterLock.Get());
  PxFree(m_pWorkingPicture);
  m_pWorkingPicture = nullptr;
  const OutputFormat format = m_OutputFormat;
  if (format.width < 1 || format.height < 1) {
    TELVOR_ERROR_OBJ(kUnit, L"CorvaneVideoStream::ResetScaler", this)
        << L"zero area, " << format.width << L"x" << format.height;
    return;
  }
  MakeWorkingPicture();

  std::int32_t mode = 0;
  if (m_SourceFourcc == telvor::kFourCcYv12) {
    mode = kConverterYv12;
    m_SourceStride = m_SourceWidth;
  } else if (m_SourceFourcc == telvor::kFourCcYuy2) {
    mode = kConverterYuy2;
    m_SourceStride = m_SourceWidth * 2;
  }
  const std::int32_t kind = OutputKindOf(format.subtype);
  // A converter for the old formats would misread the new frames; without a
  // new one the black picture is the honest answer.
  m_pConverter.reset();
  m_ConverterSourceBytes = 0;
  m_LastGoodEntry = FrameEntry();
  m_ShortFrameLogged = false;
  if (mode == 0 && m_SourceFourcc != 0) {
    // Without this line a producer in another pixel format just looks like a
    // broken camera.
    TELVOR_ERROR_OBJ(kUnit, L"CorvaneVideoStream::ResetScaler", this)
        << L"producer pixel format " << m_SourceFourcc << L" is neither YUY2 nor YV12, black frames instead";
  }
  if (mode == 0 || kind == 0) return;
  if (!SourceFitsSlots(m_SourceCapacity)) {
    TELVOR_ERROR_OBJ(kUnit, L"CorvaneVideoStream::ResetScaler", this)
        << L"frame " << m_SourceWidth << L"x" << m_SourceHeight << L" does not fit a slot of " << m_SourceCapacity
        << L" bytes, no converter";
    return;
  }
  // Negotiation refuses such outputs, but a type attached to a sample or a
  // producer's frame may still bring one; the converter would write nothing
  // and the samples would carry whatever their buffers held.
  if (std::max({m_SourceWidth, m_SourceHeight, format.width, format.height}) >
      static_cast<std::uint32_t>(kMaxConverterSide)) {
    TELVOR_ERROR_OBJ(kUnit, L"CorvaneVideoStream::ResetScaler", this)
        << m_SourceWidth << L"x" << m_SourceHeight << L" ==> " << format.width << L"x" << format.height
        << L" beyond the converter, black frames instead";
    return;
  }
  m_pConverter = std::make_unique<SwScaler>(mode, static_cast<std::int32_t>(m_SourceWidth),
                                            static_cast<std::int32_t>(m_SourceHeight), kind,
                                            static_cast<std::int32_t>(format.width),
                                            static_cast<std::int32_t>(format.height), format.bottomUp,
                                            m_InterpolationCode, StyleCode(m_ScaleStyle));
  m_ConverterSourceBytes = SwScaler::SourceBytes(mode, static_cast<std::int32_t>(m_SourceWidth),
                                                 static_cast<std::int32_t>(m_SourceHeight));
}

// --- streaming thread ---

HRESULT CorvaneVideoStream::OnThreadCreate() {
  // Frames are converted under the access guard; its handler stays for the
  // streaming thread's life.
  m_GuardUse.emplace();
  return S_OK;
}

HRESULT CorvaneVideoStream::OnThreadStartPlay() {
  {
    CAutoLock lock(&m_QueueLock);
    m_Queue.Clear();
    m_LastEntry = FrameEntry();
  }
  m_NewestDelivered = 0;
  m_AnyDelivered = false;
  m_ProducerBusyLogged = false;
  {
    // The last good frame pointed into the previous channel's view.
    MutexHold hold(m_ConverterLock.Get());
    m_LastGoodEntry = FrameEntry();
  }
  wchar_t owner[64];
  std::swprintf(owner, 64, L"CorvaneVideoStream 0x%p", static_cast<void*>(this));
  m_PacingLog.Start(owner);
  return S_OK;
}

HRESULT CorvaneVideoStream::OnThreadDestroy() {
  m_PacingLog.Stop();
  m_GuardUse.reset();
  return S_OK;
}

REFERENCE_TIME CorvaneVideoStream::MediaTime(LONGLONG frames) { return frames * m_OutputFormat.frameDuration; }

// Frames queued while the graph was paused are history by the time it runs:
// the newest is the picture to start from, and the queue's slack stays free.
void CorvaneVideoStream::OnRunning() {
  CAutoLock lock(&m_QueueLock);
  m_Queue.KeepNewest(1);
}

void CorvaneVideoStream::OnDeadline(REFERENCE_TIME lateness) {
  if (m_PacingLog.Enabled()) m_PacingLog.BeginDeadline(static_cast<double>(lateness) / 10000.0);
}

void CorvaneVideoStream::OnDelivered() {
  m_PacingLog.Mark(telvor::PacingLog::kDelivered);
  m_PacingLog.EndDeadline();
}

void CorvaneVideoStream::ApplySampleMediaType(IMediaSample* sample) {
  AM_MEDIA_TYPE* attached = nullptr;
  if (sample->GetMediaType(&attached) != S_OK || !attached) return;
  telvor::Trace() << L"--------- OUTPUT change media type ---------\n";
  DumpMediaType(attached);
  telvor::Trace() << L"--------------------------------------------\n";
  CMediaType type(*attached);
  DeleteMediaType(attached);
  // The type is the state lock's, which applications hold while they read or
  // replace it. Waiting for it outright could deadlock with a stop, which
  // holds it while it waits for this thread: a pending command wins, and the
  // sample goes out in the old format as the stream ends.
  CCritSec* state = m_pFilter->pStateLock();
  DWORD command;
  while (!state->TryLock()) {
    if (CheckRequest(&command)) return;
    Sleep(1);
  }
  SetMediaType(&type);
  state->Unlock();
}

// Under the queue lock. Frames the producer has already overtaken (a newer
// one went out from a rewritten slot) would take the picture back in time.
bool CorvaneVideoStream::PopUndelivered(FrameEntry* entry) {
  while (m_Queue.Pop(entry)) {
    if (IsUndelivered(entry->sequence)) return true;
  }
  return false;
}

// Producer numbers may wrap past 2^64 - 1 to 0: "newer" is a positive
// difference, the same rule the channel's reader orders frames by.
bool CorvaneVideoStream::IsUndelivered(std::uint64_t sequence) const {
  return !m_AnyDelivered || static_cast<std::int64_t>(sequence - m_NewestDelivered) > 0;
}

FrameEntry CorvaneVideoStream::TakeFrame() {
  FrameEntry entry = {};
  CAutoLock lock(&m_QueueLock);
  bool taken = PopUndelivered(&entry);
  // A signal left from a frame already taken must not cut the first wait short.
  if (!taken) ResetEvent(m_FrameQueued.Get());
  for (int waits = 0; !taken && waits < kFrameWaits; ++waits) {
    if (m_LastEntry.channel) m_LastEntry.channel->ExpectFrame();
    m_QueueLock.Unlock();
    WaitForSingleObject(m_FrameQueued.Get(), 1);
    m_QueueLock.Lock();
    taken = PopUndelivered(&entry);
  }
  if (!taken) entry = m_LastEntry.data ? m_LastEntry : FrameEntry();
  m_LastEntry = entry;
  return entry;
}

DWORD CorvaneVideoStream::ProducerWaitMs() const {
  const REFERENCE_TIME period = m_OutputFormat.frameDuration / 10000;
  return static_cast<DWORD>(std::clamp<REFERENCE_TIME>(period, 1, kMaxProducerWaitMs));
}

// Holding the entry's slots (LockSlots). A slot whose number rose since it
// was queued now holds a newer frame, whole because the producer is kept
// out; that is the picture to show, the queued one is gone. A number that
// fell means a restarted producer retired the slot: nothing in it to show.
FrameEntry CorvaneVideoStream::CurrentSlotFrame(const FrameEntry& entry) const {
  const telvor::SlotHeader header = telvor::HeaderBeforePayload(entry.data);
  if (header.video_sequence == entry.sequence) return entry;
  if (static_cast<std::int64_t>(header.video_sequence - entry.sequence) < 0) return FrameEntry();
  FrameEntry current = entry;
  current.sequence = header.video_sequence;
  current.length = std::min(header.payload_length, m_SourceCapacity);
  return current;
}

// Holding the entry's slots. A queued frame whose slot the producer has
// rewritten since is gone, but the frames queued after it may still be
// whole: the oldest of those keeps the pictures in order and the queue's
// slack intact, where showing the slot's newer frame would skip the queue.
// With no whole frame left, the rewritten slot's newest frame it is.
FrameEntry CorvaneVideoStream::OldestWholeFrame(FrameEntry entry) {
  CAutoLock lock(&m_QueueLock);
  FrameEntry next = {};
  while (telvor::HeaderBeforePayload(entry.data).video_sequence != entry.sequence && m_Queue.Front(&next) &&
         next.channel == entry.channel) {
    m_Queue.Pop(&next);
    entry = next;
  }
  m_LastEntry = entry;
  return entry;
}

HRESULT CorvaneVideoStream::FillBuffer(IMediaSample* sample) {
  m_PacingLog.Mark(telvor::PacingLog::kBuffer);
  ApplySampleMediaType(sample);
  {
    // Queued entries point into the channel: it stays while they are used.
    telvor::SharedLockHold channel(&m_ChannelUse);
    FrameEntry entry = TakeFrame();
    m_PacingLog.Mark(telvor::PacingLog::kFrame);
    // Neither of our locks is held here (lock order in the header).
    telvor::SlotsHold producer(entry.data ? entry.channel : nullptr, ProducerWaitMs());
    m_PacingLog.Mark(telvor::PacingLog::kSlots);
    if (entry.data && !producer.Held()) {
      if (!m_ProducerBusyLogged) {
        TELVOR_ERROR_OBJ(kUnit, L"CorvaneVideoStream::FillBuffer", this)
            << L"producer kept its mutex over " << ProducerWaitMs() << L" ms, black picture sent";
        m_ProducerBusyLogged = true;
      }
      entry = FrameEntry();
    }
    if (entry.data) entry = OldestWholeFrame(entry);
    WritePicture(sample, entry);
    m_PacingLog.Mark(telvor::PacingLog::kConverted);
  }
  sample->SetSyncPoint(TRUE);
  sample->SetDiscontinuity(TRUE);
  sample->SetPreroll(FALSE);
  return S_OK;
}

// Holding the producer mutex of `entry` when it has data.
void CorvaneVideoStream::WritePicture(IMediaSample* sample, const FrameEntry& entry) {
  MutexHold hold(m_ConverterLock.Get());
  BYTE* buffer = nullptr;
  if (FAILED(sample->GetPointer(&buffer)) || !buffer) return;
  // The type may have come from a client; never write past the buffer.
  const std::int64_t needed = PictureBytes(m_OutputFormat);
  if (needed > sample->GetSize()) {
    if (!m_SmallBufferLogged) {
      TELVOR_ERROR_OBJ(kUnit, L"CorvaneVideoStream::FillBuffer", this)
          << L"sample of " << sample->GetSize() << L" bytes cannot hold " << needed << L", picture left out";
      m_SmallBufferLogged = true;
    }
    return;
  }
  m_SmallBufferLogged = false;
  FrameEntry source = entry.data ? CurrentSlotFrame(entry) : entry;
  if (source.data && m_pConverter && source.length < m_ConverterSourceBytes) {
    if (!m_ShortFrameLogged) {
      TELVOR_ERROR_OBJ(kUnit, L"CorvaneVideoStream::FillBuffer", this)
          << L"frame of " << source.length << L" bytes shorter than " << m_ConverterSourceBytes << L", not converted";
      m_ShortFrameLogged = true;
    }
    // The last good frame's slot is guarded by the same mutex, but it may
    // have been rewritten since, with a short frame too.
    source = FrameEntry();
    if (m_LastGoodEntry.data && m_LastGoodEntry.channel == entry.channel) {
      const FrameEntry good = CurrentSlotFrame(m_LastGoodEntry);
      if (good.length >= m_ConverterSourceBytes) source = good;
    }
  }
  if (!source.data || !m_pConverter) {
    WriteWorkingPicture(sample, buffer);
  } else {
    ConvertFrame(sample, buffer, source);
  }
}

void CorvaneVideoStream::ConvertFrame(IMediaSample* sample, BYTE* buffer, const FrameEntry& entry) {
  struct Job {
    SwScaler* converter;
    const std::uint8_t* source;
    std::int32_t sourceStride;
    BYTE* target;
    std::int32_t targetStride;
  } job = {m_pConverter.get(), entry.data, static_cast<std::int32_t>(m_SourceStride), buffer,
           static_cast<std::int32_t>(m_OutputFormat.stride)};
  // The slot lives in another process's memory and may vanish under us.
  const bool completed = telvor::RunGuarded(
      [](void* context) {
        auto* j = static_cast<Job*>(context);
        j->converter->Scale(j->source, j->sourceStride, j->target, j->targetStride);
      },
      &job);
  if (!completed) {
    TELVOR_ERROR_OBJ(kUnit, L"CorvaneVideoStream::FillBuffer", this) << L"Access violation!!";
    return;
  }
  m_LastGoodEntry = entry;
  if (IsUndelivered(entry.sequence)) {
    m_NewestDelivered = entry.sequence;
    m_AnyDelivered = true;
  }
  // Downstream reads as many bytes as the sample says; the picture is whole.
  const long length = ActualLength(m_OutputFormat);
  if (length >= 0) sample->SetActualDataLength(length);
}

void CorvaneVideoStream::WriteWorkingPicture(IMediaSample* sample, BYTE* buffer) {
  const OutputFormat& format = m_OutputFormat;
  const long length = ActualLength(format);
  if (!m_pWorkingPicture) {
    if (length >= 0) sample->SetActualDataLength(length);
    return;
  }
  const PxSize size = {static_cast<std::int32_t>(format.width), static_cast<std::int32_t>(format.height)};
  const std::int32_t pictureStride = size.width * 4;
  const std::int32_t stride = static_cast<std::int32_t>(format.stride);
  if (format.subtype == MEDIASUBTYPE_YUY2) {
    PxBgraToYuy2(m_pWorkingPicture, pictureStride, buffer, stride, size);
  } else if (format.subtype == MEDIASUBTYPE_YV12) {
    // YV12 memory order is Y, Cr, Cb; the primitive takes Y, Cb, Cr.
    std::uint8_t* second = buffer + static_cast<std::int64_t>(size.height) * stride;
    std::uint8_t* third = second + static_cast<std::int64_t>(size.height / 2) * (stride / 2);
    std::uint8_t* const planes[3] = {buffer, third, second};
    const std::int32_t strides[3] = {stride, stride / 2, stride / 2};
    PxBgraToI420(m_pWorkingPicture, pictureStride, planes, strides, size);
  } else if (format.subtype == MEDIASUBTYPE_RGB32) {
    PxCopyBgra(m_pWorkingPicture, pictureStride, buffer, stride, size);
  } else if (format.subtype == MEDIASUBTYPE_RGB24) {
    PxBgraToBgr(m_pWorkingPicture, pictureStride, buffer, stride, size);
  } else {
    return;
  }
  sample->SetActualDataLength(length);
}
