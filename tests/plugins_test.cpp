// The plugin model and the basic plugins: Layer, Constant, Oscilator, KeyB,
// Screen and Window.
#include "testutil.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

double fakeNow = 0;
double fakeClock() { return fakeNow; }

// Records what reaches the display.
struct RecordingSink final : GfxSink {
  std::vector<GfxRgb> palette;
  int palettes = 0;
  struct Blit {
    const Image* image;
    int sx, sy, dx, dy, w, h;
  };
  std::vector<Blit> blits;
  void setPalette(const GfxPalette& p) override {
    palette.assign(p, p + 256);
    ++palettes;
  }
  void blit(const Image* image, int sx, int sy, int dx, int dy, int w, int h) override {
    blits.push_back({image, sx, sy, dx, dy, w, h});
  }
};

struct Plugins : ScriptFixture {
  void SetUp() override {
    ScriptFixture::SetUp();
    tmr_SetSource(fakeClock);
    TML = TimelineState{};
    std::memset(KEY.held, 0, sizeof KEY.held);
  }
  void TearDown() override {
    tmr_SetSource(nullptr);
    gfx_Attach(nullptr, GfxMode::Closed);
    ScriptFixture::TearDown();
  }
  float valueOf(const char* label) { return get(label)->value(); }
};

TEST_F(Plugins, LayerKeepsItsImageAndRescalesOnANewSize) {
  Layer layer(nullptr, nullptr);
  Image* a = layer.stream(64, 64);
  ASSERT_EQ(a->width, 64);
  for (int i = 0; i < 64 * 64; ++i) a->pixels[i] = uint8_t((i % 64) * 4);  // a ramp across
  Image* b = layer.stream(128, 128);
  ASSERT_EQ(b->width, 128);
  ASSERT_EQ(b->height, 128);
  for (int x = 0; x < 128; ++x) EXPECT_EQ(b->pixels[5 * 128 + x], (x / 2) * 4) << x;
  EXPECT_EQ(layer.stream(128, 128), b);
  Image* empty = layer.stream(0, 0);  // nothing to draw, nothing to break
  EXPECT_EQ(empty->width, 0);
}

TEST_F(Plugins, WrongKindOfRequestIsAPluginError) {
  load("s.plg\nv = constant k=1;\nw = window in=v;\nm = oscilator amp=w;\n");
  try {
    get("w")->stream(10, 10);
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "stream request on value plugin");
    EXPECT_TRUE(e.plugin);
  }
  EXPECT_EQ(errorOf([&] { get("m")->value(); }), "value request on stream plugin");

  // Shared labels in a cycle that nothing breaks: an error, not a crash.
  load("s.plg\no = oscilator amp=p;\np = oscilator add=o;\nw = window in=w,w=8,h=8;\n");
  const std::string cycle = "requests nest too deep: a cycle of shared labels that nothing breaks";
  EXPECT_EQ(errorOf([&] { get("o")->value(); }), cycle);
  EXPECT_EQ(errorOf([&] { get("w")->stream(64, 64); }), cycle);
  // The count unwinds with the error: a sound graph still works afterwards.
  load("s.plg\nc = constant k=3;\n");
  EXPECT_FLOAT_EQ(valueOf("c"), 3);
}

