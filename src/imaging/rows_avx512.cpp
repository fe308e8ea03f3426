// AVX-512BW rows: 512-bit registers, four 128-bit lanes.
#include <immintrin.h>

#include "imaging/ByteShuffles.h"
#include "imaging/VectorKernels.h"

namespace {

struct Avx512 : ByteShuffles<Avx512> {
  using Reg = __m512i;
  static constexpr int kBytes = 64;
  static constexpr int kBgrSpill = 0;

  static Reg Load(const void* p) { return _mm512_loadu_si512(p); }
  static void Store(void* p, Reg v) { _mm512_storeu_si512(p, v); }
  static void StoreStream(void* p, Reg v) { _mm512_stream_si512(static_cast<__m512i*>(p), v); }
  static Reg Zero() { return _mm512_setzero_si512(); }
  static Reg Set8(char x) { return _mm512_set1_epi8(x); }
  static Reg Set16(int x) { return _mm512_set1_epi16(static_cast<short>(x)); }
  static Reg Set32(int x) { return _mm512_set1_epi32(x); }
  static Reg Set32x2(int a, int b, int c, int d) {
    const auto w = [](int v) { return static_cast<unsigned long long>(static_cast<std::uint16_t>(v)); };
    return _mm512_set1_epi64(static_cast<long long>(w(a) | w(b) << 16 | w(c) << 32 | w(d) << 48));
  }
  template <typename... T>
  static Reg Lanes16(T... bytes) {
    return _mm512_broadcast_i32x4(_mm_setr_epi8(static_cast<char>(bytes)...));
  }

  static Reg And(Reg a, Reg b) { return _mm512_and_si512(a, b); }
  static Reg Or(Reg a, Reg b) { return _mm512_or_si512(a, b); }
  static Reg Xor(Reg a, Reg b) { return _mm512_xor_si512(a, b); }
  static Reg Add16(Reg a, Reg b) { return _mm512_add_epi16(a, b); }
  static Reg Add32(Reg a, Reg b) { return _mm512_add_epi32(a, b); }
  static Reg Sub16(Reg a, Reg b) { return _mm512_sub_epi16(a, b); }
  static Reg AddSat16(Reg a, Reg b) { return _mm512_adds_epi16(a, b); }
  static Reg SubSat16(Reg a, Reg b) { return _mm512_subs_epi16(a, b); }
  static Reg Avg16(Reg a, Reg b) { return _mm512_avg_epu16(a, b); }
  static Reg MulhiU16(Reg a, Reg b) { return _mm512_mulhi_epu16(a, b); }
  static Reg Madd16(Reg a, Reg b) { return _mm512_madd_epi16(a, b); }
  static Reg Srli16(Reg a, int n) { return _mm512_srli_epi16(a, n); }
  static Reg Srai16(Reg a, int n) { return _mm512_srai_epi16(a, n); }
  static Reg Slli16(Reg a, int n) { return _mm512_slli_epi16(a, n); }
  static Reg Srli32(Reg a, int n) { return _mm512_srli_epi32(a, n); }
  static Reg Slli32(Reg a, int n) { return _mm512_slli_epi32(a, n); }
  static Reg Srai32(Reg a, int n) { return _mm512_srai_epi32(a, n); }
  template <int kImm>
  static Reg Shuffle32(Reg a) { return _mm512_shuffle_epi32(a, static_cast<_MM_PERM_ENUM>(kImm)); }
  template <int kImm>
  static Reg ShufflePairs32(Reg a, Reg b) {
    return _mm512_castps_si512(_mm512_shuffle_ps(_mm512_castsi512_ps(a), _mm512_castsi512_ps(b), kImm));
  }
  static Reg Shuffle8(Reg a, Reg control) { return _mm512_shuffle_epi8(a, control); }
  static Reg Unpacklo8(Reg a, Reg b) { return _mm512_unpacklo_epi8(a, b); }
  static Reg Unpackhi8(Reg a, Reg b) { return _mm512_unpackhi_epi8(a, b); }
  static Reg Unpacklo16(Reg a, Reg b) { return _mm512_unpacklo_epi16(a, b); }
  static Reg Unpackhi16(Reg a, Reg b) { return _mm512_unpackhi_epi16(a, b); }
  static Reg PackUs16(Reg a, Reg b) { return _mm512_packus_epi16(a, b); }
  // Signed saturation; every caller's values lie in 0..32767, where it equals the unsigned pack.
  static Reg PackS32(Reg a, Reg b) { return _mm512_packs_epi32(a, b); }

