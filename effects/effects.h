// Effect layers: per-pixel and geometric effects drawn into the picture that
// their `in` answers, and the 3D object renderer.
#pragma once

#include "plugins/plugins.h"

// ---------------------------------------------------------------------------
// Ray-cast surfaces and what shares their coarse grid: Mapper, Warper, Light.

// ---------------------------------------------------------------------------
// Plazma.

// Three windows into one interference pattern twice the frame's size in each
// direction, averaged and scaled by the low 8 bits of b.  The pattern is made
// for the size of the first request and kept.  A window is drawn only where
// every byte it reads lies in the pattern: one that would start before it
// (a position below -1) or run past its end (a position above 1, a request
// larger than the first) leaves the picture as in gave it.
struct Plazma final : Stream {
  PlugIn* in = nullptr;
  PlugIn* xr = nullptr;
  PlugIn* yr = nullptr;
  PlugIn* xg = nullptr;
  PlugIn* yg = nullptr;
  PlugIn* xb = nullptr;
  PlugIn* yb = nullptr;
  PlugIn* r = nullptr;
  PlugIn* g = nullptr;
  PlugIn* b = nullptr;
  PlugIn* type = nullptr;
  bool built = false;
  int tableW = 0, tableH = 0;  // twice the first request's size
  std::vector<uint8_t> table;  // tableH rows of tableW bytes, 0..254

  Plazma(Declaration* decl, PlugIn* next);

 protected:
  Image* onStream(int width, int height) override;
};

// The pattern for a first request of w x h: (2w) x (2h) bytes.
void plz_BuildTable(int w, int h, std::vector<uint8_t>& table);

extern const ParamInfo kPlazmaParams[];

// ---------------------------------------------------------------------------
// Text.

// ---------------------------------------------------------------------------
// Voxel.

// A camera flown over a wrapping fractal landscape, drawn column by column
// from near to far with a horizon per column.  Every construction makes a new
// landscape from the next numbers of std::rand; all Voxel layers share it.
struct Voxel final : Stream {
  PlugIn* in = nullptr;
  PlugIn* r = nullptr;
  PlugIn* g = nullptr;
  PlugIn* b = nullptr;
  PlugIn* x = nullptr;
  PlugIn* y = nullptr;
  PlugIn* a = nullptr;

  Voxel(Declaration* decl, PlugIn* next);

 protected:
  Image* onStream(int width, int height) override;
};

// Indexed [row][column]; both wrap modulo 256.
struct VoxelMaps {
  uint8_t height[256][256];
  uint8_t shade[256][256];
};

const VoxelMaps& vox_Maps();
void vox_Generate();  // a new landscape from the next std::rand numbers
// Test seam: draws over the given maps until the next construction.
void vox_SetMaps(const VoxelMaps& maps);

extern const ParamInfo kVoxelParams[];

// ---------------------------------------------------------------------------
// 3D objects: the mesh format and Object.