TEST_F(Plugins, OscilatorFunctions) {
  struct Case {
    const char* params;
    double clock;
    float expect;
  } cases[] = {
      {"", 0, 0},                                        // sine, 1 Hz, on the show clock
      {"", 0.25, 1},
      {"fce=3,amp=2", 2, 0},                             // step: 0 up to and including amp
      {"fce=3,amp=2", 2.001, 1},
      {"fce=0,amp=1,freq=2,phase=0.5,time=1.3", 0, 1.1f},  // saw ignores add
      {"fce=0,amp=1,freq=2,phase=0.5,add=9,time=1.3", 0, 1.1f},
      {"fce=4,freq=3,phase=1,time=2", 5, 7},             // explicit time wins
      {"fce=4,freq=3,phase=1,time=0", 5, 16},            // 0 follows the clock
      {"fce=4,freq=3,phase=1,time=-4", 5, 16},
      {"fce=4.9,freq=3,phase=1,time=2", 0, 7},           // truncated toward zero
      {"fce=2,amp=1,add=5", 0.25, 6},                    // square
      {"fce=2,amp=1,add=5", 0.75, 4},
      {"fce=2,amp=1,add=5", 0, 4},                       // sine exactly 0: low branch
      {"fce=1,amp=2,add=1,phase=3.14159265", 0, 1},
  };
  for (const Case& c : cases) {
    load(std::string("s.plg\no = oscilator ") + c.params + ";\n");
    fakeNow = c.clock;
    EXPECT_NEAR(valueOf("o"), c.expect, 1e-5) << c.params << " at " << c.clock;
  }
  // The show clock is scene-relative: speed times seconds minus the origin.
  load("s.plg\no = oscilator fce=4;\n");
  TML.t0 = 3;
  fakeNow = 5.5;
  EXPECT_FLOAT_EQ(valueOf("o"), 2.5f);
  for (const char* bad : {"fce=5", "fce=-1"}) {
    load(std::string("s.plg\no = oscilator ") + bad + ";\n");
    EXPECT_EQ(errorOf([&] { valueOf("o"); }), "unsupported function") << bad;
  }
}

TEST_F(Plugins, KeyBStepsWhileKeysAreHeldAndClamps) {
  EXPECT_EQ(keyb_Code("'a"), 'a');
  EXPECT_EQ(keyb_Code("65"), 65);
  EXPECT_EQ(keyb_Code("256"), -1);
  EXPECT_EQ(keyb_Code("-1"), -1);
  EXPECT_EQ(keyb_Code("x"), -1);
  EXPECT_EQ(keyb_Code(""), -1);
  EXPECT_EQ(keyb_Code("'"), -1);

  load("s.plg\nk: keyb start=5,max=1;\nm: keyb min=3,max=2;\nf = keyb;\n"
       "s = keyb inc='a,dec=66,start=0.5,step=0.2;\n");
  EXPECT_FLOAT_EQ(dynamic_cast<KeyB*>(get("k"))->current, 5);  // not clamped before the first request
  EXPECT_FLOAT_EQ(valueOf("k"), 1);
  EXPECT_FLOAT_EQ(valueOf("m"), 3);  // the lower clamp comes last
  EXPECT_FLOAT_EQ(valueOf("f"), 0);
  EXPECT_FLOAT_EQ(valueOf("s"), 0.5f);
  KEY.held['a'] = 1;
  EXPECT_FLOAT_EQ(valueOf("s"), 0.7f);  // once per request
  EXPECT_FLOAT_EQ(valueOf("s"), 0.9f);
  EXPECT_FLOAT_EQ(valueOf("s"), 1.0f);  // clamped at max
  KEY.held[66] = 1;
  EXPECT_FLOAT_EQ(valueOf("s"), 1.0f);  // both held: both apply
  KEY.held['a'] = 0;
  EXPECT_NEAR(valueOf("s"), 0.8f, 1e-6);
  // Two instances keep two states.
  load("s.plg\na = oscilator amp=k,add=k;\nk: keyb inc='a,start=0.5;\n");
  KEY.held['a'] = 1;
  fakeNow = 0;  // sine at 0: the result is add alone
  EXPECT_NEAR(valueOf("a"), 0.6f, 1e-6);
}

