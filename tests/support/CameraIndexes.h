// Camera indexes name kernel objects ("KAVO.VCAM.V.MUTEX.%02d", ...) that all
// processes of one Wine prefix share. ctest runs tests in parallel, so each
// test program owns a range and each test inside it one index of that range.
#pragma once

namespace telvor::test {

inline constexpr int kTransportCameras = 10;   // 10..24: tests/transport
inline constexpr int kVideoPinCameras = 25;    // 25..39: tests/filter (video), never past +14
inline constexpr int kAudioPinCameras = 40;    // 40..47: tests/filter (audio)
inline constexpr int kEndToEndCameras = 48;    // 48..55: tests/e2e (ffmpeg, regsvr32)
inline constexpr int kRobustnessCameras = 56;  // 56..63: tests/capture 56..58, tests/robust and stress 59..63
inline constexpr int kRegistrationCameras = 8;  // 8..9: tests/module registration (holds the "devices" lock)
inline constexpr int kPropertyPageCameras = 7;  // 7: tests/propertypage
inline constexpr int kMoreTransportCameras = 2;  // 2..4: tests/transport, beyond its range above
inline constexpr int kMoreVideoPinCameras = 5;   // 5..6: tests/filter (video), beyond its range above
inline constexpr int kProducerChangeCamera = 11;  // 11: tests/filter, producers coming and going
// 0..1 stay free for experiments in a test prefix (the demo has its own).

}  // namespace telvor::test
