// Plazma: window placement, brightness, the guard against windows outside
// the pattern, and a golden frame.
#include "testutil.h"

#include "effects/effects.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kSentinel = 0xEE;  // the in picture before drawing

struct PlazmaTest : ScriptFixture {
  Plazma* build(const std::string& params) {
    load("s.plg\np = plazma " + params + ";\n");
    return dynamic_cast<Plazma*>(get("p"));
  }
  // The picture in hands over, filled with the sentinel.
  static Image* preset(Plazma* p, int w, int h) {
    Image* image = p->in->stream(w, h);
    std::memset(image->pixels, kSentinel, size_t(w) * size_t(h));
    return image;
  }
};

TEST_F(PlazmaTest, WindowsAtTheirOffsetsAveragedAndScaled) {
  constexpr int W = 640, H = 480, TW = 2 * W;
  const struct {
    const char* params;
    int x[3], y[3];  // window starts in the pattern
    int f;
  } cases[] = {
      {"", {319, 319, 319}, {239, 239, 239}, 255},  // all at 0: the three windows coincide
      {"b=256", {319, 319, 319}, {239, 239, 239}, 0},
      {"b=-1", {319, 319, 319}, {239, 239, 239}, 255},  // low 8 bits
      {"b=100.9,r=7,g=3", {319, 319, 319}, {239, 239, 239}, 100},
      {"xr=-1,yr=-1,xg=1,yg=1", {0, 639, 319}, {0, 479, 239}, 255},
      {"xb=0.5,yb=-0.5,b=128", {319, 319, 479}, {239, 239, 119}, 128},
  };
  for (const auto& c : cases) {
    Plazma* p = build(c.params);
    preset(p, W, H);
    const Image* out = p->stream(W, H);
    ASSERT_EQ(p->tableW, TW);
    const uint8_t* T = p->table.data();
    int wrong = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        int sum = 0;
        for (int k = 0; k < 3; ++k) sum += T[(c.y[k] + y) * TW + c.x[k] + x];
        wrong += out->pixels[y * W + x] != ((sum / 3 * c.f) >> 8);
      }
    EXPECT_EQ(wrong, 0) << c.params;
  }
}

TEST_F(PlazmaTest, PatternOfTheFirstSize) {
  Plazma* p = build("");
  p->stream(640, 480);
  ASSERT_EQ(p->table.size(), size_t(1280 * 960));
  const uint8_t* T = p->table.data();
  // Row 0 is sin(c / 104) (the row factor is 1 / (74 + 30)), column 0 is 127
  // everywhere (sin 0), and no value exceeds 254.
  for (int c : {0, 50, 200, 400, 1000}) EXPECT_NEAR(T[c], int(std::sin(c / 104.0) * 127 + 127), 1) << c;
  int off = 0, high = 0;
  for (int r = 0; r < 960; ++r) off += T[r * 1280] != 127;
  for (size_t i = 0; i < p->table.size(); ++i) high += T[i] > 254;
  EXPECT_EQ(off, 0);
  EXPECT_EQ(high, 0);
  // The pattern stays that of the first size.
  p->stream(64, 48);
  EXPECT_EQ(p->tableW, 1280);
  EXPECT_EQ(p->table.size(), size_t(1280 * 960));
}

TEST_F(PlazmaTest, WindowsOutsideThePatternDrawNothing) {
  // The pattern is made for 64x48 (128x96 bytes); then a request of w x h.
  // With b=64 no drawn pixel exceeds 63, so none is the sentinel.
  const struct {
    const char* params;
    int w, h;
    bool drawn;
  } cases[] = {
      {"yr=-1.5", 64, 48, false},  // starts 120 rows before the pattern
      {"xr=-1.5", 64, 48, true},   // 15 bytes before row 23: still inside, as one array
      {"yb=1.5", 64, 48, false},   // runs past the last row
      {"xr=1,yr=1", 64, 48, true},
      {"xg=6,yg=1", 64, 48, false},  // past the end through the row wrap
      {"xr=-1,yr=-1,xg=-1,yg=-1,xb=-1,yb=-1", 128, 96, true},  // exactly the whole pattern
      {"", 128, 96, false},
      {"", 200, 40, true},  // wider than the pattern: its rows wrap, but it is read inside
      {"", 200, 100, false},
  };
  for (const auto& c : cases) {
    Plazma* p = build(std::string(c.params) + (*c.params ? "," : "") + "b=64");
    p->stream(64, 48);
    const Image* out = preset(p, c.w, c.h);
    p->stream(c.w, c.h);
    int untouched = 0;
    for (int i = 0; i < c.w * c.h; ++i) untouched += out->pixels[i] == kSentinel;
    EXPECT_EQ(untouched, c.drawn ? 0 : c.w * c.h) << c.params << " " << c.w << "x" << c.h;
  }
}

TEST_F(PlazmaTest, SmallerRequestsStepByThePatternsRows) {
  Plazma* p = build("");
  p->stream(64, 48);
  Image* out = preset(p, 32, 24);
  p->stream(32, 24);
  // At 32x24 the position 0 is column 15, row 11; rows are 128 bytes apart.
  int wrong = 0;
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x) wrong += out->pixels[y * 32 + x] != ((p->table[(11 + y) * 128 + 15 + x] * 255) >> 8);
  EXPECT_EQ(wrong, 0);

  // A picture with fewer rows than asked is drawn where it has pixels only.
  GuardedPicture small(64, 10, kSentinel);
  p->in = &small;
  p->stream(64, 48);
  EXPECT_TRUE(small.guardIntact());
  EXPECT_EQ(small.bytes[639], (p->table[(23 + 9) * 128 + 31 + 63] * 255) >> 8);
}

TEST_F(PlazmaTest, NoPatternLargerThanAPicture) {
  Plazma* p = build("");
  GuardedPicture small(8, 2, kSentinel);
  p->in = &small;
  p->stream(5000, 4000);  // a pattern of 80 million bytes: none is made, nothing drawn
  EXPECT_FALSE(p->built);
  EXPECT_TRUE(small.guardIntact());
  EXPECT_EQ(small.bytes[0], kSentinel);
  p->stream(8, 2);  // the next request makes it
  EXPECT_EQ(p->tableW * p->tableH, 16 * 4);
  EXPECT_EQ(small.bytes[0], (p->table[3] * 255) >> 8);  // (3, 0): the position 0 of 8x2
}

TEST_F(PlazmaTest, GoldenFrame) {
  Plazma* p = build("xr=0.3,yr=-0.2,xg=-0.7,yg=0.5,xb=0.9,yb=-0.9,b=200");
  const Image* out = p->stream(72, 40);  // 72: SIMD blocks and a tail
  EXPECT_EQ(fnv1a(p->table.data(), p->table.size()), 335508538424514645ull);
  EXPECT_EQ(fnv1a(out->pixels, 72 * 40), 18340139491150715479ull);
}

}  // namespace
