#include "transport/SharedChannel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <limits>

#include "base/AccessGuard.h"
#include "base/CommittedMemory.h"
#include "base/Log.h"
#include "base/ModuleThread.h"

namespace telvor {
namespace {

constexpr DWORD kFormatPollMs = 100;
constexpr DWORD kNoFrameSleepMs = 2;
// With the producer's write events the reader sleeps without the mutex until
// the next write; between two looks at the slots it waits at most this long,
// which bounds a write it was not signalled (numbers in other steps than one).
constexpr DWORD kWriteWaitMs = 10;
// Once the events have woken the reader for items, a missed one can only be
// two writes between its look and its wait, and the producer's next write
// wakes it: the looks are then only a backstop.
constexpr DWORD kSignalledWriteWaitMs = 50;
// A slot this far ahead of the last delivered number is a stale or corrupt
// entry, never the next item.
constexpr std::int64_t kFarAhead = 0x7FFFFFFF;
constexpr double kTicksPerSecond = 10000000.0;

// The command event comes first in every wait list. A wait-any reports the
// lowest signalled index, and a producer that is idle leaves its mutex free
// all the time, so with the mutex first a quit would never be seen.
constexpr DWORD kCommandSignalled = WAIT_OBJECT_0;
constexpr DWORD kMutexAcquired = WAIT_OBJECT_0 + 1;
constexpr DWORD kMutexAbandoned = WAIT_ABANDONED_0 + 1;
// After TerminateThread the thread may still be running for a moment; the view
// must not be unmapped under it.
constexpr DWORD kTerminateGraceMs = 1000;

// A view's pages come into this process on their first touch, a fault
// each: the first frame read from a slot would pay for all of its pages
// (3-5 ms for a 1080p frame under Wine), on the stream's first deadline.
// One read per page at open pays them beforehand, for a ring of any sensible
// size (five 4K RGB32 frames are 166 MB).
constexpr std::uint64_t kMostTouchedBytes = 256u << 20;

void TouchPages(const std::uint8_t* view, std::size_t bytes) {
  auto touch = [view, bytes] {
    volatile std::uint8_t sink = 0;
    for (std::size_t at = 0; at < bytes; at += 4096) sink = sink + view[at];
  };
  RunGuarded(touch);
}

// Slots start at producer-chosen offsets, so fields may be unaligned.
template <typename T>
T ReadAt(const void* base, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const std::uint8_t*>(base) + offset, sizeof value);
  return value;
}

}  // namespace

std::wstring ChannelObjectName(const wchar_t* pattern, int index, bool global) {
  wchar_t name[1024];
  std::swprintf(name, 1024, pattern, index);
  return global ? std::wstring(L"Global\\") + name : std::wstring(name);
}

SharedChannel::~SharedChannel() { Close(); }

bool SharedChannel::Create() {
  if (thread_) {
    SetLastError(ERROR_ALREADY_INITIALIZED);
    return false;
  }
  if (OpenObjects()) return true;
  const DWORD error = GetLastError();
  Close();
  SetLastError(error);
  return false;
}

// Both objects come from one namespace: a session's producer and a global one
// may coexist, and a mapping of one under the mutex of the other would be
// read with nothing keeping its writer out. The camera only waits for and
// releases the mutex and reads the section, so it asks for no more: a
// producer of another user may grant interactive users exactly that.
bool SharedChannel::OpenPair(bool global) {
  mapping_.Reset(OpenFileMappingW(FILE_MAP_READ, FALSE, ChannelObjectName(kind_.mapping_name, index, global).c_str()));
  if (!mapping_) return false;
  mutex_.Reset(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE,
                          ChannelObjectName(kind_.mutex_name, index, global).c_str()));
  if (mutex_) return true;
  const DWORD error = GetLastError();
  mapping_.Reset();
  SetLastError(error);
  return false;
}

