// One pin's rendering of its camera's idle picture (IdlePicture, decoded once
// per camera and process) at the pin's output format and scaling style: made
// once per format on the streaming thread, outside the pin's locks, so that
// a client's format change never waits for a picture of 25 million pixels.
//
// Threads: SetImage and Start on negotiation (under the pin's converter
// lock), Prepare on the streaming thread holding none of the pin's locks,
// CopyTo on the streaming thread under the converter lock. The rendering's
// own lock is taken after the converter lock and is never held while
// converting.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Handle.h"
#include "filter/video/IdleImage.h"
#include "filter/video/VideoMediaTypes.h"

class IdleRendering {
 public:
  // `owner` names the pin in the log lines.
  explicit IdleRendering(const void* owner) : owner_(owner) {}
  IdleRendering(const IdleRendering&) = delete;
  IdleRendering& operator=(const IdleRendering&) = delete;

  // The image file of `camera`; empty: black. Forgets any rendering.
  void SetImage(int camera, std::wstring path);
  // Whether a file is named: cameras without one never take the lock.
  bool Named() const { return named_.load(std::memory_order_relaxed); }
  // Starts the camera's shared decoding unless it runs already: called at
  // the first output format, so hosts that merely list the camera never pay
  // for it. Never waits for the file.
  void Start();
  // Renders the decoded picture for `output` at `style` (0 Stretch, 1 Fill,
  // 2 Fit) unless that is done. Out of memory: black, one line, and another
  // try a second later.
  void Prepare(const OutputFormat& output, UINT style);
  // Copies the rendering into `buffer` when there is one for `output` at
  // `style` of exactly `bytes`; false otherwise.
  bool CopyTo(const OutputFormat& output, UINT style, std::uint8_t* buffer, std::int64_t bytes);

 private:
  // Under lock_.
  bool RenderedFor(const OutputFormat& output, UINT style) const;

  const void* const owner_;
  CCritSec lock_;  // everything below
  int camera_ = 0;
  std::wstring path_;
  std::atomic<bool> named_{false};
  std::shared_ptr<IdlePicture> shared_;  // null until Start
  std::uint32_t generation_ = 0;         // counts SetImage: a rendering of an image gone by is dropped
  std::vector<std::uint8_t> picture_;    // empty: black
  OutputFormat output_ = {};
  UINT style_ = 0;
  // No memory for the rendering for output_ at style_: another try at retryAt_ (CounterNow100ns).
  bool failed_ = false;
  std::int64_t retryAt_ = 0;
};