TEST_F(Plugins, ScreenRendersItsInputAndPresentsItsRectangle) {
  RecordingSink sink;
  gfx_Attach(&sink, GfxMode::Windowed);
  load("s.plg\nplain: screen in=l;\nsmall: screen xres=160,yres=120;\n"
       "band: screen xres=640,yres=480,y=90,h=300,in=l;\nl = window w=10,h=10;\n");
  get("plain")->stream(0, 0);  // warm-up renders without presenting
  EXPECT_TRUE(sink.blits.empty());
  auto* l = dynamic_cast<Window*>(get("l"));
  ASSERT_NE(l, nullptr);
  ASSERT_NE(l->outer, nullptr);
  EXPECT_EQ(l->outer->width, 320);
  EXPECT_EQ(l->outer->height, 240);

  get("plain")->stream(256, 256);
  get("small")->stream(256, 256);
  get("band")->stream(256, 256);
  ASSERT_EQ(sink.blits.size(), 3u);
  const int expect[3][6] = {{0, 0, 0, 0, 320, 240}, {0, 0, 0, 0, 160, 120}, {0, 90, 0, 0, 640, 300}};
  for (int i = 0; i < 3; ++i) {
    const auto& b = sink.blits[size_t(i)];
    EXPECT_EQ((std::vector<int>{b.sx, b.sy, b.dx, b.dy, b.w, b.h}),
              std::vector<int>(expect[i], expect[i] + 6)) << i;
  }
  EXPECT_EQ(sink.palettes, 0);  // no fade, no palette work
}

TEST_F(Plugins, WindowPastesAndShowsItsContentTheBackground) {
  // The content is a window over a back-reference to w: it sees the picture
  // under w before the paste, and puts its own 1x1 black layer at its corner.
  load("s.plg\n"
       "w = window win=content,x=600,y=2,w=64,h=4;\n"
       "content = window in=w,x=0,y=0,w=1,h=1;\n");
  auto* w = dynamic_cast<Window*>(get("w"));
  ASSERT_NE(w, nullptr);
  Image* background = w->in->stream(640, 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 640; ++x) background->pixels[y * 640 + x] = uint8_t(1 + x % 200);
  Image* out = w->stream(640, 8);
  ASSERT_EQ(out, background);
  ASSERT_NE(w->crop, nullptr);
  EXPECT_EQ(w->crop->width, 64);
  EXPECT_EQ(w->crop->height, 4);
  EXPECT_EQ(w->crop->pixels[1], 1 + 601 % 200);
  EXPECT_EQ(w->busy, 0);
  // Only the 40 columns that fit at x=600 were pasted, rows 2 to 5.
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 640; ++x) {
      const int expect = (x == 600 && y == 2) ? 0 : 1 + x % 200;
      ASSERT_EQ(out->pixels[y * 640 + x], expect) << x << "," << y;
    }
  // A window resized between frames hands its content a copy of the new size.
  load("s.plg\n"
       "w = window win=content,x=0,y=0,w=size,h=size;\n"
       "size = oscilator fce=4,freq=8,phase=8;\n"
       "content = window in=w,w=1,h=1;\n");
  w = dynamic_cast<Window*>(get("w"));
  fakeNow = 0;
  w->stream(64, 64);
  EXPECT_EQ(w->crop->width, 8);
  fakeNow = 1;
  w->stream(64, 64);
  EXPECT_EQ(w->crop->width, 16);
}