// A marker this user may not open (another user's producer) exists all the
// same; only a name that is not there means the producer is gone. The handle
// is closed at once: the marker must vanish with its producer.
bool SharedChannel::MarkerExists(bool global) const {
  const std::wstring name = ChannelObjectName(kind_.producer_name, index, global);
  UniqueHandle marker(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
  const DWORD error = marker ? ERROR_SUCCESS : GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

bool SharedChannel::ProducerGone() {
  if (!ProducerMarkerExists()) return producer_marked_;
  producer_marked_ = true;
  return false;
}

bool SharedChannel::OpenObjects() {
  // A producer may let go of its ring between opening it and looking for the
  // marker: a marker seen just before counts as well.
  const bool marked_before[2] = {MarkerExists(false), MarkerExists(true)};
  global_ = false;
  if (!OpenPair(false)) {
    // A session pair that exists but is refused says more than a missing global one.
    const DWORD local_error = GetLastError();
    if (!OpenPair(true)) {
      if (local_error != ERROR_FILE_NOT_FOUND) SetLastError(local_error);
      return false;
    }
    global_ = true;
  }
  producer_marked_ = marked_before[global_] || ProducerMarkerExists();
  for (int i = 0; i < 2; ++i) {
    written_[i].Reset(kind_.written_names[i]
                          ? OpenEventW(SYNCHRONIZE, FALSE, ChannelObjectName(kind_.written_names[i], index, global_).c_str())
                          : nullptr);
  }
  view_.Reset(MapViewOfFile(mapping_.Get(), FILE_MAP_READ, 0, 0, 0));
  if (!view_) return false;
  // Only committed memory counts: a ring the producer reserved but never
  // committed would fault on the first read.
  view_size_ = CommittedBytes(view_.Get());
  if (view_size_ < sizeof(SlotHeader)) {
    RingFits(std::numeric_limits<std::uint32_t>::max(), kind_.create_function, misfit_logged_);
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  bool logged = false;
  const std::uint32_t capacity = ReadAt<std::uint32_t>(View(), kind_.capacity_offset);
  if (!RingFits(capacity, kind_.create_function, logged)) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  TouchPages(View(), static_cast<std::size_t>(
                        std::min<std::uint64_t>({view_size_, RingBytes(kind_.slot_count, capacity), kMostTouchedBytes})));
  command_event_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!command_event_) return false;
  ack_event_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!ack_event_) return false;
  slots_wanted_event_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!slots_wanted_event_) return false;
  slots_taken_event_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!slots_taken_event_) return false;
  command_ = kIdle;
  capacity_ = 0;
  woken_by_write_ = false;
  abandoned_logged_ = false;
  misfit_logged_ = false;
  thread_.Reset(CreateModuleThread(&SharedChannel::ThreadProc, this, nullptr));
  return static_cast<bool>(thread_);
}

// The reader trusts no header: a capacity whose ring does not fit in what was
// actually mapped would send every slot address past the view.
bool SharedChannel::RingFits(std::uint32_t capacity, const wchar_t* function, bool& logged) {
  const std::uint64_t needed = RingBytes(kind_.slot_count, capacity);
  if (needed <= view_size_ && needed <= std::numeric_limits<std::size_t>::max()) return true;
  if (!logged) {
    logged = true;
    ::telvor::ErrorAt(kind_.unit, __LINE__, function)
        << L"section of " << view_size_ << L" bytes is shorter than the ring of " << needed << L" bytes ("
        << kind_.slot_count << L" x (" << capacity << L" + " << kSlotHeaderSize << L"))";
  }
  return false;
}

