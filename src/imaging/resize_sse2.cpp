// SSE2 steps of the resamplers. Without a byte shuffle the horizontal step
// gathers each sample's taps with scalar loads, which run beside the vector
// multiply-adds that weigh them; where the table builder vouches for how the
// taps lie, one load fetches both taps of a sample (or of two).
#include <cstring>

#include "imaging/ResizeVector.h"
#include "imaging/Sse2Traits.h"

namespace telvor::imaging {

namespace {

inline int Load16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

inline __m128i Load32(const std::uint8_t* p) {
  std::int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}

// Eight samples' weighted sums from their (first, second) pairs as words,
// four per register.
inline __m128i Weigh(__m128i pairs0, __m128i pairs1, const std::int16_t* weights, __m128i rounding, __m128i count) {
  const __m128i* w = reinterpret_cast<const __m128i*>(weights);
  const __m128i sum0 = _mm_sra_epi32(_mm_add_epi32(_mm_madd_epi16(pairs0, _mm_loadu_si128(w)), rounding), count);
  const __m128i sum1 = _mm_sra_epi32(_mm_add_epi32(_mm_madd_epi16(pairs1, _mm_loadu_si128(w + 1)), rounding), count);
  return _mm_packs_epi32(sum0, sum1);
}

// Taps next to each other: one 16-bit load gives both.
__m128i AdjacentPairs(const std::uint8_t* row, const std::int32_t* first, __m128i* high) {
  __m128i bytes = _mm_cvtsi32_si128(Load16(row + first[0]));
  bytes = _mm_insert_epi16(bytes, Load16(row + first[1]), 1);
  bytes = _mm_insert_epi16(bytes, Load16(row + first[2]), 2);
  bytes = _mm_insert_epi16(bytes, Load16(row + first[3]), 3);
  bytes = _mm_insert_epi16(bytes, Load16(row + first[4]), 4);
  bytes = _mm_insert_epi16(bytes, Load16(row + first[5]), 5);
  bytes = _mm_insert_epi16(bytes, Load16(row + first[6]), 6);
  bytes = _mm_insert_epi16(bytes, Load16(row + first[7]), 7);
  *high = _mm_unpackhi_epi8(bytes, _mm_setzero_si128());
  return _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
}

// Y0 Cb Y1 Cr of packed YUY2: 4 bytes from each luma sample's first tap hold
// both its taps (bytes 0 and 2); 8 bytes from the pixel before Cb's first tap
// hold both taps of Cb (bytes 1 and 5) and of Cr (3 and 7).
__m128i Yuy2Pairs(const std::uint8_t* row, const std::int32_t* first) {
  const __m128i luma = _mm_and_si128(_mm_unpacklo_epi32(Load32(row + first[0]), Load32(row + first[2])),
                                     _mm_set1_epi32(0x00ff00ff));
  const __m128i chroma = _mm_srli_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + first[1] - 1)), 8);
  // Words Cb Cr Cb Cr to Cb Cb Cr Cr: the two chroma samples' pairs.
  return _mm_unpacklo_epi32(luma, _mm_shufflelo_epi16(chroma, 0xd8));
}

// A sample's two source bytes as a pair of words.
inline int TapPair(const std::uint8_t* row, std::int32_t first, std::int32_t second) {
  return row[first] | row[second] << 16;
}

__m128i AnyPairs(const std::uint8_t* row, const std::int32_t* first, const std::int32_t* second) {
  return _mm_setr_epi32(TapPair(row, first[0], second[0]), TapPair(row, first[1], second[1]),
                        TapPair(row, first[2], second[2]), TapPair(row, first[3], second[3]));
}

}  // namespace

void HorizontalSse2(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                    std::int32_t shift) {
  const __m128i rounding = _mm_set1_epi32(round);
  const __m128i count = _mm_cvtsi32_si128(shift);
  // Locals, so that the stores through `out` do not make the compiler load
  // the table's fields again on every step.
  const std::int32_t* first = table.first;
  const std::int32_t* second = table.second;
  const std::int16_t* weights = table.weights;
  const std::int32_t steps = table.count / 8;
  __m128i* o = reinterpret_cast<__m128i*>(out);
  if (table.pairs == TapPairs::kAdjacent) {
    for (std::int32_t step = 0; step < steps; ++step, first += 8, weights += 16) {
      __m128i high;
      const __m128i low = AdjacentPairs(row, first, &high);
      _mm_storeu_si128(o + step, Weigh(low, high, weights, rounding, count));
    }
  } else if (table.pairs == TapPairs::kYuy2) {
    for (std::int32_t step = 0; step < steps; ++step, first += 8, weights += 16) {
      _mm_storeu_si128(o + step, Weigh(Yuy2Pairs(row, first), Yuy2Pairs(row, first + 4), weights, rounding, count));
    }
  } else {
    for (std::int32_t step = 0; step < steps; ++step, first += 8, second += 8, weights += 16) {
      const __m128i low = AnyPairs(row, first, second);
      _mm_storeu_si128(o + step, Weigh(low, AnyPairs(row, first + 4, second + 4), weights, rounding, count));
    }
  }
  HorizontalRange(row, table, 8 * steps, table.count, out, round, shift);
}

void VerticalSse2(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                  std::int32_t count) {
  VerticalRows<Sse2>(upper, lower, wy, out, count);
}

// Here rather than beside the plain loops: a 32-bit build's baseline has no
// prefetch instruction.
void PrefetchRowSse2(const std::uint8_t* row, const TapTable& table) {
  // Addresses are only computed from the taps' own span, so nothing outside
  // the readable row is named (a prefetch would not fault anyway).
  for (std::int32_t at = table.readLow; at < table.readHigh; at += 64) {
    _mm_prefetch(reinterpret_cast<const char*>(row + at), _MM_HINT_T0);
  }
  if (table.readHigh > table.readLow) {
    _mm_prefetch(reinterpret_cast<const char*>(row + table.readHigh - 1), _MM_HINT_T0);
  }
}

}  // namespace telvor::imaging
