// Enlarging the picture for large displays: the enlargers against a plain
// nearest-neighbour reference, and where the picture lands on a desktop.
#include "frames.h"
#include "testutil.h"

#include <random>
#include <unistd.h>

namespace {

std::vector<uint8_t> noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) b = uint8_t(rng());
  return v;
}

// Every block is its source pixel, rows and columns alike; bytes of the
// target outside the block area (guards) are never touched.  Widths around
// the 16-byte steps catch a vector loop that overruns or leaves a tail.
TEST(Enlarge, EachPixelBecomesAnNByNBlockAndNothingElseIsWritten) {
  for (int n : {1, 2, 3, 4, 5, 8}) {
    for (int w : {1, 7, 15, 16, 17, 33, 640}) {
      const int h = 3, srcStride = w + 5, guard = 9;
      const std::vector<uint8_t> src = noise(size_t(srcStride) * h, unsigned(n * 1000 + w));
      const int dstStride = w * n + guard;
      std::vector<uint8_t> dst(size_t(dstStride) * size_t(h * n + 1), 0xEE);
      gfx_Enlarge(src.data(), size_t(srcStride), w, h, n, dst.data(), size_t(dstStride));
      for (int y = 0; y < h * n + 1; ++y)
        for (int x = 0; x < dstStride; ++x) {
          const uint8_t got = dst[size_t(y) * size_t(dstStride) + size_t(x)];
          const bool inside = y < h * n && x < w * n;
          const uint8_t want = inside ? src[size_t(y / n) * size_t(srcStride) + size_t(x / n)] : 0xEE;
          ASSERT_EQ(got, want) << "n=" << n << " w=" << w << " at " << x << "," << y;
        }
    }
  }
}

// The fit follows target(x, y) = source(x * sw / dw, y * sh / dh) for
// enlargement, shrinking and sizes with no common factor.
TEST(Enlarge, FitIsNearestNeighbourAtAnySize) {
  struct Case {
    int sw, sh, dw, dh;
  } cases[] = {{640, 480, 1440, 1080}, {640, 300, 1920, 900}, {640, 480, 1707, 1280}, {640, 480, 500, 375},
               {3, 2, 7, 5}, {1, 1, 4, 3}};
  for (const Case& c : cases) {
    const std::vector<uint8_t> src = noise(size_t(c.sw) * c.sh, unsigned(c.dw));
    std::vector<uint8_t> dst(size_t(c.dw + 3) * c.dh, 0xEE);
    gfx_Fit(src.data(), size_t(c.sw), c.sw, c.sh, dst.data(), size_t(c.dw + 3), c.dw, c.dh);
    for (int y = 0; y < c.dh; ++y)
      for (int x = 0; x < c.dw + 3; ++x) {
        const uint8_t want = x < c.dw ? src[size_t(int64_t(y) * c.sh / c.dh) * size_t(c.sw) + size_t(int64_t(x) * c.sw / c.dw)]
                                      : 0xEE;
        ASSERT_EQ(dst[size_t(y) * size_t(c.dw + 3) + size_t(x)], want) << c.dw << "x" << c.dh << " at " << x << "," << y;
      }
  }
  // A band of rows, as a full-screen present draws it: those rows exactly,
  // the rows above and below untouched.
  const std::vector<uint8_t> src = noise(640 * 480, 7);
  std::vector<uint8_t> whole(1440 * 1080), band(1440 * 1080, 0xEE);
  gfx_Fit(src.data(), 640, 640, 480, whole.data(), 1440, 1440, 1080);
  gfx_Fit(src.data(), 640, 640, 480, band.data(), 1440, 1440, 1080, 203, 878);
  for (int y = 0; y < 1080; ++y)
    for (int x = 0; x < 1440; x += 13) {
      const size_t i = size_t(y) * 1440 + size_t(x);
      ASSERT_EQ(band[i], y >= 203 && y < 878 ? whole[i] : 0xEE) << x << "," << y;
    }
}

