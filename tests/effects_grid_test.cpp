// Mapper, Warper and Light: the shared grid's sizes and lifetime, the cell
// fill against a plain per-pixel walk, grid entries and lit pixels worked out
// by hand, and checksums of small frames of every type.
#include "testutil.h"

#include "effects/effects.h"
#include "effects/grid_private.h"

#include <random>
#include <vector>

namespace {

using Pixels = std::vector<uint8_t>;

// A picture handed to in= or tex=.
struct Held final : Stream {
  Image* image;
  Held(int w, int h, uint8_t (*fill)(int x, int y)) : Stream(nullptr, nullptr) {
    image = img_Create(w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) image->pixels[y * w + x] = fill(x, y);
  }
  ~Held() override { img_Destroy(image); }
  Pixels pixels() const { return Pixels(image->pixels, image->pixels + image->width * image->height); }

 protected:
  Image* onStream(int, int) override { return image; }
};

uint8_t black(int, int) { return 0; }
uint8_t grey100(int, int) { return 100; }
// A texture whose texels tell their place: a wrong row or column shows.
uint8_t pattern(int x, int y) { return uint8_t((x * 7 + y * 13 + (x * y >> 3)) & 255); }

uint32_t fnv(const Pixels& p) {
  uint32_t h = 2166136261u;
  for (uint8_t b : p) h = (h ^ b) * 16777619u;
  return h;
}

struct EffectsGrid : ScriptFixture {
  template <class T>
  T* build(const std::string& decl) {
    load("s.plg\no: " + decl + ";\n");
    return dynamic_cast<T*>(get("o"));
  }
  // Draws DECL over in (with tex as its texture) at in's size.
  Pixels draw(const std::string& decl, Held& in, Held* tex = nullptr) {
    PlugIn* o = build<PlugIn>(decl);
    if (auto* m = dynamic_cast<Mapper*>(o)) m->in = &in, m->tex = tex ? tex : m->tex;
    if (auto* w = dynamic_cast<Warper*>(o)) w->in = &in, w->tex = tex ? tex : w->tex;
    if (auto* l = dynamic_cast<Light*>(o)) l->in = &in;
    o->stream(in.image->width, in.image->height);
    return in.pixels();
  }
};

// ---------------------------------------------------------------------------
// The fill as written down, cell by cell and pixel by pixel, in 32-bit
// wrapping arithmetic.
Pixels referenceFill(int W, int H, const uint8_t* T, bool shaded) {
  Pixels out(size_t(W) * size_t(H), 0xEE);
  const int gw = GRID.gw, gh = GRID.gh;
  auto at = [gh](const int32_t* g, int i, int j) { return uint32_t(g[i * gh + j]); };
  for (int j = 0; j < gh - 1; ++j)
    for (int i = 0; i < gw - 1; ++i) {
      const int x0 = 8 * i, y0 = 8 * j, cw = std::min(8, W - x0), ch = std::min(8, H - y0);
      const int32_t* grids[3] = {GRID.U, GRID.V, GRID.S};
      uint32_t left[3], leftStep[3], right[3], rightStep[3];
      for (int q = 0; q < (shaded ? 3 : 2); ++q) {
        left[q] = at(grids[q], i, j) << 8;
        leftStep[q] = (at(grids[q], i, j + 1) - at(grids[q], i, j)) << 5;
        right[q] = at(grids[q], i + 1, j) << 8;
        rightStep[q] = (at(grids[q], i + 1, j + 1) - at(grids[q], i + 1, j)) << 5;
      }
      for (int r = 0; r < ch; ++r) {
        uint32_t value[3], step[3];
        for (int q = 0; q < 3; ++q) {
          value[q] = left[q];
          step[q] = uint32_t(int32_t(right[q] - left[q]) >> 3);
        }
        for (int p = 0; p < cw; ++p) {
          const unsigned texel = T[((value[1] >> 16) & 255) * 256 + ((value[0] >> 16) & 255)];
          const unsigned s = (value[2] >> 16) & 255;
          out[size_t(y0 + r) * size_t(W) + size_t(x0 + p)] = uint8_t(shaded ? (texel * s) >> 8 : texel);
          for (int q = 0; q < 3; ++q) value[q] += step[q];
        }
        for (int q = 0; q < 3; ++q) left[q] += leftStep[q], right[q] += rightStep[q];
      }
    }
  return out;
}

TEST_F(EffectsGrid, GridSizeGrowsAndIsFreedWithAnyOwner) {
  const struct {
    int w, h, gw, gh;
  } sizes[] = {
      {640, 480, 81, 61}, {644, 480, 82, 61}, {8, 8, 2, 2}, {1, 1, 2, 2}, {9, 17, 3, 4},
      {0, 0, 0, 0},  // the remembered size after a release: nothing to size
  };
  for (const auto& s : sizes) {
    grid_Release();
    grid_Size(s.w, s.h);
    EXPECT_EQ(GRID.gw, s.gw) << s.w;
    EXPECT_EQ(GRID.gh, s.gh) << s.h;
    EXPECT_EQ(GRID.capacity, s.gw * s.gh) << s.w << "x" << s.h;
  }
  // Grids never shrink; a smaller frame keeps the big grids.
  grid_Release();
  grid_Size(640, 480);
  const int32_t* big = GRID.U;
  grid_Size(320, 240);
  EXPECT_EQ(GRID.capacity, 81 * 61);
  EXPECT_EQ(GRID.U, big);
  EXPECT_EQ(GRID.gw, 41);

  // Destroying any one of the three frees the grids and the light tables;
  // a surviving Mapper builds them again on its next draw.
  for (const char* owner : {"mapper", "warper", "light"}) {
    load(std::string("s.plg\nm: mapper;\nl: light;\no: ") + owner + ";\n");
    get("m")->stream(24, 16);
    get("l")->stream(24, 16);
    get("o");
    ASSERT_NE(GRID.U, nullptr);
    ASSERT_NE(GRID.light[2], nullptr);
    Declaration* d = list;
    while (d->label != "o") d = d->next;
    delete d->object;
    d->object = nullptr;
    EXPECT_EQ(GRID.U, nullptr) << owner;
    EXPECT_EQ(GRID.light[2], nullptr) << owner;
    EXPECT_EQ(GRID.capacity, 0) << owner;
    get("m")->stream(24, 16);
    EXPECT_EQ(GRID.capacity, 4 * 3) << owner;
  }
}

TEST_F(EffectsGrid, CellFillMatchesThePlainWalk) {
  std::mt19937 rng(7);
  Held tex(256, 256, pattern);
  const struct {
    int w, h;
  } sizes[] = {{644, 36}, {40, 40}, {7, 5}, {100, 9}, {33, 1}};
  for (const auto& size : sizes)
    for (int wild = 0; wild < 2; ++wild) {
      grid_Release();
      grid_Size(size.w, size.h);
      const int n = GRID.gw * GRID.gh;
      for (int k = 0; k < n; ++k) {
        // Near-linear grids as rays give, or wild ones with the miss value,
        // whose differences wrap.
        if (wild) {
          GRID.U[k] = k % 5 == 0 ? INT32_MIN : int32_t(rng());
          GRID.V[k] = k % 7 == 0 ? INT32_MIN : int32_t(rng());
        } else {
          GRID.U[k] = int32_t(k / GRID.gh * 2100 + int(rng() % 300));
          GRID.V[k] = int32_t(k % GRID.gh * 1900 - int(rng() % 300));
        }
        GRID.S[k] = int32_t(rng() % 65536);
      }
      for (bool shaded : {false, true}) {
        Image* dest = img_Create(size.w, size.h);
        grid_Fill(dest, tex.image->pixels, shaded);
        const Pixels got(dest->pixels, dest->pixels + size.w * size.h);
        img_Destroy(dest);
        EXPECT_EQ(got, referenceFill(size.w, size.h, tex.image->pixels, shaded))
            << size.w << "x" << size.h << (wild ? " wild" : "") << (shaded ? " shaded" : "");
      }
    }
}

// A 24x24 frame has a grid point at the centre of the frame, (2, 2) of 4x4:
// its ray is the mean of the four corners, (0, 0, c) with c > 0.
TEST_F(EffectsGrid, MapperCentreRayHitsWhereWorkedOut) {
  const struct {
    const char* params;
    int32_t u, v, s;  // s < 0: not checked
  } cases[] = {
      // Plane y + z = 512 from (0, 0, -128): hit (0, 0, 512); |0 + 512| * 51.2
      // and |512| * 102.4.  Shade 65535 - trunc(640 * 40.96).
      {"type=0", 26214, 52428, -1},
      {"type=3", 26214, 52428, 39321},
      // z scrolls the plane: |z + 512| * 102.4.
      {"type=0,z=-256", 26214, 26214, -1},
      // Along the tube's axis: A = 0 and the root is 0/0, the miss value.
      {"type=1", INT32_MIN, INT32_MIN, -1},
      {"type=4", INT32_MIN, INT32_MIN, 0},
      // Sphere from (0, 0, -700): hit (0, 0, -256), texel (128, 128); shade
      // 65535 - trunc(444 * 40.96).
      {"type=2,z=-700", 32768, 32768, -1},
      {"type=5,z=-700", 32768, 32768, 47349},
      // Truncated types.
      {"type=2.9,z=-700", 32768, 32768, -1},
      {"type=-0.5", 26214, 52428, -1},
  };
  for (const auto& c : cases) {
    build<Mapper>(std::string("mapper ") + c.params)->stream(24, 24);
    ASSERT_EQ(GRID.gw, 4);
    const int at = 2 * GRID.gh + 2;
    EXPECT_EQ(GRID.U[at], c.u) << c.params;
    EXPECT_EQ(GRID.V[at], c.v) << c.params;
    if (c.s >= 0) {
      EXPECT_EQ(GRID.S[at], c.s) << c.params;
    }
  }
}

TEST_F(EffectsGrid, UnknownTypesAreFatal) {
  const struct {
    const char* decl;
    const char* message;
  } cases[] = {
      {"mapper type=6", "unknown mapper type"}, {"mapper type=-1", "unknown mapper type"},
      {"light type=6", "unknown light type"},   {"light type=-1.5", "unknown light type"},
      {"warper type=2", "unknown shading type"}, {"warper type=-1", "unknown shading type"},
      {"mapper type=5.99", ""}, {"light type=5.5", ""}, {"warper type=1.9", ""},
  };
  for (const auto& c : cases) {
    PlugIn* o = build<PlugIn>(c.decl);
    EXPECT_EQ(errorOf([&] { o->stream(16, 8); }), c.message) << c.decl;
  }
}

// Lit pixels worked out from the falloff formulas.
TEST_F(EffectsGrid, LightValuesWorkedOutByHand) {
  const struct {
    const char* params;
    int x, y;     // pixel looked at
    int expect;   // in is grey 100
  } cases[] = {
      // Defaults: centre (0, 0), inverse square, v limited to 255: 255*255 >> 8.
      {"", 0, 0, 254},
      // Inverse distance at 10: T = 65535, v = 255*65535 >> 16 = 254, lit 253.
      {"type=0,x=10", 0, 0, 253},
      // Linear at 64: T = trunc(64 * 511.9921875) = 32767, v = 127, lit 126.
      {"type=1,x=64", 0, 0, 126},
      {"type=1,x=5,y=128", 5, 0, 0},     // distance 128: no light
      {"type=4,x=5,y=128", 5, 0, 100},   // ... added: unchanged
      {"type=4,x=64", 0, 0, 226},        // 100 + 126
      {"type=3", 0, 0, 255},             // 100 + 254 saturates
      {"r=256,g=256,b=256", 0, 0, 0},    // grey 256: low 8 bits 0, black
      {"r=3,g=0,b=0", 0, 0, 0},          // grey 1: 1*255 >> 8
      {"r=30,g=0,b=0", 0, 0, 9},         // grey 10: 10*255 >> 8
      {"i=-1", 0, 0, 254},               // the product taken unsigned: limited to 255
      // Far outside: clamped to distances 299 and 511; linear is 0 there.
      {"type=1,x=100000,y=-100000", 3, 3, 0},
      {"type=4,x=-2147483648,y=2147483647", 3, 3, 100},
      // Inverse square at (299, 511): T = trunc(6553500 / 350522) = 18,
      // v = 255*18 >> 16 = 0.
      {"type=2,x=100000,y=100000", 2, 2, 0},
      // Where the runs meet the clamp at 511, from either side.  Distance
      // 510: T = 655350 / 510 = 1285, v = 10000*1285 >> 16 = 196, lit 195;
      // 511 and beyond: T = 1282, v = 195, lit 194.
      {"type=0,x=-505,i=10000", 5, 0, 195},
      {"type=0,x=-505,i=10000", 6, 0, 194},
      {"type=0,x=512,i=10000", 2, 0, 195},
      {"type=0,x=512,i=10000", 1, 0, 194},
      {"type=0,x=512,i=10000", 0, 0, 194},
      // The last column repeats the one before it: linear light centred on
      // it shows distance 1's T = trunc(127 * 511.9921875) = 65023, v = 253,
      // lit 252, not the centre's 254.
      {"type=1,x=7", 7, 0, 252},
      {"type=4,x=7,y=5", 7, 5, 255},  // 100 + 252
      {"type=0,x=7,y=2", 7, 3, 254},
  };
  for (const auto& c : cases) {
    Held in(8, 6, grey100);
    EXPECT_EQ(draw(std::string("light ") + c.params, in)[size_t(c.y * 8 + c.x)], c.expect) << c.params;
  }
  // One column has none before it to copy: the pixel keeps its light.
  Held one(1, 3, black);
  EXPECT_EQ(draw("light", one), (Pixels{254, 254, 254}));
}

TEST_F(EffectsGrid, WarperWithoutWavesTilesTheTexture) {
  Held tex(256, 256, pattern);
  // Plain: texel (x mod 256, y mod 256), the last cell 4 pixels wide; a
  // scroll moves by whole texels.
  for (int scroll : {0, 3}) {
    Held in(300, 20, black);
    const Pixels p = draw("warper x=" + std::to_string(scroll) + ",y=" + std::to_string(-scroll), in, &tex);
    int wrong = 0;
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 300; ++x) wrong += p[size_t(y * 300 + x)] != pattern((x + scroll) & 255, (y - scroll) & 255);
    EXPECT_EQ(wrong, 0) << scroll;
  }
  // Shaded: the shade is 0 on the first grid row and column (sin 0), so the
  // first pixel row and column are black; inside they are not.
  Held in(32, 32, grey100);
  const Pixels p = draw("warper type=1", in, &tex);
  int lit = 0;
  for (int k = 0; k < 32; ++k) EXPECT_EQ(p[size_t(k)] | p[size_t(k * 32)], 0) << k;
  for (int k = 33; k < 32 * 32; ++k) lit += p[size_t(k)] != 0;
  EXPECT_GT(lit, 500);
  // U = 2048 j, V = 2048 i at grid point (1, 1): L = (2048 sin(pi/34) +
  // 2048 sin(pi/30)) / 256 = 1.575..., S = trunc(L * 256) = 403.
  EXPECT_EQ(GRID.S[1 * GRID.gh + 1], 403);
}

