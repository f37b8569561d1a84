// The compositing layers: Mixer, Mirror, Zoomer and Loop, rendered headless
// and compared with frames worked out by hand.
#include "testutil.h"

#include <vector>

namespace {

using Pixels = std::vector<int>;
constexpr uint8_t kGuard = 0xEE;  // after every held picture; no expected pixel is 0xEE
std::string asked;                // names of the held pictures, in request order

// A picture of any size over test memory with guard bytes after it: a layer
// that writes past its end, or reads there and lets it show, is caught.
struct Held final : Stream {
  char name;
  std::vector<uint8_t> bytes;
  Image image;
  int askedW = 0, askedH = 0;

  Held(char n, int w, int h, const Pixels& fill = {0})
      : Stream(nullptr, nullptr), name(n), bytes(size_t(w * h) + 16, kGuard) {
    image.width = w, image.height = h, image.pixels = bytes.data();
    for (size_t p = 0; p < size_t(w * h); ++p) bytes[p] = uint8_t(fill[p % fill.size()]);
  }
  Pixels pixels() const {  // and the guard must be intact
    for (size_t i = bytes.size() - 16; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], kGuard) << name;
    return Pixels(bytes.begin(), bytes.end() - 16);
  }

 protected:
  Image* onStream(int w, int h) override {
    asked += name, askedW = w, askedH = h;
    return &image;
  }
};

Pixels pixelsOf(const Image* image) { return Pixels(image->pixels, image->pixels + image->width * image->height); }

struct Compose : ScriptFixture {
  // Builds "o = DECL;" with held pictures in place of its in and tex.
  template <class T>
  T* build(const std::string& decl, Held* in = nullptr, Held* tex = nullptr) {
    load("s.plg\no = " + decl + ";\n");
    asked.clear();
    T* o = dynamic_cast<T*>(get("o"));
    if (in) o->in = in;
    if (tex) o->tex = tex;
    return o;
  }
};

TEST_F(Compose, MixerPixelOperations) {
  const struct {
    const char* params;
    Pixels expect;  // the returned picture: in = {200, 100, 7, 60}, tex = {100, 200, 0, 255}
    const char* asked;
  } cases[] = {
      {"", {100, 200, 0, 255}, "ti"},  // no op: copy
      {"op=0", {200, 100, 7, 60}, "i"},
      {"op=1", {100, 200, 0, 255}, "t"},
      {"op=3,int=256", {255, 255, 7, 255}, "ti"},
      {"op=3,int=128", {250, 200, 7, 187}, "ti"},
      {"op=3,int=-256", {100, 156, 7, 61}, "ti"},    // no clamp below: low 8 bits
      {"op=3,int=-65792", {100, 156, 7, 61}, "ti"},  // -256 - 65536: the same low bits
      {"op=3,int=1000000000", {255, 255, 7, 255}, "ti"},
      {"op=4,int=128", {150, 150, 3, 157}, "ti"},
      {"op=4,int=256", {200, 100, 7, 60}, "ti"},
      {"op=4,int=65664", {150, 150, 3, 157}, "ti"},  // 65536 + 128
      {"op=5", {100, 200, 7, 255}, "ti"},
      {"op=6", {78, 78, 0, 59}, "ti"},  // 255 darkens by one step
      {"op=7", {0, 0, 0, 0}, "i"},
      {"op=9,int=128", {150, 150, 7, 157}, "ti"},
      {"op=12", {55, 155, 248, 195}, "i"},
  };
  for (const auto& c : cases) {
    Held in('i', 4, 1, {200, 100, 7, 60}), tex('t', 4, 1, {100, 200, 0, 255});
    Image* out = build<Mixer>(std::string("mixer ") + c.params, &in, &tex)->stream(4, 1);
    EXPECT_EQ(out == &tex.image ? tex.pixels() : in.pixels(), c.expect) << c.params;
    EXPECT_EQ(asked, c.asked) << c.params;
  }
  for (const char* op : {"13", "20", "-1", "22"}) {
    Mixer* m = build<Mixer>(std::string("mixer op=") + op);
    EXPECT_EQ(errorOf([&] { m->stream(4, 1); }), "unknown operation request") << op;
  }
  // A tex with fewer pixels than in: only the pixels both have are combined.
  for (const char* op : {"op=2", "op=3,int=256"}) {
    Held big('i', 4, 2, {1}), small('t', 3, 1, {9});
    build<Mixer>(std::string("mixer ") + op, &big, &small)->stream(4, 2);
    const int v = op[3] == '2' ? 9 : 10;
    EXPECT_EQ(big.pixels(), (Pixels{v, v, v, 1, 1, 1, 1, 1})) << op;
  }
}

