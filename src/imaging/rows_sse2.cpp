// SSE2, the x86-64 baseline: the copy and the interleave, which need nothing
// newer, have rows of their own here.
#include <emmintrin.h>

#include "imaging/VectorKernels.h"

namespace {

struct Sse2 {
  using Reg = __m128i;
  static constexpr int kBytes = 16;
  static Reg Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
  static void Store(void* p, Reg v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
  static Reg Unpacklo8(Reg a, Reg b) { return _mm_unpacklo_epi8(a, b); }
  static Reg Unpackhi8(Reg a, Reg b) { return _mm_unpackhi_epi8(a, b); }
  static void Interleave2(Reg lo, Reg hi, Reg* first, Reg* second) {
    *first = lo;
    *second = hi;
  }
};

}  // namespace

namespace telvor::imaging::sse2 {
void CopyRow(const std::uint8_t* src, std::uint8_t* dst, std::size_t bytes) { CopyKernel<Sse2>(src, dst, bytes); }
TELVOR_DEFINE_INTERLEAVE_ROW(Sse2)
}  // namespace telvor::imaging::sse2
