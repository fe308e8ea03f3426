#include "filter/video/FrameConverter.h"

#include <algorithm>
#include <new>

#include "base/AccessGuard.h"
#include "base/Log.h"
#include "filter/PhaseLock.h"
#include "imaging/SwScaler.h"
#include "transport/SlotHeader.h"

namespace {

// The pin's unit: these lines are the pin's own.
constexpr wchar_t kUnit[] = L"CorvaneVideoStream";
constexpr wchar_t kRebuild[] = L"CorvaneVideoStream::ResetScaler";
constexpr wchar_t kFill[] = L"CorvaneVideoStream::FillBuffer";
constexpr std::int32_t kBilinear = 2;
// How soon a converter that found no memory is built again.
constexpr std::int64_t kRetry100ns = 10000000;

std::int32_t StyleCode(UINT style) { return style == 1 || style == 2 ? static_cast<std::int32_t>(style) : 0; }

std::int32_t SourceMode(std::uint32_t fourcc) {
  if (fourcc == telvor::kFourCcYv12) return kConverterYv12;
  if (fourcc == telvor::kFourCcYuy2) return kConverterYuy2;
  return 0;
}

}  // namespace

void FrameConverter::SetOutput(const OutputFormat& format) {
  output_ = format;
  Rebuild();
}

void FrameConverter::SetSource(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height,
                               std::uint32_t capacity) {
  sourceFourcc_ = fourcc;
  sourceWidth_ = width;
  sourceHeight_ = height;
  sourceCapacity_ = capacity;
  Rebuild();
}

void FrameConverter::ForgetSource() {
  sourceFourcc_ = 0;
  Rebuild();
}

bool FrameConverter::RetryDue() const { return retryAt_ != 0 && telvor::CounterNow100ns() >= retryAt_; }

// A frame of the announced format must fit one slot, or every frame would
// be read past its slot's end.
bool FrameConverter::SourceFitsSlots() const {
  const std::int32_t mode = SourceMode(sourceFourcc_);
  if (sourceWidth_ > telvor::kMaxVideoDimension || sourceHeight_ > telvor::kMaxVideoDimension) return false;
  const std::int64_t bytes =
      SwScaler::SourceBytes(mode, static_cast<std::int32_t>(sourceWidth_), static_cast<std::int32_t>(sourceHeight_));
  return bytes > 0 && bytes <= sourceCapacity_;
}

void FrameConverter::Rebuild() {
  const OutputFormat& format = output_;
  // A converter for the old formats would misread the new frames; without a
  // new one the black picture is the honest answer.
  converter_.reset();
  frameBytes_ = 0;
  const bool retrying = retryAt_ != 0;
  retryAt_ = 0;
  style_ = wantedStyle_;
  if (format.width < 1 || format.height < 1) {
    TELVOR_ERROR_OBJ(kUnit, kRebuild, owner_) << L"zero area, " << format.width << L"x" << format.height;
    return;
  }
  const std::int32_t mode = SourceMode(sourceFourcc_);
  if (mode != 0) sourceStride_ = sourceWidth_ * (mode == kConverterYuy2 ? 2 : 1);
  const telvor::VideoSubtypeInfo* info = telvor::FindVideoSubtype(format.subtype);
  const std::int32_t kind = info ? info->outputKind : 0;
  if (mode == 0 && sourceFourcc_ != 0) {
    // Without this line a producer in another pixel format just looks like a
    // broken camera.
    TELVOR_ERROR_OBJ(kUnit, kRebuild, owner_)
        << L"producer pixel format " << sourceFourcc_ << L" is neither YUY2 nor YV12, black frames instead";
  }
  if (mode == 0 || kind == 0) return;
  if (!SourceFitsSlots()) {
    TELVOR_ERROR_OBJ(kUnit, kRebuild, owner_) << L"frame " << sourceWidth_ << L"x" << sourceHeight_
                                              << L" does not fit a slot of " << sourceCapacity_
                                              << L" bytes, no converter";
    return;
  }
  // Negotiation refuses such outputs, but a type attached to a sample or a
  // producer's frame may still bring one; the converter would write nothing
  // and the samples would carry whatever their buffers held.
  if (std::max({sourceWidth_, sourceHeight_, format.width, format.height}) >
      static_cast<std::uint32_t>(kMaxConverterSide)) {
    TELVOR_ERROR_OBJ(kUnit, kRebuild, owner_) << sourceWidth_ << L"x" << sourceHeight_ << L" ==> " << format.width
                                              << L"x" << format.height << L" beyond the converter, black frames instead";
    return;
  }
  const auto sw = static_cast<std::int32_t>(sourceWidth_), sh = static_cast<std::int32_t>(sourceHeight_);
  converter_.reset(new (std::nothrow) SwScaler(mode, sw, sh, kind, static_cast<std::int32_t>(format.width),
                                               static_cast<std::int32_t>(format.height), format.bottomUp, kBilinear,
                                               StyleCode(style_)));
  if (!converter_ || !converter_->Working()) {
    // A 32-bit host short of address space may have it back in a moment.
    if (!retrying) {
      TELVOR_ERROR_OBJ(kUnit, kRebuild, owner_) << L"no memory for the converter " << sw << L"x" << sh << L" ==> "
                                                << format.width << L"x" << format.height
                                                << L", black frames until there is";
    }
    converter_.reset();
    retryAt_ = telvor::CounterNow100ns() + kRetry100ns;
    return;
  }
  frameBytes_ = SwScaler::SourceBytes(mode, sw, sh);
}

bool FrameConverter::Convert(const std::uint8_t* frame, std::uint8_t* buffer) {
  struct Job {
    SwScaler* converter;
    const std::uint8_t* source;
    std::int32_t sourceStride;
    std::uint8_t* target;
    std::int32_t targetStride;
  } job = {converter_.get(), frame, static_cast<std::int32_t>(sourceStride_), buffer,
           static_cast<std::int32_t>(output_.stride)};
  // The slot lives in another process's memory and may vanish under us.
  const bool completed = telvor::RunGuarded(
      [](void* context) {
        auto* j = static_cast<Job*>(context);
        j->converter->Scale(j->source, j->sourceStride, j->target, j->targetStride);
      },
      &job);
  if (!completed) TELVOR_ERROR_OBJ(kUnit, kFill, owner_) << L"Access violation!!";
  return completed;
}
