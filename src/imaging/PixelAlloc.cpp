// Aligned blocks: the heap pointer sits in the 8 bytes just below the address
// handed out, so a block can be freed without knowing its size.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "imaging/Pixel.h"

namespace {

constexpr std::uintptr_t kAlignment = 32;
constexpr std::int64_t kOverhead = 40;  // back-pointer plus worst-case alignment slack

std::uint8_t* AllocImage(std::int64_t rowBytes, std::int32_t height, std::int32_t* stride) {
  if (!stride) return nullptr;
  *stride = 0;
  if (rowBytes < 1 || height < 1) return nullptr;
  const std::int64_t rounded = (rowBytes + 31) & ~std::int64_t{31};
  if (rounded > std::numeric_limits<std::int32_t>::max()) return nullptr;
  auto* image = static_cast<std::uint8_t*>(PxAlloc(rounded * height));
  if (image) *stride = static_cast<std::int32_t>(rounded);
  return image;
}

}  // namespace

void* PxAlloc(std::int64_t bytes) {
  if (bytes < 1) return nullptr;
  if (static_cast<std::uint64_t>(bytes) > std::numeric_limits<std::size_t>::max() - kOverhead) return nullptr;
  auto* base = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(bytes) + kOverhead));
  if (!base) return nullptr;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(base) + sizeof(void*);
  std::uint8_t* block = base + ((start + kAlignment - 1) & ~(kAlignment - 1)) - reinterpret_cast<std::uintptr_t>(base);
  std::memcpy(block - sizeof(void*), &base, sizeof(void*));
  return block;
}

void PxFree(void* block) {
  if (!block) return;
  void* base = nullptr;
  std::memcpy(&base, static_cast<std::uint8_t*>(block) - sizeof(void*), sizeof(void*));
  std::free(base);
}

std::uint8_t* PxImageAllocC1(std::int32_t width, std::int32_t height, std::int32_t* stride) {
  return AllocImage(width, height, stride);
}

std::uint8_t* PxImageAllocC2(std::int32_t width, std::int32_t height, std::int32_t* stride) {
  return AllocImage(width < 1 ? 0 : std::int64_t{2} * width, height, stride);
}

void PxImageFree(void* image) { PxFree(image); }
