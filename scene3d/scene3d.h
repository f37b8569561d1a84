// 3D scenes: BSP scenes of textured triangles with a keyframed camera, their
// loaders, animation and drawing, and the Scene plugin.
//
// A scene file holds the geometry as a pre-order BSP tree; a keyframer file
// holds the camera's Bezier tracks.  Both are loaded into a fixed table of
// slots (scn_LoadSlot) and drawn from there (scn_RenderSlot).
#pragma once

#include "plugins/plugins.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Loaded data.
struct SceneVertex {
  int32_t index;
  float x, y, z;
};

struct PolygonCorner {
  int32_t u, v;
  int32_t vertex;  // index into SceneModel::vertices, checked when read
};

struct ScenePolygon {
  int32_t texWidth = 0, texHeight = 0, material = 0;
  PolygonCorner corner[3];  // list order: file corner 3, 2, 1
  Image* map = nullptr;     // borrowed from SceneModel::maps; null draws flat colour 0
  float a = 0, b = 0, c = 0, d = 0;  // front: a x + b y + c z + d > 0
};

struct BspNode {
  int32_t first = 0, count = 0;  // the group in SceneModel::polygons, in drawing order
  int32_t front = -1, back = -1; // children in SceneModel::nodes, -1 when absent
};

struct SceneModel {
  float eye[3] = {};
  float spare[3] = {};
  std::vector<SceneVertex> vertices;
  std::vector<BspNode> nodes;          // nodes[0] is the root
  std::vector<ScenePolygon> polygons;  // grouped by node
  std::vector<Image*> maps;            // owned: one per material met
  float view[4][4] = {};    // world to camera, columns 0 and 1 scaled by the fovs
  float camera[4][4] = {};  // camera to world: rows right, up, forward, position

  SceneModel() = default;
  SceneModel(const SceneModel&) = delete;
  SceneModel& operator=(const SceneModel&) = delete;
  ~SceneModel();
};

struct CameraKey {
  float position[3];
  float time;
  float out[3];  // first inner control point of the segment starting here
  float in[3];   // second inner control point of the segment ending here
  float end;     // time at which the segment starting here ends
};

struct KeyTrack {
  bool named = false;
  std::string name;
  std::vector<CameraKey> position;  // a key's successor is the next element
  std::vector<CameraKey> target;
};

struct Keyframer {
  int32_t firstFrame = 0, lastFrame = 0, trackCount = 0;
  std::vector<KeyTrack> tracks;
};

// ---------------------------------------------------------------------------
// Readers.  Both take the whole file from memory; bytes past the end read as
// zeros and the end is checked once per record.
enum class ScnStatus {
  Ok,
  NotFound,
  Truncated,        // the file ends inside a record it announces
  BadVertexCount,   // negative, or more vertices than the file could hold
  BadVertexIndex,   // a corner names a vertex outside the vertex array
};
const char* scn_StatusText(ScnStatus s);

// Material maps are looked up by name through this hook (the archive's
// texture loader by default); it returns an owned image or null.
using ScnMapLoader = Image* (*)(const char* name);

// "map%04d.png" of slot * 1000 + material.
std::string scn_MaterialName(int slot, int material);

ScnStatus scn_ParseScene(const uint8_t* data, size_t size, int slot, SceneModel* out,
                         ScnMapLoader loader = nullptr);
ScnStatus scn_ParseKeys(const uint8_t* data, size_t size, Keyframer* out);

// The whole archive entry: from its offset to the next entry or the end.
bool scn_ReadEntry(const char* name, std::vector<uint8_t>* bytes);

// ---------------------------------------------------------------------------
// Slots.
constexpr int kSceneSlots = 16;

struct SceneSlot {
  SceneModel* model = nullptr;  // owned
  Keyframer* keys = nullptr;    // owned
  bool loaded = false;
  ScnStatus sceneStatus = ScnStatus::NotFound, keysStatus = ScnStatus::NotFound;
};

// Loads both files from the archive into slot idx (0 <= idx < kSceneSlots),
// replacing what it held; true when both loaded.
bool scn_LoadSlot(int idx, const char* sceneName, const char* keysName);
// Hands a slot data that is already in memory (tests, tools); takes both.
void scn_SetSlot(int idx, SceneModel* model, Keyframer* keys);
const SceneSlot* scn_Slot(int idx);
void scn_FreeSlots();

// ---------------------------------------------------------------------------
// Drawing.
struct Vec3 {
  float x, y, z;
};

// The camera position and target of the first track at time t, clamped to
// the animation's frames, y negated.  False when there is no first track or
// one of its key lists is empty.
bool scn_CameraAt(const Keyframer& keys, float t, Vec3* position, Vec3* target);

// Draws slot idx at time t over the pixels (row pitch W).  A null target,
// an empty slot or a camera that cannot be placed draws nothing.
void scn_RenderSlot(int idx, float t, float xfov, float yfov, uint8_t* pixels, int W, int H);
// Texture runs index their texels four lanes at a time where the machine has
// them (on by default); off, one pixel at a time.  Same pixels either way.
// Returns whether the lanes are in use.
bool scn_UseSpanLanes(bool on);
// With the lanes on, runs go sixteen texels at a time, without a branch on
// their length, where the machine has the wide lanes (on by default).  Same
// pixels.  Returns whether the wide runs are in use.
bool scn_UseWideSpanRuns(bool on);

// ---------------------------------------------------------------------------
// Writers, for the authoring tools and the tests.
struct ScnTriangle {
  int32_t material, texWidth, texHeight;
  float plane[4];
  int32_t u[3], v[3], vertex[3];  // file corners 1, 2, 3
};
struct ScnTreeNode {
  std::vector<ScnTriangle> group;
  int front = -1, back = -1;  // indexes into the node array
};
// A triangle mesh before compiling: texel coordinates as floats, corners in
// file order 1, 2, 3.  The triangle's front is where (v1 - v0) x (v2 - v0)
// points.
struct ScnMeshTriangle {
  int32_t vertex[3];
  float u[3], v[3];
  int32_t material, texWidth, texHeight;
};
struct ScnMesh {
  std::vector<Vec3> vertices;
  std::vector<ScnMeshTriangle> triangles;
};
// Builds a BSP tree over the mesh: splitting planes chosen among the
// triangles' own, straddling triangles split into triangles (their new
// vertices are appended to the mesh).  nodes[0] is the root; an empty mesh
// gives no nodes.
std::vector<ScnTreeNode> scn_CompileMesh(ScnMesh* mesh);

std::vector<uint8_t> scn_WriteScene(const float eye[3], const std::vector<Vec3>& vertices,
                                    const std::vector<ScnTreeNode>& nodes);
std::vector<uint8_t> scn_WriteKeys(const Keyframer& keys);

// ---------------------------------------------------------------------------
// The script object: draws slot idx over its input at time frame.
struct Scene final : Stream {
  PlugIn* in = nullptr;
  PlugIn* xfov = nullptr;
  PlugIn* yfov = nullptr;
  PlugIn* frame = nullptr;
  int idx = 0;

  Scene(Declaration* decl, PlugIn* next);

 protected:
  Image* onStream(int width, int height) override;
};

extern const ParamInfo kSceneParams[];
