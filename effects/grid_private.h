// What Mapper, Warper and Light share inside effects/: the fill of the grid
// cells and the conversions their grid entries go through.
#pragma once

#include "effects/effects.h"

#include <cstdint>

// The coarse grid of texture coordinates that Mapper and Warper cast or wave
// on, one grid point every 8 pixels, and Light's falloff tables.  One set
// serves every object; destroying any Mapper, Warper or Light frees it all
// and the next draw builds what it needs again.
struct GridState {
  int width = 0, height = 0;  // the destination the grid was last sized for
  int gw = 0, gh = 0;         // grid points across and down
  int capacity = 0;           // entries each grid holds; grids never shrink
  // Entry (column i, row j) at i * gh + j: texture column and row in 8.8
  // fixed point, shade 0..65535 (shaded kinds only).
  int32_t* U = nullptr;
  int32_t* V = nullptr;
  int32_t* S = nullptr;
  // Light falloff by (vertical, horizontal) distance, kLightRows x kLightColumns
  // each: inverse distance, linear, inverse square.  Built on first use.
  static constexpr int kLightRows = 300, kLightColumns = 512;
  int32_t* light[3] = {nullptr, nullptr, nullptr};
};
extern GridState GRID;

// Sizes the grid for a W x H destination (reallocating only to grow).
void grid_Size(int W, int H);
// Frees the grids and the light tables and forgets the size.
void grid_Release();

// Conversion toward zero as the grid entries take it: a value without an
// int32 (not a number, infinite, out of range) becomes -2147483648, which the
// fill then wraps like any other entry.  Rays that miss the tube or sphere,
// or run along the plane, land here.
inline int32_t grid_Trunc(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
  return int32_t(v);
}

// The 65536 texels of a texture asked for 256x256.  A picture with fewer
// (a Loop's or Window's picture of another size, none at all) is copied into
// a black 256x256 one first, so the fill never reads past it.
const uint8_t* grid_Texels(const Image* texture);

// Fills dest cell by cell from the grid: texels, or texels times the shade.
void grid_Fill(Image* dest, const uint8_t* texels, bool shaded);
