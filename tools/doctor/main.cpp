// telvor-doctor: why an application cannot see or use a camera. For each
// configured camera it reports the settings as the module reads them, the
// registration in both registry views, the producer's channels and who is
// reading them, then one line per problem with what to do about it.
// Exit code: 0 all well, 1 problems found, 2 bad usage.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Checks.h"
#include "CommandLine.h"
#include "Diagnosis.h"
#include "base/ModuleFileName.h"

namespace {

constexpr char kHelp[] =
    "telvor-doctor [options]\n"
    "Checks each configured camera: settings, registration (64- and 32-bit), producer, watchers.\n"
    "  --module PATH   the module to check (default: TELVOR.AX beside telvor-doctor)\n"
    "  --camera N      only camera index N (0..63)\n"
    "  --sample-ms MS  how long to watch the producer's channels (100..10000, default 1000)\n"
    "  --json          one JSON object instead of sentences\n"
    "  --help          this list\n"
    "Exit code: 0 no problems, 1 problems found, 2 bad usage.\n";

std::wstring DefaultModule() {
  const std::wstring self = telvor::ModuleFileName(nullptr);
  const size_t slash = self.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? std::wstring() : self.substr(0, slash + 1)) + L"TELVOR.AX";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring module = DefaultModule();
  bool json = false, help = false;
  std::uint32_t camera = 0, sample_ms = 1000;
  bool one_camera = false;
  std::string error;
  const std::vector<tools::Option> options = {
      {L"--module", true, [&](const wchar_t* v) { module = v; return *v != L'\0'; }},
      {L"--camera", true,
       [&](const wchar_t* v) { return one_camera = tools::ReadCount(v, 0, 63, camera); }},
      {L"--sample-ms", true, [&](const wchar_t* v) { return tools::ReadCount(v, 100, 10000, sample_ms); }},
      {L"--json", false, [&](const wchar_t*) { return json = true; }},
  };
  if (!tools::ReadCommandLine(argc, argv, options, help, error)) {
    return tools::RefuseCommandLine("telvor-doctor", error, 2);
  }
  if (help) {
    std::fputs(kHelp, stdout);
    return 0;
  }

  doctor::Diagnosis diagnosis;
  const doctor::Settings settings = doctor::LoadSettings(module, diagnosis);
  std::vector<int> indexes;
  for (int index = 0; index < kMaxCameras; ++index) {
    const bool configured = settings.tables->At(index, MediaKind::kVideo).name[0] ||
                            settings.tables->At(index, MediaKind::kAudio).name[0];
    if ((one_camera && index == static_cast<int>(camera)) || (!one_camera && configured)) indexes.push_back(index);
  }
  if (indexes.empty()) {
    diagnosis.general.push_back("No camera is configured.");
    diagnosis.general_fixes.push_back("Name a device with FILTER.VIDEO.NAME.NN in the settings (see the README).");
  }
  // The channels of every camera are read before and after one common pause.
  std::vector<std::unique_ptr<doctor::ProducerCheck>> producers;
  for (int index : indexes) producers.push_back(std::make_unique<doctor::ProducerCheck>(settings, index));
  const std::uint64_t start = GetTickCount64();
  Sleep(sample_ms);
  const double seconds = (GetTickCount64() - start) / 1000.0;
  for (size_t i = 0; i < indexes.size(); ++i) {
    doctor::CameraReport report;
    report.index = indexes[i];
    doctor::CheckSettings(settings, report.index, report);
    doctor::CheckRegistration(settings, report.index, report);
    producers[i]->Report(seconds, report);
    doctor::CheckWatchers(report.index, report);
    diagnosis.cameras.push_back(std::move(report));
  }
  if (json) {
    doctor::PrintJson(diagnosis, stdout);
  } else {
    doctor::PrintText(diagnosis, stdout);
  }
  return diagnosis.HasProblems() ? 1 : 0;
}