TEST_F(Compose, MixerSmoothingAndBumpLight) {
  const struct {
    const char* params;
    int w, h;
    Pixels in, expect;
  } cases[] = {
      // One column: each step rewrites three bytes down it, in place; byte 5
      // would need byte 7, past the end, and is left alone.
      {"op=10,int=1", 1, 7, {0, 0, 0, 0, 0, 0, 255}, {0, 0, 0, 15, 67, 0, 255}},
      // 3x5: only row 2 has two rows on each side; bytes 9 and 10 would read
      // past the end.
      {"op=10,int=3", 3, 5, {8, 0, 4, 4, 8, 0, 99, 99, 99, 0, 0, 12, 12, 0, 0},
       {8, 0, 4, 4, 8, 0, 6, 2, 4, 0, 0, 12, 12, 0, 0}},
      {"op=11,int=2", 7, 2, {0, 0, 0, 0, 0, 0, 255}, {0, 0, 15, 19, 72, 0, 255, 0, 0, 15, 19, 72, 0, 255}},
      {"op=11,int=-3", 7, 1, {0, 0, 0, 0, 0, 0, 255}, {0, 0, 0, 0, 0, 0, 255}},
      {"op=21,int=1", 4, 3, {0, 40, 80, 0, 100, 0, 0, 20, 0, 8, 4, 0}, {0, 40, 80, 0, 100, 37, 35, 20, 0, 8, 4, 0}},
  };
  for (const auto& c : cases) {
    Held in('i', c.w, c.h, c.in);
    build<Mixer>(std::string("mixer ") + c.params, &in)->stream(c.w, c.h);
    EXPECT_EQ(in.pixels(), c.expect) << c.params;
    EXPECT_EQ(asked, "i") << c.params;
  }
  build<Mixer>("mixer op=10,int=5")->stream(1, 7);  // a real layer: ASan sees past its end

  // Bump light on 3x3: a height of 1 at (1,1) sends (1,1) to the light at
  // (0,0) and its right and lower neighbours off the map (dark).
  const struct {
    const char* depth;
    Pixels expect;
  } bumps[] = {
      {"0", {100, 100, 25, 100, 100, 25, 199, 199, 12}},  // flat: in * light
      {"1", {50, 50, 0, 50, 50, 0, 0, 0, 12}},
      {"-1", {12, 12, 100, 12, 12, 100, 100, 100, 12}},
      {"1000000000", {0, 0, 0, 0, 0, 0, 0, 0, 12}},
  };
  for (const auto& b : bumps) {
    Held in('i', 3, 3, {200}), light('t', 3, 3, {64, 0, 0, 0, 128, 32, 0, 255, 16});
    Held bump('b', 3, 3, {0, 0, 0, 0, 1, 0, 0, 0, 0});
    Mixer* m = build<Mixer>(std::string("mixer op=8,int=") + b.depth, &in, &light);
    m->bump = &bump;
    m->stream(3, 3);
    EXPECT_EQ(in.pixels(), b.expect) << b.depth;
    EXPECT_EQ(asked, "tib");
  }
}

TEST_F(Compose, MirrorFoldsTexIntoASymmetricPicture) {
  const struct {
    int level, w, h;
    int texW, texH;  // as asked
    Pixels expect;   // tex holds 1, 2, 3...; in is black
  } cases[] = {
      {0, 6, 4, 6, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6}},
      {1, 6, 2, 3, 2, {1, 2, 3, 3, 2, 1, 4, 5, 6, 6, 5, 4}},
      {1, 320, 1, 160, 1, {}},  // symmetric, checked below
      {2, 6, 4, 3, 2, {1, 2, 3, 3, 2, 1, 4, 5, 6, 6, 5, 4, 4, 5, 6, 6, 5, 4, 1, 2, 3, 3, 2, 1}},
      // Odd heights: tex has fewer bytes than half the frame; what it lacks
      // stays as in had it.
      {0, 3, 5, 3, 2, {1, 2, 3, 4, 5, 6, 0, 4, 5, 6, 1, 2, 3, 0, 0}},
      {2, 3, 3, 1, 1, {1, 0, 1, 0, 0, 0, 1, 0, 1}},
  };
  for (const auto& c : cases) {
    Pixels ramp(size_t(c.texW * c.texH));
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = int(i + 1) % 200;
    Held in('i', c.w, c.h), tex('t', c.texW, c.texH, ramp);
    build<Mirror>("mirror level=" + std::to_string(c.level), &in, &tex)->stream(c.w, c.h);
    Pixels expect = c.expect;
    if (expect.empty())
      for (int x = 0; x < c.w; ++x) expect.push_back(ramp[size_t(std::min(x, c.w - 1 - x))]);
    EXPECT_EQ(in.pixels(), expect) << c.level << " " << c.w << "x" << c.h;
    EXPECT_EQ(asked, "ti");
    EXPECT_EQ(tex.askedW * 1000 + tex.askedH, c.texW * 1000 + c.texH);
  }
  Mirror* bad = build<Mirror>("mirror level=3");
  EXPECT_EQ(errorOf([&] { bad->stream(8, 8); }), "unknown level request");
  EXPECT_EQ(asked, "");
}