TEST_F(EffectsGrid, FrameChecksums) {
  const struct {
    const char* decl;
    uint32_t sum;
  } cases[] = {
      {"mapper type=0,a=0.2,c=0.1,x=7", 0xED253E14u},
      {"mapper type=1,a=0.2,c=0.1,z=40", 0x8CD46462u},
      {"mapper type=2,z=-500,c=0.3,hskew=4", 0x9F07E1E9u},
      {"mapper type=3,a=-0.1,b=0.2,vskew=3", 0x3B7A8035u},
      {"mapper type=4,a=0.2,c=0.1,fov=90", 0xF04128F4u},
      {"mapper type=5,z=-500,x=30,c=0.3", 0xC7940911u},
      {"warper dx=6,dy=4,amp=0.7,x=2", 0xA7399EFDu},
      {"warper type=1,dx=6,dy=4,amp=0.7,y=-9", 0x29D35691u},
      {"light type=0,x=20,y=9", 0x656E0F7Bu},
      {"light type=1,x=20,y=9,r=200,g=100,b=50", 0x84E6DEF8u},
      {"light type=2,x=-3,y=30,i=180", 0xF41994BFu},
      {"light type=3,x=20,y=9", 0xC901FB21u},
      {"light type=4,x=40,y=0", 0x2AB59435u},
      {"light type=5,x=10,y=10,i=60", 0xC5FACD9Eu},
  };
  Held tex(256, 256, pattern);
  for (const auto& c : cases) {
    Held in(44, 28, grey100);
    EXPECT_EQ(fnv(draw(c.decl, in, &tex)), c.sum) << c.decl;
  }
}

}  // namespace
