// Registration as users do it (the system's regsvr32 on a copied module) and
// the device lists capture applications then show. The registry entries
// themselves are the registration tests' business.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Clients.h"
#include "InstalledModule.h"
#include "support/CameraIndexes.h"

namespace {

using namespace telvor::e2e;
using telvor::test::kEndToEndCameras;
using telvor::test::UniqueName;

constexpr int kVideoAndAudio = kEndToEndCameras;  // 48: both filters
constexpr int kVideoOnly = kEndToEndCameras + 1;  // 49: no audio name

class DeviceList : public ::testing::Test {
 protected:
  DeviceList()
      : tag_(Narrow(UniqueName(L"TELVOR e2e"))),
        module_(telvor::e2e::CameraSettings(kVideoAndAudio, Camera(kVideoAndAudio), Microphone(kVideoAndAudio)) +
                "FILTER.VIDEO.NAME.50=" + Camera(kVideoOnly) + "\r\n") {}

  static std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
  std::string Camera(int index) const { return tag_ + " camera " + std::to_string(index); }
  std::string Microphone(int index) const { return tag_ + " microphone " + std::to_string(index); }

  // This test's own names in a list, sorted. Other programs' cameras may be
  // registered for a moment, but never under this process's tag.
  std::vector<std::string> Ours(std::vector<std::string> names) const {
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& name) { return name.find(tag_) == std::string::npos; }),
                names.end());
    std::sort(names.begin(), names.end());
    return names;
  }

  // FFmpeg lists exactly these, each once (the system enumerator's own
  // listing is the registration tests' business).
  void ExpectListed(const std::vector<std::string>& video, const std::vector<std::string>& audio) {
    const auto result = RunFfmpeg(module_.Dir(), L"-list_devices true -f dshow -i dummy");
    EXPECT_NE(result.output.find("DirectShow video devices"), std::string::npos) << result.output;
    const DeviceLists lists = ParseDeviceLists(result.output);
    EXPECT_EQ(Ours(lists.video), video);
    EXPECT_EQ(Ours(lists.audio), audio);
  }

  std::string tag_;
  InstalledModule module_;
};

TEST_F(DeviceList, RegistrationToolListsConfiguredCamerasOnceAndRemovesThem) {
  ASSERT_TRUE(module_.Copied());
  ASSERT_TRUE(telvor::e2e::FfmpegPresent()) << "scripts/fetch-ffmpeg build/windows/third_party";
  const auto registered = module_.Register();
  ASSERT_EQ(registered.exitCode, 0) << registered.output;
  EXPECT_NE(registered.output.find("Successfully registered DLL"), std::string::npos) << registered.output;

  const std::vector<std::string> cameras = {Camera(kVideoAndAudio), Camera(kVideoOnly)};
  const std::vector<std::string> microphones = {Microphone(kVideoAndAudio)};
  ExpectListed(cameras, microphones);

  ASSERT_EQ(module_.Register().exitCode, 0);
  ExpectListed(cameras, microphones);

  const auto unregistered = module_.Unregister();
  ASSERT_EQ(unregistered.exitCode, 0) << unregistered.output;
  EXPECT_NE(unregistered.output.find("Successfully unregistered DLL"), std::string::npos) << unregistered.output;
  ExpectListed({}, {});
}

}  // namespace
