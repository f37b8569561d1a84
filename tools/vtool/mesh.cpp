// vtool mesh FILE: what the engine's loader makes of a mesh file: its
// status, counts, bounds, and how many faces are degenerate and vertices
// unused.  Exit status 0 when it loads, 1 when refused, 2 for a file error.
#include "tools/vtool/vtool.h"

#include "effects/effects.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int vtool_Mesh(int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr, "vtool mesh: give one FILE\n");
    return kExitUsage;
  }
  std::ifstream in(argv[0], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "vtool mesh: cannot open %s\n", argv[0]);
    return kExitUsage;
  }
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  MeshStatus status;
  Mesh* m = mesh_Parse(bytes.data(), bytes.size(), &status);
  std::printf("status %s\n", mesh_StatusText(status));
  if (!m) return kExitRefused;
  std::printf("vertices %d\nfaces %d\n", m->vertexCount, m->faceCount);
  if (m->vertexCount > 0) {
    MeshVec lo = m->vertices[0], hi = m->vertices[0];
    for (const MeshVec& v : m->vertices) {
      lo = {std::min(lo.x, v.x), std::min(lo.y, v.y), std::min(lo.z, v.z)};
      hi = {std::max(hi.x, v.x), std::max(hi.y, v.y), std::max(hi.z, v.z)};
    }
    std::printf("bounds x %g..%g y %g..%g z %g..%g\n", lo.x, hi.x, lo.y, hi.y, lo.z, hi.z);
  }
  int degenerate = 0, unused = 0;
  for (int f = 0; f < m->faceCount; ++f) {
    const MeshVec& n = m->work[size_t(f)];
    degenerate += n.x == 0 && n.y == 0 && n.z == 0;
  }
  for (const MeshVec& n : m->normals) unused += n.x == 0 && n.y == 0 && n.z == 0;
  std::printf("degenerate-faces %d\nzero-normals %d\n", degenerate, unused);
  if (bytes.size() > size_t(4 + 6 * (m->vertexCount + m->faceCount)))
    std::printf("trailing-bytes %zu\n", bytes.size() - size_t(4 + 6 * (m->vertexCount + m->faceCount)));
  mesh_Free(m);
  return 0;
}
