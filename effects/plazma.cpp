// Plazma: three windows into one precomputed interference pattern, averaged.
// All the trigonometry is paid once, when the pattern is made; a frame costs
// three byte reads, a division by 3 and a product a pixel.
#include "effects/effects.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

const ParamInfo kPlazmaParams[] = {
    {" in=", ParamKind::Image, "empty layer", "the picture drawn over, in place"},
    {" xr=", ParamKind::Value, "0", "first window across the pattern: -1 its left end, 1 its right end"},
    {" yr=", ParamKind::Value, "0", "first window down the pattern: -1 its top, 1 its bottom"},
    {" xg=", ParamKind::Value, "0", "second window across the pattern"},
    {" yg=", ParamKind::Value, "0", "second window down the pattern"},
    {" xb=", ParamKind::Value, "0", "third window across the pattern"},
    {" yb=", ParamKind::Value, "0", "third window down the pattern"},
    {" r=", ParamKind::Value, "255", "read every frame; no effect"},
    {" g=", ParamKind::Value, "255", "read every frame; no effect"},
    {" b=", ParamKind::Value, "255", "brightness: the low 8 bits, in 256ths of the averaged pattern"},
    {" type=", ParamKind::Value, "0", "read every frame; no effect"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

namespace {

// No pattern is made larger than the largest picture the engine makes: a
// first request of more than 4096x4096 pixels (at 4 bytes of pattern a pixel)
// draws nothing and leaves the pattern to a later request.
constexpr int64_t kMaxPatternBytes = int64_t(1) << 26;

// A position -1..1 as the first column (row) of a window over n pixels:
// -1 is 0, 1 is n-1.
int windowStart(float p, int n) { return plg_Trunc((float(n - 1) + p * float(n - 1)) * 0.5f); }

// One row: out = (a + b + c) / 3 * f >> 8.  The sum is at most 762 and the
// quotient at most 254, so with f at most 255 every step fits 16 bits.
void mixRow(uint8_t* out, const uint8_t* a, const uint8_t* b, const uint8_t* c, int w, int f) {
  int k = 0;
#if defined(__SSE2__)
  // x / 3 is (x * 21846) >> 16 for every x up to 762: 21846 / 65536 exceeds
  // 1/3 by less than 1/65536, which moves x/3 by under 0.012, and the
  // fraction of x/3 is at most 2/3.
  const __m128i third = _mm_set1_epi16(21846), factor = _mm_set1_epi16(short(f)), zero = _mm_setzero_si128();
  for (; k + 16 <= w; k += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
    const __m128i vc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + k));
    __m128i lo = _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero)),
                               _mm_unpacklo_epi8(vc, zero));
    __m128i hi = _mm_add_epi16(_mm_add_epi16(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero)),
                               _mm_unpackhi_epi8(vc, zero));
    lo = _mm_srli_epi16(_mm_mullo_epi16(_mm_mulhi_epu16(lo, third), factor), 8);
    hi = _mm_srli_epi16(_mm_mullo_epi16(_mm_mulhi_epu16(hi, third), factor), 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(lo, hi));
  }
#endif
  for (; k < w; ++k) out[k] = uint8_t(((a[k] + b[k] + c[k]) / 3 * f) >> 8);
}

}  // namespace

void plz_BuildTable(int w, int h, std::vector<uint8_t>& table) {
  // Single precision throughout, as the look was tuned.  k3 and k4 scale the
  // row (column) index so that a 640x480 pattern has periods of 37 and 23.75.
  const float k1 = 0.003125f, k2 = 0.005f;
  const float k3 = 4.2229730752296746e-05f, k4 = 8.771929424256086e-05f;
  const int tw = 2 * std::max(w, 0), th = 2 * std::max(h, 0);
  std::vector<float> rowT(static_cast<size_t>(th)), colT(static_cast<size_t>(tw));
  for (int r = 0; r < th; ++r)
    rowT[size_t(r)] = 1.0f / (float(37 * w) * k1 + float(15 * w) * k1 * std::cos(float(int64_t(r) * w) * k3));
  for (int c = 0; c < tw; ++c)
    colT[size_t(c)] = 1.0f / (float(31 * h) * k2 + float(11 * h) * k1 * std::sin(float(int64_t(c) * h) * k4));
  table.assign(size_t(tw) * size_t(th), 0);
  for (int r = 0; r < th; ++r) {
    uint8_t* row = table.data() + size_t(r) * size_t(tw);
    const float fr = rowT[size_t(r)];
    for (int c = 0; c < tw; ++c)
      row[c] = uint8_t(int(std::sin(float(c) * fr) * std::cos(float(r) * colT[size_t(c)]) * 127.0f + 127.0f));
  }
}

Plazma::Plazma(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kPlazmaParams);
  in = read.image();
  xr = read.value();
  yr = read.value();
  xg = read.value();
  yg = read.value();
  xb = read.value();
  yb = read.value();
  r = read.value();
  g = read.value();
  b = read.value();
  type = read.value();
}

Image* Plazma::onStream(int w, int h) {
  if (!built && int64_t(std::max(w, 0)) * std::max(h, 0) * 4 <= kMaxPatternBytes) {
    plz_BuildTable(w, h, table);
    tableW = 2 * std::max(w, 0);
    tableH = 2 * std::max(h, 0);
    built = true;
  }
  Image* dest = in->stream(w, h);
  // The values are asked in the reverse of the table's order, always: a value
  // may change as it is asked (a held KeyB steps on every request) and the
  // first faulty input is the one reported, so the order shows in a show.
  type->value();
  const int brightness = plg_Trunc(b->value());
  g->value();
  r->value();
  const int yB = windowStart(yb->value(), h), xB = windowStart(xb->value(), w);
  const int yG = windowStart(yg->value(), h), xG = windowStart(xg->value(), w);
  const int yR = windowStart(yr->value(), h), xR = windowStart(xr->value(), w);
  // Of r*65536 | g*256 | b only b reaches the low 8 bits.
  const int f = brightness & 255;

  // Windows step through the pattern by its own rows, also when this request
  // is smaller than the one it was made for.
  const int64_t stride = tableW;
  const int64_t starts[3] = {int64_t(yR) * stride + xR, int64_t(yG) * stride + xG, int64_t(yB) * stride + xB};
  const int rows = img_RowsOf(dest, w, h);
  if (rows == 0) return dest;
  // The last byte a window reads; reads wrap from a row's end into the next
  // row's start, as the pattern is one array.
  const int64_t reach = int64_t(h - 1) * stride + (w - 1);
  for (int64_t o : starts)
    if (o < 0 || o + reach >= int64_t(table.size())) return dest;

  const uint8_t* t = table.data();
  for (int y = 0; y < rows; ++y) {
    const int64_t rowStart = int64_t(y) * stride;
    mixRow(dest->pixels + size_t(y) * size_t(w), t + starts[0] + rowStart, t + starts[1] + rowStart,
           t + starts[2] + rowStart, w, f);
  }
  return dest;
}