TEST_F(Plugins, PresentTurnsTheFadeIntoThePalette) {
  RecordingSink sink;
  Image* img = img_Create(8, 6);
  std::memset(img->pixels, 0, 48);
  struct Case {
    GfxMode mode;
    int fade;
    int entry;
    int expect;  // 6-bit grey
  } cases[] = {
      {GfxMode::Windowed, -256, 255, 0},  {GfxMode::Windowed, -256, 0, 0},
      {GfxMode::Windowed, 255, 0, 63},    {GfxMode::Windowed, 64, 100, 41},
      {GfxMode::Windowed, -64, 100, 9},   {GfxMode::Windowed, 300, 10, 63},
      {GfxMode::Fullscreen, 255, 0, 0},   {GfxMode::Fullscreen, 255, 1, 63},
      {GfxMode::Fullscreen, -100, 200, 25},
  };
  for (const Case& c : cases) {
    gfx_Attach(&sink, c.mode);
    gfx_Present(img, c.fade, 0, 0, 8, 6);
    ASSERT_EQ(sink.palette.size(), 256u);
    EXPECT_EQ(sink.palette[size_t(c.entry)].r, c.expect) << int(c.mode) << " " << c.fade << " " << c.entry;
  }

  // Full screen: black pixels of the presented rows move to entry 1 while a
  // fade is on; the rectangle stays at its own place.
  gfx_Attach(&sink, GfxMode::Fullscreen);
  std::memset(img->pixels, 0, 48);
  sink.blits.clear();
  gfx_Present(img, 10, 2, 1, 4, 2);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(img->pixels[y * 8 + x], (y == 1 || y == 2) ? 1 : 0) << x << "," << y;
  ASSERT_EQ(sink.blits.size(), 1u);
  EXPECT_EQ(sink.blits[0].dx, 2);
  EXPECT_EQ(sink.blits[0].dy, 1);

  // After a fade returns to 0, one present restores the ramp, then none touch it.
  gfx_Attach(&sink, GfxMode::Windowed);
  gfx_Present(img, 40, 0, 0, 8, 6);
  const int before = sink.palettes;
  gfx_Present(img, 0, 0, 0, 8, 6);
  EXPECT_EQ(sink.palettes, before + 1);
  EXPECT_EQ(sink.palette[200].r, 200 >> 2);
  gfx_Present(img, 0, 0, 0, 8, 6);
  EXPECT_EQ(sink.palettes, before + 1);
  img_Destroy(img);
}

TEST_F(Plugins, TexturesComeFromTheArchiveAndPicturesOutliveASecondSize) {
  ASSERT_EQ(dat_Open(VELMORIN_SHOW_DIR "/velmorin.dat"), 1);
  load("s.plg\nt = texture in=CLOUDS.png;\nlogo = texture in=title.png;\nno = texture in=nothing.png;\n");
  Image* full = get("t")->stream(256, 256);
  ASSERT_EQ(full->width, 256);
  const int corner = full->pixels[0], mid = full->pixels[128 * 256 + 128];
  Image* half = get("t")->stream(128, 128);  // rescaled from the last copy
  EXPECT_EQ(half->width, 128);
  EXPECT_EQ(half->pixels[0], corner);
  EXPECT_EQ(half->pixels[64 * 128 + 64], mid);
  EXPECT_EQ(get("logo")->stream(640, 480)->width, 640);
  EXPECT_EQ(errorOf([&] { get("no"); }), "texture 'nothing.png' not found");

  // One shared picture asked for two sizes in one request: Mirror asks its
  // tex for half the width, then its in for the whole; here both are the
  // same layer, and the half-size picture must still be readable.
  load("s.plg\nm = mirror tex=l,in=l,level=1;\nl = window w=1,h=1;\n");
  Image* out = get("m")->stream(64, 8);
  ASSERT_EQ(out->width, 64);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 32; ++x) ASSERT_EQ(out->pixels[y * 64 + x], out->pixels[y * 64 + 63 - x]);
}

}  // namespace

// The one-instruction truncation agrees with the plain one everywhere: at
// the saturation edges, NaN, infinities and over a sweep of bit patterns.
TEST(Trunc, FastPathAgreesWithTheLongWay) {
  const float edges[] = {0.0f, -0.0f, 0.99f, -0.99f, 2147483520.0f, -2147483520.0f, 2147483648.0f,
                         -2147483648.0f, 4e9f, -4e9f, 1e-40f, 65535.99f, -65536.5f,
                         std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN()};
  for (float v : edges) EXPECT_EQ(plg_Trunc(v), plg_TruncSlow(v)) << v;
  EXPECT_EQ(plg_Trunc(2147483520.0f), 2147483647);
  EXPECT_EQ(plg_Trunc(std::nextafter(2147483520.0f, 0.0f)), 2147483392);
  for (uint64_t bits = 0; bits < (1ull << 32); bits += 65521) {  // a prime stride meets every exponent
    float v;
    const uint32_t b = uint32_t(bits);
    std::memcpy(&v, &b, 4);
    ASSERT_EQ(plg_Trunc(v), plg_TruncSlow(v)) << b;
  }
}
