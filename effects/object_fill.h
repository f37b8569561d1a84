// Pixels of the object renderer: the span fillers and the anti-aliased line.
// Private to effects/object*.cpp.  Geometry (rotation, projection, sorting,
// culling) stays in object.cpp; these only clip and write.
#pragma once

#include <cstdint>

struct FillTarget {
  uint8_t* pixels;
  int w, h;  // both > 0
};

// What a face's pixels are made of.  Attributes are 16.16 fixed point,
// interpolated along the edges and across the spans: a map pair is a map
// coordinate (0..256), an intensity a grey level.
enum class FillMode {
  Solid,             // colour (low 8 bits)
  Blend,             // (pixel + colour) >> 1
  Gouraud,           // base + intensity a0, at most 255
  HighlightAdd,      // base + source[a0a1], 255 when that reaches 256
  Map,               // source[a0a1]
  BumpAdd,           // base + source[bumped], as HighlightAdd
  BumpMap,           // source[bumped]
  BumpTexture,       // texture[a0a1] + highlight[bumped], at most 255
  TextureHighlight,  // texture[a0a1] + highlight[a2a3], at most 255
  TextureGouraud,    // texture[a0a1] + intensity a2, at most 255
};
// bumped: the map pair a2a3 less the bump offset at a0a1, kept in 0..65280.

struct FillShade {
  FillMode mode = FillMode::Solid;
  uint32_t colour = 0;                // Solid, Blend
  int32_t base = 0;                   // Gouraud, HighlightAdd, BumpAdd
  const uint8_t* source = nullptr;    // 65536 texels
  const uint8_t* texture = nullptr;   // 65536 texels
  const uint8_t* highlight = nullptr; // 65536 texels
  const int32_t* bump = nullptr;      // 65536 offsets
  const int16_t* narrowBump = nullptr; // the same offsets in 16 bits, read instead when set
};

struct FillCorner {
  float x, y;      // screen position
  int32_t a[4];    // attributes, 16.16
};

// Projected positions are kept within this many pixels of the origin, so
// that every edge step fits in 64-bit fixed point.
constexpr float kFillFar = 1073741824.0f;  // 2^30

// Spans of some modes go sixteen pixels at a time, and the runs of lines
// four, where the machine has the lanes (on by default); off, one pixel at a
// time.  Same pixels either way.
// Returns whether the lanes are in use.
bool fill_UseLanes(bool on);

void fill_Triangle(const FillTarget& target, const FillShade& shade, const FillCorner corners[3]);
// Xiaolin Wu's line, adding intensity c to the pixels it covers (clamped to
// 0..255); pixels outside the target are skipped.
void fill_Line(const FillTarget& target, float x0, float y0, float x1, float y1, int c);
