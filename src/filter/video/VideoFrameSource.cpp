#include "filter/video/VideoFrameSource.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/AccessGuard.h"
#include "base/Log.h"
#include "filter/PacingLog.h"
#include "filter/PhaseLock.h"
#include "imaging/SwScaler.h"
#include "transport/SharedChannel.h"
#include "transport/SlotHeader.h"
#include "transport/SlotsHold.h"

namespace {

// The pin's unit: these lines are the pin's own.
constexpr wchar_t kUnit[] = L"CorvaneVideoStream";
constexpr wchar_t kRebuild[] = L"CorvaneVideoStream::ResetScaler";
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
constexpr std::int32_t kBilinear = 2;
// How soon an idle picture that found no memory is tried again.
constexpr std::int64_t kIdleRetry100ns = 10000000;

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

std::int32_t StyleCode(UINT style) { return style == 1 || style == 2 ? static_cast<std::int32_t>(style) : 0; }

std::int32_t SourceMode(std::uint32_t fourcc) {
  if (fourcc == telvor::kFourCcYv12) return kConverterYv12;
  if (fourcc == telvor::kFourCcYuy2) return kConverterYuy2;
  return 0;
}

}  // namespace

VideoFrameSource::VideoFrameSource(const void* owner)
    : m_Owner(owner),
      m_FrameQueued(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_ConverterLock(CreateMutexW(nullptr, FALSE, nullptr)) {}

VideoFrameSource::~VideoFrameSource() = default;

// --- negotiation ---

void VideoFrameSource::SetOutput(const OutputFormat& format) {
  MutexHold hold(m_ConverterLock.Get());
  m_Output = format;
  m_HeldPicture.clear();  // another format's bytes, though perhaps as many
  RebuildLocked();
}

void VideoFrameSource::SetScaleStyle(UINT style) {
  MutexHold hold(m_ConverterLock.Get());
  m_ScaleStyle = style;
}

void VideoFrameSource::Rebuild() {
  MutexHold hold(m_ConverterLock.Get());
  RebuildLocked();
}

void VideoFrameSource::SetIdleImage(int camera, std::wstring path) {
  MutexHold hold(m_ConverterLock.Get());
  m_IdleCamera = camera;
  m_IdlePath = std::move(path);
  m_IdleShared.reset();
  m_IdlePicture.clear();
  m_IdleOutput = OutputFormat();
  m_IdleFailed = false;
  m_IdleNamed = !m_IdlePath.empty();
}

bool VideoFrameSource::IdleRenderedFor(const OutputFormat& output, UINT style) const {
  return m_IdleStyle == style && m_IdleOutput.subtype == output.subtype && m_IdleOutput.width == output.width &&
         m_IdleOutput.height == output.height && m_IdleOutput.stride == output.stride &&
         m_IdleOutput.bottomUp == output.bottomUp;
}

// The streaming thread, holding no lock, before a deadline with nothing to
// show: renders the camera's decoded picture for the output once. The lock
// is not held while it converts, so a client's format change never waits
// for a picture of 25 million pixels; a change meanwhile makes the result
// stale, and the next deadline renders again.
void VideoFrameSource::PrepareIdlePicture() {
  std::shared_ptr<IdlePicture> shared;
  OutputFormat output;
  UINT style;
  {
    MutexHold hold(m_ConverterLock.Get());
    if (!m_IdleShared || !m_IdleShared->Image()) return;
    // Rendered (or not convertible) for this output already, unless memory ran out and it is time to try again.
    if (IdleRenderedFor(m_Output, m_RebuiltStyle) && !(m_IdleFailed && telvor::CounterNow100ns() >= m_IdleRetryAt))
      return;
    shared = m_IdleShared;
    output = m_Output;
    style = m_RebuiltStyle;
  }
  const IdleImage& image = *shared->Image();
  const telvor::VideoSubtypeInfo* info = telvor::FindVideoSubtype(output.subtype);
  const std::int64_t bytes = PictureBytes(output);
  // Formats the converter cannot write are black, and said so at the rebuild.
  const bool convertible = info && info->outputKind != 0 && bytes > 0 && bytes <= telvor::kMaxVideoImageBytes &&
                           std::max(output.width, output.height) <= static_cast<std::uint32_t>(kMaxConverterSide);
  std::vector<std::uint8_t> picture;
  bool rendered = false;
  if (convertible) {
    try {
      picture.resize(static_cast<std::size_t>(bytes));
      // Black first: the converter leaves the padding columns of odd widths alone.
      FillBlack(output, picture.data());
      SwScaler converter(kConverterYuy2, image.width, image.height, info->outputKind,
                         static_cast<std::int32_t>(output.width), static_cast<std::int32_t>(output.height),
                         output.bottomUp, kBilinear, StyleCode(style));
      if (converter.Working()) {
        converter.Scale(image.yuy2.data(), 2 * image.width, picture.data(), static_cast<std::int32_t>(output.stride));
        rendered = true;
      }
    } catch (const std::bad_alloc&) {
    }
    if (!rendered) std::vector<std::uint8_t>().swap(picture);
  }
  MutexHold hold(m_ConverterLock.Get());
  if (shared != m_IdleShared || m_RebuiltStyle != style || m_Output.subtype != output.subtype ||
      m_Output.width != output.width || m_Output.height != output.height || m_Output.stride != output.stride ||
      m_Output.bottomUp != output.bottomUp)
    return;
  // Memory a 32-bit host is short of now may be back in a moment: black
  // meanwhile, and one line for the format however many tries it takes.
  if (convertible && !rendered && !(m_IdleFailed && IdleRenderedFor(output, style))) {
    TELVOR_ERROR_OBJ(kUnit, kFill, m_Owner) << L"no memory for the idle picture at " << output.width << L"x"
                                            << output.height << L", black until there is";
  }
  m_IdlePicture.swap(picture);
  m_IdleOutput = output;
  m_IdleStyle = style;
  m_IdleFailed = convertible && !rendered;
  m_IdleRetryAt = telvor::CounterNow100ns() + kIdleRetry100ns;
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
  const std::int64_t bytes = PictureBytes(m_Output);
  if (!last.data || !m_pConverter || bytes <= 0 || bytes > telvor::kMaxVideoImageBytes) return;
  if (telvor::HeaderBeforePayload(last.data).video_sequence != last.sequence) return;
  try {
    m_HeldPicture.resize(static_cast<std::size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return;
  }
  if (!ConvertInto(m_HeldPicture.data(), last)) {
    m_HeldPicture.clear();
    return;
  }
  m_HeldUntil = telvor::CounterNow100ns() + kHeldPicture100ns;
}

void VideoFrameSource::WriteNothingToShow(std::uint8_t* buffer, std::int64_t bytes) {
  if (m_HeldPicture.size() == static_cast<std::uint64_t>(bytes) && telvor::CounterNow100ns() < m_HeldUntil) {
    std::memcpy(buffer, m_HeldPicture.data(), m_HeldPicture.size());
  } else if (m_IdlePicture.size() == static_cast<std::uint64_t>(bytes) && IdleRenderedFor(m_Output, m_RebuiltStyle)) {
    std::memcpy(buffer, m_IdlePicture.data(), m_IdlePicture.size());
  } else {
    FillBlack(m_Output, buffer);
  }
}

// A frame of the announced format must fit one slot, or every frame would
// be read past its slot's end.
bool VideoFrameSource::SourceFitsSlots() const {
  const std::int32_t mode = SourceMode(m_SourceFourcc);
  if (m_SourceWidth > telvor::kMaxVideoDimension || m_SourceHeight > telvor::kMaxVideoDimension) return false;
  const std::int64_t bytes = SwScaler::SourceBytes(mode, static_cast<std::int32_t>(m_SourceWidth),
                                                   static_cast<std::int32_t>(m_SourceHeight));
  return bytes > 0 && bytes <= m_SourceCapacity;
}

void VideoFrameSource::RebuildLocked() {
  const OutputFormat& format = m_Output;
  // A converter for the old formats would misread the new frames; without a
  // new one the black picture is the honest answer.
  m_pConverter.reset();
  m_ConverterSourceBytes = 0;
  m_LastGoodEntry = FrameEntry();
  m_ShortFrameLogged = false;
  m_RebuiltStyle = m_ScaleStyle;
  if (format.width < 1 || format.height < 1) {
    TELVOR_ERROR_OBJ(kUnit, kRebuild, m_Owner) << L"zero area, " << format.width << L"x" << format.height;
    return;
  }
  // The first output format starts the camera's decoding, so hosts that
  // merely list the camera never pay for it; it never waits for the file.
  if (!m_IdleShared && !m_IdlePath.empty()) m_IdleShared = IdlePicture::Acquire(m_IdleCamera, m_IdlePath);
  const std::int32_t mode = SourceMode(m_SourceFourcc);
  if (mode != 0) m_SourceStride = m_SourceWidth * (mode == kConverterYuy2 ? 2 : 1);
  const telvor::VideoSubtypeInfo* info = telvor::FindVideoSubtype(format.subtype);
  const std::int32_t kind = info ? info->outputKind : 0;
  if (mode == 0 && m_SourceFourcc != 0) {
    // Without this line a producer in another pixel format just looks like a
    // broken camera.
    TELVOR_ERROR_OBJ(kUnit, kRebuild, m_Owner)
        << L"producer pixel format " << m_SourceFourcc << L" is neither YUY2 nor YV12, black frames instead";
  }
  if (mode == 0 || kind == 0) return;
  if (!SourceFitsSlots()) {
    TELVOR_ERROR_OBJ(kUnit, kRebuild, m_Owner) << L"frame " << m_SourceWidth << L"x" << m_SourceHeight
                                               << L" does not fit a slot of " << m_SourceCapacity
                                               << L" bytes, no converter";
    return;
  }
  // Negotiation refuses such outputs, but a type attached to a sample or a
  // producer's frame may still bring one; the converter would write nothing
  // and the samples would carry whatever their buffers held.
  if (std::max({m_SourceWidth, m_SourceHeight, format.width, format.height}) >
      static_cast<std::uint32_t>(kMaxConverterSide)) {
    TELVOR_ERROR_OBJ(kUnit, kRebuild, m_Owner) << m_SourceWidth << L"x" << m_SourceHeight << L" ==> " << format.width
                                               << L"x" << format.height << L" beyond the converter, black frames instead";
    return;
  }
  m_pConverter = std::make_unique<SwScaler>(mode, static_cast<std::int32_t>(m_SourceWidth),
                                            static_cast<std::int32_t>(m_SourceHeight), kind,
                                            static_cast<std::int32_t>(format.width),
                                            static_cast<std::int32_t>(format.height), format.bottomUp, kBilinear,
                                            StyleCode(m_ScaleStyle));
  m_ConverterSourceBytes = SwScaler::SourceBytes(mode, static_cast<std::int32_t>(m_SourceWidth),
                                                 static_cast<std::int32_t>(m_SourceHeight));
}

// --- the channel's reader ---

void VideoFrameSource::SetSource(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height,
                                 std::uint32_t capacity) {
  bool changed;
  {
    MutexHold hold(m_ConverterLock.Get());
    changed = m_SourceFourcc && (fourcc != m_SourceFourcc || width != m_SourceWidth || height != m_SourceHeight ||
                                 capacity != m_SourceCapacity);
    if (changed) HoldLastPicture();
    m_SourceFourcc = fourcc;
    m_SourceWidth = width;
    m_SourceHeight = height;
    m_SourceCapacity = capacity;
    RebuildLocked();
    if (changed) m_LastGoodEntry = FrameEntry();
  }
  if (!changed) return;
  // A producer that changed its format mid-stream: what was queued is in the
  // old one, and its new frames may be numbered afresh.
  {
    CAutoLock lock(&m_QueueLock);
    m_Queue.Clear();
    m_LastEntry = FrameEntry();
  }
  ++m_SourceGeneration;
}

void VideoFrameSource::Queue(const FrameEntry& entry) {
  FrameEntry arrived = entry;
  arrived.arrival = telvor::CounterNow100ns();
  {
    CAutoLock lock(&m_QueueLock);
    m_Queue.Push(arrived);
    m_NewestArrival = arrived.arrival;
    m_ArrivalNew = true;
    m_Arrivals[m_ArrivalCount++ % kRecentArrivals] = arrived.arrival;
    if (m_ArrivalCount == 2 * kRecentArrivals) m_ArrivalCount = kRecentArrivals;
  }
  SetEvent(m_FrameQueued.Get());
}

// --- the channel thread ---

void VideoFrameSource::CloseChannel(void (*close)(void* context), void* context) {
  AcquireSRWLockExclusive(&m_ChannelUse);
  {
    CAutoLock lock(&m_QueueLock);
    m_Queue.Clear();
    m_LastEntry = FrameEntry();
  }
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
  // A new producer numbers its frames afresh: the last one's numbers must
  // not make its first frames look already shown.
  m_NewestDelivered = 0;
  m_AnyDelivered = false;
  close(context);
  {
    MutexHold hold(m_ConverterLock.Get());
    m_SourceFourcc = 0;
    RebuildLocked();
  }
  ReleaseSRWLockExclusive(&m_ChannelUse);
}

// --- the streaming thread ---

void VideoFrameSource::Restart() {
  {
    CAutoLock lock(&m_QueueLock);
    m_Queue.Clear();
    m_LastEntry = FrameEntry();
    m_ArrivalNew = false;
    m_ArrivalCount = 0;
  }
  m_NewestDelivered = 0;
  m_AnyDelivered = false;
  m_ProducerBusyLogged = false;
  m_BusyDeadlines = 0;
  // The last good frame pointed into the previous channel's view; a held
  // picture bridges a producer's restart within one stream only.
  MutexHold hold(m_ConverterLock.Get());
  m_LastGoodEntry = FrameEntry();
  m_HeldPicture.clear();
}

bool VideoFrameSource::TakeArrival(std::int64_t* arrival) {
  CAutoLock lock(&m_QueueLock);
  *arrival = m_NewestArrival;
  const bool arrived = m_ArrivalNew;
  m_ArrivalNew = false;
  return arrived;
}

int VideoFrameSource::RecentArrivals(std::int64_t* arrivals, int max) {
  CAutoLock lock(&m_QueueLock);
  const int count = std::min({max, m_ArrivalCount, kRecentArrivals});
  for (int i = 0; i < count; ++i) arrivals[i] = m_Arrivals[(m_ArrivalCount - 1 - i) % kRecentArrivals];
  return count;
}

void VideoFrameSource::HoldNewest() {
  CAutoLock lock(&m_QueueLock);
  for (FrameEntry entry = {}; m_Queue.Pop(&entry);) m_LastEntry = entry;
}

void VideoFrameSource::KeepNewest() {
  CAutoLock lock(&m_QueueLock);
  m_Queue.KeepNewest(1);
}

// Under the queue lock. Frames the producer has already overtaken (a newer
// one went out from a rewritten slot) would take the picture back in time.
bool VideoFrameSource::PopUndelivered(FrameEntry* entry) {
  while (m_Queue.Pop(entry)) {
    if (IsUndelivered(entry->sequence)) return true;
  }
  return false;
}

// Producer numbers may wrap past 2^64 - 1 to 0: "newer" is a positive
// difference, the same rule the channel's reader orders frames by.
bool VideoFrameSource::IsUndelivered(std::uint64_t sequence) const {
  return !m_AnyDelivered || static_cast<std::int64_t>(sequence - m_NewestDelivered) > 0;
}

FrameEntry VideoFrameSource::TakeFrame() {
  FrameEntry entry = {};
  CAutoLock lock(&m_QueueLock);
  bool taken = PopUndelivered(&entry);
  // A signal left from a frame already taken must not cut the first wait short.
  if (!taken) ResetEvent(m_FrameQueued.Get());
  const int allowed = m_WaitsForLateFrames ? kFrameWaits : 0;
  for (int waits = 0; !taken && waits < allowed; ++waits) {
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

DWORD VideoFrameSource::ProducerWaitMs() const {
  const std::int64_t period = m_Output.frameDuration / 10000;
  return static_cast<DWORD>(std::clamp<std::int64_t>(period, 1, kMaxProducerWaitMs));
}

// Holding the entry's slots. A slot whose number rose since it was queued now
// holds a newer frame, whole because the producer is kept out; that is the
// picture to show, the queued one is gone. A number that fell means a
// restarted producer retired the slot: nothing in it to show.
FrameEntry VideoFrameSource::CurrentSlotFrame(const FrameEntry& entry) const {
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
FrameEntry VideoFrameSource::OldestWholeFrame(FrameEntry entry) {
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

long VideoFrameSource::Fill(std::uint8_t* buffer, long size, telvor::PacingLog* log) {
  // Queued entries point into the channel: it stays while they are used.
  telvor::SharedLockHold channel(&m_ChannelUse);
  const std::uint32_t generation = m_SourceGeneration.load();
  if (generation != m_SeenGeneration) {
    m_SeenGeneration = generation;
    m_NewestDelivered = 0;
    m_AnyDelivered = false;
  }
  FrameEntry entry = TakeFrame();
  if (!entry.data && m_IdleNamed.load(std::memory_order_relaxed)) PrepareIdlePicture();
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
  const std::int64_t needed = PictureBytes(m_Output);
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
  FrameEntry source = entry.data ? CurrentSlotFrame(entry) : entry;
  if (source.data && m_pConverter && source.length < m_ConverterSourceBytes) {
    if (!m_ShortFrameLogged) {
      TELVOR_ERROR_OBJ(kUnit, kFill, m_Owner)
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
  if (source.data && m_pConverter) return ConvertFrame(buffer, source);
  WriteNothingToShow(buffer, needed);
  return static_cast<long>(needed);
}

long VideoFrameSource::ConvertFrame(std::uint8_t* buffer, const FrameEntry& entry) {
  if (!ConvertInto(buffer, entry)) return -1;
  m_LastGoodEntry = entry;
  if (IsUndelivered(entry.sequence)) {
    m_NewestDelivered = entry.sequence;
    m_AnyDelivered = true;
  }
  // Downstream reads as many bytes as the sample says; the picture is whole.
  return static_cast<long>(PictureBytes(m_Output));
}

bool VideoFrameSource::ConvertInto(std::uint8_t* buffer, const FrameEntry& entry) {
  struct Job {
    SwScaler* converter;
    const std::uint8_t* source;
    std::int32_t sourceStride;
    std::uint8_t* target;
    std::int32_t targetStride;
  } job = {m_pConverter.get(), entry.data, static_cast<std::int32_t>(m_SourceStride), buffer,
           static_cast<std::int32_t>(m_Output.stride)};
  // The slot lives in another process's memory and may vanish under us.
  const bool completed = telvor::RunGuarded(
      [](void* context) {
        auto* j = static_cast<Job*>(context);
        j->converter->Scale(j->source, j->sourceStride, j->target, j->targetStride);
      },
      &job);
  if (!completed) TELVOR_ERROR_OBJ(kUnit, kFill, m_Owner) << L"Access violation!!";
  return completed;
}