bool SharedChannel::Run() {
  if (command_ == kRun) return true;
  if (!thread_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const std::int32_t previous = command_;
  command_ = kRun;
  SetEvent(command_event_.Get());
  // Waiting on the thread too: a reader that already ended never acknowledges.
  HANDLE waits[2] = {ack_event_.Get(), thread_.Get()};
  const DWORD result = WaitForMultipleObjects(2, waits, FALSE, kCommandTimeoutMs);
  if (result == WAIT_OBJECT_0) return true;
  // The owner logs the failure with this error; a reader that ended logged why.
  const DWORD wait_error = GetLastError();
  command_ = previous;
  SetLastError(result == WAIT_OBJECT_0 + 1 ? ERROR_INVALID_STATE : result == WAIT_TIMEOUT ? ERROR_TIMEOUT : wait_error);
  return false;
}

void SharedChannel::Close() {
  if (thread_) StopReader();
  command_event_.Reset();
  ack_event_.Reset();
  slots_wanted_event_.Reset();
  slots_taken_event_.Reset();
  written_[0].Reset();
  written_[1].Reset();
  view_.Reset();
  view_size_ = 0;
  mapping_.Reset();
  mutex_.Reset();
}

void SharedChannel::StopReader() {
  command_ = kQuit;
  SetEvent(command_event_.Get());
  HANDLE waits[2] = {ack_event_.Get(), thread_.Get()};
  const DWORD acknowledged = WaitForMultipleObjects(2, waits, FALSE, kCommandTimeoutMs);
  if (acknowledged == WAIT_OBJECT_0 + 1) {
    // The reader had already ended; whatever ended it was logged then.
  } else if (acknowledged != WAIT_OBJECT_0) {
    TELVOR_ERROR_LINE(kind_.unit) << L"): err" << GetLastError();
    TerminateThread(thread_.Get(), 1);
    WaitForSingleObject(thread_.Get(), kTerminateGraceMs);
  } else if (WaitForSingleObject(thread_.Get(), kCommandTimeoutMs) != WAIT_OBJECT_0) {
    Error() << L"failed to wait for shared memory thread termination";
    TerminateThread(thread_.Get(), 1);
    WaitForSingleObject(thread_.Get(), kTerminateGraceMs);
  }
  thread_.Reset();
}

SharedChannel::SlotHold SharedChannel::LockSlots(DWORD timeout_ms) {
  if (!mutex_ || !slots_wanted_event_) return SlotHold::kNone;
  AcquireSRWLockShared(&lease_lock_);
  if (lease_open_) return SlotHold::kBorrowed;
  ReleaseSRWLockShared(&lease_lock_);
  slot_requests_.fetch_add(1);
  // Each event costs a round trip to Wine's server: set only what someone may
  // wait for. Only the idle poll's sleep waits for a request, and the reader
  // waits for our turn only while it says so (seen after our count dropped).
  if (!Signalled()) SetEvent(slots_wanted_event_.Get());
  const DWORD result = WaitForSingleObject(mutex_.Get(), timeout_ms);
  slot_requests_.fetch_sub(1);
  if (reader_yielding_.load()) SetEvent(slots_taken_event_.Get());
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED ? SlotHold::kOwned : SlotHold::kNone;
}

void SharedChannel::UnlockSlots(SlotHold hold) {
  if (hold == SlotHold::kBorrowed) ReleaseSRWLockShared(&lease_lock_);
  if (hold == SlotHold::kOwned) ReleaseMutex(mutex_.Get());
}

void SharedChannel::ExpectFrame() {
  if (slots_wanted_event_ && !Signalled()) SetEvent(slots_wanted_event_.Get());
}

// Holding the mutex with nothing new: the poll interval, ended early when a
// consumer asks for the mutex. Consumers may borrow the hold meanwhile; the
// mutex is released only after the last of them is done.
void SharedChannel::IdleSleep() {
  AcquireSRWLockExclusive(&lease_lock_);
  lease_open_ = true;
  ReleaseSRWLockExclusive(&lease_lock_);
  WaitForSingleObject(slots_wanted_event_.Get(), kNoFrameSleepMs);
  AcquireSRWLockExclusive(&lease_lock_);
  lease_open_ = false;
  ReleaseSRWLockExclusive(&lease_lock_);
}

// Without the mutex, so that neither the producer nor a consumer waits for
// a poll: the item after `last` sets the event of its parity. A producer that
// numbers in other steps, or rewrites its format, sets no event we wait for:
// every kWriteWaitMs (kSignalledWriteWaitMs after a signalled hand-on) the
// slots are looked at without the mutex, and only a change seen there takes
// it. An event that woke the reader for nothing is left out of the next wait
// (a manual-reset one would wake it at once again). A command that ends the
// wait is signalled again for the loop to answer.
void SharedChannel::WaitForWrite(std::uint64_t last, bool handed) {
  HANDLE waits[2] = {command_event_.Get(), written_[(last + 1) % 2].Get()};
  const bool use_event = handed || !woken_by_write_;
  const DWORD look_ms = handed && woken_by_write_ ? kSignalledWriteWaitMs : kWriteWaitMs;
  for (;;) {
    const DWORD result = WaitForMultipleObjects(use_event ? 2 : 1, waits, FALSE, look_ms);
    woken_by_write_ = result == WAIT_OBJECT_0 + 1;
    if (result == WAIT_TIMEOUT && !SlotsMoved(last)) continue;
    if (result == kCommandSignalled) SetEvent(command_event_.Get());
    return;
  }
}

// Unlocked, so the producer may be writing: a torn read only costs a look
// under the mutex, where everything is read again.
bool SharedChannel::SlotsMoved(std::uint64_t last) const {
  if (changed_ || SlotSequence(0) != slot0_seen_ || AnyNewerThan(last)) return true;
  SlotHeader now;
  std::memcpy(&now, View(), sizeof now);
  return ReadAt<std::uint32_t>(&now, kind_.capacity_offset) != capacity_ || !kind_.same_format(now, announced_);
}

// Between two polls: a consumer waiting for the mutex gets it before the
// reader asks again. The second round covers a signal left over from an
// earlier turn; both are bounded by the poll interval so that commands stay
// prompt while a consumer waits out a busy producer.
void SharedChannel::LetConsumerGoFirst() {
  reader_yielding_.store(true);
  for (int round = 0; round < 2 && slot_requests_.load() > 0; ++round) {
    WaitForSingleObject(slots_taken_event_.Get(), kNoFrameSleepMs);
  }
  reader_yielding_.store(false);
}

DWORD WINAPI SharedChannel::ThreadProc(void* parameter) {
  return static_cast<SharedChannel*>(parameter)->ReaderLoop();
}

const std::uint8_t* SharedChannel::Slot(std::uint32_t slot) const {
  return View() + static_cast<std::size_t>(slot) * (static_cast<std::size_t>(capacity_) + kSlotHeaderSize);
}

std::uint64_t SharedChannel::SlotSequence(std::uint32_t slot) const {
  return ReadAt<std::uint64_t>(Slot(slot), kind_.sequence_offset);
}

std::int32_t SharedChannel::AcknowledgeCommand() {
  const std::int32_t state = command_;
  SetEvent(ack_event_.Get());
  return state;
}

DWORD SharedChannel::Terminated() {
  TELVOR_TRACE_AT(kind_.unit, kind_.thread_function) << L"thread terminated.";
  return 0;
}

// A producer that died while writing leaves the mutex abandoned; the wait
// still hands it to us. The slot it was writing may be half done, but the
// rest of the ring is sound and a restarted producer will go on from there.
void SharedChannel::NoteAbandoned() {
  if (abandoned_logged_) return;
  abandoned_logged_ = true;
  TELVOR_ERROR_AT(kind_.unit, kind_.thread_function) << L"mutex abandoned by the producer, reading goes on";
}

DWORD SharedChannel::ReaderLoop() {
  std::int32_t state = kIdle;
  SlotHeader header;
  DWORD exit_code = 0;
  if (!WaitForFormat(header, state, exit_code)) return exit_code;
  std::uint64_t last = 0;
  if (!AnnounceFormat(header, last)) return 1;
  std::uint64_t previous_time = ReadAt<std::uint64_t>(&header, kind_.timestamp_offset);
  double first_time = std::numeric_limits<double>::quiet_NaN();
  HANDLE waits[2] = {command_event_.Get(), mutex_.Get()};
  for (;;) {
    if (state != kRun) {
      const DWORD result = WaitForSingleObject(command_event_.Get(), INFINITE);
      if (result == WAIT_TIMEOUT) continue;
      if (result != WAIT_OBJECT_0) return WaitFailed();
      state = AcknowledgeCommand();
      if (state == kQuit) return Terminated();
      if (state != kRun) Trace() << kind_.idle_state_text << state;
      continue;
    }
    LetConsumerGoFirst();
    const DWORD result = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (result == kMutexAcquired || result == kMutexAbandoned) {
      if (result == kMutexAbandoned) NoteAbandoned();
      if (!DeliverNext(last, previous_time, first_time)) return 0xFFFFFFFF;
    } else if (result == kCommandSignalled) {
      state = AcknowledgeCommand();
      if (state == kQuit) return Terminated();
      Trace() << kind_.running_state_text << state;
    } else if (result != WAIT_TIMEOUT) {
      WaitFailed();
      state = kIdle;
    }
  }
}

DWORD SharedChannel::WaitFailed() {
  TELVOR_ERROR_AT(kind_.unit, kind_.thread_function) << L"WaitForMultipleObjects failed, err=" << GetLastError();
  return 1;
}

// Phase A: returns true holding the mutex with a usable header copied out.
bool SharedChannel::WaitForFormat(SlotHeader& header, std::int32_t& state, DWORD& exit_code) {
  HANDLE waits[2] = {command_event_.Get(), mutex_.Get()};
  for (;;) {
    const DWORD result = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (result == kMutexAcquired || result == kMutexAbandoned) {
      if (result == kMutexAbandoned) NoteAbandoned();
      std::memcpy(&header, View(), sizeof header);
      const std::uint32_t capacity = ReadAt<std::uint32_t>(&header, kind_.capacity_offset);
      if (kind_.format_usable(header) && RingFits(capacity, kind_.thread_function, misfit_logged_)) return true;
      ReleaseMutex(mutex_.Get());
      Sleep(kFormatPollMs);
    } else if (result == kCommandSignalled) {
      state = AcknowledgeCommand();
      if (state == kQuit) {
        exit_code = Terminated();
        return false;
      }
      if (kind_.waiting_state_text) Trace() << kind_.waiting_state_text << state;
    } else if (result != WAIT_TIMEOUT) {
      exit_code = WaitFailed();
      return false;
    }
  }
}

// Phase B: called holding the mutex; releases it.
bool SharedChannel::AnnounceFormat(const SlotHeader& header, std::uint64_t& last) {
  announced_ = header;
  changed_ = false;
  slot0_seen_ = SlotSequence(0);
  capacity_ = ReadAt<std::uint32_t>(&header, kind_.capacity_offset);
  last = ReadAt<std::uint64_t>(&header, kind_.sequence_offset);
  for (std::uint32_t slot = 0; slot < kind_.slot_count; ++slot) {
    const std::uint64_t sequence = SlotSequence(slot);
    if (sequence < last) last = sequence;
  }
  const std::int32_t result = kind_.announce(this, header);
  if (result != 0) {
    TELVOR_ERROR_AT(kind_.unit, kind_.thread_function) << L"on_format_changed failed, ret=" << result;
    ReleaseMutex(mutex_.Get());
    return false;
  }
  ReleaseMutex(mutex_.Get());
  return true;
}

// Mutex held. A producer that reopened its channel at another size, or
// rewrote slot 0, writes its new frames into the ring the camera holds: the
// new format is announced before any of them is handed on. What the slots
// hold then is the old format's (or, at a new capacity, not even slots), so
// the first slot written afterwards is next, whatever its number: a
// restarted producer may count from 1.
bool SharedChannel::FollowFormat(std::uint64_t& last) {
  if (changed_) TakeFirstChangedSlot(last);
  const std::uint64_t slot0 = SlotSequence(0);
  const bool kept = FollowFormatChange(last);
  slot0_seen_ = slot0;
  return kept;
}

bool SharedChannel::FollowFormatChange(std::uint64_t& last) {
  SlotHeader now;
  std::memcpy(&now, View(), sizeof now);
  const std::uint32_t capacity = ReadAt<std::uint32_t>(&now, kind_.capacity_offset);
  if (capacity == capacity_ && kind_.same_format(now, announced_)) return true;
  // Half a format is no format: keep the old one until the producer is done.
  if (!kind_.format_usable(now)) return true;
  bool logged = false;
  if (!RingFits(capacity, kind_.thread_function, logged)) return false;
  Trace() << kind_.unit << L" producer format changed, announced again";
  // A producer numbering on from before in the same ring (the library does)
  // may have written its first new frame already: the usual order picks it
  // up. Otherwise the first slot written from now on leads.
  changed_ = capacity != capacity_ || !AnyNewerThan(last);
  announced_ = now;
  capacity_ = capacity;
  for (std::uint32_t slot = 0; slot < kind_.slot_count; ++slot) before_change_[slot] = SlotSequence(slot);
  // Slot 0 sits at the start whatever the capacity: a frame written into it
  // with the new format, before this look, is new too.
  before_change_[0] = slot0_seen_;
  const std::int32_t result = kind_.announce(this, now);
  if (result == 0) return true;
  TELVOR_ERROR_AT(kind_.unit, kind_.thread_function) << L"on_format_changed failed, ret=" << result;
  return false;
}

// How far `sequence` is ahead of `last` in the producer's numbering.
std::int64_t SharedChannel::Distance(std::uint64_t sequence, std::uint64_t last) const {
  if (!kind_.compare_low32) return static_cast<std::int64_t>(sequence - last);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(sequence) - static_cast<std::uint32_t>(last));
}