TEST(Layout, ThePictureIsAsLargeAsAsked_CentredAndNeverLargerThanTheScreen) {
  struct Case {
    bool full;
    int desktopW, desktopH, request;
    int displayW, displayH, pictureW, pictureH, originX, originY, scale;
    bool clamped;
  } cases[] = {
      // Full screen: the desktop's size, the largest whole scale by default.
      {true, 1920, 1080, kGfxScaleDefault, 1920, 1080, 1280, 960, 320, 60, 2, false},
      {true, 3840, 2160, kGfxScaleDefault, 3840, 2160, 2560, 1920, 640, 120, 4, false},
      {true, 1366, 768, kGfxScaleDefault, 1366, 768, 640, 480, 363, 144, 1, false},
      {true, 1920, 1080, 1, 1920, 1080, 640, 480, 640, 300, 1, false},
      {true, 1920, 1080, 5, 1920, 1080, 1280, 960, 320, 60, 2, true},
      // Fit: the narrower side decides; a small desktop shrinks the picture.
      {true, 1920, 1080, kGfxScaleFit, 1920, 1080, 1440, 1080, 240, 0, 0, false},
      {true, 1280, 1024, kGfxScaleFit, 1280, 1024, 1280, 960, 0, 32, 0, false},
      {true, 600, 400, kGfxScaleFit, 600, 400, 533, 400, 33, 0, 0, false},
      // Unknown desktop: the 640x480 screen of old.
      {true, 0, 0, kGfxScaleDefault, 640, 480, 640, 480, 0, 0, 1, false},
      // A window is the picture: 640x300 unless asked; auto fits the desktop.
      {false, 1920, 1080, kGfxScaleDefault, 640, 300, 640, 300, 0, 0, 1, false},
      {false, 1920, 1080, 2, 1280, 600, 1280, 600, 0, 0, 2, false},
      {false, 1920, 1080, kGfxScaleAuto, 1920, 900, 1920, 900, 0, 0, 3, false},
      {false, 3840, 2160, kGfxScaleAuto, 3840, 1800, 3840, 1800, 0, 0, 6, false},
      {false, 0, 0, kGfxScaleAuto, 640, 300, 640, 300, 0, 0, 1, false},
  };
  for (const Case& c : cases) {
    const GfxLayout l = gfx_Layout(c.full, c.desktopW, c.desktopH, c.request);
    const std::string what = std::string(c.full ? "full " : "window ") + std::to_string(c.desktopW) + "x" +
                             std::to_string(c.desktopH) + " request " + std::to_string(c.request);
    EXPECT_EQ(l.displayW, c.displayW) << what;
    EXPECT_EQ(l.displayH, c.displayH) << what;
    EXPECT_EQ(l.pictureW, c.pictureW) << what;
    EXPECT_EQ(l.pictureH, c.pictureH) << what;
    EXPECT_EQ(l.originX, c.originX) << what;
    EXPECT_EQ(l.originY, c.originY) << what;
    EXPECT_EQ(l.scale, c.scale) << what;
    EXPECT_EQ(l.clamped, c.clamped) << what;
  }
}

// A capture at --scale 2 is the plain capture with every pixel doubled: the
// same frames, sharp, and the fade and bars exactly as at scale 1.
TEST(Enlarge, ACaptureAtScaleTwoIsThePlainCaptureDoubled) {
  char buf[4096];
  const std::string cwd = getcwd(buf, sizeof buf) ? buf : ".";
  ASSERT_EQ(chdir(VELMORIN_SHOW_DIR), 0);
  plg_SetFile("velmorin.plg");
  std::string dirs[2];
  for (int scale : {1, 2}) {
    char dir[] = "/tmp/velmorin-scale-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dirs[scale - 1] = dir;
    CaptureOptions o;
    o.fps = 4;
    o.startOrder = 4;  // the flash over the bars, then the picture
    o.maxFrames = 6;
    o.scale = scale;
    o.framesDir = dir;
    o.quiet = true;
    EXPECT_EQ(cap_Run(o), 0);
  }
  for (int n = 0; n < 6; ++n) {
    const Grey a = readPng(frameName(dirs[0], n)), b = readPng(frameName(dirs[1], n));
    ASSERT_EQ(a.width, 640);
    ASSERT_EQ(a.height, 480);
    ASSERT_EQ(b.width, 1280);
    ASSERT_EQ(b.height, 960);
    for (int y = 0; y < 960; ++y)
      for (int x = 0; x < 1280; ++x) ASSERT_EQ(b.at(x, y), a.at(x / 2, y / 2)) << "frame " << n << " at " << x << "," << y;
  }
  for (const std::string& d : dirs) std::system(("rm -rf '" + d + "'").c_str());
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

}  // namespace
