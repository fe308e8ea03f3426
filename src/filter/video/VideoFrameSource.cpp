#include "filter/video/VideoFrameSource.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "base/Log.h"
#include "filter/PacingLog.h"
#include "filter/PhaseLock.h"
#include "transport/SharedChannel.h"
#include "transport/SlotView.h"
#include "transport/SlotsHold.h"

namespace {

// The pin's unit: these lines are the pin's own.
constexpr wchar_t kUnit[] = L"CorvaneVideoStream";
constexpr wchar_t kFill[] = L"CorvaneVideoStream::FillBuffer";
constexpr int kFrameWaits = 6;  // 1 ms each before the last frame is reused
// Longest wait for the producer's mutex before a deadline goes out black: one
// frame period, but never so long that a slow producer stalls a fast camera.
constexpr DWORD kMaxProducerWaitMs = 50;
// Deadlines in a row that may pass without a sample while the mutex is busy.
constexpr int kBusyDeadlinesSkipped = 3;
// Long enough for a producer reopening at a larger size to be met again
// (the channel thread looks quickly after a producer left), short enough
// that a producer that ended is seen to have ended.
constexpr std::int64_t kHeldPicture100ns = 4000000;

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

}  // namespace

VideoFrameSource::VideoFrameSource(const void* owner)
    : m_Owner(owner), m_ConverterLock(CreateMutexW(nullptr, FALSE, nullptr)), m_Converter(owner), m_Idle(owner) {}

// --- negotiation ---

void VideoFrameSource::SetOutput(const OutputFormat& format) {
  MutexHold hold(m_ConverterLock.Get());
  m_Converter.SetOutput(format);
  m_HeldPicture.clear();  // another format's bytes, though perhaps as many
  AfterRebuild();
}

void VideoFrameSource::SetScaleStyle(UINT style) {
  MutexHold hold(m_ConverterLock.Get());
  m_Converter.SetScaleStyle(style);
}

void VideoFrameSource::Rebuild() {
  MutexHold hold(m_ConverterLock.Get());
  m_Converter.Rebuild();
  AfterRebuild();
}

// Under the converter lock: frames of the old converter are no fallback for
// the new one. The first output format starts the camera's idle-picture
// decoding, so hosts that merely list the camera never pay for it.
void VideoFrameSource::AfterRebuild() {
  m_LastGoodEntry = FrameEntry();
  m_ShortFrameLogged = false;
  if (m_Converter.Output().width >= 1 && m_Converter.Output().height >= 1) m_Idle.Start();
}

void VideoFrameSource::SetIdleImage(int camera, std::wstring path) {
  MutexHold hold(m_ConverterLock.Get());
  m_Idle.SetImage(camera, std::move(path));
}

