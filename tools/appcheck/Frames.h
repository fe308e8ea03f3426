// What reached the application during one run, and the figures it makes:
// samples, the ones the application could show (right length), their time
// stamps and spacing, and what the pictures showed.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Picture.h"
#include "base/Handle.h"

namespace appcheck {

// Which sample length the application turns into a picture.
enum class LengthRule {
  kAtLeast,  // a renderer, Chromium and OBS: the frame's bytes are there
  kExactly,  // OpenCV's grabber callback: exactly width * height * 3
};

struct FrameRecord {
  LARGE_INTEGER arrival{};
  bool stamped = false;
  REFERENCE_TIME start = 0, stop = 0;
  long length = 0;
  bool picture = false;  // the application would show it
  Look look;
};

class Recorder {
 public:
  Recorder();
  // Before the run, or from the streaming thread when a sample brings a new
  // type: how the application reads the bytes.
  void SetLayout(const Layout& layout, LengthRule rule, std::size_t expectedBytes);
  Layout CurrentLayout();
  std::size_t ExpectedBytes();
  // Keep a copy of the newest picture (for --png).
  void KeepPictures(bool keep) { keep_ = keep; }

  // A sample as the application receives it.
  void Add(IMediaSample* sample);
  void Add(const std::uint8_t* data, long length, bool stamped, REFERENCE_TIME start, REFERENCE_TIME stop);
  // Samples the application threw away before looking at them.
  enum class Dropped { kUnstamped, kShort };
  void CountDropped(Dropped why);

  // Signalled by the first sample that arrives.
  HANDLE FirstSample() const { return first_.Get(); }
  std::size_t Pictures();

  struct Snapshot {
    std::vector<FrameRecord> frames;
    std::uint64_t droppedUnstamped = 0;
    std::uint64_t droppedShort = 0;
    Layout layout;
    std::vector<std::uint8_t> newest;  // the newest picture's bytes, with KeepPictures
  };
  Snapshot Take();

 private:
  std::mutex lock_;
  Layout layout_;
  LengthRule rule_ = LengthRule::kAtLeast;
  std::size_t expected_ = 0;
  bool keep_ = false;
  std::vector<FrameRecord> frames_;
  std::uint64_t droppedUnstamped_ = 0;
  std::uint64_t droppedShort_ = 0;
  std::vector<std::uint8_t> newest_;
  UniqueHandle first_;
};

struct RunFacts {
  double fps = 0;  // the rate the application asked for
  bool needsStamps = false;  // the application drops samples without a time stamp
  LARGE_INTEGER running{};   // when Run returned
  std::string png;           // where to save the newest picture, or empty
};

// Prints the run's figures; answers whether the application showed any
// producer picture or picture at all (false: nothing to see).
bool ReportRun(const Recorder::Snapshot& run, const RunFacts& facts);

}  // namespace appcheck
