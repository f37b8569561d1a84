// scenec: the scene compiler.
//
//   scenec gen NAME DIR                       write a built-in world as DIR/NAME.obj,
//                                             NAME.mtl and its maps (komin3d, valec3d)
//   scenec compile IN.obj OUT [--slot N] [--maps DIR] [--eye X Y Z]
//
// compile turns an OBJ with materials and texture coordinates into a scene
// file with a BSP tree, and writes each material's map as the slot's
// "map%04d.png" into DIR (default: beside OUT).  Materials are numbered in
// the order the MTL declares them.  A triangle's front is the side its
// corners run anticlockwise from, as OBJ has it.  Exit status 0 on success,
// 1 on a bad input, 2 on a usage error.
#include "scenec.h"

#include "assets/assets.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

bool powerOfTwoWidth(int w) { return w == 16 || w == 32 || w == 64 || w == 128 || w == 256 || w == 512; }

int depthOf(const std::vector<ScnTreeNode>& nodes) {
  int deepest = 0;
  std::vector<std::pair<int, int>> stack;
  if (!nodes.empty()) stack.push_back({0, 1});
  while (!stack.empty()) {
    const auto [n, d] = stack.back();
    stack.pop_back();
    deepest = std::max(deepest, d);
    if (nodes[size_t(n)].front >= 0) stack.push_back({nodes[size_t(n)].front, d + 1});
    if (nodes[size_t(n)].back >= 0) stack.push_back({nodes[size_t(n)].back, d + 1});
  }
  return deepest;
}

int runGen(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "scenec gen: NAME DIR expected\n");
    return 2;
  }
  ObjMesh mesh;
  if (!world_Make(argv[0], &mesh)) {
    std::fprintf(stderr, "scenec gen: no world named '%s'\n", argv[0]);
    return 2;
  }
  std::string error;
  if (!obj_Write(argv[1], argv[0], mesh, &error)) {
    std::fprintf(stderr, "scenec gen: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: %zu vertices, %zu triangles, %zu materials\n", argv[0], mesh.positions.size(),
              mesh.faces.size(), mesh.materials.size());
  return 0;
}

int runCompile(int argc, char** argv) {
  const char* in = nullptr;
  const char* out = nullptr;
  std::string maps;
  int slot = 0;
  float eye[3] = {0, 0, 0};
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--slot") == 0 && i + 1 < argc) {
      slot = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--maps") == 0 && i + 1 < argc) {
      maps = argv[++i];
    } else if (std::strcmp(argv[i], "--eye") == 0 && i + 3 < argc) {
      for (float& e : eye) e = float(std::atof(argv[++i]));
    } else if (!in) {
      in = argv[i];
    } else if (!out) {
      out = argv[i];
    } else {
      std::fprintf(stderr, "scenec compile: unexpected argument '%s'\n", argv[i]);
      return 2;
    }
  }
  if (!in || !out || slot < 0 || slot >= kSceneSlots) {
    std::fprintf(stderr, "scenec compile: IN.obj OUT [--slot 0..%d] [--maps DIR] expected\n", kSceneSlots - 1);
    return 2;
  }
  if (maps.empty()) {
    const std::string o = out;
    const size_t slash = o.find_last_of('/');
    maps = slash == std::string::npos ? "." : o.substr(0, slash);
  }
  ObjMesh obj;
  std::string error;
  if (!obj_Read(in, &obj, &error)) {
    std::fprintf(stderr, "scenec compile: %s\n", error.c_str());
    return 1;
  }
  ScnMesh mesh;
  mesh.vertices = obj.positions;
  for (const ObjMesh::Face& f : obj.faces) {
    ScnMeshTriangle t{};
    const Material* m = f.material >= 0 ? &obj.materials[size_t(f.material)] : nullptr;
    t.material = f.material >= 0 ? f.material : 0;
    t.texWidth = m ? m->width : 0;
    t.texHeight = m ? m->height : 0;
    for (int k = 0; k < 3; ++k) {
      t.vertex[k] = f.vertex[k];
      // OBJ's v runs up the map, texel rows down it.
      t.u[k] = f.tex[k] >= 0 ? obj.tu[size_t(f.tex[k])] * float(t.texWidth) : 0;
      t.v[k] = f.tex[k] >= 0 ? (1 - obj.tv[size_t(f.tex[k])]) * float(t.texHeight) : 0;
    }
    mesh.triangles.push_back(t);
  }
  const size_t before = mesh.triangles.size();
  const std::vector<ScnTreeNode> nodes = scn_CompileMesh(&mesh);
  size_t after = 0;
  for (const ScnTreeNode& n : nodes) after += n.group.size();
  const std::vector<uint8_t> bytes = scn_WriteScene(eye, mesh.vertices, nodes);
  std::ofstream file(out, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "scenec compile: cannot write %s\n", out);
    return 1;
  }
  for (size_t i = 0; i < obj.materials.size(); ++i) {
    const Material& m = obj.materials[i];
    if (m.grey.empty()) continue;
    if (!powerOfTwoWidth(m.width))
      std::fprintf(stderr, "scenec compile: warning: map of %s is %d wide; it will not be drawn\n",
                   m.name.c_str(), m.width);
    const std::string path = maps + "/" + scn_MaterialName(slot, int(i));
    if (!img_WritePng(path.c_str(), m.grey.data(), m.width, m.height)) {
      std::fprintf(stderr, "scenec compile: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  std::printf("%s: %zu triangles in, %zu out, %zu nodes, depth %d, %zu vertices, %zu bytes\n", out, before,
              after, nodes.size(), depthOf(nodes), mesh.vertices.size(), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "gen") == 0) return runGen(argc - 2, argv + 2);
  if (argc >= 2 && std::strcmp(argv[1], "compile") == 0) return runCompile(argc - 2, argv + 2);
  std::fprintf(stderr,
               "usage: scenec gen NAME DIR\n"
               "       scenec compile IN.obj OUT [--slot N] [--maps DIR] [--eye X Y Z]\n");
  return 2;
}
