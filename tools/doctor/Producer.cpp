// The producer and watcher checks: what a camera would find in its channels.
#include <cstring>

#include "Checks.h"
#include "base/CommittedMemory.h"
#include "base/Handle.h"
#include "transport/SharedAudio.h"
#include "transport/SharedVideo.h"
#include "transport/SlotHeader.h"
#include "transport/WatchStatus.h"

namespace doctor {
namespace {

// Longer than any write of a sound producer; a camera gives up after less.
constexpr DWORD kMutexWaitMs = 200;
constexpr double kTicksPerSecond = 10000000.0;

template <typename T>
T ReadAt(const std::uint8_t* base, std::size_t offset) {
  T value;
  std::memcpy(&value, base + offset, sizeof value);
  return value;
}

// "YUY2", or the number when any of its bytes is no printable character.
std::string FourCcText(std::uint32_t fourcc) {
  std::string text(sizeof fourcc, '\0');
  std::memcpy(&text[0], &fourcc, sizeof fourcc);
  for (const char c : text) {
    if (c < 0x20 || c >= 0x7F) return Format("0x%08X", fourcc);
  }
  return text;
}

struct Reading {
  DWORD wait = WAIT_FAILED;
  std::uint64_t newest_sequence = 0;
  std::uint64_t newest_time = 0;
  std::uint64_t when = 0;
};

// One channel as a camera opens it: both objects from the session's
// namespace, else both from Global\, the section mapped read-only.
class ChannelProbe {
 public:
  ChannelProbe(const telvor::ChannelKind& kind, int index) : kind_(kind), index_(index) {
    for (int global = 0; global < 2 && !mutex_; ++global) {
      mapping_.Reset(OpenFileMappingW(FILE_MAP_READ, FALSE,
                                      telvor::ChannelObjectName(kind.mapping_name, index, global != 0).c_str()));
      if (!mapping_) continue;
      mutex_.Reset(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE,
                              telvor::ChannelObjectName(kind.mutex_name, index, global != 0).c_str()));
      global_ = global != 0;
      if (!mutex_) mapping_.Reset();
    }
    if (!mutex_) return;
    view_.Reset(MapViewOfFile(mapping_.Get(), FILE_MAP_READ, 0, 0, 0));
    // Reserved pages of a section fault when read: only committed memory counts.
    if (view_) size_ = telvor::CommittedBytes(view_.Get());
    if (size_ < telvor::kSlotHeaderSize) return;
    std::memcpy(&header_, View(), sizeof header_);
    capacity_ = ReadAt<std::uint32_t>(View(), kind.capacity_offset);
    ring_ = telvor::RingBytes(kind.slot_count, capacity_);
    marker_ = UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE,
                                      telvor::ChannelObjectName(kind.producer_name, index, global_).c_str())) ||
              GetLastError() == ERROR_ACCESS_DENIED;
    first_ = Read();
  }

  bool Present() const { return size_ >= telvor::kSlotHeaderSize; }

  Reading Read() const {
    Reading reading;
    reading.wait = WaitForSingleObject(mutex_.Get(), kMutexWaitMs);
    const bool held = reading.wait == WAIT_OBJECT_0 || reading.wait == WAIT_ABANDONED;
    if (held && Fits()) {
      for (std::uint32_t slot = 0; slot < kind_.slot_count; ++slot) {
        const std::uint8_t* at = View() + static_cast<std::size_t>(slot) * (capacity_ + telvor::kSlotHeaderSize);
        const auto sequence = ReadAt<std::uint64_t>(at, kind_.sequence_offset);
        if (sequence >= reading.newest_sequence) {
          reading.newest_sequence = sequence;
          reading.newest_time = ReadAt<std::uint64_t>(at, kind_.timestamp_offset);
        }
      }
    }
    reading.when = telvor::WatchClockNow();
    if (held) ReleaseMutex(mutex_.Get());
    return reading;
  }

  void Report(const char* what, bool configured, CameraReport& report) const {
    const std::string object = Utf8(telvor::ChannelObjectName(kind_.mapping_name, index_, global_));
    if (!Present()) {
      if (configured) {
        report.Problem("producer", Format("No producer feeds the %s channel (%s): the camera sends %s.", what,
                                          object.c_str(), kind_.slot_count == telvor::kVideoSlotCount
                                                              ? "black or its idle picture" : "silence"),
                       Format("Start the producer, for example telvor-feed --camera %d.", index_));
      }
      return;
    }
    const bool video = kind_.slot_count == telvor::kVideoSlotCount;
    std::string format =
        video ? Format("%s %ux%u at %g frames per second", FourCcText(header_.video_fourcc).c_str(),
                       header_.video_width, header_.video_height, header_.video_frame_rate)
              : Format("%u channels of %u bits at %u samples per second", header_.audio_channels,
                       header_.audio_bits_per_sample, header_.audio_samples_per_second);
    report.Note("producer", Format("The %s channel %s is there%s: %s, %u slots of %u bytes.", what, object.c_str(),
                                   marker_ ? "" : " (made without the producer library's marker)", format.c_str(),
                                   kind_.slot_count, capacity_));
    if (!kind_.format_usable(header_)) {
      report.Problem("producer", Format("The %s channel announces no usable format.", what),
                     "Restart the producer; it must write the format into slot 0 before the first frame.");
    }
    if (!Fits()) {
      report.Problem("producer",
                     Format("The %s ring cannot hold a frame: the section has %llu bytes, its %u slots need %llu.", what,
                            static_cast<unsigned long long>(size_), kind_.slot_count,
                            static_cast<unsigned long long>(ring_)),
                     "End the program that made this section and start the producer again.");
    } else if (video && header_.video_fourcc == telvor::kFourCcYuy2 &&
               std::uint64_t{header_.video_width} * header_.video_height * 2 > capacity_) {
      report.Problem("producer", Format("The video slots of %u bytes cannot hold one %ux%u YUY2 frame.", capacity_,
                                        header_.video_width, header_.video_height),
                     "Restart the producer with slots of at least one frame.");
    }
    if (first_.wait == WAIT_ABANDONED) {
      report.Problem("producer", Format("The %s channel's mutex was abandoned: its holder ended while writing.", what),
                     "Restart the producer; end any program that still holds the channel's names.");
    } else if (first_.wait == WAIT_TIMEOUT) {
      report.Problem("producer", Format("The %s channel's mutex stayed held for over %lu ms.", what, kMutexWaitMs),
                     "The producer must hold its mutex only while it writes one item; restart it.");
    }
  }

  void ReportRate(const char* what, double seconds, CameraReport& report) const {
    if (!Present() || !Fits()) return;
    const Reading second = Read();
    if (first_.wait != WAIT_OBJECT_0 && first_.wait != WAIT_ABANDONED) return;
    const double rate = second.newest_sequence >= first_.newest_sequence
                            ? (second.newest_sequence - first_.newest_sequence) / seconds : 0.0;
    const double age = second.newest_time != 0 && second.newest_time <= second.when
                           ? (second.when - second.newest_time) / kTicksPerSecond : -1.0;
    std::string text = Format("The producer wrote %.1f %s per second over %.1f s", rate,
                              kind_.slot_count == telvor::kVideoSlotCount ? "frames" : "packets", seconds);
    text += age >= 0 ? Format("; the newest is %.2f s old.", age) : std::string(".");
    if (rate > 0) {
      report.Note("producer", text);
    } else {
      report.Problem("producer", Format("The %s channel got nothing new over %.1f s.", what, seconds),
                     "The producer has stalled or ended without closing its channel; restart it.");
    }
  }

 private:
  const std::uint8_t* View() const { return static_cast<const std::uint8_t*>(view_.Get()); }
  bool Fits() const { return Present() && ring_ <= size_; }

  const telvor::ChannelKind& kind_;
  int index_;
  UniqueHandle mapping_, mutex_;
  telvor::MappedView view_;
  std::size_t size_ = 0;
  bool global_ = false;
  bool marker_ = false;
  telvor::SlotHeader header_ = {};
  std::uint32_t capacity_ = 0;
  std::uint64_t ring_ = 0;
  Reading first_;
};

}  // namespace

