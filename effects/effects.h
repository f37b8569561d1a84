// Effect layers: per-pixel and geometric effects drawn into the picture that
// their `in` answers, and the 3D object renderer.
#pragma once

#include "plugins/plugins.h"

// ---------------------------------------------------------------------------
// Ray-cast surfaces and what shares their coarse grid: Mapper, Warper, Light.

// Mapper and Warper cast or wave on one coarse grid of texture coordinates,
// which Light's falloff tables share; its state is private to effects/.

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
//
// Font entries: byte 0 the advance of a character without a glyph, byte 1 the
// glyph height H, then for codes 0..255 a width byte W (0: no glyph) and,
// when W is not 0, W*H mask bytes in rows.  A mask byte that is not 0 is ink.
struct Font {
  int blank = 0;
  int height = 0;
  uint8_t widths[256] = {};
  uint32_t start[256] = {};  // where a glyph's mask begins in masks
  std::vector<uint8_t> masks;

  bool has(uint8_t c) const { return widths[c] != 0; }
  const uint8_t* mask(uint8_t c) const { return masks.data() + start[c]; }
};

enum class FontStatus { Ok, NotFound, Truncated };
const char* fnt_StatusText(FontStatus s);

// The largest entry a font can be: two bytes, then 256 records of one width
// byte and at most 255 x 255 mask bytes.
constexpr size_t kFontMaxBytes = 2 + 256 * (1 + 255 * 255);

// Reads a font from memory; never reads past size.  A font whose records end
// before the last one does is Truncated and leaves *font empty.
FontStatus fnt_Parse(const uint8_t* data, size_t size, Font* font);
// Reads the archive entry named archiveName; the entry ends at the next
// entry's data or at the end of the archive.
FontStatus fnt_Load(const char* archiveName, Font* font);

// Sum over the text of (glyph width, or blank width without a glyph) + 1.
int64_t fnt_TextWidth(const Font& font, const uint8_t* text, int length);
// The pen's shift for an origin: 0 left (none), 1 right, 2 centred; false
// for any other origin.
bool fnt_OriginShift(const Font& font, const uint8_t* text, int length, int space, int origin, int64_t* shift);
// Writes ink where the glyphs have ink, from column pen and row top on, each
// glyph followed by space + 1 columns; pixels outside columns 0..w-1 and rows
// 0..h-1 are skipped.  Rows of the picture are stride bytes apart.
void fnt_Draw(const Font& font, const uint8_t* text, int length, int64_t pen, int64_t top, int space, uint8_t ink,
              uint8_t* pixels, int w, int h, int stride);

// One line of text in a font from the archive, drawn over in's picture.
struct Text final : Stream {
  PlugIn* in = nullptr;
  PlugIn* x = nullptr;
  PlugIn* y = nullptr;
  PlugIn* r = nullptr;  // read every frame, not used
  PlugIn* g = nullptr;  // read every frame, not used
  PlugIn* b = nullptr;  // ink: low 8 bits
  PlugIn* org = nullptr;
  PlugIn* space = nullptr;
  Font font;
  std::string text;

  Text(Declaration* decl, PlugIn* next);

 protected:
  Image* onStream(int width, int height) override;
};

extern const ParamInfo kTextParams[];

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
// Sorts o[lo..hi] ascending by key: Hoare's partitions around the middle
// element.  Faces of one depth end in the order those partitions leave
// them, which decides which of them is drawn last.
void obj_SortByDepth(MeshOrder* o, int lo, int hi);
// The sort lists its keys eight at a time where the machine has the wide
// lanes (on by default); off, one at a time.  Same order.  Returns whether
// the wide lanes are in use.
bool obj_UseWideSort(bool on);
// Ranges of up to four entries are arranged by a table made from the
// partitions' own results (on by default); off, partitioned.  Same order.
// Returns the setting.
bool obj_UseSmallSortTables(bool on);

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
  std::vector<int16_t> narrowBump;  // the same in 16 bits when they all fit, else empty

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
// than 256x256: types 6..9 then read black.  bump: 65536 entries or null;
// narrowBump: null, or the same entries in 16 bits (obj_NarrowBump), which
// the fillers then read instead, unless obj_UseNarrowBump turned that off.
void obj_Draw(Mesh* mesh, const ObjectPose& pose, const int32_t* bump, const Image* texture, Image* dest,
              const int16_t* narrowBump = nullptr);
// Whether obj_Draw reads a 16-bit bump table it is handed (on by default).
// Same pixels either way.  Returns the setting.
bool obj_UseNarrowBump(bool on);
// The shared 256x256 highlight map, built on first use.
const Image* obj_HighlightMap();
// The bump offsets of a 256x256 height map; rows and columns 0 and 255 are 0.
std::vector<int32_t> obj_BumpTable(const uint8_t* heights);
// A bump table's 65536 entries in 16 bits, or empty when one of them does
// not fit (steep height maps) or the table has another length.
std::vector<int16_t> obj_NarrowBump(const std::vector<int32_t>& table);

extern const ParamInfo kObjectParams[];
