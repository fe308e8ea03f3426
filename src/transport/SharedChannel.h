// The reader side shared by the video and the audio channel: open the
// producer's named section and mutex, map the section read-only, and run one
// reader thread that announces the producer's format and then hands on every
// new slot in sequence order, announcing the format again whenever the
// producer rewrites it (a producer that reopens its channel at another size
// while a camera still holds the ring, or one that speaks only the protocol). SharedVideo and SharedAudio only describe
// how they differ (names, slot count, header fields, log texts, callbacks).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Handle.h"
#include "transport/SlotHeader.h"

namespace telvor {

class SharedChannel;

// Everything in which the two channels differ.
struct ChannelKind {
  const wchar_t* unit;             // log unit: "SharedVideo" / "SharedAudio"
  const wchar_t* create_function;  // "SharedVideo::Create", ...
  const wchar_t* thread_function;
  const wchar_t* mapping_name;  // printf pattern taking the camera index
  const wchar_t* mutex_name;
  const wchar_t* producer_name;  // the marker a producer library holds while it feeds
  // Manual-reset events the producer library sets after each write, by the
  // item number's parity; a producer without them is polled.
  const wchar_t* written_names[2];
  std::uint32_t slot_count;
  std::size_t capacity_offset;   // offset of the payload capacity in slot 0's header
  std::size_t sequence_offset;   // offset of a slot's sequence number
  std::size_t timestamp_offset;  // offset of a slot's timestamp
  bool compare_low32;            // audio follows its numbers across a 32-bit wrap
  bool trace_each_frame;         // video writes one trace line per delivered frame
  const wchar_t* waiting_state_text;  // command other than quit while no format; null: silent
  const wchar_t* idle_state_text;     // "Video state=" / "Audio state="
  const wchar_t* running_state_text;  // "video state=" / "audio state="
  const wchar_t* preview_failed_text;
  bool (*format_usable)(const SlotHeader& header);
  // Whether two headers announce the same format (the capacity apart).
  bool (*same_format)(const SlotHeader& a, const SlotHeader& b);
  // Calls the owner's on_format_changed if set; returns its result (0 if unset).
  std::int32_t (*announce)(SharedChannel* channel, const SlotHeader& header);
  bool (*has_preview)(const SharedChannel* channel);
  std::int32_t (*preview)(SharedChannel* channel, double sample_time, const std::uint8_t* payload,
                          std::uint32_t length);
};

// The three ChannelKind hooks of a channel type whose owner callbacks are the
// members on_format_changed and `Preview`; one copy for both kinds.
template <typename Channel, typename PreviewFn, PreviewFn Channel::*Preview>
struct ChannelHooks {
  static std::int32_t Announce(SharedChannel* channel, const SlotHeader& header) {
    auto* self = static_cast<Channel*>(channel);
    return self->on_format_changed ? self->on_format_changed(self, header, self->user) : 0;
  }
  static bool HasPreview(const SharedChannel* channel) { return static_cast<const Channel*>(channel)->*Preview; }
  static std::int32_t Deliver(SharedChannel* channel, double sample_time, const std::uint8_t* payload,
                              std::uint32_t length) {
    auto* self = static_cast<Channel*>(channel);
    return (self->*Preview)(self, sample_time, payload, length, self->user);
  }
};

// Formats a kernel-object name: the pattern with the camera index printed with
// at least two digits, optionally behind "Global\".
std::wstring ChannelObjectName(const wchar_t* pattern, int index, bool global);

class SharedChannel {
 public:
  SharedChannel(const SharedChannel&) = delete;
  SharedChannel& operator=(const SharedChannel&) = delete;
  virtual ~SharedChannel();

  // Set by the owner before Create.
  std::int32_t index = 0;
  void* user = nullptr;

  // Opens, maps and checks the producer's objects and starts the reader
  // (idle). False on failure, with GetLastError() telling why; whatever was
  // obtained has been released again.
  bool Create();
  // Tells the reader to deliver. Waits at most kCommandTimeoutMs for the
  // acknowledgement and fails at once when the reader has already ended.
  bool Run();
  // Stops the reader and releases everything; safe on a half-built or closed object.
  void Close();

