// The coarse grid that Mapper and Warper share: its size, its release
// (together with Light's tables) and the fill of the 8x8 cells between its
// points.
#include "effects/grid_private.h"

#include <algorithm>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

GridState GRID;

namespace {

// Scratch of the fill: the edge values of one cell row and the black-padded
// copy of a small texture.  Kept between frames; they are never shared with
// anything else.
struct FillScratch {
  std::vector<uint32_t> u, du, v, dv, s, ds;
  std::vector<uint8_t> shade;  // one scanline's shades
  std::vector<uint8_t> texels;
};
FillScratch FILL;

}  // namespace

void grid_Size(int W, int H) {
  if (W == GRID.width && H == GRID.height) return;
  GRID.width = W;
  GRID.height = H;
  GRID.gw = W / 8 + (W % 8 == 0 ? 1 : 2);
  GRID.gh = H / 8 + (H % 8 == 0 ? 1 : 2);
  const int entries = GRID.gw * GRID.gh;
  if (entries <= GRID.capacity) return;
  delete[] GRID.U;
  delete[] GRID.V;
  delete[] GRID.S;
  GRID.capacity = entries;
  GRID.U = new int32_t[size_t(entries)];
  GRID.V = new int32_t[size_t(entries)];
  GRID.S = new int32_t[size_t(entries)];
}

void grid_Release() {
  delete[] GRID.U;
  delete[] GRID.V;
  delete[] GRID.S;
  for (int32_t*& table : GRID.light) {
    delete[] table;
    table = nullptr;
  }
  GRID.U = GRID.V = GRID.S = nullptr;
  // gw and gh go too: a 0x0 destination keeps the remembered size and must
  // then find an empty grid, not the freed one's dimensions.
  GRID.width = GRID.height = GRID.gw = GRID.gh = GRID.capacity = 0;
}

const uint8_t* grid_Texels(const Image* texture) {
  const int64_t n = texture ? int64_t(texture->width) * texture->height : 0;
  if (n >= 65536) return texture->pixels;
  FILL.texels.assign(65536, 0);
  if (n > 0) std::memcpy(FILL.texels.data(), texture->pixels, size_t(n));
  return FILL.texels.data();
}

namespace {

// Texel coordinates travel pre-shifted by 8 within a span: the texel index
// needs bits 16..23 of u and v alone, and those, with the bits below that
// carry into them, survive the shift as bits 24..31 (and their carries)
// exactly; the texel row and column are then a shift each.  The shade,
// (s >> 16) & 255, travels the same way.
inline uint32_t eighth(uint32_t left, uint32_t right) { return uint32_t(int32_t(right - left) >> 3); }

// One scanline of one cell: n pixels from the left edge, stepping by an
// eighth of the way to the right edge whatever the cell's width.  The
// difference wraps in 32 bits and is shifted arithmetically.  Shades go to a
// row of their own (sh), multiplied in when the scanline is done.
template <bool kShaded>
inline void span(uint8_t* out, uint8_t* sh, const uint8_t* T, int n, const uint32_t* eu, const uint32_t* ev,
                 const uint32_t* es) {
  const uint32_t du = eighth(eu[0], eu[1]) << 8, dv = eighth(ev[0], ev[1]) << 8;
  const uint32_t ds = kShaded ? eighth(es[0], es[1]) << 8 : 0;
  uint32_t u = eu[0] << 8, v = ev[0] << 8, s = kShaded ? es[0] << 8 : 0;
  for (int k = 0; k < n; ++k) {
    out[k] = T[((v >> 24) << 8) + (u >> 24)];
    if (kShaded) sh[k] = uint8_t(s >> 24);
    u += du, v += dv, s += ds;
  }
}

#ifdef __SSE2__
// Four whole cells side by side, one in each lane: the lanes step through
// the 8 pixels of their cells together, so no lane needs a multiple of its
// step.
inline void startLanes(const uint32_t* e, __m128i& value, __m128i& step) {
  const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(e));
  const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(e + 1));
  step = _mm_slli_epi32(_mm_srai_epi32(_mm_sub_epi32(right, left), 3), 8);
  value = _mm_slli_epi32(left, 8);
}

// The texel indexes are worked out in the lanes; the texel reads are scalar.
inline void fourSpans(uint8_t* out, const uint8_t* T, const uint32_t* eu, const uint32_t* ev) {
  __m128i u, du, v, dv;
  startLanes(eu, u, du);
  startLanes(ev, v, dv);
  const __m128i rowMask = _mm_set1_epi32(0xFF00);
  alignas(16) uint32_t index[8][4];
  for (int k = 0; k < 8; ++k) {
    const __m128i at = _mm_or_si128(_mm_and_si128(_mm_srli_epi32(v, 16), rowMask), _mm_srli_epi32(u, 24));
    _mm_store_si128(reinterpret_cast<__m128i*>(index[k]), at);
    u = _mm_add_epi32(u, du);
    v = _mm_add_epi32(v, dv);
  }
  for (int c = 0; c < 4; ++c)
    for (int k = 0; k < 8; ++k) out[8 * c + k] = T[index[k][c]];
}

