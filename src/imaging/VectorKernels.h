// Vector kernels written once over a traits class V that wraps one register
// width (128-bit SSE2 and SSE4.1, 256-bit AVX2, 512-bit AVX-512BW). Every
// arithmetic step works inside 128-bit lanes, exactly like the SSE form; the
// traits' lane fix-ups (FixPack64, Interleave2, ...) restore memory order
// where a pack or an unpack has mixed the lanes of two registers.
//
// Included by the instruction-set files only. Everything here has internal
// linkage: the same template compiled with different target flags must never
// be merged by the linker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include <xmmintrin.h>

#include "compat/compat.h"
#include "imaging/PixelRows.h"

namespace {

// ---- Copies -----------------------------------------------------------------
template <class V>
void CopyKernel(const std::uint8_t* src, std::uint8_t* dst, std::size_t bytes) {
  if (bytes < static_cast<std::size_t>(V::kBytes)) {
    telvor::imaging::plain::CopyRow(src, dst, bytes);
    return;
  }
  // One unaligned vector, then the loop from the next register-aligned
  // destination: a store that straddles two cache lines costs two.
  V::Store(dst, V::Load(src));
  std::size_t i = V::kBytes - (reinterpret_cast<std::uintptr_t>(dst) & (V::kBytes - 1));
  for (; i + 4 * V::kBytes <= bytes; i += 4 * V::kBytes) {
    const auto a = V::Load(src + i), b = V::Load(src + i + V::kBytes);
    const auto c = V::Load(src + i + 2 * V::kBytes), d = V::Load(src + i + 3 * V::kBytes);
    V::Store(dst + i, a);
    V::Store(dst + i + V::kBytes, b);
    V::Store(dst + i + 2 * V::kBytes, c);
    V::Store(dst + i + 3 * V::kBytes, d);
  }
  for (; i + V::kBytes <= bytes; i += V::kBytes) V::Store(dst + i, V::Load(src + i));
  // The tail as one overlapping vector: rewriting bytes already copied is harmless.
  if (i < bytes) V::Store(dst + bytes - V::kBytes, V::Load(src + bytes - V::kBytes));
}

// ---- Repacking ------------------------------------------------------------------
// pixels: a multiple of V::kBytes.
template <class V>
void InterleaveKernel(const std::uint8_t* first, const std::uint8_t* second, std::uint8_t* dst, int pixels) {
  for (int x = 0; x < pixels; x += V::kBytes, dst += 2 * V::kBytes) {
    const auto a = V::Load(first + x);
    auto b = V::Load(second + x);
    TELVOR_KEEP_IN_REGISTER(b);
    V::StoreInterleaved2(dst, V::Unpacklo8(a, b), V::Unpackhi8(a, b));
  }
}

// pixels: a multiple of V::kBytes.
template <class V>
void BgraToBgrKernel(const std::uint8_t* src, std::uint8_t* dst, int pixels) {
  for (int x = 0; x < pixels; x += V::kBytes, src += 4 * V::kBytes, dst += 3 * V::kBytes) {
    const typename V::Reg bgra[4] = {V::Load(src), V::Load(src + V::kBytes), V::Load(src + 2 * V::kBytes),
                                     V::Load(src + 3 * V::kBytes)};
    V::StoreBgr4(dst, bgra);
  }
}

// pixels: a multiple of 2 * V::kBytes.
template <class V>
void Yuy2ToYv12Kernel(const std::uint8_t* s0, const std::uint8_t* s1, std::uint8_t* y0, std::uint8_t* y1,
                      std::uint8_t* cr, std::uint8_t* cb, int pixels) {
  const auto lowBytes = V::Set16(0x00ff);
  for (int x = 0; x < pixels; x += 2 * V::kBytes, s0 += 4 * V::kBytes) {
    const auto a = V::Load(s0), b = V::Load(s0 + V::kBytes);
    const auto c = V::Load(s0 + 2 * V::kBytes), d = V::Load(s0 + 3 * V::kBytes);
    V::Store(y0 + x, V::FixPack64(V::PackUs16(V::And(a, lowBytes), V::And(b, lowBytes))));
    V::Store(y0 + x + V::kBytes, V::FixPack64(V::PackUs16(V::And(c, lowBytes), V::And(d, lowBytes))));
    const auto chromaAb = V::PackUs16(V::Srli16(a, 8), V::Srli16(b, 8));
    const auto chromaCd = V::PackUs16(V::Srli16(c, 8), V::Srli16(d, 8));
    V::Store(cb + x / 2, V::FixPack32x4(V::PackUs16(V::And(chromaAb, lowBytes), V::And(chromaCd, lowBytes))));
    V::Store(cr + x / 2, V::FixPack32x4(V::PackUs16(V::Srli16(chromaAb, 8), V::Srli16(chromaCd, 8))));
  }
  // The second row in a pass of its own: three streams per loop instead of six.
  for (int x = 0; x < pixels; x += 2 * V::kBytes, s1 += 4 * V::kBytes) {
    const auto e = V::Load(s1), f = V::Load(s1 + V::kBytes);
    const auto g = V::Load(s1 + 2 * V::kBytes), h = V::Load(s1 + 3 * V::kBytes);
    V::Store(y1 + x, V::FixPack64(V::PackUs16(V::And(e, lowBytes), V::And(f, lowBytes))));
    V::Store(y1 + x + V::kBytes, V::FixPack64(V::PackUs16(V::And(g, lowBytes), V::And(h, lowBytes))));
  }
}

// pixels: a multiple of V::kBytes.
template <class V>
void Yv12ToYuy2Kernel(const std::uint8_t* y, const std::uint8_t* cr, const std::uint8_t* cb, std::uint8_t* dst,
                      int pixels) {
  // Pointers stepped by themselves, as in I420ToRgbKernel.
  const std::uint8_t* const cbEnd = cb + pixels / 2;
  for (; cb != cbEnd; cb += V::kBytes / 2, cr += V::kBytes / 2, y += V::kBytes, dst += 2 * V::kBytes) {
    const auto luma = V::Load(y);
    const auto chroma = V::LoadInterleaved(cb, cr);
    V::StoreInterleaved2(dst, V::Unpacklo8(luma, chroma), V::Unpackhi8(luma, chroma));
  }
}

// ---- YUV to RGB ---------------------------------------------------------------------
// 16-bit lanes, 6 fractional bits. The luma product Y·76284/1024 keeps the
// exact coefficient; the chroma products use a quarter of theirs, and the
// biases are tuned so the result is never more than one away from the exact
// formula. Each colour is luma plus a signed chroma term that carries its
// bias: a negative sum packs to black, and a sum past a signed word
// saturates, still far above white.
struct YuvBias {
  std::int16_t blue, green, red;
};
// Packed source: floor((76284Y + 132186Cb - 18140365) / 65536) and so on.
constexpr YuvBias kYuy2Bias{17714, 8679, 14265};
// Planar source: the offsets 16 and 128 and the rounding half folded in.
constexpr YuvBias kI420Bias{17682, 8711, 14233};

template <class V>
struct RgbWords {
  typename V::Reg b, g, r;
};

// What Cb and Cr add to each colour, its bias included.
template <class V>
struct ChromaTerms {
  typename V::Reg blue, green, red;
};

// cb8, cr8: each sample in the high byte of a 16-bit lane. The products are
// unsigned (up to 32917); each difference with its bias fits a signed word.
template <class V>
TELVOR_FORCE_INLINE ChromaTerms<V> ChromaTermsOf(typename V::Reg cb8, typename V::Reg cr8, const YuvBias& bias) {
  const auto greenDrop = V::Add16(V::MulhiU16(cb8, V::Set16(6423)), V::MulhiU16(cr8, V::Set16(13320)));
  return {V::Sub16(V::MulhiU16(cb8, V::Set16(33046)), V::Set16(bias.blue)), V::Sub16(V::Set16(bias.green), greenDrop),
          V::Sub16(V::MulhiU16(cr8, V::Set16(26149)), V::Set16(bias.red))};
}

// y8: each sample in the high byte of a 16-bit lane; chroma: its pixel's terms.
template <class V>
TELVOR_FORCE_INLINE RgbWords<V> LumaToRgbWords(typename V::Reg y8, const ChromaTerms<V>& chroma) {
  const auto luma = V::MulhiU16(y8, V::Set16(19071));  // at most 18997
  return {V::Srai16(V::AddSat16(luma, chroma.blue), 6), V::Srai16(V::AddSat16(luma, chroma.green), 6),
          V::Srai16(V::AddSat16(luma, chroma.red), 6)};
}

// From SSSE3 on, with 128 taken off both chroma bytes, each colour's chroma
// is one byte multiply-add of a pixel's (Cb, Cr) word by 6-bit factors: 129
// for blue, 25 and 52 for green's drop, 102 for red. All three then share
// the luma's one bias, 16 * 74.5 (less the rounding half where the formula
// has one). Within one of the exact formula for every triple (exact for
// 97 % of blues, 94 % of greens and 93 % of reds), for four fewer
// operations per register than 14-bit factors on separate Cb and Cr words.
constexpr std::int16_t kYuy2LumaBias = 1192;
constexpr std::int16_t kI420LumaBias = 1160;

// y8: each sample in the high byte of a 16-bit lane; cbCr: its pixel's Cb
// and Cr bytes with 128 taken off.
template <class V>
TELVOR_FORCE_INLINE RgbWords<V> ByteMaddRgbWords(typename V::Reg y8, typename V::Reg cbCr, std::int16_t lumaBias) {
  const auto luma = V::Sub16(V::MulhiU16(y8, V::Set16(19071)), V::Set16(lumaBias));
  const auto blue = V::MaddU8S8(V::Set16(129), cbCr);
  const auto greenDrop = V::MaddU8S8(V::Set16(25 | 52 << 8), cbCr);
  const auto red = V::MaddU8S8(V::Set16(102 << 8), cbCr);
  return {V::Srai16(V::AddSat16(luma, blue), 6), V::Srai16(V::SubSat16(luma, greenDrop), 6),
          V::Srai16(V::AddSat16(luma, red), 6)};
}

template <class V>
TELVOR_FORCE_INLINE typename V::Reg TakeOff128(typename V::Reg bytes) {
  return V::Xor(bytes, V::Set8(static_cast<char>(0x80)));
}

// A YUY2 register's colours as words: one byte shuffle gives every pixel
// its pair's Cb and Cr as one word.
template <class V>
TELVOR_FORCE_INLINE RgbWords<V> Yuy2ToRgbWords(typename V::Reg yuy2) {
  if constexpr (V::kByteMadd) {
    return ByteMaddRgbWords<V>(V::Slli16(yuy2, 8), TakeOff128<V>(V::ChromaPairs(yuy2)), kYuy2LumaBias);
  } else {
    return LumaToRgbWords<V>(V::Slli16(yuy2, 8), ChromaTermsOf<V>(V::CbHigh(yuy2), V::CrHigh(yuy2), kYuy2Bias));
  }
}

// Packs two groups of words (lo, hi, in lane order) into BGRA registers,
// in the order: lo's first half, lo's second half, hi's first, hi's second.
template <class V>
TELVOR_FORCE_INLINE void PackBgra(const RgbWords<V>& lo, const RgbWords<V>& hi, typename V::Reg alpha,
                                  typename V::Reg out[4]) {
  const auto b = V::PackUs16(lo.b, hi.b), g = V::PackUs16(lo.g, hi.g), r = V::PackUs16(lo.r, hi.r);
  const auto bgLo = V::Unpacklo8(b, g), bgHi = V::Unpackhi8(b, g);
  const auto raLo = V::Unpacklo8(r, alpha), raHi = V::Unpackhi8(r, alpha);
  out[0] = V::Unpacklo16(bgLo, raLo);
  out[1] = V::Unpackhi16(bgLo, raLo);
  out[2] = V::Unpacklo16(bgHi, raHi);
  out[3] = V::Unpackhi16(bgHi, raHi);
}

// Four registers of BGRA pixels in memory order, as BGRA or as BGR.
template <class V, bool kBgr, bool kStream = false>
TELVOR_FORCE_INLINE void StorePixels(std::uint8_t* dst, const typename V::Reg bgra[4]) {
  if constexpr (kBgr) {
    V::StoreBgr4(dst, bgra);
  } else if constexpr (kStream) {
    for (int i = 0; i < 4; ++i) V::StoreStream(dst + i * V::kBytes, bgra[i]);
  } else {
    for (int i = 0; i < 4; ++i) V::Store(dst + i * V::kBytes, bgra[i]);
  }
}

// One vector step of V::kBytes pixels.
template <class V, bool kBgr, bool kStream = false>
TELVOR_FORCE_INLINE void Yuy2ToRgbStep(const std::uint8_t* src, std::uint8_t* dst, typename V::Reg alpha) {
  // Each pixel pair's bytes stay within their 64-bit group, so the groups
  // may be loaded in the order that spares lane shuffles at the end.
  const auto a = V::LoadPackOrder(src), b = V::LoadPackOrder(src + V::kBytes);
  const RgbWords<V> lo = Yuy2ToRgbWords<V>(a), hi = Yuy2ToRgbWords<V>(b);
  typename V::Reg out[4];
  PackBgra<V>(lo, hi, alpha, out);
  StorePixels<V, kBgr, kStream>(dst, out);
}

// pixels: a multiple of V::kBytes.
template <class V, bool kBgr>
void Yuy2ToRgbKernel(const std::uint8_t* src, std::uint8_t* dst, int pixels, std::uint8_t alphaValue) {
  constexpr int kOut = kBgr ? 3 : 4;
  const auto alpha = V::Set8(static_cast<char>(alphaValue));
  for (int x = 0; x < pixels; x += V::kBytes, src += 2 * V::kBytes) {
    Yuy2ToRgbStep<V, kBgr>(src, dst + kOut * x, alpha);
  }
}

// The same steps from the last back, each reading the same place of the
// next source row ahead (BGRA only: BGR stores spill into the next step's
// pixels). Out of the caches a row's output written backwards continues the
// stream of the row below it, where written forwards each row starts anew
// (bench/README.md). Out of line, so that the forward row keeps its
// registers to itself.
template <class V, bool kStream>
TELVOR_NOINLINE void Yuy2ToBgraKernelBackwards(const std::uint8_t* src, const std::uint8_t* readAhead,
                                               std::uint8_t* dst, int pixels, std::uint8_t alphaValue) {
  const auto alpha = V::Set8(static_cast<char>(alphaValue));
  for (int x = pixels - V::kBytes; x >= 0; x -= V::kBytes) {
    for (int line = 0; line < 2 * V::kBytes; line += 64) {
      _mm_prefetch(reinterpret_cast<const char*>(readAhead + 2 * x + line), _MM_HINT_T0);
    }
    Yuy2ToRgbStep<V, false, kStream>(src + 2 * x, dst + 4 * x, alpha);
  }
}

// Runs `steps(std::bool_constant<kStream>)` over a bottom-up row: streamed
// where asked and the row is aligned to the registers (the streaming stores
// have no unaligned form). After the picture's last row a fence makes every
// streamed store visible before the picture is handed on.
template <class V, class Steps>
TELVOR_FORCE_INLINE void BottomUpSteps(const std::uint8_t* dst, const telvor::imaging::BottomUpRow& row,
                                       Steps steps) {
  if (row.stream && reinterpret_cast<std::uintptr_t>(dst) % V::kBytes == 0) {
    steps(std::true_type{});
  } else {
    steps(std::false_type{});
  }
  if (row.stream && row.last) _mm_sfence();
}

// One vector step of V::kBytes pixels.
template <class V, bool kBgr, bool kStream = false>
TELVOR_FORCE_INLINE void I420ToRgbStep(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                                       std::uint8_t* dst, typename V::Reg alpha) {
  const auto zero = V::Zero();
  auto luma = V::Load(y);
  TELVOR_KEEP_IN_REGISTER(luma);
  const auto blue = V::LoadHalfSpread(cb), red = V::LoadHalfSpread(cr);
  RgbWords<V> lo, hi;
  // One chroma sample covers two pixels (pixels 0-7 of each lane from its
  // first four samples).
  if constexpr (V::kByteMadd) {
    const auto cbCr = TakeOff128<V>(V::Unpacklo8(blue, red));
    lo = ByteMaddRgbWords<V>(V::Unpacklo8(zero, luma), V::Unpacklo16(cbCr, cbCr), kI420LumaBias);
    hi = ByteMaddRgbWords<V>(V::Unpackhi8(zero, luma), V::Unpackhi16(cbCr, cbCr), kI420LumaBias);
  } else {
    // The terms computed once per sample, then doubled.
    const ChromaTerms<V> c = ChromaTermsOf<V>(V::Unpacklo8(zero, blue), V::Unpacklo8(zero, red), kI420Bias);
    const ChromaTerms<V> cLo{V::Unpacklo16(c.blue, c.blue), V::Unpacklo16(c.green, c.green),
                             V::Unpacklo16(c.red, c.red)};
    const ChromaTerms<V> cHi{V::Unpackhi16(c.blue, c.blue), V::Unpackhi16(c.green, c.green),
                             V::Unpackhi16(c.red, c.red)};
    lo = LumaToRgbWords<V>(V::Unpacklo8(zero, luma), cLo);
    hi = LumaToRgbWords<V>(V::Unpackhi8(zero, luma), cHi);
  }
  typename V::Reg out[4], m[4];
  PackBgra<V>(lo, hi, alpha, out);
  // Lane l of out[k] holds pixels 16l + 4k .. 16l + 4k + 3.
  V::Transpose4(out, m);
  StorePixels<V, kBgr, kStream>(dst, m);
}

// pixels: a multiple of V::kBytes.
template <class V, bool kBgr>
void I420ToRgbKernel(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* dst,
                     int pixels, std::uint8_t alphaValue) {
  constexpr int kOut = kBgr ? 3 : 4;
  const auto alpha = V::Set8(static_cast<char>(alphaValue));
  // Pointers stepped by themselves: an index halved for the chroma rows
  // costs a shift and a sign extension per step.
  const std::uint8_t* const cbEnd = cb + pixels / 2;
  for (; cb != cbEnd; y += V::kBytes, cb += V::kBytes / 2, cr += V::kBytes / 2, dst += kOut * V::kBytes) {
    I420ToRgbStep<V, kBgr>(y, cb, cr, dst, alpha);
  }
}

// As Yuy2ToBgraKernelBackwards, from three planes: `next` holds the next
// row's luma, Cb and Cr rows (the chroma rows are the same ones every other
// row, and then already in the caches).
template <class V, bool kStream>
TELVOR_NOINLINE void I420ToBgraKernelBackwards(const std::uint8_t* y, const std::uint8_t* cb,
                                               const std::uint8_t* cr, const std::uint8_t* const next[3],
                                               std::uint8_t* dst, int pixels, std::uint8_t alphaValue) {
  const auto alpha = V::Set8(static_cast<char>(alphaValue));
  for (int x = pixels - V::kBytes; x >= 0; x -= V::kBytes) {
    // A line of each plane per 64 bytes of luma; smaller registers reach
    // each line more than once, which costs next to nothing.
    _mm_prefetch(reinterpret_cast<const char*>(next[0] + x), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(next[1] + x / 2), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(next[2] + x / 2), _MM_HINT_T0);
    I420ToRgbStep<V, false, kStream>(y + x, cb + x / 2, cr + x / 2, dst + 4 * x, alpha);
  }
}

// ---- RGB to YUV -------------------------------------------------------------------------
// 32-bit lanes (SSE2, which has no byte multiply-add): the integer formulas
// are computed exactly.
template <class V>
struct BgraSplit {
  typename V::Reg blueRed;  // per pixel: B, R as two 16-bit words
  typename V::Reg green;    // per pixel: G, then A
};

template <class V>
TELVOR_FORCE_INLINE BgraSplit<V> Split(typename V::Reg v) {
  return {V::And(v, V::Set16(0x00ff)), V::GreenWords(v)};
}

// Luma with its rounding still to come, per pixel as a dword: the sum of the
// formula without its constant, over 32768 (at most 470). LumaWords finishes
// two registers of these.
template <class V>
TELVOR_FORCE_INLINE typename V::Reg Luma32(const BgraSplit<V>& p) {
  // 33030 does not fit a signed 16-bit factor; 16515 does, on G doubled.
  const auto green = V::Madd16(V::Add16(p.green, p.green), V::Set32x2(16515, 0, 16515, 0));
  return V::Srli32(V::Add32(V::Madd16(p.blueRed, V::Set32x2(6423, 16843, 6423, 16843)), green), 15);
}

// Luma as words from two registers of Luma32: the constant 1081344 is 16.5 *
// 65536, so Y = 16 + floor((S + 32768) / 65536) = floor((floor(S / 32768) +
// 33) / 2), the rounding average of the word and 32.
template <class V>
TELVOR_FORCE_INLINE typename V::Reg LumaWords(typename V::Reg a, typename V::Reg b) {
  return V::Avg16(V::PackS32(a, b), V::Set16(32));
}

// Sums of B, R and of G over horizontal pixel pairs, in both dwords of a pair;
// then Cb from the even dword, Cr from the odd. Only the first green word counts.
template <class V>
TELVOR_FORCE_INLINE typename V::Reg PairChroma(typename V::Reg blueRed, typename V::Reg green) {
  const auto br = V::Add32(blueRed, V::template Shuffle32<0xb1>(blueRed));
  const auto g = V::Add32(green, V::template Shuffle32<0xb1>(green));
  return V::Add32(V::Madd16(br, V::Set32x2(28770, -9699, -4653, 28770)),
                  V::Madd16(g, V::Set32x2(-19071, 0, -24117, 0)));
}

// YUY2 and I420 from 32-bit lanes, exact.
template <class V>
struct WordScheme {
  using Reg = typename V::Reg;
  using Pixels = BgraSplit<V>;
  static Pixels Prepare(Reg bgra) { return Split<V>(bgra); }
  static Reg Luma(const Pixels& p) { return Luma32<V>(p); }
  static Reg LumaOfTwo(Reg a, Reg b) { return LumaWords<V>(a, b); }
  static Reg ChromaOfPairs(const Pixels& p) {
    return V::Srai32(V::Add32(PairChroma<V>(p.blueRed, p.green), V::Set32(16384 + (128 << 17))), 17);
  }
  // A register's 2 x 2 blocks: Cb, Cr as dwords; two registers' as words.
  static Reg BlockTerms(const Pixels& p, const Pixels& q) {
    const auto sums = PairChroma<V>(V::Add32(p.blueRed, q.blueRed), V::Add32(p.green, q.green));
    return V::Srai32(V::Add32(sums, V::Set32(32768 + (128 << 18))), 18);
  }
  using Blocks = Reg;
  static Blocks BlocksOfTwo(Reg a, Reg b) { return V::PackS32(a, b); }
  // Within each lane the block's Cb bytes to the low half, Cr to the high.
  static Reg CbThenCr(const Blocks& first, const Blocks& second) {
    return V::FixPack64(V::SeparatePairs(V::FixPack32x4(V::PackUs16(first, second))));
  }
};

// From SSSE3 on, YUY2 and I420 take each pixel's bytes as B, G, G, R into
// byte multiply-adds, one pass for luma and one for chroma.
template <class V>
TELVOR_FORCE_INLINE typename V::Reg GreenTwice(typename V::Reg bgra) {
  return V::Shuffle8(bgra, V::Lanes16(0, 1, 1, 2, 4, 5, 5, 6, 8, 9, 9, 10, 12, 13, 13, 14));
}

// Luma from the factors 25, 129 and 66 over 256, G's split 103 + 26 so that
// each byte pair's sum stays a word: within one of the exact formula for
// every colour, as the vector levels may be, where the exact form costs two
// dword multiply-adds per pixel. Per pixel two words, 25 B + 103 G and
// 26 G + 66 R.
template <class V>
TELVOR_FORCE_INLINE typename V::Reg LumaPairSums(typename V::Reg bggr) {
  return V::MaddU8S8(bggr, V::Set32(25 | 103 << 8 | 26 << 16 | 66 << 24));
}

// Luma words of two registers of LumaPairSums: 4212 is 16 * 256 and the
// rounding term that leaves the most colours exact. Sums reach 56100, past a
// signed word, so they wrap (or pack) as unsigned.
template <class V>
TELVOR_FORCE_INLINE typename V::Reg LumaWords8(typename V::Reg a, typename V::Reg b) {
  return V::Srli16(V::Add16(V::Hadd16(a, b), V::Set16(4212)), 8);
}

// Each pixel's B - G and G - R as words, by factors 1 and -1 on byte pairs.
// The factors of Cb and Cr each sum to zero, so both are sums of these two
// differences: Cb = 28770 (B - G) + 9699 (G - R) and
// Cr = -4653 (B - G) - 28770 (G - R).
template <class V>
TELVOR_FORCE_INLINE typename V::Reg PixelDifferences(typename V::Reg bggr) {
  return V::MaddU8S8(bggr, V::Set16(0xff01));
}

// Cb and Cr, exact, from the differences of horizontal pixel pairs (summed
// over rows already where a block has two): both dwords of a pair's qword
// become the pair's sums, which meet both formulas in one multiply-add.
template <class V, int kShift, int kRounding>
TELVOR_FORCE_INLINE typename V::Reg ChromaOfDifferences(typename V::Reg differences) {
  const auto pairs = V::Add16(differences, V::template Shuffle32<0xb1>(differences));
  const auto chroma = V::Madd16(pairs, V::Set32x2(28770, 9699, -4653, -28770));
  return V::Srai32(V::Add32(chroma, V::Set32(kRounding + (128 << kShift))), kShift);
}

template <class V>
struct ByteScheme {
  using Reg = typename V::Reg;
  using Pixels = Reg;
  static Pixels Prepare(Reg bgra) { return GreenTwice<V>(bgra); }
  static Reg Luma(Reg p) { return LumaPairSums<V>(p); }
  static Reg LumaOfTwo(Reg a, Reg b) { return LumaWords8<V>(a, b); }
  // Per lane Cb, Cr of each pixel pair.
  static Reg ChromaOfPairs(Reg p) { return ChromaOfDifferences<V, 17, 16384>(PixelDifferences<V>(p)); }
  // A register's 2 x 2 blocks: each pixel's differences summed over both rows.
  static Reg BlockTerms(Reg p, Reg q) { return V::Add16(PixelDifferences<V>(p), PixelDifferences<V>(q)); }
  struct Blocks {
    Reg cb, cr;
  };
  static Blocks BlocksOfTwo(Reg a, Reg b);
  // Each lane: its blocks' Cb bytes, then their Cr bytes, two blocks at a time.
  static Reg CbThenCr(const Blocks& first, const Blocks& second) {
    return V::FixBlockPairs(V::PackUs16(V::PackS32(first.cb, second.cb), V::PackS32(first.cr, second.cr)));
  }
};

// The byte scheme where the level has byte multiply-adds; the other is then
// never instantiated.
template <class V>
using RgbToYuvScheme = std::conditional_t<V::kByteMadd, ByteScheme<V>, WordScheme<V>>;

// pixels: a multiple of V::kBytes / 2 (even).
template <class V>
void BgraToYuy2Kernel(const std::uint8_t* src, std::uint8_t* dst, int pixels) {
  using Scheme = RgbToYuvScheme<V>;
  for (int x = 0; x < pixels; x += V::kBytes / 2, src += 2 * V::kBytes, dst += V::kBytes) {
    typename V::Reg luma[2], chroma[2];
    for (int i = 0; i < 2; ++i) {
      const auto p = Scheme::Prepare(V::Load(src + i * V::kBytes));
      chroma[i] = Scheme::ChromaOfPairs(p);
      luma[i] = Scheme::Luma(p);
    }
    // Luma and chroma are bytes: words of each, then one word per pixel.
    const auto words = V::Or(Scheme::LumaOfTwo(luma[0], luma[1]), V::Slli16(V::PackS32(chroma[0], chroma[1]), 8));
    V::Store(dst, V::FixPack64(words));
  }
}

// Cb and Cr of the 2 x 2 blocks of two registers, exact, from each pixel's
// differences summed over both rows: one float shuffle of each register pair's
// dwords side by side and one add give each block's sums, where each register
// alone took a shuffle and an add; then Cb and Cr each in their own register.
// Lane l holds, of each lane l of the two sources, the first's blocks, then the
// second's.
template <class V>
TELVOR_FORCE_INLINE typename ByteScheme<V>::Blocks ByteScheme<V>::BlocksOfTwo(Reg a, Reg b) {
  const auto sums = V::Add16(V::template ShufflePairs32<0x88>(a, b), V::template ShufflePairs32<0xdd>(a, b));
  const auto rounding = V::Set32(32768 + (128 << 18));
  return {V::Srai32(V::Add32(V::Madd16(sums, V::Set32x2(28770, 9699, 28770, 9699)), rounding), 18),
          V::Srai32(V::Add32(V::Madd16(sums, V::Set32x2(-4653, -28770, -4653, -28770)), rounding), 18)};
}

// pixels: a multiple of V::kBytes.
template <class V>
void BgraToI420Kernel(const std::uint8_t* s0, const std::uint8_t* s1, std::uint8_t* y0, std::uint8_t* y1,
                      std::uint8_t* cb, std::uint8_t* cr, int pixels) {
  using Scheme = RgbToYuvScheme<V>;
  for (int x = 0; x < pixels; x += V::kBytes, s0 += 4 * V::kBytes, s1 += 4 * V::kBytes) {
    // Two registers at a time into words, which keeps fewer of them alive.
    typename V::Reg top[2], bottom[2];
    typename Scheme::Blocks blocks[2];
    for (int half = 0; half < 2; ++half) {
      typename V::Reg t[2], b[2], c[2];
      for (int i = 0; i < 2; ++i) {
        const auto p = Scheme::Prepare(V::Load(s0 + (2 * half + i) * V::kBytes));
        const auto q = Scheme::Prepare(V::Load(s1 + (2 * half + i) * V::kBytes));
        t[i] = Scheme::Luma(p);
        b[i] = Scheme::Luma(q);
        c[i] = Scheme::BlockTerms(p, q);
      }
      top[half] = Scheme::LumaOfTwo(t[0], t[1]);
      bottom[half] = Scheme::LumaOfTwo(b[0], b[1]);
      blocks[half] = Scheme::BlocksOfTwo(c[0], c[1]);
    }
    V::Store(y0 + x, V::FixPack32x4(V::PackUs16(top[0], top[1])));
    V::Store(y1 + x, V::FixPack32x4(V::PackUs16(bottom[0], bottom[1])));
    V::StoreHalves(cb + x / 2, cr + x / 2, Scheme::CbThenCr(blocks[0], blocks[1]));
  }
}

// Pixels of a BGR row the vector steps of `step` pixels convert.
template <class V>
int BgrVectorPixels(int width, int step) {
  const int room = V::kBgrSpill > 0 ? width - 1 : width;
  return room > 0 ? room / step * step : 0;
}

// Runs `steps(first, count)` over whole vector steps of `step` pixels and
// returns how many pixels they covered. The tail goes to one last step that
// ends at the row's end, over pixels already done (converted twice, to the same
// bytes), which costs less than the plain row's loop. `granule`: the pixels a
// step must start on (2 where a chroma sample covers a pair).
template <class Steps>
TELVOR_FORCE_INLINE int StepsEndingAtRowEnd(int granule, int step, int width, Steps steps) {
  const int n = width >= step ? width / step * step : 0;
  if (n == 0) return 0;
  steps(0, n);
  const int last = (width - step) / granule * granule;
  if (last <= n - step) return n;
  steps(last, step);
  return last + step;
}

}  // namespace

