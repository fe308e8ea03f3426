// 128-bit SSE2 registers for the kernels written over a traits class
// (VectorKernels.h, ResizeVector.h). SSE2 has no byte shuffle: the few steps
// that pick bytes use word shuffles and masks instead. Included only by files
// compiled with SSE2 allowed.
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace {

struct Sse2 {
  using Reg = __m128i;
  static constexpr int kBytes = 16;
  // StoreBgr writes this many bytes past its pixels (into the next pixel,
  // which a later store must cover).
  static constexpr int kBgrSpill = 2;

  static Reg Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
  static void Store(void* p, Reg v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
  // p aligned to kBytes; past the caches (an sfence must follow before the bytes are handed on).
  static void StoreStream(void* p, Reg v) { _mm_stream_si128(static_cast<__m128i*>(p), v); }
  static Reg LoadAligned(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
  static Reg Zero() { return _mm_setzero_si128(); }
  static Reg Set8(char x) { return _mm_set1_epi8(x); }
  static Reg Set16(int x) { return _mm_set1_epi16(static_cast<short>(x)); }
  static Reg Set32(int x) { return _mm_set1_epi32(x); }
  // Two 16-bit factors for even dwords, two for odd ones.
  static Reg Set32x2(int a, int b, int c, int d) { return _mm_setr_epi16(a, b, c, d, a, b, c, d); }

  static Reg And(Reg a, Reg b) { return _mm_and_si128(a, b); }
  static Reg Or(Reg a, Reg b) { return _mm_or_si128(a, b); }
  static Reg Xor(Reg a, Reg b) { return _mm_xor_si128(a, b); }
  static Reg Add16(Reg a, Reg b) { return _mm_add_epi16(a, b); }
  static Reg Add32(Reg a, Reg b) { return _mm_add_epi32(a, b); }
  static Reg Sub16(Reg a, Reg b) { return _mm_sub_epi16(a, b); }
  static Reg AddSat16(Reg a, Reg b) { return _mm_adds_epi16(a, b); }
  static Reg SubSat16(Reg a, Reg b) { return _mm_subs_epi16(a, b); }
  static Reg Avg16(Reg a, Reg b) { return _mm_avg_epu16(a, b); }
  static Reg MulhiU16(Reg a, Reg b) { return _mm_mulhi_epu16(a, b); }
  static Reg Madd16(Reg a, Reg b) { return _mm_madd_epi16(a, b); }
  static Reg Srli16(Reg a, int n) { return _mm_srli_epi16(a, n); }
  static Reg Srai16(Reg a, int n) { return _mm_srai_epi16(a, n); }
  static Reg Slli16(Reg a, int n) { return _mm_slli_epi16(a, n); }
  static Reg Srli32(Reg a, int n) { return _mm_srli_epi32(a, n); }
  static Reg Slli32(Reg a, int n) { return _mm_slli_epi32(a, n); }
  static Reg Srai32(Reg a, int n) { return _mm_srai_epi32(a, n); }
  static Reg Sra32(Reg a, __m128i count) { return _mm_sra_epi32(a, count); }
  template <int kImm>
  static Reg Shuffle32(Reg a) { return _mm_shuffle_epi32(a, kImm); }
  // Dwords from two registers: two of a, then two of b (the float shuffle).
  template <int kImm>
  static Reg ShufflePairs32(Reg a, Reg b) {
    return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), kImm));
  }
  static Reg Unpacklo8(Reg a, Reg b) { return _mm_unpacklo_epi8(a, b); }
  static Reg Unpackhi8(Reg a, Reg b) { return _mm_unpackhi_epi8(a, b); }
  static Reg Unpacklo16(Reg a, Reg b) { return _mm_unpacklo_epi16(a, b); }
  static Reg Unpackhi16(Reg a, Reg b) { return _mm_unpackhi_epi16(a, b); }
  static Reg PackUs16(Reg a, Reg b) { return _mm_packus_epi16(a, b); }
  // Signed saturation; every caller's values lie in 0..32767, where it equals the unsigned pack.
  static Reg PackS32(Reg a, Reg b) { return _mm_packs_epi32(a, b); }

  static Reg FixPack64(Reg v) { return v; }
  static Reg FixBlockPairs(Reg v) { return v; }
  static Reg FixPack32x4(Reg v) { return v; }
  static Reg LoadHalfSpread(const void* p) { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }
  // A register whose lane l holds the source's 64-bit groups l, l + lanes,
  // ...: packed and unpacked within lanes, it comes out in memory order.
  static Reg LoadPackOrder(const void* p) { return Load(p); }
  // kBytes / 2 bytes of each, interleaved a0 b0 a1 b1 ... lane by lane.
  static Reg LoadInterleaved(const void* a, const void* b) { return Unpacklo8(LoadHalfSpread(a), LoadHalfSpread(b)); }
  // 16 bytes from each of kBytes / 16 places, one per 128-bit lane.
  static Reg LoadLanes(const std::uint8_t* base, const std::int32_t* offsets) { return Load(base + offsets[0]); }
  // Two registers unpacked from one pair (lo, hi), stored in memory order.
  static void StoreInterleaved2(void* p, Reg lo, Reg hi) {
    Store(p, lo);
    Store(static_cast<std::uint8_t*>(p) + 16, hi);
  }
  static void Transpose4(const Reg in[4], Reg out[4]) {
    for (int i = 0; i < 4; ++i) out[i] = in[i];
  }

  // YUY2 bytes (Y0 Cb Y1 Cr per pixel pair): each pixel's Cb, or Cr, in the
  // high byte of its 16-bit lane.
  static Reg CbHigh(Reg yuy2) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(ChromaBytes(yuy2), 0xa0), 0xa0); }
  static Reg CrHigh(Reg yuy2) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(ChromaBytes(yuy2), 0xf5), 0xf5); }
  // Within each 128-bit lane: even bytes to the low half, odd bytes to the high half.
  static Reg SeparatePairs(Reg v) { return _mm_packus_epi16(_mm_and_si128(v, Set16(0x00ff)), _mm_srli_epi16(v, 8)); }
  // No byte multiply-add before SSSE3: the conversions from RGB keep the
  // exact word kernel.
  static constexpr bool kByteMadd = false;
  // BGRA pixels: G and A as two words of each pixel's dword.
  static Reg GreenWords(Reg bgra) { return _mm_srli_epi16(bgra, 8); }

  // Four BGRA pixels to 12 BGR bytes, then 2 bytes of zeros (kBgrSpill):
  // each 64-bit half keeps its first pixel's three bytes and moves the
  // second's down next to them.
  static void StoreBgr(void* p, Reg bgra) {
    const Reg low = _mm_and_si128(bgra, _mm_set_epi32(0, 0x00ffffff, 0, 0x00ffffff));
    const Reg high = _mm_and_si128(_mm_srli_epi64(bgra, 8), _mm_set_epi32(0x0000ffff, static_cast<int>(0xff000000u),
                                                                          0x0000ffff, static_cast<int>(0xff000000u)));
    const Reg six = _mm_or_si128(low, high);
    auto* out = static_cast<std::uint8_t*>(p);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), six);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_unpackhi_epi64(six, six));
  }
  // Four registers of BGRA pixels to their BGR bytes, in order.
  static void StoreBgr4(void* p, const Reg bgra[4]) {
    for (int i = 0; i < 4; ++i) StoreBgr(static_cast<std::uint8_t*>(p) + i * 3 * kBytes / 4, bgra[i]);
  }
  static void StoreHalves(void* lo, void* hi, Reg v) {
    _mm_storel_epi64(static_cast<__m128i*>(lo), v);
    _mm_storeh_pi(static_cast<__m64*>(hi), _mm_castsi128_ps(v));
  }

 private:
  static Reg ChromaBytes(Reg yuy2) { return _mm_and_si128(yuy2, Set16(static_cast<short>(0xff00))); }
};

}  // namespace
