// Registration as users do it (the system's regsvr32 on a copied module) and
// the device lists capture applications then show. The registry entries
// themselves are the registration tests' business.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Clients.h"
#include "support/CameraIndexes.h"

namespace {

using namespace telvor::e2e;

TEST(DeviceList, RegistrationToolListsConfiguredCamerasOnceAndRemovesThem) {
  // Other programs' cameras may be registered for a moment, but never under this process's tag.
  const std::wstring wideTag = telvor::test::UniqueName(L"TELVOR e2e");
  const std::string tag(wideTag.begin(), wideTag.end());
  const int both = telvor::test::kEndToEndCameras, videoOnly = both + 1;
  const std::string camera = tag + " camera", microphone = tag + " microphone", second = tag + " second camera";
  InstalledModule module(CameraSettings(both, camera, microphone) + "FILTER.VIDEO.NAME." +
                         std::to_string(videoOnly + 1) + "=" + second + "\r\n");
  // FFmpeg lists exactly these, each once, sorted.
  auto expectListed = [&](std::vector<std::string> video, std::vector<std::string> audio) {
    const auto result = RunFfmpeg(module.Dir(), L"-list_devices true -f dshow -i dummy");
    EXPECT_NE(result.output.find("DirectShow video devices"), std::string::npos) << result.output;
    DeviceLists lists = ParseDeviceLists(result.output);
    for (auto* names : {&lists.video, &lists.audio}) {
      names->erase(std::remove_if(names->begin(), names->end(),
                                  [&](const std::string& name) { return name.find(tag) == std::string::npos; }),
                   names->end());
      std::sort(names->begin(), names->end());
    }
    EXPECT_EQ(lists.video, video);
    EXPECT_EQ(lists.audio, audio);
  };
  const auto registered = module.Register();
  ASSERT_EQ(registered.exitCode, 0) << registered.output;
  EXPECT_NE(registered.output.find("Successfully registered DLL"), std::string::npos) << registered.output;
  expectListed({camera, second}, {microphone});
  ASSERT_EQ(module.Register().exitCode, 0);
  expectListed({camera, second}, {microphone});

  const auto unregistered = module.Unregister();
  ASSERT_EQ(unregistered.exitCode, 0) << unregistered.output;
  EXPECT_NE(unregistered.output.find("Successfully unregistered DLL"), std::string::npos) << unregistered.output;
  expectListed({}, {});
}

}  // namespace