bool SharedChannel::AnyNewerThan(std::uint64_t last) const {
  for (std::uint32_t slot = 0; slot < kind_.slot_count; ++slot) {
    const std::int64_t distance = Distance(SlotSequence(slot), last);
    if (distance > 0 && distance < kFarAhead) return true;
  }
  return false;
}

// Until a slot is written after a format change nothing is handed on; then
// the lowest number written since leads.
void SharedChannel::TakeFirstChangedSlot(std::uint64_t& last) {
  bool found = false;
  std::uint64_t first = 0;
  for (std::uint32_t slot = 0; slot < kind_.slot_count; ++slot) {
    const std::uint64_t sequence = SlotSequence(slot);
    // Number 0 is an empty slot, never a frame.
    if (sequence == 0 || sequence == before_change_[slot] || (found && sequence >= first)) continue;
    first = sequence;
    found = true;
  }
  if (!found) return;
  last = first - 1;
  changed_ = false;
}

// Phase C, running, mutex held: hands on, oldest first, every slot written
// since `last`, all in this hold. Whoever takes the mutex next (a producer
// writing on, or keeping it a while) must not strand items already written:
// a camera would play silence for sound that was there. Returns false when
// the preview callback asked to stop, or the producer's new format cannot be
// followed.
bool SharedChannel::DeliverNext(std::uint64_t& last, std::uint64_t& previous_time, double& first_time) {
  if (!FollowFormat(last)) {
    ReleaseMutex(mutex_.Get());
    return false;
  }
  int handed = 0;
  for (int slot; (slot = NextSlot(last)) >= 0; ++handed) {
    if (!HandOn(static_cast<std::uint32_t>(slot), last, previous_time, first_time)) {
      ReleaseMutex(mutex_.Get());
      return false;
    }
  }
  if (Signalled()) {
    // All written so far was handed on in this hold; the next write signals.
    ReleaseMutex(mutex_.Get());
    WaitForWrite(last, handed > 0);
    return true;
  }
  if (handed == 0) IdleSleep();
  ReleaseMutex(mutex_.Get());
  return true;
}

