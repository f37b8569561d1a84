// Voxel: the landscape from the C library's random numbers, the horizon and
// shade over a flat land worked out by hand, and golden frames.
#include "testutil.h"

#include "effects/effects.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint8_t kSky = 7;  // the in picture before drawing; below any land pixel of b >= 14

struct VoxelTest : ScriptFixture {
  Voxel* build(const std::string& params) {
    load("s.plg\nv = voxel " + params + ";\n");
    return dynamic_cast<Voxel*>(get("v"));
  }
  static Image* render(Voxel* v, int w, int h) {
    std::memset(v->in->stream(w, h)->pixels, kSky, size_t(w) * size_t(h));
    return v->stream(w, h);
  }
};

// Land is drawn from the bottom row up without a gap, and the sky above it
// is the in picture's: so each column is a run of land under a run of sky.
int columnsWithHoles(const Image* image) {
  int bad = 0;
  for (int x = 0; x < image->width; ++x) {
    bool sky = false, hole = false;
    for (int y = image->height - 1; y >= 0; --y) {
      const bool s = image->pixels[y * image->width + x] == kSky;
      hole |= sky && !s;
      sky |= s;
    }
    bad += hole;
  }
  return bad;
}

TEST_F(VoxelTest, LandscapeFollowsTheRandomSequence) {
  std::srand(1);  // glibc's sequence from its start, as a program that never seeds
  build("");
  const uint64_t height = fnv1a(&vox_Maps().height[0][0], 65536), shade = fnv1a(&vox_Maps().shade[0][0], 65536);
  EXPECT_EQ(height, 13563288951365334142ull);
  EXPECT_EQ(shade, 7651302090586516628ull);
  build("");  // further numbers: another landscape
  EXPECT_NE(fnv1a(&vox_Maps().height[0][0], 65536), height);
  std::srand(1);
  build("");
  EXPECT_EQ(fnv1a(&vox_Maps().height[0][0], 65536), height);
  EXPECT_EQ(fnv1a(&vox_Maps().shade[0][0], 65536), shade);
}

TEST_F(VoxelTest, FlatLandFillsBelowTheFarthestHorizon) {
  const struct {
    int height, shade;
    const char* params;
    int w, h;
    int grey;  // (b + 4 * (shade >> 2)) >> 1, low 8 bits
  } cases[] = {
      {100, 128, "", 64, 48, 191},
      {0, 255, "b=100", 40, 30, 176},
      {255, 0, "b=600", 33, 100, 44},    // 600 >> 1, low 8 bits
      {17, 64, "x=3.7,y=-9.2,a=2", 50, 480, 159},
  };
  for (const auto& c : cases) {
    Voxel* v = build(c.params);
    auto flat = std::make_unique<VoxelMaps>();
    std::memset(flat->height, c.height, sizeof flat->height);
    std::memset(flat->shade, c.shade, sizeof flat->shade);
    vox_SetMaps(*flat);
    const Image* out = render(v, c.w, c.h);
    // Every line sees the land 30 below the eye; the farthest one is highest
    // on the screen.
    const int half = c.h / 2;
    int horizon = c.h;
    for (int d = 0; d < half; d += (d >> 6) + 1)
      horizon = std::min(horizon, half + ((30 * ((half << 8) / (d + 1))) >> 11));
    int wrong = 0;
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) wrong += out->pixels[y * c.w + x] != (y > horizon ? c.grey : kSky);
    EXPECT_EQ(wrong, 0) << c.params << " horizon " << horizon;
  }
}

TEST_F(VoxelTest, GoldenFrames) {
  const struct {
    const char* params;
    int w, h;
    uint64_t hash;
  } cases[] = {
      {"", 64, 48, 1657680662850509203ull},  // looking along the columns, 45 degrees either side
      {"x=10.5,y=20.25,a=0.3", 64, 48, 1673294496461364093ull},
      {"x=-3.7,y=100,a=2.5,b=128", 80, 60, 17055516077513361192ull},
      {"x=200,y=-50,a=-1", 64, 200, 7244038127369875457ull},
      {"x=77.1,y=31.9,a=4", 1100, 40, 3036754350646288185ull},  // wider than 1024 columns
      {"x=5,y=250,a=1", 2049, 24, 2170494988628605921ull},
  };
  for (const auto& c : cases) {
    std::srand(1);
    Voxel* v = build(c.params);
    const Image* out = render(v, c.w, c.h);
    EXPECT_EQ(fnv1a(out->pixels, size_t(c.w) * size_t(c.h)), c.hash) << c.params;
    EXPECT_EQ(columnsWithHoles(out), 0) << c.params;
  }
}

TEST_F(VoxelTest, DrawsOnlyWhereThePictureHasPixels) {
  std::srand(1);
  Voxel* v = build("x=10,y=10");
  GuardedPicture small(64, 20, kSky);
  v->in = &small;
  v->stream(64, 48);  // the land's lower rows fall outside the 20 held
  EXPECT_TRUE(small.guardIntact());
  // The rows it has are those of a full-size picture.
  std::srand(1);
  v = build("x=10,y=10");  // the first is freed with its scene
  Image* full = render(v, 64, 48);
  int differ = 0;
  for (int i = 0; i < 64 * 20; ++i) differ += small.bytes[size_t(i)] != full->pixels[i];
  EXPECT_EQ(differ, 0);

  // Past 32768 rows the products and row distances need 64 bits: a tall
  // request over a picture of two rows draws its top rows only.
  GuardedPicture strip(8, 2, kSky);
  v->in = &strip;
  v->stream(8, 3000000);
  EXPECT_TRUE(strip.guardIntact());
}

}  // namespace