// Under the converter lock, with PictureBytes(m_Output) bytes at buffer.
// A producer that closes its channel to reopen it at another size is back
// within a moment: its last picture stays that long instead of a black flash.
// So does one that changes its format in the ring, until its first frame in
// the new one. Called with the producer kept out of the slots; a slot
// written since holds no picture of the old format any more.
// A picture held already stays held when there is no newer one.
void VideoFrameSource::HoldLastPicture() {
  const FrameEntry& last = m_LastGoodEntry;
  const std::int64_t bytes = PictureBytes(m_Converter.Output());
  if (!last.data || !m_Converter.Ready() || bytes <= 0 || bytes > telvor::kMaxVideoImageBytes) return;
  if (!telvor::SlotView(telvor::SlotRing::kVideo, last.data, last.sequence).Unchanged()) return;
  try {
    m_HeldPicture.resize(static_cast<std::size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return;
  }
  if (!m_Converter.Convert(last.data, m_HeldPicture.data())) {
    m_HeldPicture.clear();
    return;
  }
  m_HeldUntil = telvor::CounterNow100ns() + kHeldPicture100ns;
}

void VideoFrameSource::WriteNothingToShow(std::uint8_t* buffer, std::int64_t bytes) {
  if (m_HeldPicture.size() == static_cast<std::uint64_t>(bytes) && telvor::CounterNow100ns() < m_HeldUntil) {
    std::memcpy(buffer, m_HeldPicture.data(), m_HeldPicture.size());
  } else if (!m_Idle.CopyTo(m_Converter.Output(), m_Converter.Style(), buffer, bytes)) {
    FillBlack(m_Converter.Output(), buffer);
  }
}

// --- the channel's reader ---

void VideoFrameSource::SetSource(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height,
                                 std::uint32_t capacity) {
  bool changed;
  {
    MutexHold hold(m_ConverterLock.Get());
    changed = m_Converter.Replaces(fourcc, width, height, capacity);
    if (changed) HoldLastPicture();  // with the old converter, before it goes
    m_Converter.SetSource(fourcc, width, height, capacity);
    AfterRebuild();
  }
  if (!changed) return;
  // A producer that changed its format mid-stream: what was queued is in the
  // old one, and its new frames may be numbered afresh.
  m_Frames.Clear();
  ++m_SourceGeneration;
}

void VideoFrameSource::Queue(const FrameEntry& entry) { m_Frames.Push(entry); }

// --- the channel thread ---

void VideoFrameSource::CloseChannel(void (*close)(void* context), void* context) {
  AcquireSRWLockExclusive(&m_ChannelUse);
  m_Frames.Clear();
  // The last frame is read with the producer kept out, as Fill reads it; its
  // mutex comes before the converter lock. A producer keeping it leaves the
  // camera nothing to hold over the change rather than a torn picture.
  FrameEntry last;
  DWORD waitMs = 0;
  {
    MutexHold hold(m_ConverterLock.Get());
    last = m_LastGoodEntry;
    waitMs = ProducerWaitMs();
  }
  {
    telvor::SlotsHold slots(last.data ? last.channel : nullptr, waitMs);
    MutexHold hold(m_ConverterLock.Get());
    if (slots.Held()) HoldLastPicture();
  }
  m_Frames.ForgetShown();
  close(context);
  {
    MutexHold hold(m_ConverterLock.Get());
    m_Converter.ForgetSource();
    AfterRebuild();
  }
  ReleaseSRWLockExclusive(&m_ChannelUse);
}

// --- the streaming thread ---

void VideoFrameSource::Restart() {
  m_Frames.Restart();
  m_ProducerBusyLogged = false;
  m_BusyDeadlines = 0;
  // The last good frame pointed into the previous channel's view; a held
  // picture bridges a producer's restart within one stream only.
  MutexHold hold(m_ConverterLock.Get());
  m_LastGoodEntry = FrameEntry();
  m_HeldPicture.clear();
}

DWORD VideoFrameSource::ProducerWaitMs() const {
  const std::int64_t period = m_Converter.Output().frameDuration / 10000;
  return static_cast<DWORD>(std::clamp<std::int64_t>(period, 1, kMaxProducerWaitMs));
}

// Holding the entry's slots. A slot whose number rose since it was queued now
// holds a newer frame, whole because the producer is kept out; that is the
// picture to show, the queued one is gone. A number that fell means a
// restarted producer retired the slot: nothing in it to show.
FrameEntry VideoFrameSource::CurrentSlotFrame(const FrameEntry& entry) const {
  const telvor::SlotView slot(telvor::SlotRing::kVideo, entry.data, entry.sequence);
  const telvor::SlotNow now = slot.Now();
  if (now == telvor::SlotNow::kAsQueued) return entry;
  if (now == telvor::SlotNow::kRetired) return FrameEntry();
  FrameEntry current = entry;
  current.sequence = slot.NumberNow();
  current.length = std::min(slot.LengthNow(), m_Converter.SlotCapacity());
  return current;
}

// Holding the entry's slots. A queued frame whose slot the producer has
// rewritten since is gone, but the frames queued after it may still be
// whole: the oldest of those keeps the pictures in order and the queue's
// slack intact, where showing the slot's newer frame would skip the queue.
// With no whole frame left, the rewritten slot's newest frame it is.
FrameEntry VideoFrameSource::OldestWholeFrame(const FrameEntry& entry) {
  return m_Frames.SkipRewritten(entry, [](const FrameEntry& queued) {
    return telvor::SlotView(telvor::SlotRing::kVideo, queued.data, queued.sequence).Unchanged();
  });
}

// Neither lock held: the rendering for the current output, made outside the
// converter lock; a format changed meanwhile has the next deadline render again.
void VideoFrameSource::PrepareIdlePicture() {
  OutputFormat output;
  UINT style;
  {
    MutexHold hold(m_ConverterLock.Get());
    output = m_Converter.Output();
    style = m_Converter.Style();
  }
  m_Idle.Prepare(output, style);
}

long VideoFrameSource::Fill(std::uint8_t* buffer, long size, telvor::PacingLog* log) {
  // Queued entries point into the channel: it stays while they are used.
  telvor::SharedLockHold channel(&m_ChannelUse);
  const std::uint32_t generation = m_SourceGeneration.load();
  if (generation != m_SeenGeneration) {
    m_SeenGeneration = generation;
    m_Frames.ForgetShown();
  }
  FrameEntry entry = m_Frames.Take(m_WaitsForLateFrames ? kFrameWaits : 0);
  if (!entry.data && m_Idle.Named()) PrepareIdlePicture();
  if (log) log->Mark(telvor::PacingLog::kFrame);
  // Neither of our locks is held here (lock order in the header).
  telvor::SlotsHold producer(entry.data ? entry.channel : nullptr, ProducerWaitMs());
  if (log) log->Mark(telvor::PacingLog::kSlots);
  if (entry.data && !producer.Held()) {
    // On a busy machine whoever holds the mutex (the producer, or another
    // camera reading the same channel) may just be waiting for a core: a
    // missing frame goes unnoticed where a black one flashes. Only a mutex
    // kept for several periods is a producer that stopped letting go.
    if (++m_BusyDeadlines <= kBusyDeadlinesSkipped) return kSkipped;
    if (!m_ProducerBusyLogged) {
      TELVOR_ERROR_OBJ(kUnit, kFill, m_Owner)
          << L"producer kept its mutex over " << ProducerWaitMs() << L" ms, black picture sent";
      m_ProducerBusyLogged = true;
    }
    entry = FrameEntry();
  } else {
    m_BusyDeadlines = 0;
  }
  if (entry.data) entry = OldestWholeFrame(entry);
  const long length = WritePicture(buffer, size, entry);
  if (log) log->Mark(telvor::PacingLog::kConverted);
  return length;
}

// Holding the producer mutex of `entry` when it has data.
long VideoFrameSource::WritePicture(std::uint8_t* buffer, long size, const FrameEntry& entry) {
  MutexHold hold(m_ConverterLock.Get());
  // The type may have come from a client; never write past the buffer.
  const std::int64_t needed = PictureBytes(m_Converter.Output());
  if (needed < 0) return -1;
  if (needed > size) {
    if (!m_SmallBufferLogged) {
      TELVOR_ERROR_OBJ(kUnit, kFill, m_Owner)
          << L"sample of " << size << L" bytes cannot hold " << needed << L", picture left out";
      m_SmallBufferLogged = true;
    }
    return -1;
  }
  m_SmallBufferLogged = false;
  if (entry.data && m_Converter.RetryDue()) {
    m_Converter.Rebuild();
    AfterRebuild();
  }
  FrameEntry source = entry.data ? CurrentSlotFrame(entry) : entry;
  const std::int64_t frameBytes = m_Converter.FrameBytes();
  if (source.data && m_Converter.Ready() && source.length < frameBytes) {
    if (!m_ShortFrameLogged) {
      TELVOR_ERROR_OBJ(kUnit, kFill, m_Owner)
          << L"frame of " << source.length << L" bytes shorter than " << frameBytes << L", not converted";
      m_ShortFrameLogged = true;
    }
    // The last good frame's slot is guarded by the same mutex, but it may
    // have been rewritten since, with a short frame too.
    source = FrameEntry();
    if (m_LastGoodEntry.data && m_LastGoodEntry.channel == entry.channel) {
      const FrameEntry good = CurrentSlotFrame(m_LastGoodEntry);
      if (good.length >= frameBytes) source = good;
    }
  }
  if (source.data && m_Converter.Ready()) return ConvertFrame(buffer, source);
  WriteNothingToShow(buffer, needed);
  return static_cast<long>(needed);
}

long VideoFrameSource::ConvertFrame(std::uint8_t* buffer, const FrameEntry& entry) {
  if (!m_Converter.Convert(entry.data, buffer)) return -1;
  m_LastGoodEntry = entry;
  m_Frames.Shown(entry.sequence);
  // Downstream reads as many bytes as the sample says; the picture is whole.
  return static_cast<long>(PictureBytes(m_Converter.Output()));
}
