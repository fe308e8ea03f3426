// Pictures for the fuzz harnesses: each plane is its own heap block of exactly
// the bytes its rows span, so AddressSanitizer reports a stray access on
// either side to the byte; replayed by the tests, the block ends at an
// inaccessible page instead, which the vector code under Wine cannot pass
// unnoticed. Row padding and the leading misalignment bytes are
// filled with a sentinel and checked afterwards: a write that stays inside the
// block but outside the picture shows there.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#ifdef TELVOR_FUZZ_REPLAY
#include "support/GuardedBuffer.h"
#endif

namespace telvor::fuzz {

#ifdef TELVOR_FUZZ_REPLAY
using Block = GuardedBuffer;
#else
struct Block {
  explicit Block(std::size_t bytes) : bytes_(new std::uint8_t[bytes]) {}
  std::uint8_t* data() { return bytes_.get(); }
  std::unique_ptr<std::uint8_t[]> bytes_;
};
#endif

inline constexpr std::uint8_t kSentinel = 0xa5;

// Layout choices drawn from the input: padding after each row (none half the
// time: pictures without padding take the one-block copy), a bottom-up
// (negative) stride, and a misaligned first byte.
struct Layout {
  std::int32_t padding = 0;
  bool bottomUp = false;
  std::int32_t misalign = 0;

  static Layout Draw(FuzzedDataProvider& in) {  // a braced list draws in order
    return Layout{in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<std::int32_t>(1, 70), in.ConsumeBool(),
                  in.ConsumeIntegralInRange<std::int32_t>(0, 31)};
  }
};

class Plane {
 public:
  Plane(std::int32_t rowBytes, std::int32_t rows, const Layout& layout)
      : rowBytes_(rowBytes), rows_(rows), pitch_(rowBytes + layout.padding), misalign_(layout.misalign) {
    size_ = static_cast<std::size_t>(misalign_) + static_cast<std::size_t>(pitch_) * static_cast<std::size_t>(rows - 1) +
            static_cast<std::size_t>(rowBytes);
    storage_ = std::make_unique<Block>(size_);
    block_ = storage_->data();
    Reset();
    first_ = block_ + misalign_;
    stride_ = layout.bottomUp ? -pitch_ : pitch_;
    if (layout.bottomUp) first_ += static_cast<std::ptrdiff_t>(pitch_) * (rows - 1);
  }

  void Randomize(FuzzedDataProvider& in) {
    std::uint32_t x = in.ConsumeIntegral<std::uint32_t>();
    for (std::size_t i = 0; i < size_; ++i) {
      x = x * 1664525u + 1013904223u;
      if (IsPicture(i)) block_[i] = static_cast<std::uint8_t>(x >> 24);
    }
  }
  void Reset() { std::memset(block_, kSentinel, size_); }

  // Every byte outside the picture (or, with all, every byte) still holds the sentinel.
  void CheckMargins(const char* name, bool all = false) const {
    for (std::size_t i = 0; i < size_; ++i) {
      if ((all || !IsPicture(i)) && block_[i] != kSentinel) Fail(name, static_cast<long>(i), block_[i]);
    }
  }
  void CheckUnwritten(const char* name) const { CheckMargins(name, true); }

  std::uint8_t* first() const { return first_; }
  std::int32_t stride() const { return stride_; }
  const std::uint8_t* block() const { return block_; }
  std::size_t size() const { return size_; }
  std::int32_t rowBytes() const { return rowBytes_; }
  std::int32_t rows() const { return rows_; }

  // Picture bytes in row order (top row first), whatever the stride's sign.
  std::vector<std::uint8_t> Picture() const {
    std::vector<std::uint8_t> out;
    for (std::int32_t r = 0; r < rows_; ++r) {
      const std::uint8_t* row = first_ + static_cast<std::ptrdiff_t>(stride_) * r;
      out.insert(out.end(), row, row + rowBytes_);
    }
    return out;
  }

 private:
  bool IsPicture(std::size_t i) const {
    return i >= static_cast<std::size_t>(misalign_) && (i - misalign_) % pitch_ < static_cast<std::size_t>(rowBytes_);
  }

  std::int32_t rowBytes_, rows_, pitch_, misalign_;
  std::unique_ptr<Block> storage_;
  std::uint8_t* block_ = nullptr;
  std::size_t size_ = 0;
  std::uint8_t* first_ = nullptr;
  std::int32_t stride_ = 0;
};

inline int MaxDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size()) return 256;
  int worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

}  // namespace telvor::fuzz
