// vtool scene / vtool keys: what the engine's readers make of a scene file
// and a keyframer file.  `scene` can also draw a frame of the scene to a PGM,
// with the material maps taken from the scene file's folder.
#include "tools/vtool/vtool.h"

#include "codecs/codecs.h"
#include "scene3d/scene3d.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string mapFolder;

Image* mapFromFolder(const char* name) {
  const std::string path = mapFolder + name;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return nullptr;
  PngInfo info;
  std::vector<uint8_t> luma;
  const PngStatus st = png_LoadLumaFile(f, &info, &luma);
  std::fclose(f);
  Image* image = nullptr;
  if (st == PngStatus::Ok) {
    image = img_Create(info.width, info.height);
    std::memcpy(image->pixels, luma.data(), luma.size());
  }
  png_FreeInfo(&info);
  return image;
}

bool readFile(const char* path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

int treeDepth(const SceneModel& m) {
  int deepest = 0;
  std::vector<std::pair<int, int>> stack;
  if (!m.nodes.empty()) stack.push_back({0, 1});
  while (!stack.empty()) {
    const auto [n, d] = stack.back();
    stack.pop_back();
    deepest = d > deepest ? d : deepest;
    const BspNode& node = m.nodes[size_t(n)];
    if (node.front >= 0) stack.push_back({node.front, d + 1});
    if (node.back >= 0) stack.push_back({node.back, d + 1});
  }
  return deepest;
}

}  // namespace

int vtool_Scene(int argc, char** argv) {
  const char* file = nullptr;
  const char* keysFile = nullptr;
  const char* pgm = nullptr;
  int slot = 0, W = 320, H = 240;
  float frame = 0, xfov = 320, yfov = -320;
  for (int i = 0; i < argc; ++i) {
    const bool more = i + 1 < argc;
    if (std::strcmp(argv[i], "--slot") == 0 && more) slot = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--keys") == 0 && more) keysFile = argv[++i];
    else if (std::strcmp(argv[i], "--frame") == 0 && more) frame = float(std::atof(argv[++i]));
    else if (std::strcmp(argv[i], "--fov") == 0 && i + 2 < argc) xfov = float(std::atof(argv[++i])), yfov = float(std::atof(argv[++i]));
    else if (std::strcmp(argv[i], "--size") == 0 && i + 2 < argc) W = std::atoi(argv[++i]), H = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--pgm") == 0 && more) pgm = argv[++i];
    else if (!file && argv[i][0] != '-') file = argv[i];
    else {
      std::fprintf(stderr, "vtool scene: unexpected argument '%s'\n", argv[i]);
      return kExitUsage;
    }
  }
  std::vector<uint8_t> bytes;
  if (!file || !readFile(file, &bytes) || slot < 0 || slot >= kSceneSlots || W <= 0 || H <= 0 ||
      (pgm && !keysFile)) {
    std::fprintf(stderr, "vtool scene: FILE [--slot N] [--keys K --frame F --pgm OUT [--size W H] [--fov X Y]]\n");
    return kExitUsage;
  }
  img_InitHeadless();
  const std::string f = file;
  mapFolder = f.find('/') == std::string::npos ? "" : f.substr(0, f.find_last_of('/') + 1);
  auto* m = new SceneModel;
  const ScnStatus st = scn_ParseScene(bytes.data(), bytes.size(), slot, m, mapFromFolder);
  std::printf("status %s\n", scn_StatusText(st));
  if (st != ScnStatus::Ok) {
    delete m;
    return kExitRefused;
  }
  std::printf("eye %g %g %g\nvertices %zu\nnodes %zu\ndepth %d\npolygons %zu\nmaps loaded %zu\n", double(m->eye[0]),
              double(m->eye[1]), double(m->eye[2]), m->vertices.size(), m->nodes.size(), treeDepth(*m),
              m->polygons.size(), m->maps.size());
  std::vector<int> seen;
  for (const ScenePolygon& p : m->polygons) {
    bool known = false;
    for (int s : seen) known |= s == p.material;
    if (known) continue;
    seen.push_back(p.material);
    std::printf("material %d %s %dx%d %s\n", p.material, scn_MaterialName(slot, p.material).c_str(), p.texWidth,
                p.texHeight, p.map ? "loaded" : "missing");
  }
  if (!pgm) {
    delete m;
    return 0;
  }
  std::vector<uint8_t> keyBytes;
  auto* k = new Keyframer;
  if (!readFile(keysFile, &keyBytes) || scn_ParseKeys(keyBytes.data(), keyBytes.size(), k) != ScnStatus::Ok) {
    std::fprintf(stderr, "vtool scene: cannot read keyframer %s\n", keysFile);
    delete m;
    delete k;
    return kExitRefused;
  }
  scn_SetSlot(slot, m, k);
  std::vector<uint8_t> pixels(size_t(W) * size_t(H), 128);
  scn_RenderSlot(slot, frame, xfov, yfov, pixels.data(), W, H);
  scn_FreeSlots();
  FILE* out = std::fopen(pgm, "wb");
  if (!out) return kExitUsage;
  std::fprintf(out, "P5\n%d %d\n255\n", W, H);
  const bool ok = std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
  return std::fclose(out) == 0 && ok ? 0 : kExitUsage;
}

int vtool_Keys(int argc, char** argv) {
  std::vector<uint8_t> bytes;
  if (argc != 1 || !readFile(argv[0], &bytes)) {
    std::fprintf(stderr, "vtool keys: one readable FILE expected\n");
    return kExitUsage;
  }
  Keyframer k;
  const ScnStatus st = scn_ParseKeys(bytes.data(), bytes.size(), &k);
  std::printf("status %s\n", scn_StatusText(st));
  if (st != ScnStatus::Ok) return kExitRefused;
  std::printf("frames %d..%d\ntracks %d\n", k.firstFrame, k.lastFrame, k.trackCount);
  for (size_t t = 0; t < k.tracks.size(); ++t) {
    const KeyTrack& tr = k.tracks[t];
    std::printf("track %zu name %s: %zu position keys, %zu target keys\n", t, tr.named ? tr.name.c_str() : "(none)",
                tr.position.size(), tr.target.size());
    for (int w = 0; w < 2; ++w)
      for (const CameraKey& c : w ? tr.target : tr.position)
        std::printf("  %s t=%g end=%g at %g %g %g\n", w ? "target" : "position", double(c.time), double(c.end),
                    double(c.position[0]), double(c.position[1]), double(c.position[2]));
  }
  return 0;
}