  static Reg FixPack64(Reg v) { return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), v); }
  static Reg FixPack32x4(Reg v) {
    return _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), v);
  }
  // Lane l's 16-bit group j (of eight) holds group l + 4j of its half of the
  // register (the first four groups of each lane the first half): memory order.
  static Reg FixBlockPairs(Reg v) {
    // _mm512_set_epi16 takes the last group first.
    return _mm512_permutexvar_epi16(_mm512_set_epi16(31, 23, 15, 7, 30, 22, 14, 6, 29, 21, 13, 5, 28, 20, 12, 4,  //
                                                     27, 19, 11, 3, 26, 18, 10, 2, 25, 17, 9, 1, 24, 16, 8, 0),
                                    v);
  }
  // A register whose lane l holds the source's 64-bit groups l and l + 4:
  // packed and unpacked within lanes, it comes out in memory order.
  static Reg LoadPackOrder(const void* p) {
    return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 4, 1, 5, 2, 6, 3, 7), Load(p));
  }
  static Reg LoadHalfSpread(const void* p) {
    return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 0, 1, 1, 2, 2, 3, 3),
                                    _mm512_castsi256_si512(_mm256_loadu_si256(static_cast<const __m256i*>(p))));
  }
  // kBytes / 2 bytes of each, interleaved a0 b0 a1 b1 ... lane by lane.
  static Reg LoadInterleaved(const void* a, const void* b) { return Unpacklo8(LoadHalfSpread(a), LoadHalfSpread(b)); }
  static void StoreInterleaved2(void* p, Reg lo, Reg hi) {
    Reg first, second;
    Interleave2(lo, hi, &first, &second);
    Store(p, first);
    Store(static_cast<std::uint8_t*>(p) + kBytes, second);
  }
  static void Interleave2(Reg lo, Reg hi, Reg* first, Reg* second) {
    *first = _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11), hi);
    *second = _mm512_permutex2var_epi64(lo, _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15), hi);
  }
  // out[j] lane i = in[i] lane j.
  static void Transpose4(const Reg in[4], Reg out[4]) {
    const Reg t0 = _mm512_shuffle_i64x2(in[0], in[1], 0x44), t1 = _mm512_shuffle_i64x2(in[0], in[1], 0xee);
    const Reg t2 = _mm512_shuffle_i64x2(in[2], in[3], 0x44), t3 = _mm512_shuffle_i64x2(in[2], in[3], 0xee);
    out[0] = _mm512_shuffle_i64x2(t0, t2, 0x88);
    out[1] = _mm512_shuffle_i64x2(t0, t2, 0xdd);
    out[2] = _mm512_shuffle_i64x2(t1, t3, 0x88);
    out[3] = _mm512_shuffle_i64x2(t1, t3, 0xdd);
  }
  // AVX-512 has no horizontal add: the same lane layout through a
  // multiply-add by one and a pack.
  static constexpr bool kByteMadd = true;
  static Reg MaddU8S8(Reg unsignedBytes, Reg signedBytes) { return _mm512_maddubs_epi16(unsignedBytes, signedBytes); }
  static Reg Hadd16(Reg a, Reg b) { return _mm512_packus_epi32(Madd16(a, Set16(1)), Madd16(b, Set16(1))); }
  // Four registers of BGRA pixels to their 192 BGR bytes in three whole
  // stores: each lane's 12 bytes to its front by one byte shuffle, then each
  // store's 16 dwords gathered from two neighbours (four byte-masked stores
  // of 48 bytes measured 1.15-1.26x libyuv at 1080p).
  static void StoreBgr4(void* p, const Reg bgra[4]) {
    const Reg front = Lanes16(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0x80, 0x80, 0x80, 0x80);
    Reg packed[4];
    for (int i = 0; i < 4; ++i) packed[i] = _mm512_shuffle_epi8(bgra[i], front);
    // Dword d of a register is 16 + d of its right neighbour; 3, 7, 11, 15 are empty.
    auto* out = static_cast<std::uint8_t*>(p);
    Store(out, _mm512_permutex2var_epi32(
                   packed[0], _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20), packed[1]));
    Store(out + 64, _mm512_permutex2var_epi32(
                        packed[1], _mm512_setr_epi32(5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25),
                        packed[2]));
    Store(out + 128,
          _mm512_permutex2var_epi32(
              packed[2], _mm512_setr_epi32(10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25, 26, 28, 29, 30), packed[3]));
  }
  static void StoreHalves(void* lo, void* hi, Reg v) {
    _mm256_storeu_si256(static_cast<__m256i*>(lo), _mm512_castsi512_si256(v));
    _mm256_storeu_si256(static_cast<__m256i*>(hi), _mm512_extracti64x4_epi64(v, 1));
  }
};

}  // namespace

namespace telvor::imaging::avx512 {
TELVOR_DEFINE_VECTOR_ROWS(Avx512)
}  // namespace telvor::imaging::avx512
