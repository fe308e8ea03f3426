#include "base/LogRouting.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <string>

namespace telvor {
namespace {

std::string ToUtf8(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) {
    unsigned long c = static_cast<unsigned long>(*text);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned long>(text[1]) - 0xDC00);
      ++text;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

class Router {
 public:
  Router() {
    const char* target = std::getenv("TELVOR_LOG");
    if (!target || !*target) return;
    if (std::string(target) == "stderr") {
      file_ = stderr;
    } else {
      file_ = std::fopen(target, "ab");
    }
  }
  void Write(const wchar_t* line) {
    if (!file_) return;
    const std::string text = ToUtf8(line);
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), file_);
    std::fflush(file_);
  }

 private:
  std::FILE* file_ = nullptr;
  std::mutex mutex_;
};

}  // namespace

void RouteLogLine(const wchar_t* line) {
  // Never destroyed: lines are still written during module unload, after
  // static destructors may have run.
  static Router* router = new Router;
  router->Write(line);
}

}  // namespace telvor
