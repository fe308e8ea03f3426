// Reader side of a camera's video ring: 8 slots under
// "KAVO.VCAM.V.SHARE.MEMORY.NN" guarded by "KAVO.VCAM.V.MUTEX.NN" (the pair
// looked up under "Global\" when the session has no complete one).
// Callback contract: transport/ChannelCallbacks.h.
#pragma once

#include "transport/ChannelCallbacks.h"
#include "transport/SharedChannel.h"

namespace telvor {

// The names, slot count and header fields of this kind of ring, for
// programs that inspect a channel without reading it.
const ChannelKind& VideoChannelKind();

class SharedVideo : public SharedChannel {
 public:
  SharedVideo();
  ~SharedVideo() override;

  // Set by the owner before Create.
  on_video_format_changed_fn on_format_changed = nullptr;
  // Usually installed by the owner's on_format_changed handler (it runs on the
  // reader thread before the first frame is chosen), so that frames flow only
  // once the format has been accepted.
  on_video_preview_fn on_video_preview = nullptr;
};

}  // namespace telvor
