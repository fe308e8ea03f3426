// The names of a camera's shared objects, printf patterns taking the camera
// index; the cameras and the producer library both take them from here.
#pragma once

namespace telvor {

struct ChannelNames {
  const wchar_t* mapping;
  const wchar_t* mutex;
  const wchar_t* producer;  // the marker a producer library holds while it feeds
  // Manual-reset events the producer library sets after each write, by the
  // item number's parity.
  const wchar_t* written[2];
};

inline constexpr ChannelNames kVideoChannelNames = {L"KAVO.VCAM.V.SHARE.MEMORY.%02d",
                                                    L"KAVO.VCAM.V.MUTEX.%02d",
                                                    L"KAVO.VCAM.V.PRODUCER.%02d",
                                                    {L"KAVO.VCAM.V.WRITTEN0.%02d", L"KAVO.VCAM.V.WRITTEN1.%02d"}};
inline constexpr ChannelNames kAudioChannelNames = {L"KAVO.VCAM.A.SHARE.MEMORY.%02d",
                                                    L"KAVO.VCAM.A.MUTEX.%02d",
                                                    L"KAVO.VCAM.A.PRODUCER.%02d",
                                                    {L"KAVO.VCAM.A.WRITTEN0.%02d", L"KAVO.VCAM.A.WRITTEN1.%02d"}};

}  // namespace telvor
