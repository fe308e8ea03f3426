#include "transport/SharedVideo.h"

#include "transport/ChannelNames.h"

namespace telvor {
namespace {

bool VideoFormatUsable(const SlotHeader& header) {
  return header.video_fourcc != 0 && header.video_width != 0 && header.video_height != 0;
}

bool SameVideoFormat(const SlotHeader& a, const SlotHeader& b) {
  return a.video_fourcc == b.video_fourcc && a.video_width == b.video_width && a.video_height == b.video_height &&
         a.video_frame_rate == b.video_frame_rate;
}

using Hooks = ChannelHooks<SharedVideo, on_video_preview_fn, &SharedVideo::on_video_preview>;

ChannelKind MakeVideoKind() {
  ChannelKind kind = {};
  kind.unit = L"SharedVideo";
  kind.create_function = L"SharedVideo::Create";
  kind.thread_function = L"SharedVideo::ThreadProc";
  kind.mapping_name = kVideoChannelNames.mapping;
  kind.mutex_name = kVideoChannelNames.mutex;
  kind.producer_name = kVideoChannelNames.producer;
  kind.written_names[0] = kVideoChannelNames.written[0];
  kind.written_names[1] = kVideoChannelNames.written[1];
  kind.slot_count = kVideoSlotCount;
  kind.capacity_offset = offsetof(SlotHeader, video_capacity);
  kind.sequence_offset = offsetof(SlotHeader, video_sequence);
  kind.timestamp_offset = offsetof(SlotHeader, video_timestamp);
  kind.compare_low32 = false;
  kind.trace_each_frame = true;
  kind.waiting_state_text = nullptr;
  kind.idle_state_text = L"Video state=";
  kind.running_state_text = L"video state=";
  kind.preview_failed_text = L"on_video_preview failed, ret=";
  kind.format_usable = &VideoFormatUsable;
  kind.same_format = &SameVideoFormat;
  kind.announce = &Hooks::Announce;
  kind.has_preview = &Hooks::HasPreview;
  kind.preview = &Hooks::Deliver;
  return kind;
}

const ChannelKind kVideoKind = MakeVideoKind();

}  // namespace

const ChannelKind& VideoChannelKind() { return kVideoKind; }

SharedVideo::SharedVideo() : SharedChannel(kVideoKind) {}

// Stops the reader while this object's callback fields still exist.
SharedVideo::~SharedVideo() { Close(); }

}  // namespace telvor
