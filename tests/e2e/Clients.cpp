#include "Clients.h"

#include <cstdio>
#include <sstream>

#include "FrameBand.h"

namespace telvor::e2e {

using telvor::test::BuildTreePath;
using telvor::test::TempDir;

std::wstring FfmpegPath() { return BuildTreePath(L"third_party/ffmpeg.exe"); }

bool FfmpegPresent() { return GetFileAttributesW(FfmpegPath().c_str()) != INVALID_FILE_ATTRIBUTES; }

ProcessResult RunFfmpeg(const TempDir& dir, const std::wstring& arguments, DWORD timeoutMs) {
  return RunCaptured(dir, FfmpegCommand(arguments), timeoutMs);
}

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// FFmpeg prefixes its dshow lines with "[dshow @ 0x...] ".
std::string WithoutContext(const std::string& line) {
  if (line.rfind("[dshow @", 0) != 0) return line;
  const size_t end = line.find("] ");
  return end == std::string::npos ? line : line.substr(end + 2);
}

}  // namespace

DeviceLists ParseDeviceLists(const std::string& output) {
  DeviceLists lists;
  std::vector<std::string>* section = nullptr;
  for (const std::string& raw : Lines(output)) {
    const std::string line = WithoutContext(raw);
    if (line.find("DirectShow video devices") != std::string::npos) {
      section = &lists.video;
    } else if (line.find("DirectShow audio devices") != std::string::npos) {
      section = &lists.audio;
    } else if (section && line.find("Alternative name") == std::string::npos) {
      const size_t open = line.find('"');
      const size_t close = line.rfind('"');
      if (open != std::string::npos && close > open) section->push_back(line.substr(open + 1, close - open - 1));
    }
  }
  return lists;
}

FeedProcess::FeedProcess(const TempDir& dir, const std::wstring& arguments, HANDLE input)
    : BackgroundProcess(dir, Quoted(BuildTreePath(L"tools/feed/telvor-feed.exe")) + L" " + arguments, input) {}

std::wstring FfmpegCommand(const std::wstring& arguments) {
  return Quoted(FfmpegPath()) + L" -hide_banner -nostdin " + arguments;
}

std::wstring VideoInput(const std::string& camera, int width, int height, const char* pixelFormat,
                        const std::string& audio) {
  return L" -f dshow -rtbufsize 1024M -video_size " + std::to_wstring(width) + L"x" + std::to_wstring(height) +
         L" -pixel_format " + Widen(pixelFormat) + L" -i " +
         Quoted(L"video=" + Widen(camera) + (audio.empty() ? L"" : L":audio=" + Widen(audio)));
}

bool FeedProcess::WaitForChannel(int cameraIndex, bool video, DWORD timeoutMs) const {
  wchar_t name[64];
  swprintf(name, 64, video ? L"KAVO.VCAM.V.SHARE.MEMORY.%02d" : L"KAVO.VCAM.A.SHARE.MEMORY.%02d", cameraIndex);
  for (DWORD waited = 0; process_ && waited <= timeoutMs; waited += 20) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
    if (mapping) {
      CloseHandle(mapping);
      return true;
    }
    if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) return false;  // ended before it opened
  }
  return false;
}

namespace {

// The camera's black in yuyv422: Y 16, chroma 128.
bool IsBlackYuy2(const std::uint8_t* frame, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i)
    if (frame[i] != (i % 2 == 0 ? 16 : 128)) return false;
  return true;
}

}  // namespace

std::vector<ShownRun> ShownRuns(const std::string& raw, int width, int height) {
  const capture::PictureLayout layout = {capture::PixelFormat::kYuy2, width, height, 2 * width, false};
  const size_t bytes = capture::PictureBytes(layout);
  std::vector<ShownRun> runs;
  for (size_t f = 0; bytes > 0 && (f + 1) * bytes <= raw.size(); ++f) {
    const auto* frame = reinterpret_cast<const std::uint8_t*>(raw.data()) + f * bytes;
    Shown shown;
    if (IsBlackYuy2(frame, bytes)) {
      shown.kind = Shown::kBlack;
    } else if (const capture::BandReading band = capture::ReadBands(layout, frame, bytes); band.marked) {
      shown = {Shown::kFed, band.frame};
    }
    ShownRun* run = runs.empty() ? nullptr : &runs.back();
    if (!run || run->kind != shown.kind || (shown.kind == Shown::kFed && shown.number < run->lastNumber)) {
      runs.push_back({shown.kind, f, 0, shown.number, shown.number, f});
      run = &runs.back();
    }
    ++run->count;
    if (shown.number != run->lastNumber) run->lastNumberAt = f;
    run->lastNumber = shown.number;
  }
  return runs;
}

std::ostream& operator<<(std::ostream& out, const std::vector<ShownRun>& runs) {
  static const char* const kNames[] = {"black", "fed", "other"};
  for (const ShownRun& run : runs) {
    out << " [" << kNames[run.kind] << " x" << run.count << " from " << run.first;
    if (run.kind == Shown::kFed) out << ", numbers " << run.firstNumber << ".." << run.lastNumber;
    out << "]";
  }
  return out;
}

}  // namespace telvor::e2e
