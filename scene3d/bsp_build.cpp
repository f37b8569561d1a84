// Compiling a triangle mesh into the BSP tree a scene file holds.  Used by
// the scene compiler, the tests and the benchmarks; never while a show runs.
//
// A node's group holds the triangles on its splitting plane that face the
// same way as the first: the walk draws a group untested when the eye is in
// front of that first plane, so a group must never hold a back face.
#include "scene3d/scene3d.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// Points closer to a plane than this are on it.  World units are metres,
// give or take; the worlds we build are a few hundred across.
constexpr float kOnPlane = 1e-3f;
// Candidates looked at per node: enough to find split-free planes in the
// shapes we build, few enough to keep large meshes quick.
constexpr size_t kCandidates = 24;

struct Corner {
  int32_t vertex;
  float u, v;
};

struct Tri {
  Corner c[3];
  int32_t material, texWidth, texHeight;
  float plane[4];
};

struct Builder {
  ScnMesh* mesh;
  std::vector<ScnTreeNode> nodes;

  float dist(const float* p, int32_t vi) const {
    const Vec3& v = mesh->vertices[size_t(vi)];
    return p[0] * v.x + p[1] * v.y + p[2] * v.z + p[3];
  }
  // -1 behind, +1 in front, 0 on the plane, 2 across it.
  int classify(const float* p, const Tri& t) const {
    bool front = false, back = false;
    for (const Corner& c : t.c) {
      const float d = dist(p, c.vertex);
      front |= d > kOnPlane;
      back |= d < -kOnPlane;
    }
    return front && back ? 2 : front ? 1 : back ? -1 : 0;
  }

  Corner cut(const float* p, const Corner& a, const Corner& b) {
    const float da = dist(p, a.vertex), db = dist(p, b.vertex);
    const float s = da / (da - db);
    const Vec3 va = mesh->vertices[size_t(a.vertex)], vb = mesh->vertices[size_t(b.vertex)];
    mesh->vertices.push_back({va.x + s * (vb.x - va.x), va.y + s * (vb.y - va.y), va.z + s * (vb.z - va.z)});
    return {int32_t(mesh->vertices.size() - 1), a.u + s * (b.u - a.u), a.v + s * (b.v - a.v)};
  }

  // Cuts a straddling triangle into triangles on either side; each keeps
  // its parent's plane, so slivers cannot tilt it.
  void split(const float* p, const Tri& t, std::vector<Tri>* front, std::vector<Tri>* back) {
    Corner f[4], b[4];
    int nf = 0, nb = 0;
    for (int k = 0; k < 3; ++k) {
      const Corner& s = t.c[k];
      const Corner& e = t.c[(k + 1) % 3];
      const float ds = dist(p, s.vertex), de = dist(p, e.vertex);
      const int ss = ds > kOnPlane ? 1 : ds < -kOnPlane ? -1 : 0;
      const int se = de > kOnPlane ? 1 : de < -kOnPlane ? -1 : 0;
      if (ss >= 0) f[nf++] = s;
      if (ss <= 0) b[nb++] = s;
      if (ss * se < 0) {
        const Corner c = cut(p, s, e);
        f[nf++] = c;
        b[nb++] = c;
      }
    }
    auto emit = [&](const Corner* ring, int n, std::vector<Tri>* out) {
      for (int k = 1; k + 1 < n; ++k) {
        Tri piece = t;
        piece.c[0] = ring[0], piece.c[1] = ring[k], piece.c[2] = ring[k + 1];
        out->push_back(piece);
      }
    };
    emit(f, nf, front);
    emit(b, nb, back);
  }

  int build(std::vector<Tri> tris) {
    // The candidate that splits least and balances best.
    size_t best = 0;
    long bestScore = -1;
    const size_t stride = std::max<size_t>(1, tris.size() / kCandidates);
    for (size_t i = 0; i < tris.size(); i += stride) {
      long splits = 0, nfront = 0, nback = 0;
      for (const Tri& t : tris) {
        const int c = classify(tris[i].plane, t);
        splits += c == 2, nfront += c == 1, nback += c == -1;
      }
      const long score = 8 * splits + std::labs(nfront - nback);
      if (bestScore < 0 || score < bestScore) bestScore = score, best = i;
    }
    const int id = int(nodes.size());
    nodes.emplace_back();
    const float* p = tris[best].plane;
    float plane[4] = {p[0], p[1], p[2], p[3]};
    std::vector<Tri> front, back;
    std::vector<ScnTriangle> group;
    for (const Tri& t : tris) {
      const int c = classify(plane, t);
      const bool same = t.plane[0] * plane[0] + t.plane[1] * plane[1] + t.plane[2] * plane[2] > 0;
      if (c == 0 && same) {
        ScnTriangle out;
        out.material = t.material, out.texWidth = t.texWidth, out.texHeight = t.texHeight;
        for (int k = 0; k < 4; ++k) out.plane[k] = t.plane[k];
        for (int k = 0; k < 3; ++k) {
          out.vertex[k] = t.c[k].vertex;
          out.u[k] = int32_t(std::lround(t.c[k].u));
          out.v[k] = int32_t(std::lround(t.c[k].v));
        }
        // The splitter itself first: the walk judges the node by it.
        if (&t == &tris[best]) group.insert(group.begin(), out);
        else group.push_back(out);
      } else if (c == 1) {
        front.push_back(t);
      } else if (c == -1 || c == 0) {
        back.push_back(t);
      } else {
        split(plane, t, &front, &back);
      }
    }
    std::vector<Tri>().swap(tris);
    nodes[size_t(id)].group = std::move(group);
    if (!front.empty()) {
      const int f = build(std::move(front));
      nodes[size_t(id)].front = f;
    }
    if (!back.empty()) {
      const int b = build(std::move(back));
      nodes[size_t(id)].back = b;
    }
    return id;
  }
};

}  // namespace

std::vector<ScnTreeNode> scn_CompileMesh(ScnMesh* mesh) {
  Builder b{mesh, {}};
  std::vector<Tri> tris;
  for (const ScnMeshTriangle& m : mesh->triangles) {
    Tri t;
    for (int k = 0; k < 3; ++k) t.c[k] = {m.vertex[k], m.u[k], m.v[k]};
    t.material = m.material, t.texWidth = m.texWidth, t.texHeight = m.texHeight;
    const Vec3 a = mesh->vertices[size_t(m.vertex[0])];
    const Vec3 p = mesh->vertices[size_t(m.vertex[1])];
    const Vec3 q = mesh->vertices[size_t(m.vertex[2])];
    const float e1[3] = {p.x - a.x, p.y - a.y, p.z - a.z}, e2[3] = {q.x - a.x, q.y - a.y, q.z - a.z};
    float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
    const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(len > 0)) continue;  // no plane: nothing to draw
    for (float& c : n) c /= len;
    t.plane[0] = n[0], t.plane[1] = n[1], t.plane[2] = n[2];
    t.plane[3] = -(n[0] * a.x + n[1] * a.y + n[2] * a.z);
    tris.push_back(t);
  }
  if (!tris.empty()) b.build(std::move(tris));
  return std::move(b.nodes);
}
