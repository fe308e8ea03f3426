// Collects what a channel's callbacks report, for tests to wait on and check.
#pragma once

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "transport/SharedAudio.h"
#include "transport/SharedVideo.h"

namespace telvor::test {

struct Format {
  std::uint32_t fourcc, width, height;
  double frame_rate;
  std::uint32_t channels, bits, rate;
};

struct Delivery {
  double time;
  std::uint32_t length;
  std::uint32_t tag;  // first four payload bytes, when the capacity allows
};

class Recorder {
 public:
  std::int32_t format_result = 0;
  std::int32_t preview_result = 0;
  bool install_preview = true;

  template <typename Channel>
  void Attach(Channel& channel) {
    channel.user = this;
    channel.on_format_changed = &FormatThunk<Channel>;
  }
  bool WaitFor(std::size_t deliveries, DWORD timeout_ms = 3000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return deliveries_.size() >= deliveries; });
  }
  bool WaitForFormat(DWORD timeout_ms = 3000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !formats_.empty(); });
  }
  std::vector<Delivery> Deliveries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }
  std::vector<Format> Formats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return formats_;
  }
  std::vector<std::uint32_t> Tags() {
    std::vector<std::uint32_t> tags;
    for (const Delivery& d : Deliveries()) tags.push_back(d.tag);
    return tags;
  }
  std::uint32_t capacity_seen = 0;

 private:
  template <typename Channel>
  std::int32_t OnFormat(Channel* channel, const Format& format) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      formats_.push_back(format);
      capacity_seen = channel->PayloadCapacity();
    }
    changed_.notify_all();
    return format_result;
  }
  std::int32_t OnPreview(SharedChannel* channel, double time, const std::uint8_t* payload, std::uint32_t length) {
    // Bounded the way every consumer must bound its reads.
    std::uint32_t tag = 0;
    if (std::min(length, channel->PayloadCapacity()) >= 4) std::memcpy(&tag, payload, 4);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      deliveries_.push_back({time, length, tag});
    }
    changed_.notify_all();
    return preview_result;
  }
  template <typename Channel>
  static std::int32_t FormatThunk(Channel* channel, const telvor::SlotHeader& h, void* user) {
    auto* self = static_cast<Recorder*>(user);
    if (self->install_preview) InstallPreview(channel);
    return self->OnFormat(channel, {h.video_fourcc, h.video_width, h.video_height, h.video_frame_rate,
                                    h.audio_channels, h.audio_bits_per_sample, h.audio_samples_per_second});
  }
  template <typename Channel>
  static std::int32_t PreviewThunk(Channel* channel, double time, const std::uint8_t* payload, std::uint32_t length,
                                   void* user) {
    return static_cast<Recorder*>(user)->OnPreview(channel, time, payload, length);
  }
  static void InstallPreview(SharedVideo* channel) { channel->on_video_preview = &PreviewThunk<SharedVideo>; }
  static void InstallPreview(SharedAudio* channel) { channel->on_audio_preview = &PreviewThunk<SharedAudio>; }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Format> formats_;
  std::vector<Delivery> deliveries_;
};

// A channel of one camera with a recorder attached; the channel goes first,
// so its reader thread never calls into a destroyed recorder.
template <typename Channel>
struct Reading {
  explicit Reading(int camera) {
    channel.index = camera;
    recorder.Attach(channel);
  }
  bool Start() { return channel.Create() && channel.Run(); }
  Recorder recorder;
  Channel channel;
};

}  // namespace telvor::test
