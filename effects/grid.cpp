// The coarse grid that Mapper and Warper share: its size, its release
// (together with Light's tables) and the fill of the 8x8 cells between its
// points.
#include "effects/grid_private.h"

#include <algorithm>
#include <cstring>
#include <vector>

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
// exactly; the texel row and column are then a shift each.
inline uint32_t eighth(uint32_t left, uint32_t right) { return uint32_t(int32_t(right - left) >> 3); }

// One scanline of one cell: n pixels from the left edge (u, v), stepping by
// an eighth of the way to the right edge whatever the cell's width.  The
// difference wraps in 32 bits and is shifted arithmetically.
template <int kWidth>
inline void texels(uint8_t* out, const uint8_t* T, int n, uint32_t u, uint32_t u1, uint32_t v, uint32_t v1) {
  const uint32_t du = eighth(u, u1) << 8, dv = eighth(v, v1) << 8;
  u <<= 8, v <<= 8;
  const int count = kWidth > 0 ? kWidth : n;
  for (int k = 0; k < count; ++k) {
    out[k] = T[((v >> 24) << 8) + (u >> 24)];
    u += du;
    v += dv;
  }
}

// The shade of one scanline of a cell, (s >> 16) & 255, stepped as u and v.
template <int kWidth>
inline void shades(uint8_t* out, int n, uint32_t s, uint32_t s1) {
  const uint32_t ds = eighth(s, s1) << 8;
  s <<= 8;
  const int count = kWidth > 0 ? kWidth : n;
  for (int k = 0; k < count; ++k) {
    out[k] = uint8_t(s >> 24);
    s += ds;
  }
}

template <bool kShaded>
void fill(Image* dest, const uint8_t* T) {
  const int W = dest->width, H = dest->height;
  const int gw = GRID.gw, gh = GRID.gh;
  // Only cells wholly inside the destination are whole (8 pixels); the last
  // column of cells is narrower when W is not a multiple of 8.
  const int cells = gw - 1;
  const int wholeCells = std::min(cells, W / 8);
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
      for (; i < wholeCells; ++i) texels<8>(out + 8 * i, T, 8, eu[i], eu[i + 1], ev[i], ev[i + 1]);
      if (i < cells) texels<0>(out + 8 * i, T, W - 8 * i, eu[i], eu[i + 1], ev[i], ev[i + 1]);
      if (kShaded) {
        // Shades into a row of their own, then one multiply over the row;
        // a shade of 0 gives 0.
        for (i = 0; i < wholeCells; ++i) shades<8>(shade + 8 * i, 8, es[i], es[i + 1]);
        if (i < cells) shades<0>(shade + 8 * i, W - 8 * i, es[i], es[i + 1]);
        for (int x = 0; x < W; ++x) out[x] = uint8_t((out[x] * shade[x]) >> 8);
      }
      for (int k = 0; k < gw; ++k) {
        eu[k] += edu[k];
        ev[k] += edv[k];
        if (kShaded) es[k] += eds[k];
      }
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