// The shades of four cells, 32 bytes in pixel order: the lanes hold cells,
// so the 8 steps of 4 lanes are transposed on the way to bytes.
inline void fourShades(uint8_t* sh, const uint32_t* es) {
  __m128i s, ds;
  startLanes(es, s, ds);
  __m128i step[8];
  for (int k = 0; k < 8; ++k) {
    step[k] = _mm_srli_epi32(s, 24);  // 0..255: packing saturates nothing
    s = _mm_add_epi32(s, ds);
  }
  // Bytes k*4 + c: steps 0..3 in b0, 4..7 in b1.
  const __m128i b0 = _mm_packus_epi16(_mm_packs_epi32(step[0], step[1]), _mm_packs_epi32(step[2], step[3]));
  const __m128i b1 = _mm_packus_epi16(_mm_packs_epi32(step[4], step[5]), _mm_packs_epi32(step[6], step[7]));
  // Three rounds of interleaving take the 8x4 bytes to c*8 + k.
  const __m128i x = _mm_unpacklo_epi8(b0, b1), y = _mm_unpackhi_epi8(b0, b1);
  const __m128i z0 = _mm_unpacklo_epi8(x, y), z1 = _mm_unpackhi_epi8(x, y);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(sh), _mm_unpacklo_epi8(z0, z1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(sh + 16), _mm_unpackhi_epi8(z0, z1));
}
#endif

// One scanline down every cell edge of the row.
inline void stepEdges(uint32_t* __restrict e, const uint32_t* __restrict step, int n) {
  for (int k = 0; k < n; ++k) e[k] += step[k];
}

template <bool kShaded>
void fill(Image* dest, const uint8_t* T) {
  const int W = dest->width, H = dest->height;
  const int gw = GRID.gw, gh = GRID.gh;
  // Only cells wholly inside the destination are whole (8 pixels); the last
  // column of cells is narrower when W is not a multiple of 8.
  const int cells = gw - 1;
  [[maybe_unused]] const int wholeCells = std::min(cells, W / 8);  // the SSE2 path's
  FillScratch& f = FILL;
  f.u.resize(size_t(gw)), f.du.resize(size_t(gw)), f.v.resize(size_t(gw)), f.dv.resize(size_t(gw));
  if (kShaded) f.s.resize(size_t(gw)), f.ds.resize(size_t(gw)), f.shade.resize(size_t(W));
  uint32_t* eu = f.u.data();
  uint32_t* edu = f.du.data();
  uint32_t* ev = f.v.data();
  uint32_t* edv = f.dv.data();
  uint32_t* es = kShaded ? f.s.data() : nullptr;
  uint32_t* eds = kShaded ? f.ds.data() : nullptr;
  uint8_t* shade = kShaded ? f.shade.data() : nullptr;

  for (int j = 0; j < gh - 1; ++j) {
    // The edges of all cells of the row at once: the right edge of a cell is
    // the left edge of the next, grid column i running from row j to j+1.
    // Values are 16.16 (entries << 8); a scanline steps by an eighth of the
    // difference, (lower - upper) << 5.
    for (int i = 0; i < gw; ++i) {
      const size_t top = size_t(i) * size_t(gh) + size_t(j);
      eu[i] = uint32_t(GRID.U[top]) << 8;
      edu[i] = (uint32_t(GRID.U[top + 1]) - uint32_t(GRID.U[top])) << 5;
      ev[i] = uint32_t(GRID.V[top]) << 8;
      edv[i] = (uint32_t(GRID.V[top + 1]) - uint32_t(GRID.V[top])) << 5;
      if (kShaded) {
        es[i] = uint32_t(GRID.S[top]) << 8;
        eds[i] = (uint32_t(GRID.S[top + 1]) - uint32_t(GRID.S[top])) << 5;
      }
    }
    const int y0 = 8 * j;
    const int rows = std::min(8, H - y0);
    for (int r = 0; r < rows; ++r) {
      uint8_t* out = dest->pixels + size_t(y0 + r) * size_t(W);
      int i = 0;
#ifdef __SSE2__
      for (; i + 4 <= wholeCells; i += 4) {
        fourSpans(out + 8 * i, T, eu + i, ev + i);
        if (kShaded) fourShades(shade + 8 * i, es + i);
      }
#endif
      for (; i < cells; ++i)
        span<kShaded>(out + 8 * i, kShaded ? shade + 8 * i : nullptr, T, std::min(8, W - 8 * i), eu + i, ev + i,
                      kShaded ? es + i : nullptr);
      if (kShaded)
        for (int x = 0; x < W; ++x) out[x] = uint8_t((out[x] * shade[x]) >> 8);
      stepEdges(eu, edu, gw);
      stepEdges(ev, edv, gw);
      if (kShaded) stepEdges(es, eds, gw);
    }
  }
}

}  // namespace

void grid_Fill(Image* dest, const uint8_t* texels, bool shaded) {
  if (!dest || dest->width <= 0 || dest->height <= 0) return;
  if (shaded)
    fill<true>(dest, texels);
  else
    fill<false>(dest, texels);
}
