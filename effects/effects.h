// Effect layers: per-pixel and geometric effects drawn into the picture that
// their `in` answers, and the 3D object renderer.
#pragma once

#include "plugins/plugins.h"

// ---------------------------------------------------------------------------
// Ray-cast surfaces and what shares their coarse grid: Mapper, Warper, Light.

// ---------------------------------------------------------------------------
// Plazma.

// ---------------------------------------------------------------------------
// Text.

// ---------------------------------------------------------------------------
// Voxel.

// ---------------------------------------------------------------------------
// 3D objects: the mesh format and Object.
//
// A mesh entry is little-endian int16s with no header: nv - 1, nf - 1, nv
// vertices (x, y, z), nf faces (three vertex indices).

struct MeshVec {
  float x, y, z;
};
struct MeshFace {
  int32_t v[3];
};
struct MeshOrder {
  int32_t face, key;  // key: the face's depth, summed over its corners
};

struct Mesh {
  std::vector<MeshFace> faces;
  std::vector<MeshOrder> order;         // filled by every draw
  std::vector<MeshVec> transformed;     // filled by every draw: screen x, y and rotated z
  std::vector<MeshVec> vertices;        // object space, as on file
  std::vector<MeshVec> normals;         // object space, length 128; zero where no face meets
  std::vector<MeshVec> work;            // max(nv, nf): face normals while loading, rotated normals when drawn
  int32_t faceCount = 0;
  int32_t vertexCount = 0;
};

enum class MeshStatus { Ok, Missing, BadCount, Short, BadIndex };
const char* mesh_StatusText(MeshStatus s);

// Reads a mesh from the bytes of an entry.  Refuses negative counts, fewer
// bytes than the counts announce and face indices outside the vertices;
// bytes after the last face are ignored.  nullptr on refusal.
Mesh* mesh_Parse(const uint8_t* data, size_t size, MeshStatus* status = nullptr);
// The archive entry of that name, read no further than where the next entry
// begins; nullptr when it is missing or refused.
Mesh* mesh_Load(const char* name, MeshStatus* status = nullptr);
void mesh_Free(Mesh* mesh);

// Draws a rotating, shaded mesh over its in picture, faces back to front.
struct Object final : Stream {
  static constexpr int kTypes = 10;  // shading types 0..9

  PlugIn* in = nullptr;
  PlugIn* rr = nullptr;
  PlugIn* gg = nullptr;
  PlugIn* bb = nullptr;
  PlugIn* tex = nullptr;
  PlugIn* x = nullptr;
  PlugIn* y = nullptr;
  PlugIn* z = nullptr;
  PlugIn* a = nullptr;
  PlugIn* b = nullptr;
  PlugIn* c = nullptr;
  PlugIn* skew = nullptr;
  PlugIn* type = nullptr;
  Mesh* mesh = nullptr;
  std::vector<int32_t> bump;  // 256x256 map offsets, or empty: no bump map

  Object(Declaration* decl, PlugIn* next);
  ~Object() override;

 protected:
  Image* onStream(int width, int height) override;
};

// Everything one draw needs besides the mesh.
struct ObjectPose {
  float x = 0, y = 0, z = 0;  // translation (type 4: x, y in screen pixels)
  float a = 0, b = 0, c = 0;  // rotation angles, radians
  float skew = 128;           // focal length in pixels
  int rr = 255, gg = 255, bb = 255;
  int type = 1;  // 0..9
};

// Draws mesh into dest (never outside it).  texture may be null or smaller
// than 256x256: types 6..9 then read black.  bump: 65536 entries or null.
void obj_Draw(Mesh* mesh, const ObjectPose& pose, const int32_t* bump, const Image* texture, Image* dest);
// The shared 256x256 highlight map, built on first use.
const Image* obj_HighlightMap();
// The bump offsets of a 256x256 height map; rows and columns 0 and 255 are 0.
std::vector<int32_t> obj_BumpTable(const uint8_t* heights);

extern const ParamInfo kObjectParams[];
