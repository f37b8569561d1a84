// camkeys: a camera path as text into a keyframer file.
//
//   camkeys IN.keys OUT
//
// The text, one item a line, '#' starts a comment:
//
//   frames FIRST LAST       the animation's range (default: first to last key)
//   name NAME               the track's name (default: none)
//   TIME PX PY PZ TX TY TZ [DPX DPY DPZ DTX DTY DTZ]
//
// a key: its frame, the camera position, the point it looks at, and
// optionally the tangents of both (change per segment).  Without tangents a
// key takes the Catmull-Rom one: half the difference of its neighbours.
// Coordinates are the scene's, y up; the file stores y negated, as the
// renderer expects.  Keys must come in increasing time.  Exit status 0 on
// success, 1 on a bad input, 2 on a usage error.
#include "scene3d/scene3d.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct TextKey {
  float time;
  Vec3 p[2];    // position, target
  Vec3 tan[2];
  bool hasTangents;
};

Vec3 sub(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 scale(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }

void store(Vec3 v, float (&out)[3]) { out[0] = v.x, out[1] = -v.y, out[2] = v.z; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: camkeys IN.keys OUT\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "camkeys: cannot open %s\n", argv[1]);
    return 2;
  }
  std::vector<TextKey> keys;
  KeyTrack track;
  int first = -1, last = -1;
  std::string line;
  for (int lineNo = 1; std::getline(in, line); ++lineNo) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream s(line);
    std::string word;
    if (!(s >> word)) continue;
    if (word == "frames") {
      if (!(s >> first >> last) || first < 0 || last > 65535 || first > last) {
        std::fprintf(stderr, "%s:%d: frames FIRST LAST within 0..65535 expected\n", argv[1], lineNo);
        return 1;
      }
      continue;
    }
    if (word == "name") {
      s >> track.name;
      track.named = !track.name.empty();
      continue;
    }
    std::istringstream all(line);
    std::vector<float> n;
    float f;
    while (all >> f) n.push_back(f);
    if (!all.eof() || (n.size() != 7 && n.size() != 13)) {
      std::fprintf(stderr, "%s:%d: a key is TIME, 6 numbers and optionally 6 tangents\n", argv[1], lineNo);
      return 1;
    }
    TextKey k{};
    k.time = n[0];
    k.p[0] = {n[1], n[2], n[3]}, k.p[1] = {n[4], n[5], n[6]};
    k.hasTangents = n.size() == 13;
    if (k.hasTangents) k.tan[0] = {n[7], n[8], n[9]}, k.tan[1] = {n[10], n[11], n[12]};
    if (!keys.empty() && !(k.time > keys.back().time)) {
      std::fprintf(stderr, "%s:%d: keys must come in increasing time\n", argv[1], lineNo);
      return 1;
    }
    keys.push_back(k);
  }
  if (keys.empty()) {
    std::fprintf(stderr, "%s: no keys\n", argv[1]);
    return 1;
  }
  const size_t n = keys.size();
  for (size_t i = 0; i < n; ++i) {
    if (keys[i].hasTangents) continue;
    for (int w = 0; w < 2; ++w) {
      const Vec3 prev = keys[i ? i - 1 : i].p[w], next = keys[i + 1 < n ? i + 1 : i].p[w];
      keys[i].tan[w] = scale(sub(next, prev), i == 0 || i + 1 == n ? 1.0f : 0.5f);
    }
  }
  for (int w = 0; w < 2; ++w) {
    std::vector<CameraKey>& list = w ? track.target : track.position;
    for (size_t i = 0; i < n; ++i) {
      CameraKey c{};
      const Vec3 p = keys[i].p[w], t = scale(keys[i].tan[w], 1.0f / 3);
      store(p, c.position);
      c.time = keys[i].time;
      store({p.x + t.x, p.y + t.y, p.z + t.z}, c.out);
      store({p.x - t.x, p.y - t.y, p.z - t.z}, c.in);
      c.end = i + 1 < n ? keys[i + 1].time : keys[i].time;
      list.push_back(c);
    }
  }
  Keyframer kf;
  kf.firstFrame = first >= 0 ? first : int(keys.front().time);
  kf.lastFrame = last >= 0 ? last : int(keys.back().time);
  kf.trackCount = 1;
  kf.tracks.push_back(track);
  const std::vector<uint8_t> bytes = scn_WriteKeys(kf);
  std::ofstream out(argv[2], std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "camkeys: cannot write %s\n", argv[2]);
    return 1;
  }
  std::printf("%s: %zu keys, frames %d..%d\n", argv[2], n, kf.firstFrame, kf.lastFrame);
  return 0;
}
