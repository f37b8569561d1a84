// dancer: renders the frames of a dancing figure, a bright silhouette with
// soft edges over a dark vignette, as numbered 8-bit PGM files, for the
// show's video clip:
//
//   dancer OUTDIR [FRAMES] [WIDTH HEIGHT]
//   ffmpeg -framerate 10 -i OUTDIR/%03d.pgm -c:v mpeg2video -g 12 -bf 2 -q:v 4
//          -pix_fmt yuv420p -f mpeg2video show/assets/zena.m2v      (one line)
//
// The figure is a chain of capsules (torso, head, arms, legs) whose joint
// angles follow sines of the frame's phase; one cycle spans all frames, so
// the clip loops without a jump.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Vec {
  float x, y;
};
Vec add(Vec a, Vec b) { return {a.x + b.x, a.y + b.y}; }
Vec polar(float length, float angle) { return {length * std::sin(angle), length * std::cos(angle)}; }

struct Capsule {
  Vec a, b;
  float radius;
};

// Distance from p to the segment ab.
float segmentDistance(Vec p, Vec a, Vec b) {
  const float dx = b.x - a.x, dy = b.y - a.y;
  const float len2 = dx * dx + dy * dy;
  float t = len2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / len2 : 0;
  t = std::clamp(t, 0.0f, 1.0f);
  const float ex = p.x - (a.x + t * dx), ey = p.y - (a.y + t * dy);
  return std::sqrt(ex * ex + ey * ey);
}

// The pose at phase p (radians), in units of the figure's height (1 = from
// the feet to the top of the head), y growing downwards.
std::vector<Capsule> pose(float p) {
  const float sway = 0.06f * std::sin(p);
  const float bounce = 0.03f * std::sin(2 * p);
  const Vec hip = {sway, 0.50f - bounce};
  const float lean = 0.15f * std::sin(p + 0.5f);
  const Vec neck = add(hip, polar(-0.30f, lean));
  const Vec head = add(neck, polar(-0.09f, lean * 1.3f));
  std::vector<Capsule> parts = {{hip, neck, 0.055f}, {head, head, 0.065f}};
  for (int side = -1; side <= 1; side += 2) {
    // Arms swing wide and cross over the head in turn.
    const float shoulder = side * (1.2f + 0.9f * std::sin(p + side * 0.8f)) + lean;
    const Vec elbow = add(neck, polar(0.15f, 3.14159f - shoulder));
    const Vec hand = add(elbow, polar(0.14f, 3.14159f - shoulder - side * (0.6f + 0.5f * std::sin(2 * p))));
    parts.push_back({neck, elbow, 0.026f});
    parts.push_back({elbow, hand, 0.021f});
    // Legs: one steps while the other bends.
    const float thigh = side * 0.25f + 0.35f * std::sin(p + (side > 0 ? 0 : 3.14159f));
    const Vec knee = add(hip, polar(0.24f, thigh));
    const Vec foot = add(knee, polar(0.24f, thigh - 0.5f * std::max(0.0f, std::sin(p + (side > 0 ? 1.6f : -1.5f)))));
    parts.push_back({hip, knee, 0.035f});
    parts.push_back({knee, foot, 0.027f});
  }
  return parts;
}

bool writePgm(const std::string& path, const std::vector<unsigned char>& grey, int w, int h) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::fprintf(f, "P5\n%d %d\n255\n", w, h);
  const bool ok = std::fwrite(grey.data(), 1, grey.size(), f) == grey.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: dancer OUTDIR [FRAMES] [WIDTH HEIGHT]\n");
    return 2;
  }
  const std::string out = argv[1];
  const int frames = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
  const int w = argc > 4 ? std::max(16, std::atoi(argv[3])) : 320;
  const int h = argc > 4 ? std::max(16, std::atoi(argv[4])) : 240;
  const float scale = h * 0.85f;  // the figure's height in pixels
  std::vector<unsigned char> grey(size_t(w) * size_t(h));
  for (int n = 0; n < frames; ++n) {
    const float p = 2 * 3.14159265f * float(n) / float(frames);
    const std::vector<Capsule> parts = pose(p);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const Vec q = {(x - w * 0.5f) / scale, (y - h * 0.92f) / scale + 1.0f};
        float d = 1e9f;
        for (const Capsule& c : parts) d = std::min(d, segmentDistance(q, c.a, c.b) - c.radius);
        // Vignette background, then a silhouette with a two-pixel soft edge
        // and a faint halo.
        const float r = std::hypot(x - w * 0.5f, y - h * 0.5f) / (0.7f * w);
        float v = 40 * (1 - r) + 10 * std::sin(0.05f * y + p);
        const float edge = std::clamp(0.5f - d * scale / 2, 0.0f, 1.0f);
        const float halo = std::exp(-std::max(d, 0.0f) * scale / 6) * 50;
        v = v + halo;
        v = v * (1 - edge) + 235 * edge;
        grey[size_t(y) * size_t(w) + size_t(x)] = (unsigned char)std::clamp(int(v), 16, 235);
      }
    char name[32];
    std::snprintf(name, sizeof name, "/%03d.pgm", n);
    if (!writePgm(out + name, grey, w, h)) {
      std::fprintf(stderr, "dancer: cannot write %s%s\n", out.c_str(), name);
      return 1;
    }
  }
  return 0;
}
