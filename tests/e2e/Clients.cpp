#include "Clients.h"

#include <cstdio>
#include <sstream>

#include "FrameBand.h"
#include "support/ObjectHolders.h"
#include "transport/ChannelNames.h"

namespace telvor::e2e {

ProcessResult RunCaptured(const TempDir& dir, const std::wstring& commandLine, DWORD timeoutMs) {
  BackgroundProcess process(dir, commandLine);
  return {process.Started() ? process.WaitForExit(timeoutMs) : telvor::test::kNotStarted, process.Output()};
}

std::string CameraSettings(int index, const std::string& video, const std::string& audio, int width, int height,
                           int fps) {
  const std::string n = (index < 9 ? "0" : "") + std::to_string(index + 1);
  std::string lines = "FILTERS=64\r\n";
  auto add = [&](const char* key, const std::string& value) {
    if (!value.empty() && value != "0") lines += std::string("FILTER.") + key + "." + n + "=" + value + "\r\n";
  };
  add("VIDEO.NAME", video);
  add("AUDIO.NAME", audio);
  add("DEFAULT.OUTPUT.W", std::to_string(width));
  add("DEFAULT.OUTPUT.H", std::to_string(height));
  add("FPS", std::to_string(fps));
  return lines;
}

InstalledModule::InstalledModule(const std::string& settings) : modulePath_(dir_.File(telvor::test::kModuleFileName)) {
  telvor::test::CopyFileTo(telvor::test::BuiltModulePath(), modulePath_);
  WriteSettings(settings);
  // Hosts (regsvr32, FFmpeg) inherit this, so their module lines land in one file.
  SetEnvironmentVariableW(L"TELVOR_LOG", dir_.File(L"telvor.log").c_str());
}

void InstalledModule::WriteFormatFile(int cameraIndex, const std::string& settings) {
  Write(L"TELVOR.FORMAT." + std::wstring(cameraIndex < 9 ? L"0" : L"") + std::to_wstring(cameraIndex + 1) + L".INI",
        settings);
}

void InstalledModule::Write(const std::wstring& name, const std::string& settings) {
  telvor::test::WriteTextFile(dir_.File(name), "[CONFIG]\r\n" + settings);
}

ProcessResult InstalledModule::Registration(const std::wstring& option) {
  ProcessResult result = RunCaptured(dir_, L"regsvr32 " + option + Quoted(modulePath_));
  if (result.exitCode == 0) registered_ = option.empty();
  return result;
}

std::wstring VideoInput(const std::string& camera, int width, int height, const char* pixelFormat,
                        const std::string& audio) {
  return L" -f dshow -rtbufsize 1024M -video_size " + std::to_wstring(width) + L"x" + std::to_wstring(height) +
         L" -pixel_format " + Widen(pixelFormat) + L" -i " +
         Quoted(L"video=" + Widen(camera) + (audio.empty() ? L"" : L":audio=" + Widen(audio)));
}

// Names stand in quotes after their section's header; their alternative
// names (the monikers) are left out.
std::vector<std::string> ListedDevices(const TempDir& dir, const std::wstring& ffmpeg) {
  const std::string output = RunCaptured(dir, FfmpegCommand(L"-list_devices true -f dshow -i dummy", ffmpeg)).output;
  EXPECT_NE(output.find("DirectShow video devices"), std::string::npos) << output;
  std::vector<std::string> devices;
  const char* section = nullptr;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const size_t open = line.find('"'), close = line.rfind('"');
    if (line.find("DirectShow video devices") != std::string::npos) {
      section = "video ";
    } else if (line.find("DirectShow audio devices") != std::string::npos) {
      section = "audio ";
    } else if (section && line.find("Alternative name") == std::string::npos && open != std::string::npos &&
               close > open) {
      devices.push_back(section + line.substr(open + 1, close - open - 1));
    }
  }
  return devices;
}

FeedProcess::FeedProcess(const TempDir& dir, int cameraIndex, const std::wstring& arguments, HANDLE input)
    : BackgroundProcess(dir,
                        Tool(L"feed/telvor-feed.exe") + L" --camera " + std::to_wstring(cameraIndex) +
                            L" --status 0 " + arguments,
                        input),
      cameraIndex_(cameraIndex) {}

namespace {
std::wstring RingName(bool video, int cameraIndex) {
  wchar_t name[64];
  swprintf(name, 64, (video ? telvor::kVideoChannelNames : telvor::kAudioChannelNames).mapping, cameraIndex);
  return name;
}
}  // namespace

bool FeedProcess::WaitForChannel(bool video, DWORD timeoutMs) const {
  const std::wstring name = RingName(video, cameraIndex_);
  for (DWORD waited = 0; process_ && waited <= timeoutMs; waited += 20) {
    if (HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str())) {
      CloseHandle(mapping);
      return true;
    }
    if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) return false;  // ended before it opened
  }
  return false;
}

std::string FeedProcess::RingHolders(bool video) const {
  return telvor::test::ObjectHolders(L"\\" + RingName(video, cameraIndex_));
}

std::vector<ShownRun> ShownRuns(const std::string& raw, int width, int height) {
  const capture::PictureLayout layout = {capture::PixelFormat::kYuy2, width, height, 2 * width, false};
  const size_t bytes = capture::PictureBytes(layout);
  std::vector<ShownRun> runs;
  for (size_t f = 0; bytes > 0 && (f + 1) * bytes <= raw.size(); ++f) {
    const auto* frame = reinterpret_cast<const std::uint8_t*>(raw.data()) + f * bytes;
    size_t i = 0;  // the camera's black in yuyv422: Y 16, chroma 128
    while (i < bytes && frame[i] == (i % 2 == 0 ? 16 : 128)) ++i;
    const capture::BandReading band = capture::ReadBands(layout, frame, bytes);
    const ShownRun::Kind kind = i == bytes ? ShownRun::kBlack : band.marked ? ShownRun::kFed : ShownRun::kOther;
    const std::uint32_t number = kind == ShownRun::kFed ? band.frame : 0;
    if (runs.empty() || runs.back().kind != kind || (kind == ShownRun::kFed && number < runs.back().lastNumber))
      runs.push_back({kind, f, 0, number, number, f, {}});
    ShownRun& run = runs.back();
    if (kind == ShownRun::kFed && run.count > 0 && number > run.lastNumber + 1 && run.skips.size() < 120)
      run.skips += " " + std::to_string(f) + "+" + std::to_string(number - run.lastNumber - 1);
    ++run.count;
    if (number != run.lastNumber) run.lastNumberAt = f;
    run.lastNumber = number;
  }
  return runs;
}

std::ostream& operator<<(std::ostream& out, const std::vector<ShownRun>& runs) {
  static const char* const kNames[] = {"black", "fed", "other"};
  for (const ShownRun& run : runs) {
    out << " [" << kNames[run.kind] << " x" << run.count << " from " << run.first;
    if (run.kind == ShownRun::kFed) out << ", numbers " << run.firstNumber << ".." << run.lastNumber;
    if (!run.skips.empty()) out << ", skipped at" << run.skips;
    out << "]";
  }
  return out;
}

}  // namespace telvor::e2e
