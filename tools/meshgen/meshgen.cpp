// meshgen: makes the meshes (and the maps that go with them) that Object
// draws.  Everything procedural is deterministic.
//
//   meshgen obj IN.obj OUT [--fit RADIUS]   a Wavefront OBJ file, polygons
//                                           fanned into triangles (default fit 120)
//   meshgen torus OUT [AROUND ACROSS]       ring of radius 90, tube 35 (40 x 25: 2000 faces)
//   meshgen sphere OUT [AROUND ACROSS]      radius 110 (32 x 16)
//   meshgen knot OUT [ALONG AROUND]         a (2, 3) torus knot tube (160 x 10)
//   meshgen dial OUT | hourhand OUT | minutehand OUT   a clock, radius 100
//   meshgen bump OUT.png | env OUT.png      256x256 height map, reflection map
#include "assets/assets.h"
#include "meshgen.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

void put16(std::vector<uint8_t>& b, long v) {
  const int16_t s = int16_t(std::clamp<long>(v, -32768, 32767));
  b.push_back(uint8_t(uint16_t(s) & 0xFF));
  b.push_back(uint8_t(uint16_t(s) >> 8));
}

// An OBJ index: 1-based, or negative counting back from the last vertex.
bool objIndex(const std::string& word, int vertexCount, int& out) {
  const long i = std::strtol(word.c_str(), nullptr, 10);  // stops at a '/'
  out = i > 0 ? int(i - 1) : int(vertexCount + i);
  return i != 0 && out >= 0 && out < vertexCount;
}

int usage() {
  std::fprintf(stderr,
               "usage: meshgen obj IN.obj OUT [--fit RADIUS]\n"
               "       meshgen torus|sphere|knot OUT [AROUND ACROSS]\n"
               "       meshgen dial|hourhand|minutehand OUT\n"
               "       meshgen bump|env OUT.png\n");
  return 2;
}

}  // namespace

bool writeMesh(const Shape& s, const std::string& path) {
  if (s.vertices.empty() || s.vertices.size() > 32768 || s.faces.empty() || s.faces.size() > 32768) {
    std::fprintf(stderr, "meshgen: %zu vertices and %zu faces: each must be 1 to 32768\n", s.vertices.size(),
                 s.faces.size());
    return false;
  }
  std::vector<uint8_t> b;
  put16(b, long(s.vertices.size()) - 1);
  put16(b, long(s.faces.size()) - 1);
  for (const Vec3& v : s.vertices) {
    put16(b, std::lround(v.x));
    put16(b, std::lround(v.y));
    put16(b, std::lround(v.z));
  }
  for (const auto& f : s.faces)
    for (int k : f) put16(b, k);
  const std::string temp = path + ".part";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "meshgen: cannot write %s\n", path.c_str());
    return false;
  }
  const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
  if (std::fclose(f) != 0 || !ok || std::rename(temp.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "meshgen: cannot write %s\n", path.c_str());
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

bool readObj(const std::string& path, Shape& out, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  out = Shape{};
  int lineNo = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    std::istringstream words(line);
    std::string tag;
    words >> tag;
    if (tag == "v") {
      // OBJ is right-handed with the viewer on +z; the engine's eye looks
      // along +z.  Mirroring z keeps the picture and turns each face's
      // winding, which the faces below turn back.
      Vec3 v{};
      if (!(words >> v.x >> v.y >> v.z)) {
        error = path + ":" + std::to_string(lineNo) + ": a vertex needs x, y and z";
        return false;
      }
      out.vertices.push_back({v.x, v.y, -v.z});
    } else if (tag == "f") {
      std::vector<int> corners;
      for (std::string w; words >> w;) {
        int i = 0;
        if (!objIndex(w, int(out.vertices.size()), i)) {
          error = path + ":" + std::to_string(lineNo) + ": face corner '" + w + "' names no vertex";
          return false;
        }
        corners.push_back(i);
      }
      if (corners.size() < 3) {
        error = path + ":" + std::to_string(lineNo) + ": a face needs three corners";
        return false;
      }
      for (size_t k = 1; k + 1 < corners.size(); ++k) out.faces.push_back({corners[0], corners[k + 1], corners[k]});
    }
  }
  if (out.faces.empty()) {
    error = path + ": no faces";
    return false;
  }
  return true;
}

void fitShape(Shape& s, double radius) {
  Vec3 lo = s.vertices[0], hi = s.vertices[0];
  for (const Vec3& v : s.vertices) {
    lo = {std::min(lo.x, v.x), std::min(lo.y, v.y), std::min(lo.z, v.z)};
    hi = {std::max(hi.x, v.x), std::max(hi.y, v.y), std::max(hi.z, v.z)};
  }
  const Vec3 mid = (lo + hi) * 0.5;
  double most = 0;
  for (Vec3& v : s.vertices) {
    v = v - mid;
    most = std::max({most, std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)});
  }
  if (most > 0)
    for (Vec3& v : s.vertices) v = v * (radius / most);
}

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string what = argv[1], out = argv[2];
  auto number = [&](int i, int def) { return argc > i ? std::atoi(argv[i]) : def; };
  Shape s;
  if (what == "obj") {
    if (argc < 4) return usage();
    double fit = 120;
    if (argc == 6 && std::strcmp(argv[4], "--fit") == 0) fit = std::atof(argv[5]);
    else if (argc != 4) return usage();
    std::string error;
    if (!readObj(argv[2], s, error)) {
      std::fprintf(stderr, "meshgen: %s\n", error.c_str());
      return 1;
    }
    if (fit > 0) fitShape(s, fit);
    return writeMesh(s, argv[3]) ? 0 : 1;
  }
  if (what == "bump" || what == "env") {
    img_InitHeadless();
    return (what == "bump" ? writeBumpMap(out) : writeEnvMap(out)) ? 0 : 1;
  }
  // Subdivisions from the command line: 3 to 1000 each.
  for (int i = 3; i < argc && (what == "torus" || what == "sphere" || what == "knot"); ++i) {
    const int k = std::atoi(argv[i]);
    if (i > 4 || k < 3 || k > 1000) return usage();
  }
  if (what == "torus") s = torus(90, 35, number(3, 40), number(4, 25));
  else if (what == "sphere") s = sphere(110, number(3, 32), number(4, 16));
  else if (what == "knot") s = knot(70, 30, 16, 2, 3, number(3, 160), number(4, 10));
  else if (what == "dial") s = clockDial(100);
  else if (what == "hourhand") s = clockHand(55, 9, 14);
  else if (what == "minutehand") s = clockHand(80, 6, 16);
  else return usage();
  return writeMesh(s, out) ? 0 : 1;
}
