#include "Diagnosis.h"

#include <cstdarg>

namespace doctor {
namespace {

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += Format("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

// Sized first, so that no line is cut, least of all inside a character.
std::string Format(const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(&text[0], text.size() + 1, format, again);
  va_end(again);
  return text;
}

std::string Printable(const char* text) {
  std::string out;
  for (; *text; ++text) out += *text >= 0x20 && *text < 0x7F ? *text : '?';
  return out;
}

bool Diagnosis::HasProblems() const {
  if (!general.empty()) return true;
  for (const CameraReport& camera : cameras) {
    for (const Finding& finding : camera.findings) {
      if (!finding.fix.empty()) return true;
    }
  }
  return false;
}

void PrintText(const Diagnosis& d, std::FILE* out) {
  std::fprintf(out, "Module: %s\nSettings: %s\n", d.module.c_str(), d.settings.c_str());
  for (const CameraReport& camera : d.cameras) {
    std::fprintf(out, "\nCamera %d (index %d):\n", camera.index + 1, camera.index);
    for (const Finding& f : camera.findings) std::fprintf(out, "  %s: %s\n", f.area.c_str(), f.text.c_str());
  }
  std::fprintf(out, "\n");
  if (!d.HasProblems()) {
    std::fprintf(out, "No problems found.\n");
    return;
  }
  std::fprintf(out, "Problems:\n");
  for (size_t i = 0; i < d.general.size(); ++i) {
    std::fprintf(out, "- %s %s\n", d.general[i].c_str(), d.general_fixes[i].c_str());
  }
  for (const CameraReport& camera : d.cameras) {
    for (const Finding& f : camera.findings) {
      if (!f.fix.empty()) std::fprintf(out, "- camera %d: %s %s\n", camera.index + 1, f.text.c_str(), f.fix.c_str());
    }
  }
}

void PrintJson(const Diagnosis& d, std::FILE* out) {
  std::fprintf(out, "{\"module\":%s,\"settings\":%s,\"cameras\":[", JsonText(d.module).c_str(),
               JsonText(d.settings).c_str());
  std::string problems;
  for (size_t i = 0; i < d.general.size(); ++i) {
    problems += Format("%s{\"camera\":null,\"problem\":%s,\"fix\":%s}", problems.empty() ? "" : ",",
                       JsonText(d.general[i]).c_str(), JsonText(d.general_fixes[i]).c_str());
  }
  for (size_t c = 0; c < d.cameras.size(); ++c) {
    const CameraReport& camera = d.cameras[c];
    std::fprintf(out, "%s{\"index\":%d,\"number\":%d,\"findings\":[", c ? "," : "", camera.index, camera.index + 1);
    for (size_t i = 0; i < camera.findings.size(); ++i) {
      const Finding& f = camera.findings[i];
      std::fprintf(out, "%s{\"area\":%s,\"text\":%s,\"problem\":%s", i ? "," : "", JsonText(f.area).c_str(),
                   JsonText(f.text).c_str(), f.fix.empty() ? "false" : "true");
      if (!f.fix.empty()) {
        std::fprintf(out, ",\"fix\":%s", JsonText(f.fix).c_str());
        problems += Format("%s{\"camera\":%d,\"problem\":%s,\"fix\":%s}", problems.empty() ? "" : ",",
                           camera.index + 1, JsonText(f.text).c_str(), JsonText(f.fix).c_str());
      }
      std::fprintf(out, "}");
    }
    std::fprintf(out, "]}");
  }
  std::fprintf(out, "],\"problems\":[%s],\"ok\":%s}\n", problems.c_str(), d.HasProblems() ? "false" : "true");
}

}  // namespace doctor