  // Read-only view of the whole section, null before Create. The owner may read
  // slot 0's header through it without the mutex.
  const std::uint8_t* View() const { return static_cast<const std::uint8_t*>(view_.Get()); }
  // Bytes of the mapped region (page-rounded), 0 before Create.
  std::size_t ViewSize() const { return view_size_; }
  // Payload bytes per slot as announced with the format; see ChannelCallbacks.h.
  std::uint32_t PayloadCapacity() const { return capacity_; }
  // A consumer that reads a slot after its handler has returned must keep
  // the producer out, or the producer may be rewriting the slot. The reader
  // holds the producer's mutex through each sleep of its idle poll, which is
  // nearly all the time when no frame is new; the consumer then borrows that
  // hold (the reader lets go of the mutex only after the consumer is done)
  // and needs no other thread to run first. Otherwise it waits for the mutex
  // itself: its request cuts a sleep that has just begun short and keeps the
  // reader from taking the mutex back first. kNone when the mutex stayed
  // busy for timeout_ms (an abandoned one counts as had); anything else is
  // handed back to UnlockSlots on the same thread.
  enum class SlotHold { kNone, kBorrowed, kOwned };
  SlotHold LockSlots(DWORD timeout_ms);
  void UnlockSlots(SlotHold hold);
  // For a consumer waiting for the next frame: ends the reader's current idle
  // sleep, so that a producer waiting for the mutex writes now instead of up
  // to one poll interval later.
  void ExpectFrame();

  // Whether a producer that announced itself with the library's marker has
  // gone. A ring opened while no marker was there (its producer speaks only
  // the ring protocol, or had just let go of the ring) becomes a marked one
  // once a marker is seen; until then it is never reported gone: the
  // marker's absence says nothing about it.
  bool ProducerGone();

  static constexpr DWORD kCommandTimeoutMs = 5000;

 protected:
  explicit SharedChannel(const ChannelKind& kind) : kind_(kind) {}

 private:
  enum Command : std::int32_t { kIdle = 0, kRun = 1, kQuit = 2 };

  static DWORD WINAPI ThreadProc(void* parameter);
  DWORD ReaderLoop();
  bool OpenObjects();
  bool OpenPair(bool global);
  bool ProducerMarkerExists() const { return MarkerExists(global_); }
  bool MarkerExists(bool global) const;
  bool RingFits(std::uint32_t capacity, const wchar_t* function, bool& logged);
  void StopReader();
  bool WaitForFormat(SlotHeader& header, std::int32_t& state, DWORD& exit_code);
  bool AnnounceFormat(const SlotHeader& header, std::uint64_t& last);
  // Mutex held: false when a changed format could not be announced.
  bool FollowFormat(std::uint64_t& last);
  bool FollowFormatChange(std::uint64_t& last);
  void TakeFirstChangedSlot(std::uint64_t& last);
  std::int64_t Distance(std::uint64_t sequence, std::uint64_t last) const;
  bool AnyNewerThan(std::uint64_t last) const;
  bool DeliverNext(std::uint64_t& last, std::uint64_t& previous_time, double& first_time);
  int NextSlot(std::uint64_t last) const;
  bool HandOn(std::uint32_t index, std::uint64_t& last, std::uint64_t& previous_time, double& first_time);
  void NoteAbandoned();
  std::int32_t AcknowledgeCommand();
  DWORD Terminated();
  DWORD WaitFailed();
  void IdleSleep();
  // Whether the producer sets write events; fixed from Create to Close.
  bool Signalled() const { return written_[0] && written_[1]; }
  // `handed`: the hold before the wait handed items on.
  void WaitForWrite(std::uint64_t last, bool handed);
  bool SlotsMoved(std::uint64_t last) const;
  void LetConsumerGoFirst();
  std::uint64_t SlotSequence(std::uint32_t slot) const;
  const std::uint8_t* Slot(std::uint32_t slot) const;

  const ChannelKind& kind_;
  UniqueHandle mapping_;
  UniqueHandle mutex_;
  MappedView view_;
  std::size_t view_size_ = 0;
  bool global_ = false;         // the namespace both objects came from
  bool producer_marked_ = false;
  UniqueHandle written_[2];
  UniqueHandle thread_;
  UniqueHandle command_event_;
  UniqueHandle ack_event_;
  // Consumer to reader: "let go of the mutex now" and "I have had my turn".
  UniqueHandle slots_wanted_event_;
  UniqueHandle slots_taken_event_;
  std::atomic<int> slot_requests_{0};
  std::atomic<bool> reader_yielding_{false};  // the reader waits for slots_taken_event_
  bool woken_by_write_ = false;               // reader thread: the last write wait ended by its event
  // Open while the reader sleeps holding the mutex; consumers that find it
  // open hold lease_lock_ shared, and the reader closes it exclusively.
  SRWLOCK lease_lock_ = SRWLOCK_INIT;
  bool lease_open_ = false;
  volatile std::int32_t command_ = kIdle;
  std::uint32_t capacity_ = 0;
  // Reader thread: slot 0's header as last announced, and after a change
  // the slots' numbers as they were, until one is written.
  SlotHeader announced_ = {};
  bool changed_ = false;
  std::uint64_t slot0_seen_ = 0;  // slot 0's number at the reader's previous look
  std::uint64_t before_change_[kAudioSlotCount > kVideoSlotCount ? kAudioSlotCount : kVideoSlotCount] = {};
  bool abandoned_logged_ = false;
  bool misfit_logged_ = false;
};

}  // namespace telvor
