// Object: a rotating triangle mesh drawn back to front over its in picture,
// in one of ten shading types.  This file is the geometry: rotation,
// projection, the depth sort, culling and what each type hands the span
// fillers (effects/object_fill.cpp).
#include "effects/effects.h"

#include "codecs/codecs.h"
#include "effects/object_fill.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define OBJ_WIDE_LISTS 1
#endif

const ParamInfo kObjectParams[] = {
    {" obj=", ParamKind::Word, "", "archive name of the mesh"},
    {" bump=", ParamKind::Word, "", "archive name of a PNG height map (types 2, 7, 8); none: no bumps"},
    {" in=", ParamKind::Image, "empty layer", "the picture drawn over, in place"},
    {" tex=", ParamKind::Image, "empty layer", "texture of types 6 to 9, asked for 256x256; it wraps"},
    {" x=", ParamKind::Value, "0", "translation right (type 4: screen column of the origin)"},
    {" y=", ParamKind::Value, "0", "translation up (type 4: screen row of the origin)"},
    {" z=", ParamKind::Value, "0", "translation away from the eye, which sits 400 in front of the origin"},
    {" rr=", ParamKind::Value, "255", "colour, bits 16..23 of the packed colour"},
    {" gg=", ParamKind::Value, "255", "colour, bits 8..15"},
    {" bb=", ParamKind::Value, "255", "colour, bits 0..7: the grey level of types 0, 1, 3, 4 and the base of 2 and 5"},
    {" a=", ParamKind::Value, "0", "rotation angle, radians"},
    {" b=", ParamKind::Value, "0", "rotation angle, radians"},
    {" c=", ParamKind::Value, "0", "rotation angle, radians"},
    {" skew=", ParamKind::Value, "128", "projection scale: focal length in pixels"},
    {" type=", ParamKind::Value, "1",
     "0 wire, 1 flat, 2 highlight, 3 translucent, 4 solid in screen space, 5 Gouraud, 6 texture by normals, "
     "7 reflection, 8 texture plus highlight, 9 texture plus Gouraud"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

namespace {

enum Shading {
  kWire = 0,
  kFlat = 1,
  kHighlight = 2,
  kTranslucent = 3,
  kSolid = 4,
  kGouraud = 5,
  kTextureByNormals = 6,
  kReflection = 7,
  kTextureHighlight = 8,
  kTextureGouraud = 9,
};

constexpr float kEye = 400;  // distance from the eye to z = 0

#ifdef OBJ_WIDE_LISTS
const bool kWideListsAvailable = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
bool gWideLists = kWideListsAvailable;
#endif

bool gNarrowBump = true;

struct ObjectState {
  // Per process: built on the first draw, never freed.
  Image* highlight = nullptr;
  std::vector<uint8_t> black = std::vector<uint8_t>(65536, 0);  // a texture that is missing or too small
  // Per draw: the fill context.
  FillTarget target{};
  FillShade shade{};
  int type = 0;
};
ObjectState OBJ;

// A highlight falls off as sin^6 across the map: bright in the middle,
// black at the borders.  0.01227... = pi / 256.
Image* buildHighlight() {
  Image* map = img_Create(256, 256);
  float s[256];
  for (int i = 0; i < 256; ++i) {
    const float v = float(std::sin(i * 0.01227189613067115));
    s[i] = v * v * v * v * v * v;
  }
  for (int r = 0; r < 256; ++r)
    for (int c = 0; c < 256; ++c) map->pixels[r * 256 + c] = uint8_t(int(s[r] * s[c] * 255));
  return map;
}

struct Rotation {
  float s1, s2, s3, c1, c2, c3, m11, m12, m21, m22;
  Rotation(float a, float b, float c)
      : s1(std::sin(a)), s2(std::sin(b)), s3(std::sin(c)), c1(std::cos(a)), c2(std::cos(b)), c3(std::cos(c)) {
    m11 = s1 * s3 * s2 + c3 * c2;
    m12 = -s2 * c3 + s1 * s3 * c2;
    m21 = c3 * s1 * s2 - c2 * s3;
    m22 = c3 * s1 * c2 + s3 * s2;
  }
  // Points are truncated to integers first, as the coordinates on file are.
  MeshVec apply(const MeshVec& p) const {
    const float X = float(plg_Trunc(p.x)), Y = float(plg_Trunc(p.y)), Z = float(plg_Trunc(p.z));
    return MeshVec{X * m11 + Y * s3 * c1 + Z * m12, X * m21 + Y * c3 * c1 + Z * m22, X * s2 * c1 - Y * s1 + Z * c1 * c2};
  }
};

// Hoare's partition of o[lo..hi] around pivot: i scans up to a key not
// below the pivot, j down to one not above it, the two swap, until they
// cross.  Returns the final i and j.
//
// Between i and j nothing has moved yet, so the k-th swap pairs the k-th
// position from the left whose key is at least the pivot with the k-th
// from the right whose key is at most the pivot, as long as the first is
// not right of the second.  Both lists are taken in one pass without a
// branch, then the swaps go without the scans' mispredicted exits; the
// same swaps in the same order as the scanning loops.
constexpr int kListed = 2048;  // longer parts scan key by key
constexpr int kScanned = 8;    // and so do short ones: their lists cost more than the exits

#ifdef OBJ_WIDE_LISTS
// Eight entries a step: as a 64-bit number an entry is key * 2^32 plus its
// face (below 2^32), so its key is at least the pivot when the number is at
// least pivot * 2^32, and at most the pivot when the number is at most
// pivot * 2^32 + 2^32 - 1.  The lists may be written up to 7 past their
// ends; entries past hi are not read.
__attribute__((target("avx512f,avx512vl"))) void wideLists(const MeshOrder* o, int lo, int hi, int32_t pivot,
                                                           int* up, int* down, int& nu, int& nd) {
  const int64_t base = int64_t(uint64_t(int64_t(pivot)) << 32);
  const __m512i low = _mm512_set1_epi64(base), high = _mm512_set1_epi64(base | 0xFFFFFFFFll);
  const __m256i step = _mm256_set1_epi32(8);
  __m256i at = _mm256_add_epi32(_mm256_set1_epi32(lo), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  int u = 0, d = 0;
  for (int k = lo; k <= hi; k += 8, at = _mm256_add_epi32(at, step)) {
    const __mmask8 live = __mmask8(hi - k >= 7 ? 0xFF : (1u << (hi - k + 1)) - 1);
    const __m512i e = _mm512_maskz_loadu_epi64(live, o + k);
    const __mmask8 a = _mm512_mask_cmpge_epi64_mask(live, e, low), b = _mm512_mask_cmple_epi64_mask(live, e, high);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(up + u), _mm256_maskz_compress_epi32(a, at));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(down + d), _mm256_maskz_compress_epi32(b, at));
    u += __builtin_popcount(a), d += __builtin_popcount(b);
  }
  nu = u, nd = d;
}
#endif

void partition(MeshOrder* o, int lo, int hi, int32_t pivot, int& iOut, int& jOut) {
  int i = lo, j = hi;
  const int n = hi - lo + 1;
  if (n > kListed || n <= kScanned) {
    while (i <= j) {
      while (o[i].key < pivot) ++i;
      while (o[j].key > pivot) --j;
      if (i <= j) std::swap(o[i++], o[j--]);
    }
    iOut = i, jOut = j;
    return;
  }
  // Ascending positions with key >= pivot, with key <= pivot.
  int up[kListed + 8], down[kListed + 8];
  int nu = 0, nd = 0;
#ifdef OBJ_WIDE_LISTS
  if (gWideLists) {
    wideLists(o, lo, hi, pivot, up, down, nu, nd);
  } else
#endif
  {
    for (int k = lo; k <= hi; ++k) {
      const int32_t key = o[k].key;
      up[nu] = k, down[nd] = k;
      nu += key >= pivot, nd += key <= pivot;
    }
  }
  const int pairs = std::min(nu, nd);
  int k = 0;
  for (; k < pairs && up[k] <= down[nd - 1 - k]; ++k) std::swap(o[up[k]], o[down[nd - 1 - k]]);
  if (k > 0) i = up[k - 1] + 1, j = down[nd - k] - 1;
  if (i <= j) {
    // The scans meet: i stops at the next listed position or at j + 1, j at
    // the next listed one below or just left of i (every key left of i is
    // at most the pivot).
    const int is = std::min(k < nu ? up[k] : hi + 1, j + 1);
    const int js = std::max(k < nd ? down[nd - 1 - k] : lo - 1, is - 1);
    i = is, j = js;
  }
  iOut = i, jOut = j;
}

}  // namespace

bool obj_UseWideSort(bool on) {
#ifdef OBJ_WIDE_LISTS
  gWideLists = on && kWideListsAvailable;
  return gWideLists;
#else
  (void)on;
  return false;
#endif
}

namespace {

// Ascending by key, around the middle element.  The larger part is looped
// over, so the depth stays logarithmic.  kSmall: ranges of two to four
// entries go by the tables below.
template <bool kSmall>
void sortRange(MeshOrder* o, int lo, int hi);

// Ranges of two to four entries are most of the ranges a sort meets (about
// 2,000 of 3,500 a frame in the show), and their scanning loops exit at
// places no predictor guesses.  The sort only compares keys, so where the
// entries of such a range end up depends on nothing but the outcome, below,
// equal or above, of comparing each pair of its keys: a table maps that
// outcome to the arrangement.  The tables are filled by running the
// partitions themselves on one range of every outcome, so ties end exactly
// as there.
constexpr int kTabled = 4;
struct SmallSorts {
  // For n entries: per outcome, the position each entry comes from.
  uint8_t from[kTabled + 1][729][kTabled] = {};
  static inline int outcome(const int32_t* key, int n) {
    int at = 0;
    for (int a = 0; a < n; ++a)
      for (int b = a + 1; b < n; ++b) at = at * 3 + (key[a] >= key[b]) + (key[a] > key[b]);
    return at;
  }
  SmallSorts() {
    // Keys 0..n-1 in every arrangement with repeats give every outcome.
    for (int n = 2; n <= kTabled; ++n) {
      int count = 1;
      for (int k = 0; k < n; ++k) count *= n;
      for (int code = 0; code < count; ++code) {
        MeshOrder range[kTabled];
        int32_t key[kTabled];
        for (int k = 0, c = code; k < n; ++k, c /= n) key[k] = c % n, range[k] = MeshOrder{k, key[k]};
        sortRange<false>(range, 0, n - 1);
        for (int k = 0; k < n; ++k) from[n][outcome(key, n)][k] = uint8_t(range[k].face);
      }
    }
  }
};
const SmallSorts kSmallSorts;
bool gSmallSorts = true;

template <int n>
inline void sortSmall(MeshOrder* o) {
  int32_t key[n];
  MeshOrder was[n];
  for (int k = 0; k < n; ++k) was[k] = o[k], key[k] = o[k].key;
  const uint8_t* from = kSmallSorts.from[n][SmallSorts::outcome(key, n)];
  for (int k = 0; k < n; ++k) o[k] = was[from[k]];
}

template <bool kSmall>
void sortRange(MeshOrder* o, int lo, int hi) {
  while (lo < hi) {
    if (kSmall && hi - lo < kTabled) {
      static_assert(kTabled == 4);
      hi - lo == 1 ? sortSmall<2>(o + lo) : hi - lo == 2 ? sortSmall<3>(o + lo) : sortSmall<4>(o + lo);
      return;
    }
    int i, j;
    partition(o, lo, hi, o[lo + (hi - lo) / 2].key, i, j);
    if (j - lo < hi - i) {
      sortRange<kSmall>(o, lo, j);
      lo = i;
    } else {
      sortRange<kSmall>(o, i, hi);
      hi = j;
    }
  }
}

}  // namespace

void obj_SortByDepth(MeshOrder* o, int lo, int hi) {
  gSmallSorts ? sortRange<true>(o, lo, hi) : sortRange<false>(o, lo, hi);
}

bool obj_UseSmallSortTables(bool on) {
  gSmallSorts = on;
  return gSmallSorts;
}

namespace {

inline int32_t fixed16(float v) { return plg_Trunc(v * 65536.0f); }

// Map coordinates of a normal, (n.x + 128, n.y + 128), in 16.16.
inline void mapPair(const MeshVec& n, int32_t* out) {
  out[0] = fixed16(n.x + 128);
  out[1] = fixed16(n.y + 128);
}

inline int squareOver128(float nz) {
  const int64_t n = std::abs(int64_t(plg_Trunc(nz)));
  return int(std::min<int64_t>(n * n / 128, 1 << 30));
}

// Flat colour of types 1 and 3 from the rotated normals' depth: at most half
// the colour, when all three face the eye.
uint32_t flatColour(const Mesh& m, const MeshFace& f, const ObjectPose& p) {
  const float nz = m.work[size_t(f.v[0])].z + m.work[size_t(f.v[1])].z + m.work[size_t(f.v[2])].z;
  const float k = float(std::abs(int64_t(plg_Trunc(nz)))) / 768;
  return uint32_t(plg_Trunc(k * float(p.rr))) * 65536u + uint32_t(plg_Trunc(k * float(p.gg))) * 256u +
         uint32_t(plg_Trunc(k * float(p.bb)));
}

void drawFace(const Mesh& m, const MeshFace& f, const ObjectPose& p) {
  const MeshVec* P[3] = {&m.transformed[size_t(f.v[0])], &m.transformed[size_t(f.v[1])],
                         &m.transformed[size_t(f.v[2])]};
  for (const MeshVec* q : P)
    if (q->z <= -kEye) return;  // no near clipping: the face goes
  const int t = OBJ.type;
  if (t == kWire) {
    const int c = p.bb;
    fill_Line(OBJ.target, P[0]->x, P[0]->y, P[1]->x, P[1]->y, c);
    fill_Line(OBJ.target, P[1]->x, P[1]->y, P[2]->x, P[2]->y, c);
    fill_Line(OBJ.target, P[0]->x, P[0]->y, P[2]->x, P[2]->y, c);
    return;
  }
  if (t != kTranslucent) {
    const float facing = (P[1]->y - P[0]->y) * (P[2]->x - P[0]->x) - (P[2]->y - P[0]->y) * (P[1]->x - P[0]->x);
    if (!(facing < 0)) return;
  }
  FillCorner corner[3];
  for (int k = 0; k < 3; ++k) {
    FillCorner& fc = corner[k];
    fc.x = P[k]->x, fc.y = P[k]->y;
    fc.a[0] = fc.a[1] = fc.a[2] = fc.a[3] = 0;
    const MeshVec& surface = m.normals[size_t(f.v[k])];
    const MeshVec& rotated = m.work[size_t(f.v[k])];
    switch (t) {
      case kGouraud: fc.a[0] = (squareOver128(rotated.z) & 255) << 16; break;
      case kHighlight:
      case kReflection:
      case kTextureHighlight:
        // Bump fills and type 8 take the surface pair first, the highlight pair second.
        if (OBJ.shade.mode == FillMode::HighlightAdd || OBJ.shade.mode == FillMode::Map) {
          mapPair(rotated, fc.a);
        } else {
          mapPair(surface, fc.a);
          mapPair(rotated, fc.a + 2);
        }
        break;
      case kTextureByNormals: mapPair(surface, fc.a); break;
      case kTextureGouraud: {
        mapPair(surface, fc.a);
        const int64_t n = std::abs(int64_t(plg_Trunc(rotated.z))), square = n * n;
        fc.a[2] = int32_t((square / 128 - (square >= 768 ? 5 : 0)) & 255) << 16;
        break;
      }
      default: break;
    }
  }
  if (t == kFlat) OBJ.shade.colour = flatColour(m, f, p) & 255u;
  if (t == kTranslucent) OBJ.shade.colour = flatColour(m, f, p);
  fill_Triangle(OBJ.target, OBJ.shade, corner);
}

}  // namespace

const Image* obj_HighlightMap() {
  if (!OBJ.highlight) OBJ.highlight = buildHighlight();
  return OBJ.highlight;
}

std::vector<int32_t> obj_BumpTable(const uint8_t* p) {
  std::vector<int32_t> table(65536, 0);
  for (int r = 1; r < 255; ++r)
    for (int c = 1; c < 255; ++c)
      table[size_t(r * 256 + c)] = (p[r * 256 + c - 1] - p[r * 256 + c + 1]) + 256 * (p[(r - 1) * 256 + c] - p[(r + 1) * 256 + c]);
  return table;
}

std::vector<int16_t> obj_NarrowBump(const std::vector<int32_t>& table) {
  if (table.size() != 65536) return {};
  for (int32_t v : table)
    if (v < INT16_MIN || v > INT16_MAX) return {};
  return std::vector<int16_t>(table.begin(), table.end());
}

bool obj_UseNarrowBump(bool on) {
  gNarrowBump = on;
  return gNarrowBump;
}

void obj_Draw(Mesh* mesh, const ObjectPose& pose, const int32_t* bump, const Image* texture, Image* dest,
              const int16_t* narrowBump) {
  if (!mesh || !dest || !dest->pixels || dest->width <= 0 || dest->height <= 0) return;
  const int t = pose.type;
  if (t < 0 || t >= Object::kTypes) return;
  const Image* highlight = obj_HighlightMap();
  const uint8_t* tex = texture && texture->pixels && int64_t(texture->width) * texture->height >= 65536
                           ? texture->pixels
                           : OBJ.black.data();
  OBJ.target = FillTarget{dest->pixels, dest->width, dest->height};
  OBJ.type = t;
  FillShade& s = OBJ.shade;
  s = FillShade{};
  s.source = t <= kGouraud ? highlight->pixels : tex;
  s.texture = tex;
  s.highlight = highlight->pixels;
  s.bump = bump;
  s.narrowBump = bump && gNarrowBump ? narrowBump : nullptr;
  s.base = int32_t(uint32_t(pose.rr) * 65536u + uint32_t(pose.gg) * 256u + uint32_t(pose.bb));
  switch (t) {
    case kFlat: s.mode = FillMode::Solid; break;
    case kHighlight: s.mode = bump ? FillMode::BumpAdd : FillMode::HighlightAdd; break;
    case kTranslucent: s.mode = FillMode::Blend; break;
    case kSolid: s.mode = FillMode::Solid, s.colour = uint32_t(s.base) & 255u; break;
    case kGouraud: s.mode = FillMode::Gouraud; break;
    case kTextureByNormals: s.mode = FillMode::Map; break;
    case kReflection: s.mode = bump ? FillMode::BumpMap : FillMode::Map; break;
    case kTextureHighlight: s.mode = bump ? FillMode::BumpTexture : FillMode::TextureHighlight; break;
    case kTextureGouraud: s.mode = FillMode::TextureGouraud; break;
    default: break;
  }

  Mesh& m = *mesh;
  const Rotation R(pose.a, pose.b, pose.c);
  const bool screenSpace = t == kSolid;
  const float W = float(dest->width), H = float(dest->height);
  for (int i = 0; i < m.vertexCount; ++i) {
    MeshVec v = R.apply(m.vertices[size_t(i)]);
    if (!screenSpace) v.x += pose.x, v.y += pose.y;
    v.z += pose.z;
    const float d = v.z + kEye;
    if (d != 0) {
      // The depth stays as it is: it sorts the faces and finds the near ones.
      const float px = pose.skew * v.x / d, py = pose.skew * v.y / d;
      v.x = screenSpace ? pose.x + px : W * 0.5f + px;
      v.y = screenSpace ? pose.y - py : H * 0.5f - py;
    }
    m.transformed[size_t(i)] = v;
    m.work[size_t(i)] = t == kTextureByNormals ? m.normals[size_t(i)] : R.apply(m.normals[size_t(i)]);
  }

  for (int f = 0; f < m.faceCount; ++f) {
    const int32_t* v = m.faces[size_t(f)].v;
    const float depth = m.transformed[size_t(v[0])].z + m.transformed[size_t(v[1])].z + m.transformed[size_t(v[2])].z;
    m.order[size_t(f)] = MeshOrder{f, plg_Trunc(depth)};
  }
  if (m.faceCount > 1) obj_SortByDepth(m.order.data(), 0, m.faceCount - 1);
  for (int k = m.faceCount - 1; k >= 0; --k) drawFace(m, m.faces[size_t(m.order[size_t(k)].face)], pose);
}

// ---------------------------------------------------------------------------
Object::Object(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kObjectParams);
  plg_Trace(" -> %s:%s(%s) ", decl->label.c_str(), decl->type.c_str(), decl->params.c_str());
  const std::string objName = read.word();
  const std::string bumpName = read.word();
  mesh = mesh_Load(objName.c_str());
  if (!mesh) plg_Error(nullptr, "object '%s' not found", objName.c_str());
  Image* heights = bumpName.empty() ? nullptr : img_LoadTexture(bumpName.c_str());
  if (heights) {
    if (heights->width != 256 || heights->height != 256) {
      Image* scaled = img_Create(256, 256);
      img_Scale(heights, scaled);
      img_Destroy(heights);
      heights = scaled;
    }
    bump = obj_BumpTable(heights->pixels);
    narrowBump = obj_NarrowBump(bump);
    img_Destroy(heights);
    plg_Trace("-> (%s,%s)\n", objName.c_str(), bumpName.c_str());
  } else {
    plg_Trace("-> (%s)\n", objName.c_str());
  }
  in = read.image();
  tex = read.image();
  x = read.value();
  y = read.value();
  z = read.value();
  rr = read.value();
  gg = read.value();
  bb = read.value();
  a = read.value();
  b = read.value();
  c = read.value();
  skew = read.value();
  type = read.value();
}

Object::~Object() { mesh_Free(mesh); }

Image* Object::onStream(int width, int height) {
  ObjectPose p;
  p.type = plg_Trunc(type->value());
  if (p.type > 9 || p.type < 0) reportPluginError(this, "unknown shading");
  Image* dest = in->stream(width, height);
  Image* texture = tex->stream(256, 256);
  p.c = c->value(), p.b = b->value(), p.a = a->value();
  p.bb = plg_Trunc(bb->value()), p.gg = plg_Trunc(gg->value()), p.rr = plg_Trunc(rr->value());
  p.z = z->value(), p.y = y->value(), p.x = x->value();
  p.skew = skew->value();
  obj_Draw(mesh, p, bump.empty() ? nullptr : bump.data(), texture, dest,
           narrowBump.empty() ? nullptr : narrowBump.data());
  return dest;
}