TEST_F(Compose, ZoomerTurnsScalesAndWrapsTheTexture) {
  Pixels pattern(65536);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = int((i * 2654435761u) >> 24) % 200;
  auto T = [&](int row, int col) { return pattern[size_t(row * 256 + col)]; };
  auto render = [&](const char* params, int texSize = 256) {
    Held in('i', 64, 64), tex('t', texSize, texSize, pattern);
    build<Zoomer>(std::string("zoomer ") + params, &in, &tex)->stream(64, 64);
    EXPECT_EQ(asked + std::to_string(tex.askedW) + "x" + std::to_string(tex.askedH), "ti256x256");
    return in.pixels();
  };
  // Centred on texel (128,128): pixel (k, r) samples texel (97 + k, 96 + r).
  const Pixels straight = render("x=128,y=128"), turned = render("x=128,y=128,rot=64");
  const Pixels doubled = render("x=128,y=128,scale=512"), wrapped = render(""), small = render("x=8", 16);
  for (int r = 0; r < 64; ++r)
    for (int k = 0; k < 64; ++k) {
      const size_t p = size_t(r * 64 + k);
      ASSERT_EQ(straight[p], T(96 + r, 97 + k)) << k << "," << r;
      ASSERT_EQ(doubled[p], T(64 + 2 * r, 66 + 2 * k)) << k << "," << r;
      // A quarter turn: the picture on its side.  The angle is a float just
      // past pi/2, so both steps are 255/256 of a texel: u starts 1/8 texel
      // short of 160 and falls behind, v gains a texel per 256 pixels less.
      ASSERT_EQ(turned[p], T((24608 + 255 * (k + 1)) >> 8, (40928 - 255 * r) >> 8)) << k << "," << r;
      // Around texel (0,0) the coordinates go negative and wrap as one index.
      ASSERT_EQ(wrapped[p], pattern[size_t(((r - 32) * 256 + k - 31) & 65535)]) << k << "," << r;
      // A 16x16 texture has texels 0..255 only; the rest is black.
      const size_t index = size_t(((r - 32) * 256 + k - 23) & 65535);
      ASSERT_EQ(small[p], index < 256 ? pattern[index] : 0) << k << "," << r;
    }
}

TEST_F(Compose, LoopFeedsThePreviousFrameBack) {
  // Each frame adds 15 (255 * 16 >> 8) to the kept picture.
  load("s.plg\nfb = loop in=acc;\nacc = mixer op=3,in=fb,tex=full,int=16;\n"
       "full = mixer op=12,in=zero;\nzero = mixer op=7;\n");
  auto* fb = dynamic_cast<Loop*>(get("fb"));
  for (int frame = 1; frame <= 3; ++frame) {
    Image* out = fb->stream(4, 4);
    ASSERT_EQ(out, fb->stored);
    EXPECT_EQ(pixelsOf(out), Pixels(16, 15 * frame)) << frame;
    EXPECT_EQ(fb->state, Loop::kIdle);
  }

  // The kept picture is the window's 2x2 content; the 4x4 frame comes back
  // in it centred (type 0) or scaled (type 1), and is pasted in next frame.
  const struct {
    int type;
    Pixels kept[2], corner[2];  // after frames 1 and 2
  } cases[] = {
      {0, {{0, 16, 19, 20}, {20, 16, 19, 20}}, {{0, 0, 0, 0}, {0, 16, 19, 20}}},
      {1, {{0, 12, 18, 20}, {0, 12, 18, 20}}, {{0, 0, 0, 0}, {0, 12, 18, 20}}},
  };
  for (const auto& c : cases) {
    load("s.plg\nfb = loop in=w,type=" + std::to_string(c.type) + ";\nw = window win=fb,w=2,h=2;\n");
    auto* loop = dynamic_cast<Loop*>(get("fb"));
    Held bg('b', 4, 4, {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25});
    dynamic_cast<Window*>(get("w"))->in = &bg;
    for (int frame = 0; frame < 2; ++frame) {
      EXPECT_EQ(loop->stream(4, 4), &bg.image);
      EXPECT_EQ(pixelsOf(loop->stored), c.kept[frame]) << c.type << " " << frame;
      const Pixels p = bg.pixels();
      EXPECT_EQ((Pixels{p[0], p[1], p[4], p[5]}), c.corner[frame]) << c.type << " " << frame;
    }
  }
  // Errors leave the loop idle, also one from inside its input.
  load("s.plg\nfb = loop in=w,type=2;\nw = window win=fb,w=2,h=2;\nbad = loop in=m;\nm = mixer op=13;\n");
  for (const char* label : {"fb", "bad"}) {
    auto* loop = dynamic_cast<Loop*>(get(label));
    EXPECT_EQ(errorOf([&] { loop->stream(4, 4); }), *label == 'f' ? "unknown looping type" : "unknown operation request");
    EXPECT_EQ(loop->state, Loop::kIdle);
  }
  // A chain that never comes back: the input's picture, nothing kept.
  load("s.plg\nfb = loop in=z,type=7;\nz = mixer op=12;\n");
  auto* loop = dynamic_cast<Loop*>(get("fb"));
  EXPECT_EQ(pixelsOf(loop->stream(2, 2)), Pixels(4, 255));
  EXPECT_EQ(loop->stored, nullptr);
}

}  // namespace
