#include "transport/SharedVideo.h"

namespace telvor {
namespace {

bool VideoFormatUsable(const SlotHeader& header) {
  return header.video_fourcc != 0 && header.video_width != 0 && header.video_height != 0;
}

std::int32_t AnnounceVideo(SharedChannel* channel, const SlotHeader& header) {
  auto* video = static_cast<SharedVideo*>(channel);
  if (!video->on_format_changed) return 0;
  return video->on_format_changed(video, header, video->user);
}

bool HasVideoPreview(const SharedChannel* channel) {
  return static_cast<const SharedVideo*>(channel)->on_video_preview != nullptr;
}

std::int32_t PreviewVideo(SharedChannel* channel, double sample_time, const std::uint8_t* payload,
                          std::uint32_t length) {
  auto* video = static_cast<SharedVideo*>(channel);
  return video->on_video_preview(video, sample_time, payload, length, video->user);
}

const ChannelKind kVideoKind = {
    L"SharedVideo",
    L"SharedVideo::Create",
    L"SharedVideo::Run",
    L"SharedVideo::Close",
    L"SharedVideo::ThreadProc",
    L"KAVO.VCAM.V.SHARE.MEMORY.%02d",
    L"KAVO.VCAM.V.MUTEX.%02d",
    L"KAVO.VCAM.V.PRODUCER.%02d",
    kVideoSlotCount,
    offsetof(SlotHeader, video_capacity),
    offsetof(SlotHeader, video_sequence),
    offsetof(SlotHeader, video_timestamp),
    /*compare_low32=*/false,
    /*trace_each_frame=*/true,
    /*waiting_state_text=*/nullptr,
    L"Video state=",
    L"video state=",
    L"on_video_preview failed, ret=",
    &VideoFormatUsable,
    &AnnounceVideo,
    &HasVideoPreview,
    &PreviewVideo,
};

}  // namespace

SharedVideo::SharedVideo() : SharedChannel(kVideoKind) {}

// Stops the reader while this object's callback fields still exist.
SharedVideo::~SharedVideo() { Close(); }

}  // namespace telvor
