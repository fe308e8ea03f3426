// SSE2, the x86-64 baseline: only the copy has its own row here.
#include <emmintrin.h>

#include "imaging/VectorKernels.h"

namespace {

struct Sse2 {
  using Reg = __m128i;
  static constexpr int kBytes = 16;
  static Reg Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
  static void Store(void* p, Reg v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
};

}  // namespace

namespace telvor::imaging::sse2 {
void CopyRow(const std::uint8_t* src, std::uint8_t* dst, std::size_t bytes) { CopyKernel<Sse2>(src, dst, bytes); }
}  // namespace telvor::imaging::sse2
