// Effect layers: per-pixel and geometric effects drawn into the picture that
// their `in` answers, and the 3D object renderer.
#pragma once

#include "plugins/plugins.h"

// ---------------------------------------------------------------------------
// Ray-cast surfaces and what shares their coarse grid: Mapper, Warper, Light.

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

// Casts a 256x256 texture onto a slanted plane (types 0, 3), a tube (1, 4)
// or a sphere (2, 5) seen from a turned camera; types 3..5 darken with
// distance.  Rays are cast on the grid and interpolated between.
struct Mapper final : Stream {
  PlugIn* in = nullptr;
  PlugIn* tex = nullptr;
  PlugIn* x = nullptr;
  PlugIn* y = nullptr;
  PlugIn* z = nullptr;
  PlugIn* a = nullptr;
  PlugIn* b = nullptr;
  PlugIn* c = nullptr;
  PlugIn* fov = nullptr;
  PlugIn* hskew = nullptr;
  PlugIn* vskew = nullptr;
  PlugIn* type = nullptr;

  Mapper(Declaration* decl, PlugIn* next);
  ~Mapper() override;

 protected:
  Image* onStream(int width, int height) override;
};

// Waves a 256x256 texture with sines on the grid; type 1 shades it by the
// waved coordinates.
struct Warper final : Stream {
  PlugIn* in = nullptr;
  PlugIn* tex = nullptr;
  PlugIn* x = nullptr;
  PlugIn* y = nullptr;
  PlugIn* dx = nullptr;
  PlugIn* dy = nullptr;
  PlugIn* amp = nullptr;
  PlugIn* type = nullptr;

  Warper(Declaration* decl, PlugIn* next);
  ~Warper() override;

 protected:
  Image* onStream(int width, int height) override;
};

// A round light spot on pixel (x, y): types 0..2 replace the picture with
// the light, 3..5 add it; falloff by inverse distance, linear or inverse
// square.
struct Light final : Stream {
  PlugIn* in = nullptr;
  PlugIn* x = nullptr;
  PlugIn* y = nullptr;
  PlugIn* r = nullptr;
  PlugIn* g = nullptr;
  PlugIn* b = nullptr;
  PlugIn* i = nullptr;
  PlugIn* type = nullptr;

  Light(Declaration* decl, PlugIn* next);
  ~Light() override;

 protected:
  Image* onStream(int width, int height) override;
};

extern const ParamInfo kMapperParams[];
extern const ParamInfo kWarperParams[];
extern const ParamInfo kLightParams[];

// ---------------------------------------------------------------------------
// Plazma.

// ---------------------------------------------------------------------------
// Text.

// ---------------------------------------------------------------------------
// Voxel.

// ---------------------------------------------------------------------------
// 3D objects: the mesh format and Object.
