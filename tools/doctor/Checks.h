// The checks of telvor-doctor, each filling one area of a camera's report.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "Diagnosis.h"
#include "settings/CameraTable.h"

namespace doctor {

// The module's settings as the module reads them: its own table builder
// over its settings file (or the registry when the file is absent).
struct Settings {
  std::wstring module;
  std::wstring ini_path;
  std::wstring format_stem;
  std::unique_ptr<FilterTable> tables;
  std::vector<std::string> table_errors;  // lines the table builder logged as errors
};
Settings LoadSettings(const std::wstring& module, Diagnosis& diagnosis);

void CheckSettings(const Settings& settings, int index, CameraReport& report);
// Both registry views: class entries and device names.
void CheckRegistration(const Settings& settings, int index, CameraReport& report);

// A camera's two channels, read twice with a pause between (frames per second).
class ProducerCheck {
 public:
  ProducerCheck(const Settings& settings, int index);
  ~ProducerCheck();
  void Report(double seconds, CameraReport& report);  // after the pause
 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

void CheckWatchers(int index, CameraReport& report);

}  // namespace doctor
