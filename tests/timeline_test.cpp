// The timeline driven by a fake clock, module position and key test.
#include "testutil.h"

#include "codecs/codecs.h"

#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

namespace {

constexpr double kOrderSeconds = 7.68;  // 64 rows at speed 6, 125 BPM
constexpr double kRowSeconds = kOrderSeconds / 64;

struct Frame {
  int scene;
  int fade;
  double t;
};

struct FakeShow {
  double t = 100;      // the clock need not start at 0
  double dt = 0.02;    // seconds per rendered frame
  double playAt = -1;  // clock at mus_Play
  int plays = 0;
  int playOrder = -1;
  int startOrder = -1;
  int lastOrder = 40;  // where the module stops
  std::function<bool(const FakeShow&)> escapeWhen = [](const FakeShow&) { return false; };
  std::function<int(double)> orderAt;  // seconds since play -> order
  std::vector<Frame> frames;
  std::vector<int> switches;

  int order() const {
    if (playAt < 0) return 0;
    const double s = t - playAt;
    if (orderAt) return orderAt(s);
    return std::min(playOrder + int(s / kOrderSeconds), lastOrder);
  }
  int row() const { return playAt < 0 ? 0 : int(std::fmod(t - playAt, kOrderSeconds) / kRowSeconds); }

  TimelineIO io() {
    TimelineIO io;
    io.ctx = this;
    io.now = [](void* c) { return static_cast<FakeShow*>(c)->t; };
    io.escape = [](void* c) {
      auto* f = static_cast<FakeShow*>(c);
      return f->escapeWhen(*f);
    };
    io.order = [](void* c) { return static_cast<FakeShow*>(c)->order(); };
    io.beat = [](void* c) {
      auto* f = static_cast<FakeShow*>(c);
      return mus_BeatAt(f->order(), f->row());
    };
    io.play = [](void* c, int order) {
      auto* f = static_cast<FakeShow*>(c);
      f->playAt = f->t;
      f->playOrder = order;
      ++f->plays;
    };
    io.render = [](void* c, int scene) {
      auto* f = static_cast<FakeShow*>(c);
      f->frames.push_back({scene, TML.fade, f->t});
      f->t += f->dt;
    };
    io.sceneSwitch = [](void* c, int scene) { static_cast<FakeShow*>(c)->switches.push_back(scene); };
    io.startOrder = startOrder;
    return io;
  }
};

TEST(Timeline, PlaysTitleScenesAndFinalFade) {
  FakeShow show;
  ASSERT_EQ(tml_Run(show.io()), TimelineEnd::Finished);
  EXPECT_EQ(show.plays, 1);
  EXPECT_EQ(show.switches, (std::vector<int>{2, 3, 4, 5, 6, 7, 8}));

  // Title: fades in from black over four seconds, holds, fades out; every
  // phase tests its end before rendering, so -255 and below never show.
  const double start = show.frames.front().t;
  EXPECT_EQ(show.frames.front().fade, -256);
  int titleFrames = 0;
  for (const Frame& f : show.frames) {
    if (f.scene != 0) break;
    ++titleFrames;
    const double e = f.t - start;
    EXPECT_GT(f.fade, e < 1 ? -257 : -255) << e;
    int expect = 0;
    if (e < 4 - 1e-9) expect = -int((4 - e) * 64);
    if (e >= 10) expect = -int((e - 10) * 64);
    if (e < 4 - 1e-9 || e >= 4 + 0.02) {
      EXPECT_EQ(f.fade, expect) << e;
    }
  }
  EXPECT_NEAR(show.frames[size_t(titleFrames - 1)].t - start, 10 + 255.0 / 64, 0.05);
  EXPECT_NEAR(show.playAt - start, 10 + 255.0 / 64, 0.05);

  // Scenes follow the module orders; each begins with a white flash that is
  // gone within a second, then the beat rows flash at +64.  The timeline
  // keeps its origin as a float, and so does this check.
  int scene = 1;
  double origin = double(float(show.playAt));
  for (size_t i = size_t(titleFrames); i < show.frames.size(); ++i) {
    const Frame& f = show.frames[i];
    if (f.fade < 0) break;  // the final fade
    if (f.scene != scene) {
      EXPECT_EQ(f.scene, scene + 1);
      scene = f.scene;
      origin = double(float(f.t));
      EXPECT_GE(f.fade, 254) << "scene " << scene;
    }
    const double s = f.t - show.playAt;
    const int order = int(s / kOrderSeconds);
    const int expectScene = order < 4 ? 1 : order < 10 ? 2 : order < 14 ? 3 : order < 20 ? 4
                          : order < 24 ? 5 : order < 28 ? 6 : 7;
    EXPECT_EQ(f.scene, expectScene) << s;
    int fade = std::max(int((1 - (f.t - origin)) * 255), 0);
    if (fade == 0) fade = mus_BeatAt(order, int(std::fmod(s, kOrderSeconds) / kRowSeconds)) * 64;
    EXPECT_EQ(f.fade, fade) << s;
  }
  EXPECT_EQ(scene, 7);

  // Final fade: from the moment order 31 is heard, four seconds to black,
  // still rendering the last scene.
  const Frame& last = show.frames.back();
  EXPECT_EQ(last.scene, 7);
  EXPECT_NEAR(last.t - show.playAt, 31 * kOrderSeconds + 255.0 / 64, 0.05);
  EXPECT_GT(last.fade, -255);
}

TEST(Timeline, SwitchesOncePerOrderEvenWhenThePositionWavers) {
  FakeShow show;
  show.dt = 0.05;
  // The heard order flickers between 3 and 4 for a while, then goes on.
  show.orderAt = [](double s) {
    if (s < 2) return 3;
    if (s < 4) return int(s * 20) % 2 ? 4 : 3;
    if (s < 5) return 4;
    return s < 6 ? 9 : 10;
  };
  show.escapeWhen = [](const FakeShow& f) { return f.playAt >= 0 && f.t - f.playAt > 8; };
  EXPECT_EQ(tml_Run(show.io()), TimelineEnd::Escaped);
  EXPECT_EQ(show.switches, (std::vector<int>{2, 3}));
}

TEST(Timeline, EscapeEndsEveryPhaseAndAModuleThatStopsEarlyRunsOn) {
  struct Case {
    double at;  // seconds after the start, or after play when afterPlay
    bool afterPlay;
    int plays;
    int lastScene;
  } cases[] = {
      {1, false, 0, 0},   // title fade-in
      {6, false, 0, 0},   // title hold
      {11, false, 0, 0},  // title fade-out
      {40, true, 1, 2},   // a scene
      {31 * kOrderSeconds + 1, true, 1, 7},  // the final fade
  };
  for (const Case& c : cases) {
    FakeShow show;
    const double start = show.t;
    show.escapeWhen = [&](const FakeShow& f) {
      return c.afterPlay ? f.playAt >= 0 && f.t - f.playAt >= c.at : f.t - start >= c.at;
    };
    EXPECT_EQ(tml_Run(show.io()), TimelineEnd::Escaped) << c.at;
    EXPECT_EQ(show.plays, c.plays) << c.at;
    EXPECT_EQ(show.frames.back().scene, c.lastScene) << c.at;
  }
  // A module that never reaches the end marker plays its last scene on.
  FakeShow show;
  show.lastOrder = 30;
  show.escapeWhen = [](const FakeShow& f) { return f.playAt >= 0 && f.t - f.playAt > 600; };
  EXPECT_EQ(tml_Run(show.io()), TimelineEnd::Escaped);
  EXPECT_EQ(show.frames.back().scene, 7);
  EXPECT_EQ(show.frames.back().fade >= 0, true);
}

TEST(Timeline, StartingAtAnOrderSkipsTheTitleAndFlashesIntoItsScene) {
  struct Case {
    int order;
    int scene;
    std::vector<int> switches;
  } cases[] = {
      {0, 1, {2, 3, 4, 5, 6, 7, 8}},
      {4, 2, {3, 4, 5, 6, 7, 8}},
      {5, 2, {3, 4, 5, 6, 7, 8}},
      {27, 6, {7, 8}},
      {30, 7, {8}},
  };
  for (const Case& c : cases) {
    FakeShow show;
    show.startOrder = c.order;
    EXPECT_EQ(tml_Run(show.io()), TimelineEnd::Finished) << c.order;
    EXPECT_EQ(show.playOrder, c.order);
    EXPECT_EQ(show.playAt, 100);  // no title before the music
    EXPECT_EQ(show.frames.front().scene, c.scene) << c.order;
    EXPECT_EQ(show.frames.front().fade, 255) << c.order;
    EXPECT_EQ(show.switches, c.switches) << c.order;
  }
  EXPECT_EQ(tml_SceneAt(3), 1);
  EXPECT_EQ(tml_SceneAt(10), 3);
  EXPECT_EQ(tml_SceneAt(31), 7);
}

// Clips restart with their scene: at every change the shared decoder is
// closed before the next scene draws, while within a scene it stays open.
// The program closes the shared clip through the timeline's scene switch,
// before the next scene draws its first frame.
TEST(Timeline, TheProgramsSceneSwitchClosesTheSharedClip) {
  std::ifstream in(VELMORIN_SOURCE_DIR "/tests/data/mpeg2/noend.m2v", std::ios::binary);
  static std::vector<uint8_t> clip;
  clip.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  ASSERT_FALSE(clip.empty());
  static std::vector<bool> openAtSwitch;
  static int reopened;
  openAtSwitch.clear();
  reopened = 0;
  FakeShow show;
  show.startOrder = 0;
  TimelineIO io = show.io();
  io.render = [](void* c, int scene) {
    auto* f = static_cast<FakeShow*>(c);
    if (!mpg_IsOpen(mpg_Shared())) {
      int w = 0, h = 0;
      ASSERT_TRUE(mpg_OpenMemory(mpg_Shared(), clip.data(), clip.size(), &w, &h));
      ++reopened;
    }
    f->frames.push_back({scene, TML.fade, f->t});
    f->t += f->dt;
  };
  io.sceneSwitch = [](void* c, int scene) {
    shw_SceneSwitch(c, scene);
    openAtSwitch.push_back(mpg_IsOpen(mpg_Shared()));
  };
  ASSERT_EQ(tml_Run(io), TimelineEnd::Finished);
  EXPECT_EQ(openAtSwitch, std::vector<bool>(7, false));
  // Once in the first scene, then after each change, the end marker's too:
  // the final fade draws the last scene on.
  EXPECT_EQ(reopened, 8);
  mpg_Close(mpg_Shared());
}

}  // namespace
