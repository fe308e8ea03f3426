// SSSE3/SSE4.1: SSE2's registers with the byte shuffle, which replaces the
// word-shuffle steps. One 128-bit lane, so no lane fix-ups are needed.
// Included only by files compiled with SSSE3 and SSE4.1 allowed.
#pragma once

#include <smmintrin.h>

#include "imaging/ByteShuffles.h"
#include "imaging/Sse2Traits.h"

namespace {

struct Sse41 : Sse2, ByteShuffles<Sse41> {
  static constexpr int kBgrSpill = 0;

  template <typename... T>
  static Reg Lanes16(T... bytes) {
    return _mm_setr_epi8(static_cast<char>(bytes)...);
  }
  static Reg Shuffle8(Reg a, Reg control) { return _mm_shuffle_epi8(a, control); }

  // SSE2's word-shuffle form gives way to the byte shuffle.
  using ByteShuffles<Sse41>::SeparatePairs;
  static constexpr bool kByteMadd = true;
  static Reg MaddU8S8(Reg unsignedBytes, Reg signedBytes) { return _mm_maddubs_epi16(unsignedBytes, signedBytes); }
  // Two multiply-adds and a pack measured faster than phaddw here.
  static Reg Hadd16(Reg a, Reg b) { return _mm_packus_epi32(Madd16(a, Set16(1)), Madd16(b, Set16(1))); }
  // Sixteen pixels in three whole stores: each register's 12 bytes are
  // picked to where a byte-wise alignment of it and its neighbour leaves them.
  static void StoreBgr4(void* p, const Reg bgra[4]) {
    constexpr char z = static_cast<char>(0x80);
    const Reg a = _mm_shuffle_epi8(bgra[0], Lanes16(z, z, z, z, 0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14));
    const Reg b = _mm_shuffle_epi8(bgra[1], Lanes16(0, 1, 2, 4, z, z, z, z, 5, 6, 8, 9, 10, 12, 13, 14));
    const Reg c = _mm_shuffle_epi8(bgra[2], Lanes16(0, 1, 2, 4, 5, 6, 8, 9, z, z, z, z, 10, 12, 13, 14));
    const Reg d = _mm_shuffle_epi8(bgra[3], Lanes16(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, z, z, z, z));
    auto* out = static_cast<std::uint8_t*>(p);
    Store(out, _mm_alignr_epi8(b, a, 4));
    Store(out + 16, _mm_alignr_epi8(c, b, 8));
    Store(out + 32, _mm_alignr_epi8(d, c, 12));
  }
};

}  // namespace
