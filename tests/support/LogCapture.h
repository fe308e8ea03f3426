// Swaps the three log sinks for capturing ones while in scope, so tests can
// check the exact lines the code writes.
#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "base/Log.h"

namespace telvor::test {

class LogCapture {
 public:
  LogCapture() {
    saved_[0] = TraceSink;
    saved_[1] = InfoSink;
    saved_[2] = ErrorSink;
    active_ = this;
    TraceSink = &CaptureTrace;
    InfoSink = &CaptureInfo;
    ErrorSink = &CaptureError;
  }
  ~LogCapture() {
    TraceSink = saved_[0];
    InfoSink = saved_[1];
    ErrorSink = saved_[2];
    active_ = nullptr;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  enum class Sink { kTrace, kInfo, kError };
  struct Line {
    Sink sink;
    std::wstring text;
  };

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> out;
    for (const Line& line : Lines()) out.push_back(line.text);
    return out;
  }
  // Lines (without the trailing line feed) that contain the fragment.
  std::vector<std::wstring> Matching(const std::wstring& fragment) const {
    std::vector<std::wstring> out;
    for (const Line& line : Lines()) {
      if (line.text.find(fragment) != std::wstring::npos) out.push_back(Strip(line.text));
    }
    return out;
  }
  size_t Count(const std::wstring& fragment) const { return Matching(fragment).size(); }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  static std::wstring Strip(std::wstring text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text;
  }

 private:
  static void Add(Sink sink, const wchar_t* text) {
    LogCapture* self = active_.load();
    if (!self) return;
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back({sink, text});
  }
  static void CaptureTrace(const wchar_t* text) { Add(Sink::kTrace, text); }
  static void CaptureInfo(const wchar_t* text) { Add(Sink::kInfo, text); }
  static void CaptureError(const wchar_t* text) { Add(Sink::kError, text); }

  static inline std::atomic<LogCapture*> active_{nullptr};
  LogSink saved_[3];
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

}  // namespace telvor::test
