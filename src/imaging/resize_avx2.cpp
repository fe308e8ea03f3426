// AVX2 steps of the resamplers: a 32-byte source window per 16 samples,
// selected with two in-lane byte shuffles.
#include <immintrin.h>

#include "imaging/ResizeKernels.h"

namespace telvor::imaging {

namespace {

// Picks the (first, second) byte pairs of 16 samples out of a 32-byte window.
inline __m256i SelectPairs(const std::uint8_t* window, const std::uint8_t* sel) {
  const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(window));
  const __m256i low = _mm256_permute4x64_epi64(bytes, 0x44);
  const __m256i high = _mm256_permute4x64_epi64(bytes, 0xEE);
  const __m256i index = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sel));
  // A shuffle index with bit 7 set yields zero: offsets 16..31 must come from
  // the high half only, offsets 0..15 from the low half only.
  const __m256i upperHalf = _mm256_and_si256(_mm256_slli_epi16(index, 3), _mm256_set1_epi8(static_cast<char>(0x80)));
  const __m256i fromLow = _mm256_shuffle_epi8(low, _mm256_or_si256(index, upperHalf));
  const __m256i fromHigh =
      _mm256_shuffle_epi8(high, _mm256_or_si256(index, _mm256_xor_si256(upperHalf, _mm256_set1_epi8(static_cast<char>(0x80)))));
  return _mm256_or_si256(fromLow, fromHigh);
}

}  // namespace

void HorizontalAvx2(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                    std::int32_t shift) {
  const __m256i rounding = _mm256_set1_epi32(round);
  const __m128i count = _mm_cvtsi32_si128(shift);
  const std::int32_t blocks = BlockCount(table);
  for (std::int32_t b = 0; b < blocks; ++b) {
    const std::int32_t begin = b * kBlock;
    const std::int32_t base = table.blockBase[b];
    if (base == kScalarBlock) {
      HorizontalRange(row, table, begin, begin + kBlock < table.count ? begin + kBlock : table.count, out, round, shift);
      continue;
    }
    const __m256i pairs = SelectPairs(row + base, table.blockSel + b * 2 * kBlock);
    const __m256i* w = reinterpret_cast<const __m256i*>(table.weights + 2 * begin);
    __m256i s0 = _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(pairs)), _mm256_loadu_si256(w));
    __m256i s1 = _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(pairs, 1)), _mm256_loadu_si256(w + 1));
    s0 = _mm256_sra_epi32(_mm256_add_epi32(s0, rounding), count);
    s1 = _mm256_sra_epi32(_mm256_add_epi32(s1, rounding), count);
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(s0, s1), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + begin), packed);
  }
}

void VerticalAvx2(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                  std::int32_t count) {
  const __m256i weights = _mm256_set1_epi32((wy << 16) | (kWeightOne - wy));
  const __m256i rounding = _mm256_set1_epi32(524288);
  std::int32_t i = 0;
  for (; i + 32 <= count; i += 32) {
    __m256i packed[2];
    for (int half = 0; half < 2; ++half) {
      const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + i + 16 * half));
      const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + i + 16 * half));
      __m256i a = _mm256_madd_epi16(_mm256_unpacklo_epi16(u, l), weights);
      __m256i b = _mm256_madd_epi16(_mm256_unpackhi_epi16(u, l), weights);
      a = _mm256_srai_epi32(_mm256_add_epi32(a, rounding), 20);
      b = _mm256_srai_epi32(_mm256_add_epi32(b, rounding), 20);
      packed[half] = _mm256_packs_epi32(a, b);
    }
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(packed[0], packed[1]), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
  }
  VerticalPlain(upper + i, lower + i, wy, out + i, count - i);
}

}  // namespace telvor::imaging
