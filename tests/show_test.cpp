// The whole default show, captured at a low frame rate: every scene comes at
// its order, none is blank or one flat grey, and the show ends in black.
#include "frames.h"
#include "testutil.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <unistd.h>

namespace {

struct BandStats {
  double mean = 0, deviation = 0;
  int lo = 255, hi = 0;
};

// The band a scene presents, y=90..389 of the 640x480 screen.
BandStats bandStats(const Grey& g) {
  BandStats s;
  double sum = 0, squares = 0;
  for (int y = 90; y < 390; ++y)
    for (int x = 0; x < 640; ++x) {
      const int v = g.at(x, y);
      sum += v;
      squares += double(v) * v;
      s.lo = std::min(s.lo, v);
      s.hi = std::max(s.hi, v);
    }
  const double n = 640.0 * 300;
  s.mean = sum / n;
  s.deviation = std::sqrt(std::max(squares / n - s.mean * s.mean, 0.0));
  return s;
}

TEST(WholeShow, EverySceneComesAtItsOrderShowsAPictureAndTheEndIsBlack) {
  char buf[4096];
  const std::string cwd = getcwd(buf, sizeof buf) ? buf : ".";
  ASSERT_EQ(chdir(VELMORIN_SHOW_DIR), 0);
  plg_SetFile("velmorin.plg");
  char dir[] = "/tmp/velmorin-show-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  CaptureOptions o;
  o.fps = 2;
  o.framesDir = dir;
  o.quiet = true;
  ASSERT_EQ(cap_Run(o), 0);
  ASSERT_EQ(chdir(cwd.c_str()), 0);

  const std::vector<FrameLog> log = readFrameLog(dir);
  ASSERT_EQ(int(log.size()), countFrames(dir));
  ASSERT_GT(log.size(), 400u);  // about four minutes at 2 fps

  // Scenes follow the table, each starting in its switch order.
  std::vector<std::string> seen;
  for (const FrameLog& l : log) {
    if (!seen.empty() && seen.back() == l.scene) continue;
    const int index = int(seen.size());
    ASSERT_LT(index, kSceneCount) << "scene " << l.scene << " again at frame " << l.frame;
    EXPECT_EQ(l.scene, kSceneSections[index]) << "frame " << l.frame;
    if (index >= 1) {
      EXPECT_EQ(l.order, kSwitchOrders[index]) << l.scene;
    }
    seen.push_back(l.scene);
  }
  EXPECT_EQ(int(seen.size()), kSceneCount);

  // Away from fades and flashes every frame of every scene is a picture:
  // neither black nor one flat grey, and each scene moves.
  std::map<std::string, std::vector<BandStats>> byScene;
  std::map<std::string, std::vector<uint8_t>> firstPicture;
  std::map<std::string, int> changes;
  // A clip shows its first picture one decode after the scene opens it: at
  // 2 fps that is a second and a half in, past the flash.
  std::string current;
  double sceneStart = 0;
  for (const FrameLog& l : log) {
    if (l.scene != current) {
      current = l.scene;
      sceneStart = l.seconds;
    }
    if (l.fade < -32 || l.fade > 64 || l.seconds - sceneStart < 1.6) continue;
    const Grey g = readPng(frameName(dir, l.frame));
    ASSERT_EQ(g.width, 640);
    ASSERT_EQ(g.height, 480);
    const BandStats s = bandStats(g);
    EXPECT_GT(s.hi - s.lo, 24) << l.scene << " frame " << l.frame << " is flat";
    EXPECT_GT(s.mean, 4.0) << l.scene << " frame " << l.frame << " is black";
    byScene[l.scene].push_back(s);
    auto first = firstPicture.find(l.scene);
    if (first == firstPicture.end()) {
      firstPicture[l.scene] = g.pixels;
    } else if (first->second != g.pixels) {
      ++changes[l.scene];
    }
  }
  for (int i = 0; i < kSceneCount; ++i) {
    const std::string name = kSceneSections[i];
    ASSERT_GE(byScene[name].size(), 4u) << name;
    double deviation = 0;
    for (const BandStats& s : byScene[name]) deviation += s.deviation;
    EXPECT_GT(deviation / double(byScene[name].size()), 8.0) << name << " is nearly flat";
    EXPECT_GT(changes[name], 2) << name << " does not move";
  }

  // The final fade ends in black, the bars included.
  const Grey last = readPng(frameName(dir, log.back().frame));
  EXPECT_EQ(log.back().scene, kSceneSections[kSceneCount - 1]);
  EXPECT_EQ(*std::max_element(last.pixels.begin(), last.pixels.end()), 0);

  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

}  // namespace
