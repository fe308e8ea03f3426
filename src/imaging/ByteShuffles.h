// The byte shuffles of every level from SSSE3 on, written once over the
// level's own Shuffle8 and Lanes16: each 128-bit lane is shuffled alike.
// Included only by the trait headers of those levels.
#pragma once

namespace {

template <class V>
struct ByteShuffles {
  // YUY2 bytes: each pixel's Cb, or Cr, in the high byte of its 16-bit lane.
  template <class Reg>
  static Reg CbHigh(Reg yuy2) {
    return V::Shuffle8(yuy2, V::Lanes16(0x80, 1, 0x80, 1, 0x80, 5, 0x80, 5, 0x80, 9, 0x80, 9, 0x80, 13, 0x80, 13));
  }
  template <class Reg>
  static Reg CrHigh(Reg yuy2) {
    return V::Shuffle8(yuy2, V::Lanes16(0x80, 3, 0x80, 3, 0x80, 7, 0x80, 7, 0x80, 11, 0x80, 11, 0x80, 15, 0x80, 15));
  }
  // Each pixel's word: its pair's Cb, then Cr.
  template <class Reg>
  static Reg ChromaPairs(Reg yuy2) {
    return V::Shuffle8(yuy2, V::Lanes16(1, 3, 1, 3, 5, 7, 5, 7, 9, 11, 9, 11, 13, 15, 13, 15));
  }
  // Within each 128-bit lane: even bytes to the low half, odd bytes to the high half.
  template <class Reg>
  static Reg SeparatePairs(Reg v) {
    return V::Shuffle8(v, V::Lanes16(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15));
  }
};

}  // namespace
