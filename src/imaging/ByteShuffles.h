// The byte shuffles of every level from SSSE3 on, written once over the
// level's own Shuffle8 and Lanes16: each 128-bit lane is shuffled alike.
// Included only by the trait headers of those levels.
#pragma once

namespace {

template <class V>
struct ByteShuffles {
  // YUY2 bytes (Y0 Cb Y1 Cr per pixel pair): each pixel's word becomes its pair's Cb, then Cr.
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
