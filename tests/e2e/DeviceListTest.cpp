// Registration as users do it (the system's regsvr32 on a copied module) and
// the device lists capture applications then show. The registry entries
// themselves are the registration tests' business.
#include <algorithm>

#include "Clients.h"

namespace {

using namespace telvor::e2e;

TEST(DeviceList, RegistrationToolListsConfiguredCamerasOnceAndRemovesThem) {
  // Other programs' cameras may be registered for a moment, but never under this process's tag.
  const std::string tag = "TELVOR e2e " + std::to_string(GetCurrentProcessId());
  const std::string camera = tag + " camera", microphone = tag + " microphone", second = tag + " second camera";
  // Two cameras: the first with a microphone, the next (number 50) video only.
  InstalledModule module(CameraSettings(kEndToEndCameras, camera, microphone) + "FILTER.VIDEO.NAME." +
                         std::to_string(kEndToEndCameras + 2) + "=" + second + "\r\n");
  // FFmpeg lists exactly these, each once.
  const std::vector<std::string> ours = {"audio " + microphone, "video " + camera, "video " + second};
  auto listed = [&] {
    std::vector<std::string> devices = ListedDevices(module.Dir());
    devices.erase(std::remove_if(devices.begin(), devices.end(),
                                 [&](const std::string& name) { return name.find(tag) == std::string::npos; }),
                  devices.end());
    std::sort(devices.begin(), devices.end());
    return devices;
  };
  for (int registration = 0; registration < 2; ++registration) {  // registering again changes nothing
    const auto result = module.Register();
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(listed(), ours);
  }
  const auto result = module.Unregister();
  ASSERT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(listed(), std::vector<std::string>());
}

}  // namespace
