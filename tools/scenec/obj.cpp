// Wavefront OBJ and MTL, the part a textured triangle mesh needs: v, vt, f,
// usemtl, mtllib; newmtl and map_Kd.  Maps are read with the engine's own
// PNG decoder, so the compiler sees the texels the show will show.
#include "scenec.h"

#include "assets/assets.h"
#include "codecs/codecs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string dirOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool readMap(const std::string& path, Material* m, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = "cannot open map " + path;
    return false;
  }
  PngInfo info;
  const PngStatus st = png_LoadLumaFile(f, &info, &m->grey);
  std::fclose(f);
  m->width = info.width, m->height = info.height;
  png_FreeInfo(&info);
  if (st != PngStatus::Ok) {
    *error = "map " + path + ": " + png_StatusText(st);
    return false;
  }
  return true;
}

bool readMtl(const std::string& path, ObjMesh* mesh, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream s(line);
    std::string word;
    s >> word;
    if (word == "newmtl") {
      Material m;
      s >> m.name;
      mesh->materials.push_back(m);
    } else if (word == "map_Kd" && !mesh->materials.empty()) {
      std::string file;
      s >> file;
      mesh->materials.back().mapFile = file;
      if (!readMap(dirOf(path) + file, &mesh->materials.back(), error)) return false;
    }
  }
  return true;
}

// OBJ indices count from 1; negative ones count back from the last.
int32_t objIndex(long i, size_t count) { return int32_t(i < 0 ? long(count) + i : i - 1); }

}  // namespace

bool obj_Read(const std::string& path, ObjMesh* mesh, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  std::string line;
  int32_t material = -1;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    std::istringstream s(line);
    std::string word;
    s >> word;
    if (word == "v") {
      Vec3 v{};
      s >> v.x >> v.y >> v.z;
      mesh->positions.push_back(v);
    } else if (word == "vt") {
      float u = 0, v = 0;
      s >> u >> v;
      mesh->tu.push_back(u), mesh->tv.push_back(v);
    } else if (word == "mtllib") {
      std::string lib;
      s >> lib;
      if (!readMtl(dirOf(path) + lib, mesh, error)) return false;
    } else if (word == "usemtl") {
      std::string name;
      s >> name;
      material = -1;
      for (size_t i = 0; i < mesh->materials.size(); ++i)
        if (mesh->materials[i].name == name) material = int32_t(i);
      if (material < 0) {
        *error = path + ":" + std::to_string(lineNo) + ": unknown material " + name;
        return false;
      }
    } else if (word == "f") {
      std::vector<int32_t> vs, ts;
      std::string item;
      while (s >> item) {
        const long vi = std::strtol(item.c_str(), nullptr, 10);
        const size_t slash = item.find('/');
        long ti = 0;
        if (slash != std::string::npos && slash + 1 < item.size() && item[slash + 1] != '/')
          ti = std::strtol(item.c_str() + slash + 1, nullptr, 10);
        vs.push_back(objIndex(vi, mesh->positions.size()));
        ts.push_back(ti ? objIndex(ti, mesh->tu.size()) : -1);
      }
      for (size_t k = 0; k < vs.size(); ++k) {
        if (vs[k] < 0 || size_t(vs[k]) >= mesh->positions.size() ||
            (ts[k] >= 0 && size_t(ts[k]) >= mesh->tu.size())) {
          *error = path + ":" + std::to_string(lineNo) + ": index out of range";
          return false;
        }
      }
      for (size_t k = 1; k + 1 < vs.size(); ++k)
        mesh->faces.push_back({{vs[0], vs[k], vs[k + 1]}, {ts[0], ts[k], ts[k + 1]}, material});
    }
  }
  return true;
}

bool obj_Write(const std::string& dir, const std::string& name, const ObjMesh& mesh, std::string* error) {
  const std::string base = dir + "/" + name;
  std::ofstream mtl(base + ".mtl");
  for (const Material& m : mesh.materials) {
    mtl << "newmtl " << m.name << "\nmap_Kd " << m.mapFile << "\n";
    if (!img_WritePng((dir + "/" + m.mapFile).c_str(), m.grey.data(), m.width, m.height)) {
      *error = "cannot write " + m.mapFile;
      return false;
    }
  }
  std::ofstream obj(base + ".obj");
  obj << "# " << name << ": made by scenec gen\nmtllib " << name << ".mtl\n";
  char buf[128];
  for (const Vec3& v : mesh.positions) {
    std::snprintf(buf, sizeof buf, "v %.6g %.6g %.6g\n", double(v.x), double(v.y), double(v.z));
    obj << buf;
  }
  for (size_t i = 0; i < mesh.tu.size(); ++i) {
    std::snprintf(buf, sizeof buf, "vt %.6g %.6g\n", double(mesh.tu[i]), double(mesh.tv[i]));
    obj << buf;
  }
  int32_t material = -2;
  for (const ObjMesh::Face& f : mesh.faces) {
    if (f.material != material && f.material >= 0) obj << "usemtl " << mesh.materials[size_t(f.material)].name << "\n";
    material = f.material;
    obj << "f";
    for (int k = 0; k < 3; ++k) {
      obj << " " << f.vertex[k] + 1;
      if (f.tex[k] >= 0) obj << "/" << f.tex[k] + 1;
    }
    obj << "\n";
  }
  mtl.close();
  obj.close();
  if (!mtl || !obj) {
    *error = "cannot write " + base + ".obj";
    return false;
  }
  return true;
}
