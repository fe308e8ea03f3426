// Swaps the three log sinks for capturing ones while in scope, so tests can
// check the exact lines the code writes.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/Log.h"

namespace telvor::test {

class LogCapture {
 public:
  enum class Sink { kTrace, kInfo, kError };
  struct Line { Sink sink; std::wstring text; };

  LogCapture() : saved_{TraceSink, InfoSink, ErrorSink} {
    active_ = this;
    TraceSink = [](const wchar_t* text) { Add(Sink::kTrace, text); };
    InfoSink = [](const wchar_t* text) { Add(Sink::kInfo, text); };
    ErrorSink = [](const wchar_t* text) { Add(Sink::kError, text); };
  }
  ~LogCapture() {
    TraceSink = saved_[0];
    InfoSink = saved_[1];
    ErrorSink = saved_[2];
    active_ = nullptr;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> out;
    for (const Line& line : Lines()) out.push_back(line.text);
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  // Lines containing `fragment` wait in the thread that logs them (and are
  // kept only then) until Release() or `maxMs`: a test can hold a background
  // thread at a known point without a seam in the code under test.
  void HoldLinesContaining(std::wstring fragment, std::chrono::milliseconds maxMs) {
    hold_ = std::move(fragment);
    holdMax_ = maxMs;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    releasedChanged_.notify_all();
  }

  // How many lines contain the fragment.
  size_t Count(const std::wstring& fragment) const {
    const auto lines = Lines();
    return std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.text.find(fragment) != l.text.npos; });
  }

 private:
  static void Add(Sink sink, const wchar_t* text) {
    LogCapture* self = active_.load();
    if (!self) return;
    std::unique_lock<std::mutex> lock(self->mutex_);
    if (!self->hold_.empty() && std::wstring_view(text).find(self->hold_) != std::wstring_view::npos)
      self->releasedChanged_.wait_for(lock, self->holdMax_, [self] { return self->released_; });
    self->lines_.push_back({sink, text});
  }

  static inline std::atomic<LogCapture*> active_{nullptr};
  LogSink saved_[3];
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  std::wstring hold_;
  std::chrono::milliseconds holdMax_{0};
  bool released_ = false;
  std::condition_variable releasedChanged_;
};

}  // namespace telvor::test