// The written slot that follows `last` most closely, -1 when none does. Each
// hand-on moves `last` up to a slot's number, so a hold ends after at most
// every slot once.
int SharedChannel::NextSlot(std::uint64_t last) const {
  int winner = -1;
  std::int64_t winner_distance = 0;
  for (std::uint32_t slot = 0; !changed_ && slot < kind_.slot_count; ++slot) {
    const std::int64_t distance = Distance(SlotSequence(slot), last);
    if (distance > 0 && distance < kFarAhead && (winner < 0 || distance < winner_distance)) {
      winner = static_cast<int>(slot);
      winner_distance = distance;
    }
  }
  return winner;
}

// Mutex held: one slot to the owner. False when its callback asked to stop.
bool SharedChannel::HandOn(std::uint32_t index, std::uint64_t& last, std::uint64_t& previous_time,
                           double& first_time) {
  const std::uint8_t* slot = Slot(index);
  const std::uint64_t sequence = ReadAt<std::uint64_t>(slot, kind_.sequence_offset);
  const std::uint64_t timestamp = ReadAt<std::uint64_t>(slot, kind_.timestamp_offset);
  const std::uint32_t length = ReadAt<std::uint32_t>(slot, offsetof(SlotHeader, payload_length));
  const double seconds = static_cast<double>(timestamp) / kTicksPerSecond;
  if (kind_.trace_each_frame) {
    Trace() << L"F" << last << L"," << sequence << L"=" << Distance(sequence, last) << L"," << seconds << L","
            << seconds - static_cast<double>(previous_time) / kTicksPerSecond << L"," << length;
  }
  last = sequence;
  previous_time = timestamp;
  if (!kind_.has_preview(this)) return true;
  if (std::isnan(first_time)) first_time = seconds;
  const std::int32_t result = kind_.preview(this, seconds - first_time, slot + kSlotHeaderSize, length);
  if (result == 0) return true;
  TELVOR_ERROR_AT(kind_.unit, kind_.thread_function) << kind_.preview_failed_text << result;
  return false;
}

}  // namespace telvor
