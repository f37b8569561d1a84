// Scene and keyframer readers, the slot table and the material maps.
//
// Files come from the archive whole, so the readers work on memory: a read
// past the end gives zeros and marks the reader, and the mark is looked at
// once per record.  Nothing a file says makes them read past their buffer,
// allocate more than the file could describe, or recurse: the pre-order tree
// and the key lists are read with explicit stacks and loops.
#include "scene3d/scene3d.h"

#include "codecs/codecs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

struct Reader {
  const uint8_t* p;
  size_t size;
  size_t pos = 0;
  bool ended = false;

  Reader(const uint8_t* data, size_t n) : p(data), size(n) {}
  size_t left() const { return size - pos; }
  void bytes(void* out, size_t n) {
    if (n > left()) {
      std::memset(out, 0, n);
      ended = true;
      pos = size;
      return;
    }
    std::memcpy(out, p + pos, n);
    pos += n;
  }
  uint8_t u8() {
    uint8_t v;
    bytes(&v, 1);
    return v;
  }
  uint16_t u16() {
    uint8_t b[2];
    bytes(b, 2);
    return uint16_t(b[0] | b[1] << 8);
  }
  int32_t i32() {
    uint8_t b[4];
    bytes(b, 4);
    return int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
  }
  float f32() {
    const int32_t bits = i32();
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }
};

constexpr size_t kVertexBytes = 12;

struct SlotTable {
  SceneSlot slots[kSceneSlots];
  int current = 0;  // names the material maps while a scene file is read
};
SlotTable SLOTS;

Image* archiveMap(const char* name) { return img_LoadTexture(name); }

// One node's polygon group and its two child flags.
ScnStatus readNode(Reader& r, SceneModel* m, int slot, ScnMapLoader loader, std::map<int, Image*>& maps,
                   BspNode* node, bool* front, bool* back) {
  node->first = int32_t(m->polygons.size());
  while (r.u8() != 0) {
    ScenePolygon poly;
    poly.material = r.i32();
    poly.texWidth = r.i32();
    poly.texHeight = r.i32();
    poly.a = r.f32(), poly.b = r.f32(), poly.c = r.f32(), poly.d = r.f32();
    for (int k = 2; k >= 0; --k) {  // each corner is pushed at the head
      PolygonCorner& c = poly.corner[k];
      c.u = r.i32(), c.v = r.i32(), c.vertex = r.i32();
    }
    if (r.ended) return ScnStatus::Truncated;
    for (const PolygonCorner& c : poly.corner)
      if (c.vertex < 0 || size_t(c.vertex) >= m->vertices.size()) return ScnStatus::BadVertexIndex;
    auto it = maps.find(poly.material);
    if (it == maps.end()) {
      Image* img = loader(scn_MaterialName(slot, poly.material).c_str());
      if (img) m->maps.push_back(img);
      it = maps.emplace(poly.material, img).first;
    }
    poly.map = it->second;
    m->polygons.push_back(poly);
  }
  node->count = int32_t(m->polygons.size()) - node->first;
  // Drawing visits the first polygon read, then the later ones newest first.
  if (node->count > 2) std::reverse(m->polygons.begin() + node->first + 1, m->polygons.end());
  *front = r.u8() != 0;
  *back = r.u8() != 0;
  return r.ended ? ScnStatus::Truncated : ScnStatus::Ok;
}

ScnStatus readKeyList(Reader& r, std::vector<CameraKey>* keys) {
  while (r.u8() != 0) {
    CameraKey k;
    for (float& f : k.position) f = r.f32();
    k.time = r.f32();
    for (float& f : k.out) f = r.f32();
    for (float& f : k.in) f = r.f32();
    k.end = r.f32();
    if (r.ended) return ScnStatus::Truncated;
    keys->push_back(k);
  }
  return r.ended ? ScnStatus::Truncated : ScnStatus::Ok;
}

}  // namespace

SceneModel::~SceneModel() {
  for (Image* img : maps) img_Destroy(img);
}

const char* scn_StatusText(ScnStatus s) {
  switch (s) {
    case ScnStatus::Ok: return "ok";
    case ScnStatus::NotFound: return "not found";
    case ScnStatus::Truncated: return "file ends inside a record";
    case ScnStatus::BadVertexCount: return "vertex count out of range";
    case ScnStatus::BadVertexIndex: return "corner names a vertex outside the vertex array";
  }
  return "unknown";
}

std::string scn_MaterialName(int slot, int material) {
  char name[32];
  std::snprintf(name, sizeof name, "map%04d.png", int(int64_t(slot) * 1000 + material));
  return name;
}

