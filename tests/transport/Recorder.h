// Collects what a channel's callbacks report, for tests to wait on and check.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <vector>

#include "transport/SharedAudio.h"
#include "transport/SharedVideo.h"

namespace telvor::test {

struct Delivery {
  double time;
  std::uint32_t length;
  std::uint32_t tag;  // first four payload bytes, when the capacity allows
};

class Recorder {
 public:
  std::int32_t format_result = 0;  // what the format callback answers
  std::uint32_t capacity_seen = 0;

  template <typename Channel>
  void Attach(Channel& channel) {
    channel.user = this;
    channel.on_format_changed = &OnFormat<Channel>;
  }
  // Waits until what was delivered so far satisfies `ready`.
  template <typename Predicate>
  bool WaitUntil(Predicate ready, DWORD timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return ready(deliveries_); });
  }
  bool WaitFor(std::size_t deliveries, DWORD timeout_ms = 3000) {
    return WaitUntil([&](const std::vector<Delivery>& d) { return d.size() >= deliveries; }, timeout_ms);
  }
  std::vector<Delivery> Deliveries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }
  std::vector<SlotHeader> Formats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return formats_;
  }
  std::vector<std::uint32_t> Tags() {
    std::vector<std::uint32_t> tags;
    for (const Delivery& d : Deliveries()) tags.push_back(d.tag);
    return tags;
  }

 private:
  template <typename Channel>
  static std::int32_t OnFormat(Channel* channel, const SlotHeader& header, void* user) {
    auto* self = static_cast<Recorder*>(user);
    if constexpr (std::is_same_v<Channel, SharedVideo>) {
      channel->on_video_preview = &OnPreview<Channel>;
    } else {
      channel->on_audio_preview = &OnPreview<Channel>;
    }
    self->Record([&] {
      self->formats_.push_back(header);
      self->capacity_seen = channel->PayloadCapacity();
    });
    return self->format_result;
  }
  template <typename Channel>
  static std::int32_t OnPreview(Channel* channel, double time, const std::uint8_t* payload, std::uint32_t length,
                                void* user) {
    // Bounded the way every consumer must bound its reads.
    std::uint32_t tag = 0;
    if (std::min(length, channel->PayloadCapacity()) >= 4) std::memcpy(&tag, payload, 4);
    auto* self = static_cast<Recorder*>(user);
    self->Record([&] { self->deliveries_.push_back({time, length, tag}); });
    return 0;
  }
  template <typename Change>
  void Record(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SlotHeader> formats_;
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
