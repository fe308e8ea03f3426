#include "imaging/Placement.h"

#include <string>

#include "base/Log.h"

namespace {

// Products are taken in 32 bits, as the placement always has; computing them
// wider and narrowing keeps an absurd size from being undefined behaviour.
std::int32_t Product(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(a) * b));
}

// Largest size of the source's aspect that fits inside the output; the
// full-width candidate wins a tie.
void FitInside(std::int32_t sw, std::int32_t sh, std::int32_t dw, std::int32_t dh, std::int32_t* w, std::int32_t* h) {
  const std::int32_t fullWidthHeight = Product(sh, dw) / sw;
  if (fullWidthHeight > dh) {
    *w = Product(sw, dh) / sh;
    *h = dh;
  } else {
    *w = dw;
    *h = fullWidthHeight;
  }
}

// Largest crop of the source that has the output's aspect.
void CropTo(std::int32_t sw, std::int32_t sh, std::int32_t dw, std::int32_t dh, std::int32_t* w, std::int32_t* h) {
  const std::int32_t fullWidthHeight = Product(sw, dh) / dw;
  if (fullWidthHeight > sh) {
    *w = Product(sh, dw) / dh;
    *h = sh;
  } else {
    *w = sw;
    *h = fullWidthHeight;
  }
}

// Half the room left beside a span. An absurd size wraps the span above, and
// the difference would then overflow 32 bits; its half never does.
std::int32_t Centre(std::int32_t whole, std::int32_t span) {
  return static_cast<std::int32_t>((static_cast<std::int64_t>(whole) - span) / 2);
}

std::wstring Text(const ScaleRect& r) {
  return std::to_wstring(r.x) + L',' + std::to_wstring(r.y) + L',' + std::to_wstring(r.width) + L'x' +
         std::to_wstring(r.height);
}

}  // namespace

void PlaceRects(std::int32_t style, std::int32_t sw, std::int32_t sh, std::int32_t dw, std::int32_t dh,
                ScaleRect* source, ScaleRect* destination) {
  ScaleRect s{0, 0, sw, sh};
  ScaleRect d{0, 0, dw, dh};
  const wchar_t* label = L"Stretch mode: ";
  std::int32_t w = 0;
  std::int32_t h = 0;
  if (style == kScaleFill) {
    label = L"Fill mode: ";
    FitInside(sw, sh, dw, dh, &w, &h);
    d = ScaleRect{Centre(dw, w), Centre(dh, h), w, h};
  } else if (style == kScaleFit) {
    label = L"Fit mode: ";
    CropTo(sw, sh, dw, dh, &w, &h);
    s = ScaleRect{Centre(sw, w), Centre(sh, h), w, h};
  }
  *source = s;
  *destination = d;
  TELVOR_TRACE_AT(L"Utils", L"PlaceRects") << label << Text(s) << L" ==> " << Text(d);
}
