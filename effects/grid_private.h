// What Mapper, Warper and Light share inside effects/: the fill of the grid
// cells and the conversions their grid entries go through.
#pragma once

#include "effects/effects.h"

#include <cstdint>

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