// Row functions of one instruction set: whole vector steps through the
// kernels above, the rest of the row through the plain row. Where StoreBgr
// spills past its pixels, the vector steps stop a pixel early, so that the
// plain row writes over the spill.
#define TELVOR_DEFINE_VECTOR_ROWS(V)                                                                                  \
  void InterleaveRow(const std::uint8_t* first, const std::uint8_t* second, std::uint8_t* dst, int width) {           \
    const int n = StepsEndingAtRowEnd(1, V::kBytes, width, [&](int start, int count) {                                \
      InterleaveKernel<V>(first + start, second + start, dst + 2 * static_cast<std::size_t>(start), count);           \
    });                                                                                                               \
    plain::InterleaveRow(first + n, second + n, dst + 2 * static_cast<std::size_t>(n), width - n);                    \
  }                                                                                                                   \
  void CopyRow(const std::uint8_t* src, std::uint8_t* dst, std::size_t bytes) { CopyKernel<V>(src, dst, bytes); }    \
  void BgraToBgrRow(const std::uint8_t* src, std::uint8_t* dst, int width) {                                          \
    const int n = BgrVectorPixels<V>(width, V::kBytes);                                                               \
    BgraToBgrKernel<V>(src, dst, n);                                                                                  \
    plain::BgraToBgrRow(src + 4 * n, dst + 3 * n, width - n);                                                         \
  }                                                                                                                   \
  void BgraToYuy2Row(const std::uint8_t* src, std::uint8_t* dst, int width) {                                         \
    const int n = width / (V::kBytes / 2) * (V::kBytes / 2);                                                          \
    BgraToYuy2Kernel<V>(src, dst, n);                                                                                 \
    if (n < width) plain::BgraToYuy2Row(src + 4 * n, dst + 2 * n, width - n);                                         \
  }                                                                                                                   \
  void BgraToI420Rows(const std::uint8_t* s0, const std::uint8_t* s1, std::uint8_t* y0, std::uint8_t* y1,             \
                      std::uint8_t* cb, std::uint8_t* cr, int width) {                                                \
    const int n = width / V::kBytes * V::kBytes;                                                                      \
    BgraToI420Kernel<V>(s0, s1, y0, y1, cb, cr, n);                                                                   \
    plain::BgraToI420Rows(s0 + 4 * n, s1 + 4 * n, y0 + n, y1 + n, cb + n / 2, cr + n / 2, width - n);                 \
  }                                                                                                                   \
  void Yuy2ToYv12Rows(const std::uint8_t* s0, const std::uint8_t* s1, std::uint8_t* y0, std::uint8_t* y1,             \
                      std::uint8_t* cr, std::uint8_t* cb, int width) {                                                \
    const int n = width / (2 * V::kBytes) * (2 * V::kBytes);                                                          \
    Yuy2ToYv12Kernel<V>(s0, s1, y0, y1, cr, cb, n);                                                                   \
    plain::Yuy2ToYv12Rows(s0 + 2 * n, s1 + 2 * n, y0 + n, y1 + n, cr + n / 2, cb + n / 2, width - n);                 \
  }                                                                                                                   \
  void Yuy2ToBgraRow(const std::uint8_t* src, std::uint8_t* dst, int width, std::uint8_t alpha,                       \
                     const BottomUpRow* bottomUp) {                                                                   \
    const int n = width / V::kBytes * V::kBytes;                                                                      \
    if (!bottomUp) Yuy2ToRgbKernel<V, false>(src, dst, n, alpha);                                                     \
    if (n < width) plain::Yuy2ToBgraRow(src + 2 * n, dst + 4 * n, width - n, alpha, nullptr);                         \
    if (!bottomUp) return;                                                                                            \
    BottomUpSteps<V>(dst, *bottomUp, [&](auto stream) {                                                               \
      Yuy2ToBgraKernelBackwards<V, decltype(stream)::value>(src, bottomUp->next[0], dst, n, alpha);                   \
    });                                                                                                               \
  }                                                                                                                   \
  void Yuy2ToBgrRow(const std::uint8_t* src, std::uint8_t* dst, int width) {                                          \
    const int n = BgrVectorPixels<V>(width, V::kBytes);                                                               \
    Yuy2ToRgbKernel<V, true>(src, dst, n, 0);                                                                         \
    if (n < width) plain::Yuy2ToBgrRow(src + 2 * n, dst + 3 * n, width - n);                                          \
  }                                                                                                                   \
  void Yv12ToYuy2Row(const std::uint8_t* y, const std::uint8_t* cr, const std::uint8_t* cb, std::uint8_t* dst,        \
                     int width) {                                                                                     \
    const int n = StepsEndingAtRowEnd(2, V::kBytes, width, [&](int first, int count) {                                \
      Yv12ToYuy2Kernel<V>(y + first, cr + first / 2, cb + first / 2, dst + 2 * first, count);                         \
    });                                                                                                               \
    plain::Yv12ToYuy2Row(y + n, cr + n / 2, cb + n / 2, dst + 2 * n, width - n);                                      \
  }                                                                                                                   \
  void I420ToBgraRow(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* dst,        \
                     int width, std::uint8_t alpha, const BottomUpRow* bottomUp) {                                    \
    const int n = width / V::kBytes * V::kBytes;                                                                      \
    if (!bottomUp) I420ToRgbKernel<V, false>(y, cb, cr, dst, n, alpha);                                               \
    plain::I420ToBgraRow(y + n, cb + n / 2, cr + n / 2, dst + 4 * n, width - n, alpha, nullptr);                      \
    if (!bottomUp) return;                                                                                            \
    BottomUpSteps<V>(dst, *bottomUp, [&](auto stream) {                                                               \
      I420ToBgraKernelBackwards<V, decltype(stream)::value>(y, cb, cr, bottomUp->next, dst, n, alpha);                \
    });                                                                                                               \
  }                                                                                                                   \
  void I420ToBgrRow(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* dst,         \
                    int width) {                                                                                      \
    const int n = BgrVectorPixels<V>(width, V::kBytes);                                                               \
    I420ToRgbKernel<V, true>(y, cb, cr, dst, n, 0);                                                                   \
    plain::I420ToBgrRow(y + n, cb + n / 2, cr + n / 2, dst + 3 * n, width - n);                                       \
  }