ScnStatus scn_ParseScene(const uint8_t* data, size_t size, int slot, SceneModel* m, ScnMapLoader loader) {
  if (!loader) loader = archiveMap;
  Reader r(data, size);
  for (float& f : m->eye) f = r.f32();
  for (float& f : m->spare) f = r.f32();
  const int32_t n = r.i32();
  if (r.ended) return ScnStatus::Truncated;
  if (n < 0 || size_t(n) > r.left() / kVertexBytes) return ScnStatus::BadVertexCount;
  m->vertices.resize(size_t(n));
  for (int32_t i = 0; i < n; ++i) {
    SceneVertex& v = m->vertices[size_t(i)];
    v.index = i;
    v.x = r.f32(), v.y = r.f32(), v.z = r.f32();
  }

  // Pre-order: a node, its whole front subtree, then its whole back subtree.
  struct Pending {
    int node;
    bool front, back;
  };
  std::vector<Pending> stack;
  std::map<int, Image*> maps;
  // parent < 0: the root.  Links go by index: the node array grows.
  auto open = [&](int parent, bool isFront) {
    const int id = int(m->nodes.size());
    m->nodes.emplace_back();
    if (parent >= 0) (isFront ? m->nodes[size_t(parent)].front : m->nodes[size_t(parent)].back) = id;
    BspNode node = m->nodes[size_t(id)];
    Pending p{id, false, false};
    const ScnStatus st = readNode(r, m, slot, loader, maps, &node, &p.front, &p.back);
    m->nodes[size_t(id)].first = node.first;
    m->nodes[size_t(id)].count = node.count;
    stack.push_back(p);
    return st;
  };
  ScnStatus st = open(-1, false);
  while (st == ScnStatus::Ok && !stack.empty()) {
    Pending& top = stack.back();
    const int id = top.node;
    if (top.front) {
      top.front = false;
      st = open(id, true);
    } else if (top.back) {
      top.back = false;
      st = open(id, false);
    } else {
      stack.pop_back();
    }
  }
  return st;
}

ScnStatus scn_ParseKeys(const uint8_t* data, size_t size, Keyframer* k) {
  Reader r(data, size);
  k->firstFrame = r.u16();
  k->lastFrame = r.u16();
  k->trackCount = r.u16();
  if (r.ended) return ScnStatus::Truncated;
  for (int32_t t = 0; t < k->trackCount; ++t) {
    KeyTrack track;
    (void)r.u16();  // track id, unused
    const uint8_t len = r.u8();
    if (len > 0) {
      track.named = true;
      track.name.resize(len);
      r.bytes(&track.name[0], len);
    }
    if (r.ended) return ScnStatus::Truncated;
    ScnStatus st = readKeyList(r, &track.position);
    if (st == ScnStatus::Ok) st = readKeyList(r, &track.target);
    if (st != ScnStatus::Ok) return st;
    k->tracks.push_back(std::move(track));
  }
  return ScnStatus::Ok;
}

bool scn_ReadEntry(const char* name, std::vector<uint8_t>* bytes) {
  FILE* f = dat_Find(name);
  if (!f) return false;
  const long start = std::ftell(f);
  long end = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) end = std::ftell(f);
  for (const DatEntry& e : dat_Directory())
    if (e.offset > start && e.offset < end) end = e.offset;
  bool ok = start >= 0 && end >= start && std::fseek(f, start, SEEK_SET) == 0;
  if (ok) {
    bytes->resize(size_t(end - start));
    ok = std::fread(bytes->data(), 1, bytes->size(), f) == bytes->size();
  }
  std::fclose(f);
  return ok;
}

bool scn_LoadSlot(int idx, const char* sceneName, const char* keysName) {
  if (idx < 0 || idx >= kSceneSlots) return false;
  SLOTS.current = idx;
  SceneSlot& s = SLOTS.slots[idx];
  delete s.model;
  delete s.keys;
  s.model = nullptr;
  s.keys = nullptr;

  std::vector<uint8_t> bytes;
  s.sceneStatus = ScnStatus::NotFound;
  if (scn_ReadEntry(sceneName, &bytes)) {
    auto* m = new SceneModel;
    s.sceneStatus = scn_ParseScene(bytes.data(), bytes.size(), SLOTS.current, m);
    if (s.sceneStatus == ScnStatus::Ok) s.model = m;
    else delete m;
  }
  s.loaded = true;
  s.keysStatus = ScnStatus::NotFound;
  if (scn_ReadEntry(keysName, &bytes)) {
    auto* k = new Keyframer;
    s.keysStatus = scn_ParseKeys(bytes.data(), bytes.size(), k);
    if (s.keysStatus == ScnStatus::Ok) s.keys = k;
    else delete k;
  }
  return s.model && s.keys;
}

void scn_SetSlot(int idx, SceneModel* model, Keyframer* keys) {
  if (idx < 0 || idx >= kSceneSlots) {
    delete model;
    delete keys;
    return;
  }
  SceneSlot& s = SLOTS.slots[idx];
  delete s.model;
  delete s.keys;
  s.model = model;
  s.keys = keys;
  s.loaded = true;
  s.sceneStatus = model ? ScnStatus::Ok : ScnStatus::NotFound;
  s.keysStatus = keys ? ScnStatus::Ok : ScnStatus::NotFound;
}

const SceneSlot* scn_Slot(int idx) { return idx >= 0 && idx < kSceneSlots ? &SLOTS.slots[idx] : nullptr; }

void scn_FreeSlots() {
  for (int i = 0; i < kSceneSlots; ++i) {
    scn_SetSlot(i, nullptr, nullptr);
    SLOTS.slots[i].loaded = false;
  }
}