struct ProducerCheck::Impl {
  Impl(const Settings& settings, int index)
      : video(telvor::VideoChannelKind(), index),
        audio(telvor::AudioChannelKind(), index),
        video_configured(settings.tables->At(index, MediaKind::kVideo).name[0] != 0),
        audio_configured(settings.tables->At(index, MediaKind::kAudio).name[0] != 0) {}
  ChannelProbe video, audio;
  bool video_configured, audio_configured;
};

ProducerCheck::ProducerCheck(const Settings& settings, int index) : impl_(std::make_unique<Impl>(settings, index)) {}
ProducerCheck::~ProducerCheck() = default;

void ProducerCheck::Report(double seconds, CameraReport& report) {
  impl_->video.Report("video", impl_->video_configured, report);
  impl_->video.ReportRate("video", seconds, report);
  impl_->audio.Report("audio", impl_->audio_configured, report);
  impl_->audio.ReportRate("audio", seconds, report);
}

void CheckWatchers(int index, CameraReport& report) {
  int running = 0;
  for (int global = 0; global < 2; ++global) {
    telvor::Watcher watchers[telvor::kWatchEntries];
    const std::uint32_t count = telvor::ReadWatchers(index, global != 0, watchers);
    for (std::uint32_t i = 0; i < count; ++i) {
      const telvor::Watcher& w = watchers[i];
      const std::string stream =
          w.kind == telvor::WatchKind::kVideo
              ? Format("video %ux%u %s %g fps", w.width, w.height, Printable(w.format).c_str(), w.rate_milli / 1000.0)
              : Format("audio %s %u Hz", Printable(w.format).c_str(), w.rate_milli);
      if (w.Running()) {
        ++running;
        report.Note("watchers", Format("%s (%u) is reading it right now: %s, %llu samples delivered.", w.executable,
                                       w.process_id, stream.c_str(), static_cast<unsigned long long>(w.samples)));
      } else if (!w.host_alive) {
        report.Note("watchers", Format("%s (%u), which has ended, streamed %s.", w.executable, w.process_id,
                                       stream.c_str()));
      } else {
        report.Note("watchers", Format("%s (%u) has the camera open but is not streaming (paused or stalled): %s.",
                                       w.executable, w.process_id, stream.c_str()));
      }
    }
  }
  if (running == 0) report.Note("watchers", "No application is reading the camera right now.");
}

}  // namespace doctor
