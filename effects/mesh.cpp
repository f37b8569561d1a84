// The mesh format: reading an entry, face normals and vertex normals of
// length 128.  Every count and index from the file is checked here, once, so
// that the renderer can trust them.
#include "effects/effects.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

int16_t readLE16(const uint8_t* p) { return int16_t(uint16_t(p[0] | p[1] << 8)); }

// Face normals, unnormalised: (B - A) x (C - A), in floats as the
// coordinates are.
void faceNormals(Mesh& m) {
  for (int f = 0; f < m.faceCount; ++f) {
    const MeshVec& A = m.vertices[size_t(m.faces[f].v[0])];
    const MeshVec& B = m.vertices[size_t(m.faces[f].v[1])];
    const MeshVec& C = m.vertices[size_t(m.faces[f].v[2])];
    MeshVec& N = m.work[size_t(f)];
    N.x = (B.y - A.y) * (C.z - A.z) - (B.z - A.z) * (C.y - A.y);
    N.y = (B.z - A.z) * (C.x - A.x) - (B.x - A.x) * (C.z - A.z);
    N.z = (B.x - A.x) * (C.y - A.y) - (B.y - A.y) * (C.x - A.x);
  }
}

// The mean of the normals of the faces around each vertex, scaled to 128.
// One pass over the faces adds each face to its corners in face order, which
// gives every vertex the same sum, term for term, as a scan of all faces per
// vertex would, at nf instead of nv x nf steps.
void vertexNormals(Mesh& m) {
  std::vector<MeshVec> sum(size_t(m.vertexCount), MeshVec{0, 0, 0});
  std::vector<int> count(size_t(m.vertexCount), 0);
  for (int f = 0; f < m.faceCount; ++f) {
    const int32_t* v = m.faces[f].v;
    const MeshVec& N = m.work[size_t(f)];
    for (int k = 0; k < 3; ++k) {
      // A face that names a vertex twice counts once for it.
      if ((k >= 1 && v[k] == v[0]) || (k == 2 && v[2] == v[1])) continue;
      MeshVec& s = sum[size_t(v[k])];
      s.x += N.x, s.y += N.y, s.z += N.z;
      ++count[size_t(v[k])];
    }
  }
  for (int i = 0; i < m.vertexCount; ++i) {
    MeshVec& n = m.normals[size_t(i)];
    const int k = count[size_t(i)];
    if (k == 0) {
      n = MeshVec{0, 0, 0};  // no face uses it: nothing to shade by
      continue;
    }
    const MeshVec mean{sum[size_t(i)].x / float(k), sum[size_t(i)].y / float(k), sum[size_t(i)].z / float(k)};
    float L = float(std::sqrt(double(mean.x) * mean.x + double(mean.y) * mean.y + double(mean.z) * mean.z));
    if (L == 0) L = 1;
    n = MeshVec{mean.x / L * 128, mean.y / L * 128, mean.z / L * 128};
  }
}

}  // namespace

const char* mesh_StatusText(MeshStatus s) {
  switch (s) {
    case MeshStatus::Ok: return "ok";
    case MeshStatus::Missing: return "no such entry";
    case MeshStatus::BadCount: return "negative vertex or face count";
    case MeshStatus::Short: return "entry shorter than its counts announce";
    case MeshStatus::BadIndex: return "face index outside the vertices";
  }
  return "unknown mesh status";
}

Mesh* mesh_Parse(const uint8_t* data, size_t size, MeshStatus* status) {
  MeshStatus dummy;
  MeshStatus& st = status ? *status : dummy;
  if (size < 4) {
    st = MeshStatus::Short;
    return nullptr;
  }
  const int nv = readLE16(data) + 1, nf = readLE16(data + 2) + 1;
  if (nv < 0 || nf < 0) {
    st = MeshStatus::BadCount;
    return nullptr;
  }
  if (size < 4 + size_t(nv) * 6 + size_t(nf) * 6) {
    st = MeshStatus::Short;
    return nullptr;
  }
  const uint8_t* p = data + 4;
  Mesh* m = new Mesh;
  m->vertexCount = nv;
  m->faceCount = nf;
  m->vertices.resize(size_t(nv));
  for (MeshVec& v : m->vertices) {
    v = MeshVec{float(readLE16(p)), float(readLE16(p + 2)), float(readLE16(p + 4))};
    p += 6;
  }
  m->faces.resize(size_t(nf));
  for (MeshFace& f : m->faces) {
    for (int k = 0; k < 3; ++k) {
      f.v[k] = readLE16(p + 2 * k);
      if (f.v[k] < 0 || f.v[k] >= nv) {
        delete m;
        st = MeshStatus::BadIndex;
        return nullptr;
      }
    }
    p += 6;
  }
  m->order.resize(size_t(nf));
  m->transformed.resize(size_t(nv));
  m->normals.resize(size_t(nv));
  m->work.resize(size_t(std::max(nv, nf)));
  faceNormals(*m);
  vertexNormals(*m);
  st = MeshStatus::Ok;
  return m;
}

Mesh* mesh_Load(const char* name, MeshStatus* status) {
  MeshStatus dummy;
  MeshStatus& st = status ? *status : dummy;
  FILE* f = dat_Find(name);
  if (!f) {
    st = MeshStatus::Missing;
    return nullptr;
  }
  // The archive stores no sizes: an entry ends where the next one begins,
  // or at the end of the file.
  const int32_t start = dat_Offset(name);
  long end = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) end = std::ftell(f);
  for (const DatEntry& e : dat_Directory())
    if (e.offset > start && e.offset < end) end = e.offset;
  std::vector<uint8_t> bytes;
  if (end > start && std::fseek(f, start, SEEK_SET) == 0) {
    // At most the largest mesh the counts can describe.
    const size_t most = 4 + 32768u * 6 * 2;
    bytes.resize(std::min(size_t(end - start), most));
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
  }
  std::fclose(f);
  return mesh_Parse(bytes.data(), bytes.size(), &st);
}

void mesh_Free(Mesh* mesh) { delete mesh; }
