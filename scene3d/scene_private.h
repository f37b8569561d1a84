// Inside the 3D scene renderer: the clip vertex, the render state shared by
// the walk (geometry) and the span fillers (pixels), and their entry points.
#pragma once

#include "scene3d/scene3d.h"

#include <cstdint>
#include <vector>

struct ClipVertex {
  float x, y, z;     // world
  float u, v;
  float spare;
  float sx, sy;      // screen
  float cx, cy, cz;  // camera, cx and cy already scaled by the fovs
  float dist[4];     // to the four world-space clip planes
};

// A triangle gains at most one vertex per clipping pass (four planes: 3 + 4
// in a ring) and each pass makes at most two new vertices (3 + 2 * 4 made in
// all).  The walk also checks both bounds, so odd floats cannot overrun them.
constexpr int kClipPasses = 4;
constexpr int kMaxRing = 3 + kClipPasses;
constexpr int kClipPool = 3 + 2 * kClipPasses;

// A texture a filler reads: `width` is the polygon's texture width (the row
// pitch of the map), `height` its stated height, `texels` the map's pixel
// count, which bounds every read.
struct SpanTexture {
  const uint8_t* pixels;
  int32_t width, height;
  int64_t texels;
};

struct RenderState {
  // Per frame: the target, taken over only when its pixels are not null.
  uint8_t* pixels = nullptr;
  int W = 0, H = 0;
  float xfov = 0, yfov = 0;
  float view[4][4] = {};    // world to camera, fov-scaled
  float camera[4][4] = {};  // camera to world
  float planeCam[4][4] = {};    // nx, ny, nz, offset
  float planeWorld[4][4] = {};  // a, b, c, d
  // Per polygon.
  ClipVertex pool[kClipPool];
  int used = 0;
  ClipVertex* ring[2][kMaxRing];
  // The walk's explicit stack, kept between frames.
  std::vector<int32_t> tasks;
};
extern RenderState RS;

// Camera: places the frame's matrices and planes into RS and the model's
// eye; false when the camera cannot be placed (no keys, a degenerate look).
bool scn_PlaceCamera(SceneModel* m, const Keyframer& keys, float t);

// The fillers, over RS's target.  A ring of n projected vertices.
bool scn_FillTextured(ClipVertex* const* ring, int n, const SpanTexture& tex);
bool scn_FillFlat(ClipVertex* const* ring, int n, uint8_t colour);

// Truncation towards zero that is defined for every float (NaN gives 0).
inline int32_t scn_Trunc(float v) { return plg_Trunc(v); }
