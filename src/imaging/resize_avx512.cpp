// AVX-512BW steps of the resamplers. The horizontal step takes 32 samples from
// a 64-byte source window widened to words: one two-register word permute
// gathers the (first, second) pairs of 16 samples.
#include <immintrin.h>

#include "imaging/ResizeKernels.h"

namespace telvor::imaging {

namespace {

// packs/packus work within 128-bit lanes; this puts the lanes of the two
// packed sources back in sample order.
inline __m512i LaneOrder() { return _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7); }

inline __m512i WidenBytes(const std::uint8_t* bytes) {
  return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)));
}

}  // namespace

void HorizontalAvx512(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                      std::int32_t shift) {
  constexpr std::int32_t kSamples = 32;  // the shape CurrentResizeKernels gives this level
  const __m512i rounding = _mm512_set1_epi32(round);
  const __m128i count = _mm_cvtsi32_si128(shift);
  const __m512i order = LaneOrder();
  const std::int32_t blocks = BlockCount(table);
  for (std::int32_t b = 0; b < blocks; ++b) {
    const std::int32_t begin = b * kSamples;
    const std::int32_t base = table.blockBase[b];
    if (base == kScalarBlock) {
      HorizontalRange(row, table, begin, begin + kSamples < table.count ? begin + kSamples : table.count, out, round,
                      shift);
      continue;
    }
    const __m512i low = WidenBytes(row + base);
    const __m512i high = WidenBytes(row + base + 32);
    const std::uint8_t* sel = table.blockSel + b * 2 * kSamples;
    const __m512i pairs0 = _mm512_permutex2var_epi16(low, WidenBytes(sel), high);
    const __m512i pairs1 = _mm512_permutex2var_epi16(low, WidenBytes(sel + 32), high);
    const std::int16_t* w = table.weights + 2 * begin;
    __m512i s0 = _mm512_madd_epi16(pairs0, _mm512_loadu_si512(w));
    __m512i s1 = _mm512_madd_epi16(pairs1, _mm512_loadu_si512(w + 32));
    s0 = _mm512_sra_epi32(_mm512_add_epi32(s0, rounding), count);
    s1 = _mm512_sra_epi32(_mm512_add_epi32(s1, rounding), count);
    // Every sum fits a word (at most 255 << 6), so the saturating pack is exact.
    const __m512i packed = _mm512_permutexvar_epi64(order, _mm512_packs_epi32(s0, s1));
    _mm512_storeu_si512(out + begin, packed);
  }
}

void VerticalAvx512(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                    std::int32_t count) {
  const __m512i weights = _mm512_set1_epi32((wy << 16) | (kWeightOne - wy));
  const __m512i rounding = _mm512_set1_epi32(524288);
  const __m512i order = LaneOrder();
  std::int32_t i = 0;
  for (; i + 64 <= count; i += 64) {
    __m512i packed[2];
    for (int half = 0; half < 2; ++half) {
      const __m512i u = _mm512_loadu_si512(upper + i + 32 * half);
      const __m512i l = _mm512_loadu_si512(lower + i + 32 * half);
      // Interleaving within lanes and packing within lanes cancel out, so
      // each half comes back in sample order.
      __m512i a = _mm512_madd_epi16(_mm512_unpacklo_epi16(u, l), weights);
      __m512i b = _mm512_madd_epi16(_mm512_unpackhi_epi16(u, l), weights);
      a = _mm512_srai_epi32(_mm512_add_epi32(a, rounding), 20);
      b = _mm512_srai_epi32(_mm512_add_epi32(b, rounding), 20);
      packed[half] = _mm512_packs_epi32(a, b);
    }
    const __m512i bytes = _mm512_permutexvar_epi64(order, _mm512_packus_epi16(packed[0], packed[1]));
    _mm512_storeu_si512(out + i, bytes);
  }
  for (; i + 16 <= count; i += 16) {
    const __m512i u = _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + i)));
    const __m512i l = _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + i)));
    const __m512i pairs = _mm512_or_si512(u, _mm512_slli_epi32(l, 16));
    __m512i sum = _mm512_madd_epi16(pairs, weights);
    sum = _mm512_srai_epi32(_mm512_add_epi32(sum, rounding), 20);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm512_cvtepi32_epi8(sum));
  }
  VerticalPlain(upper + i, lower + i, wy, out + i, count - i);
}

}  // namespace telvor::imaging
