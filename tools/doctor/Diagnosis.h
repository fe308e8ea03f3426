// What telvor-doctor found: per camera, findings in plain sentences, some
// of them problems with what to do about them; printed as text or JSON.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"

namespace doctor {

struct Finding {
  std::string area;  // "settings", "registration", "producer", "watchers"
  std::string text;  // a sentence
  std::string fix;   // empty: not a problem
};

struct CameraReport {
  int index = 0;
  std::vector<Finding> findings;
  void Note(const char* area, std::string text) { findings.push_back({area, std::move(text), {}}); }
  void Problem(const char* area, std::string text, std::string fix) {
    findings.push_back({area, std::move(text), std::move(fix)});
  }
};

struct Diagnosis {
  std::string module;
  std::string settings;  // where the settings come from
  std::vector<std::string> general;  // problems that are no camera's
  std::vector<std::string> general_fixes;
  std::vector<CameraReport> cameras;
  bool HasProblems() const;
};

void PrintText(const Diagnosis& diagnosis, std::FILE* out);
void PrintJson(const Diagnosis& diagnosis, std::FILE* out);

// printf into a std::string, however long.
std::string Format(const char* format, ...);
// Text another program wrote, ASCII only: anything else becomes '?'.
std::string Printable(const char* text);
using tools::Utf8;

}  // namespace doctor
