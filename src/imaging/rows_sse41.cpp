// SSSE3/SSE4.1 rows: one 128-bit lane, so no lane fix-ups are needed.
#include <smmintrin.h>

#include <cstring>

#include "imaging/VectorKernels.h"

namespace {

struct Sse41 {
  using Reg = __m128i;
  static constexpr int kBytes = 16;

  static Reg Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
  static void Store(void* p, Reg v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
  static Reg Zero() { return _mm_setzero_si128(); }
  static Reg Set8(char x) { return _mm_set1_epi8(x); }
  static Reg Set16(int x) { return _mm_set1_epi16(static_cast<short>(x)); }
  static Reg Set32(int x) { return _mm_set1_epi32(x); }
  static Reg Set32x2(int a, int b, int c, int d) { return _mm_setr_epi16(a, b, c, d, a, b, c, d); }
  template <typename... T>
  static Reg Lanes16(T... bytes) {
    return _mm_setr_epi8(static_cast<char>(bytes)...);
  }

  static Reg And(Reg a, Reg b) { return _mm_and_si128(a, b); }
  static Reg Or(Reg a, Reg b) { return _mm_or_si128(a, b); }
  static Reg Add16(Reg a, Reg b) { return _mm_add_epi16(a, b); }
  static Reg Add32(Reg a, Reg b) { return _mm_add_epi32(a, b); }
  static Reg SubsU16(Reg a, Reg b) { return _mm_subs_epu16(a, b); }
  static Reg MulhiU16(Reg a, Reg b) { return _mm_mulhi_epu16(a, b); }
  static Reg Madd16(Reg a, Reg b) { return _mm_madd_epi16(a, b); }
  static Reg Srli16(Reg a, int n) { return _mm_srli_epi16(a, n); }
  static Reg Slli16(Reg a, int n) { return _mm_slli_epi16(a, n); }
  static Reg Srli32(Reg a, int n) { return _mm_srli_epi32(a, n); }
  static Reg Slli32(Reg a, int n) { return _mm_slli_epi32(a, n); }
  static Reg Srai32(Reg a, int n) { return _mm_srai_epi32(a, n); }
  template <int kImm>
  static Reg Shuffle32(Reg a) { return _mm_shuffle_epi32(a, kImm); }
  static Reg Shuffle8(Reg a, Reg control) { return _mm_shuffle_epi8(a, control); }
  static Reg Unpacklo8(Reg a, Reg b) { return _mm_unpacklo_epi8(a, b); }
  static Reg Unpackhi8(Reg a, Reg b) { return _mm_unpackhi_epi8(a, b); }
  static Reg Unpacklo16(Reg a, Reg b) { return _mm_unpacklo_epi16(a, b); }
  static Reg Unpackhi16(Reg a, Reg b) { return _mm_unpackhi_epi16(a, b); }
  static Reg PackUs16(Reg a, Reg b) { return _mm_packus_epi16(a, b); }
  static Reg PackUs32(Reg a, Reg b) { return _mm_packus_epi32(a, b); }

  static Reg FixPack64(Reg v) { return v; }
  static Reg FixPack32x4(Reg v) { return v; }
  static Reg LoadHalfSpread(const void* p) { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }
  static void Interleave2(Reg lo, Reg hi, Reg* first, Reg* second) {
    *first = lo;
    *second = hi;
  }
  static void Transpose4(const Reg in[4], Reg out[4]) {
    for (int i = 0; i < 4; ++i) out[i] = in[i];
  }
  static void StoreBgr(void* p, Reg bgra) {
    const Reg bgr = _mm_shuffle_epi8(bgra, Lanes16(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0x80, 0x80, 0x80, 0x80));
    _mm_storel_epi64(static_cast<__m128i*>(p), bgr);
    const int last = _mm_cvtsi128_si32(_mm_srli_si128(bgr, 8));
    std::memcpy(static_cast<std::uint8_t*>(p) + 8, &last, 4);
  }
  static void StoreHalves(void* lo, void* hi, Reg v) {
    _mm_storel_epi64(static_cast<__m128i*>(lo), v);
    _mm_storel_epi64(static_cast<__m128i*>(hi), _mm_unpackhi_epi64(v, v));
  }
};

}  // namespace

namespace telvor::imaging::sse41 {
TELVOR_DEFINE_VECTOR_ROWS(Sse41)
}  // namespace telvor::imaging::sse41
