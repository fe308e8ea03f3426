#include "filter/video/IdleRendering.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "base/Log.h"
#include "filter/PhaseLock.h"
#include "imaging/SwScaler.h"

namespace {

constexpr wchar_t kUnit[] = L"CorvaneVideoStream";
constexpr wchar_t kFill[] = L"CorvaneVideoStream::FillBuffer";
// How soon a rendering that found no memory is tried again.
constexpr std::int64_t kRetry100ns = 10000000;
constexpr std::int32_t kBilinear = 2;

bool SameFormat(const OutputFormat& a, const OutputFormat& b) {
  return a.subtype == b.subtype && a.width == b.width && a.height == b.height && a.stride == b.stride &&
         a.bottomUp == b.bottomUp;
}

// Formats the converter cannot write are black, and said so at the pin's rebuild.
bool Convertible(const OutputFormat& output) {
  const telvor::VideoSubtypeInfo* info = telvor::FindVideoSubtype(output.subtype);
  const std::int64_t bytes = PictureBytes(output);
  return info && info->outputKind != 0 && bytes > 0 && bytes <= telvor::kMaxVideoImageBytes &&
         std::max(output.width, output.height) <= static_cast<std::uint32_t>(kMaxConverterSide);
}

// The picture of `image` for `output`, or nothing when memory ran short.
std::vector<std::uint8_t> Render(const IdleImage& image, const OutputFormat& output, UINT style) {
  std::vector<std::uint8_t> picture;
  try {
    picture.resize(static_cast<std::size_t>(PictureBytes(output)));
    // Black first: the converter leaves the padding columns of odd widths alone.
    FillBlack(output, picture.data());
    SwScaler converter(kConverterYuy2, image.width, image.height,
                       telvor::FindVideoSubtype(output.subtype)->outputKind, static_cast<std::int32_t>(output.width),
                       static_cast<std::int32_t>(output.height), output.bottomUp, kBilinear,
                       style == 1 || style == 2 ? static_cast<std::int32_t>(style) : 0);
    if (converter.Working()) {
      converter.Scale(image.yuy2.data(), 2 * image.width, picture.data(), static_cast<std::int32_t>(output.stride));
      return picture;
    }
  } catch (const std::bad_alloc&) {
  }
  return {};
}

}  // namespace

void IdleRendering::SetImage(int camera, std::wstring path) {
  CAutoLock lock(&lock_);
  camera_ = camera;
  path_ = std::move(path);
  shared_.reset();
  ++generation_;
  picture_.clear();
  output_ = OutputFormat();
  failed_ = false;
  named_ = !path_.empty();
}

void IdleRendering::Start() {
  if (!Named()) return;
  CAutoLock lock(&lock_);
  if (!shared_ && !path_.empty()) shared_ = IdlePicture::Acquire(camera_, path_);
}

bool IdleRendering::RenderedFor(const OutputFormat& output, UINT style) const {
  return style_ == style && SameFormat(output_, output);
}

void IdleRendering::Prepare(const OutputFormat& output, UINT style) {
  std::shared_ptr<IdlePicture> shared;
  std::uint32_t generation;
  {
    CAutoLock lock(&lock_);
    if (!shared_ || !shared_->Image()) return;
    // Rendered (or not convertible) for this output already, unless memory ran out and it is time to try again.
    if (RenderedFor(output, style) && !(failed_ && telvor::CounterNow100ns() >= retryAt_)) return;
    shared = shared_;
    generation = generation_;
  }
  const bool convertible = Convertible(output);
  std::vector<std::uint8_t> picture;
  if (convertible) picture = Render(*shared->Image(), output, style);
  const bool rendered = !picture.empty();
  CAutoLock lock(&lock_);
  if (generation != generation_) return;
  // Memory a 32-bit host is short of now may be back in a moment: black
  // meanwhile, and one line for the format however many tries it takes.
  if (convertible && !rendered && !(failed_ && RenderedFor(output, style))) {
    TELVOR_ERROR_OBJ(kUnit, kFill, owner_) << L"no memory for the idle picture at " << output.width << L"x"
                                           << output.height << L", black until there is";
  }
  picture_.swap(picture);
  output_ = output;
  style_ = style;
  failed_ = convertible && !rendered;
  retryAt_ = telvor::CounterNow100ns() + kRetry100ns;
}

bool IdleRendering::CopyTo(const OutputFormat& output, UINT style, std::uint8_t* buffer, std::int64_t bytes) {
  if (!Named()) return false;
  CAutoLock lock(&lock_);
  if (picture_.size() != static_cast<std::uint64_t>(bytes) || !RenderedFor(output, style)) return false;
  std::memcpy(buffer, picture_.data(), picture_.size());
  return true;
}
