// AVX-512BW steps of the resamplers: the 32-byte source window of 16 samples
// widened to words and permuted across the whole register.
#include <immintrin.h>

#include "imaging/ResizeKernels.h"

namespace telvor::imaging {

void HorizontalAvx512(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                      std::int32_t shift) {
  const __m512i rounding = _mm512_set1_epi32(round);
  const __m128i count = _mm_cvtsi32_si128(shift);
  const std::int32_t blocks = BlockCount(table.count);
  for (std::int32_t b = 0; b < blocks; ++b) {
    const std::int32_t begin = b * kBlock;
    const std::int32_t base = table.blockBase[b];
    if (base == kScalarBlock) {
      HorizontalRange(row, table, begin, begin + kBlock < table.count ? begin + kBlock : table.count, out, round, shift);
      continue;
    }
    const __m512i window = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + base)));
    const __m512i index = _mm512_cvtepu8_epi16(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table.blockSel + b * 2 * kBlock)));
    const __m512i pairs = _mm512_permutexvar_epi16(index, window);
    __m512i sum = _mm512_madd_epi16(pairs, _mm512_loadu_si512(table.weights + 2 * begin));
    sum = _mm512_sra_epi32(_mm512_add_epi32(sum, rounding), count);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + begin), _mm512_cvtepi32_epi16(sum));
  }
}

void VerticalAvx512(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                    std::int32_t count) {
  const __m512i weights = _mm512_set1_epi32((wy << 16) | (kWeightOne - wy));
  const __m512i rounding = _mm512_set1_epi32(524288);
  std::int32_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m512i u = _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + i)));
    const __m512i l = _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + i)));
    // Each 32-bit lane holds (upper, lower) as a word pair for one multiply-add.
    const __m512i pairs = _mm512_or_si512(u, _mm512_slli_epi32(l, 16));
    __m512i sum = _mm512_madd_epi16(pairs, weights);
    sum = _mm512_srai_epi32(_mm512_add_epi32(sum, rounding), 20);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm512_cvtepi32_epi8(sum));
  }
  VerticalPlain(upper + i, lower + i, wy, out + i, count - i);
}

}  // namespace telvor::imaging
