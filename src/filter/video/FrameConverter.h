// The producer's frames turned into the pin's output: the source format the
// producer announced, the output the client negotiated, the scale style, and
// the converter (SwScaler) built for the three, rebuilt whenever one changes.
// Anything it cannot convert (another pixel format, a frame larger than its
// slots, sizes beyond the converter, no memory) leaves it without a
// converter, logged once per rebuild, and the pin shows black; a converter
// that found no memory is built again a second later.
//
// Not locked itself: the frame source holds its converter lock around every call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "filter/video/VideoMediaTypes.h"
#include "imaging/SwScaler.h"

class FrameConverter {
 public:
  // `owner` names the pin in the log lines.
  explicit FrameConverter(const void* owner) : owner_(owner) {}

  // Each of these rebuilds.
  void SetOutput(const OutputFormat& format);
  void SetSource(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height, std::uint32_t capacity);
  // Whether that would replace an announced format with a different one.
  bool Replaces(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height, std::uint32_t capacity) const {
    return sourceFourcc_ && (fourcc != sourceFourcc_ || width != sourceWidth_ || height != sourceHeight_ ||
                             capacity != sourceCapacity_);
  }
  // No producer: black until one announces itself.
  void ForgetSource();
  void Rebuild();
  // Taken by the next rebuild: 0 Stretch, 1 Fill, 2 Fit.
  void SetScaleStyle(UINT style) { wantedStyle_ = style; }

  // A rebuild that found no memory is due again.
  bool RetryDue() const;

  const OutputFormat& Output() const { return output_; }
  // The style the current pictures show (the one of the last rebuild).
  UINT Style() const { return style_; }
  bool Ready() const { return converter_ != nullptr; }
  // Bytes a frame must have to be converted; 0 without a converter.
  std::int64_t FrameBytes() const { return frameBytes_; }
  // Payload bytes of the producer's slots.
  std::uint32_t SlotCapacity() const { return sourceCapacity_; }
  // Converts the frame at `frame` (FrameBytes of it, in the producer's
  // memory, which may vanish) into `buffer` (PictureBytes(Output())). False,
  // with a line, when the producer's memory went away under it.
  bool Convert(const std::uint8_t* frame, std::uint8_t* buffer);

 private:
  bool SourceFitsSlots() const;

  const void* const owner_;
  OutputFormat output_ = {};
  UINT wantedStyle_ = 0;
  UINT style_ = 0;
  std::uint32_t sourceFourcc_ = 0;
  std::uint32_t sourceWidth_ = 0;
  std::uint32_t sourceHeight_ = 0;
  std::uint32_t sourceCapacity_ = 0;
  std::uint32_t sourceStride_ = 0;
  std::unique_ptr<SwScaler> converter_;
  std::int64_t frameBytes_ = 0;
  std::int64_t retryAt_ = 0;  // CounterNow100ns; 0: no rebuild to try again
};
