// Reader side of a camera's audio ring: 16 slots under
// "KAVO.VCAM.A.SHARE.MEMORY.NN" guarded by "KAVO.VCAM.A.MUTEX.NN" (the pair
// looked up under "Global\" when the session has no complete one).
// Callback contract: transport/ChannelCallbacks.h.
#pragma once

#include "transport/ChannelCallbacks.h"
#include "transport/SharedChannel.h"

namespace telvor {

// The names, slot count and header fields of this kind of ring, for
// programs that inspect a channel without reading it.
const ChannelKind& AudioChannelKind();

class SharedAudio : public SharedChannel {
 public:
  SharedAudio();
  ~SharedAudio() override;

  // Set by the owner before Create.
  on_audio_format_changed_fn on_format_changed = nullptr;
  // Installed by the owner's on_format_changed handler when it accepts the
  // announced format; packets flow only while it is set.
  on_audio_preview_fn on_audio_preview = nullptr;
};

}  // namespace telvor
