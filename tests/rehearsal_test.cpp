// Rehearsal keys and frame pacing, driven by a fake clock and a fake module:
// pause, every jump, and the pacer's sleeps.
#include "testutil.h"

#include <cmath>
#include <functional>
#include <map>
#include <vector>

namespace {

constexpr double kOrderSeconds = 7.68;  // 64 rows at speed 6, 125 BPM

struct Frame {
  int scene;
  int fade;
  double t;
  double showTime;  // what the plugins read
};

// A fake show: the module plays from `playOrder` in real time; commands are
// fed at given clock times; `idle` and `render` move the clock on.
struct Rehearsal {
  double t = 50;
  double dt = 0.02;
  double playAt = -1;
  int playOrder = -1;
  int startOrder = 0;
  bool musicPaused = false;
  double pausedMusic = 0;  // module seconds heard when paused
  std::vector<int> plays;
  std::vector<bool> pauses;
  std::vector<Frame> frames;
  std::vector<int> switches;
  std::vector<std::string> reports;
  int idles = 0;
  std::map<int, TmlCommand> commandAtFrame;  // rendered frame count -> command
  double escapeAfter = 1e9;                  // clock time
  bool withOrderTime = true;

  double heardSeconds() const { return musicPaused ? pausedMusic : t - playAt; }
  int order() const { return playAt < 0 ? 0 : std::min(playOrder + int(heardSeconds() / kOrderSeconds), 40); }

  TimelineIO io() {
    TimelineIO io;
    io.ctx = this;
    io.now = [](void* c) { return static_cast<Rehearsal*>(c)->t; };
    io.escape = [](void* c) {
      auto* r = static_cast<Rehearsal*>(c);
      return r->t >= r->escapeAfter;
    };
    io.order = [](void* c) { return static_cast<Rehearsal*>(c)->order(); };
    io.beat = [](void*) { return 0; };
    io.play = [](void* c, int order) {
      auto* r = static_cast<Rehearsal*>(c);
      r->playAt = r->t;
      r->playOrder = order;
      r->musicPaused = false;
      r->plays.push_back(order);
    };
    io.render = [](void* c, int scene) {
      auto* r = static_cast<Rehearsal*>(c);
      r->frames.push_back({scene, TML.fade, r->t, r->t * TML.speed - TML.t0});
      r->t += r->dt;
    };
    io.sceneSwitch = [](void* c, int scene) { static_cast<Rehearsal*>(c)->switches.push_back(scene); };
    io.command = [](void* c) {
      auto* r = static_cast<Rehearsal*>(c);
      const auto it = r->commandAtFrame.find(int(r->frames.size()));
      if (it == r->commandAtFrame.end()) return TmlCommand::None;
      const TmlCommand cmd = it->second;
      r->commandAtFrame.erase(it);
      return cmd;
    };
    io.pause = [](void* c, bool paused) {
      auto* r = static_cast<Rehearsal*>(c);
      r->pauses.push_back(paused);
      if (paused) {
        r->pausedMusic = r->heardSeconds();
        r->musicPaused = true;
      } else {
        r->playAt = r->t - r->pausedMusic;  // goes on from where it stood
        r->musicPaused = false;
      }
    };
    io.idle = [](void* c) {
      auto* r = static_cast<Rehearsal*>(c);
      ++r->idles;
      r->t += 0.1;
    };
    if (withOrderTime) io.orderTime = [](void*, int order) { return order * kOrderSeconds; };
    io.report = [](void* c, TmlEvent e, int order, int scene) {
      static_cast<Rehearsal*>(c)->reports.push_back(tml_Describe(e, order, 0, scene));
    };
    io.startOrder = startOrder;
    return io;
  }
};

// Space stops show time and music together and nothing is rendered; a
// second Space goes on from the same moment, in picture and sound.
TEST(Rehearsal, PauseStopsShowTimeAndMusicTogether) {
  Rehearsal r;
  r.startOrder = 5;
  r.commandAtFrame[100] = TmlCommand::Pause;  // two seconds into the scene
  r.escapeAfter = r.t + 20;
  // The second Space comes after ten idle calls (one second paused).
  TimelineIO io = r.io();
  static Rehearsal* self;
  self = &r;
  io.idle = [](void*) {
    if (++self->idles == 10) self->commandAtFrame[int(self->frames.size())] = TmlCommand::Pause;
    self->t += 0.1;
  };
  EXPECT_EQ(tml_Run(io), TimelineEnd::Escaped);
  EXPECT_EQ(r.idles, 10);
  EXPECT_EQ(r.pauses, (std::vector<bool>{true, false}));
  ASSERT_GT(r.frames.size(), 101u);
  const Frame& before = r.frames[99];
  const Frame& after = r.frames[100];
  EXPECT_NEAR(after.t - before.t, 1.0 + r.dt, 1e-9);  // a second passed on the clock
  EXPECT_NEAR(after.showTime - before.showTime, r.dt, 1e-4);  // but not in the show
  EXPECT_EQ(after.scene, before.scene);
  EXPECT_EQ(r.plays, (std::vector<int>{5}));  // no seek: the music went on
  EXPECT_NEAR(r.heardSeconds(), r.frames.back().showTime + r.dt, 1e-3);
  EXPECT_EQ(r.reports, (std::vector<std::string>{"paused at order 5 row 0 (komin3d)", "resumed at order 5 row 0 (komin3d)"}));
}

// Escape while paused ends the show; a jump while paused goes on playing.
TEST(Rehearsal, EscapeOrAJumpEndsAPause) {
  Rehearsal a;
  a.commandAtFrame[10] = TmlCommand::Pause;
  a.escapeAfter = a.t + 3;
  EXPECT_EQ(tml_Run(a.io()), TimelineEnd::Escaped);
  EXPECT_EQ(a.frames.size(), 10u);
  EXPECT_GT(a.idles, 10);

  Rehearsal b;
  b.commandAtFrame[10] = TmlCommand::Pause;
  b.escapeAfter = b.t + 3;
  TimelineIO io = b.io();
  static Rehearsal* self;
  self = &b;
  io.idle = [](void*) {
    self->t += 0.1;
    if (self->t > 51.5) self->commandAtFrame[int(self->frames.size())] = TmlCommand::NextOrder;
  };
  EXPECT_EQ(tml_Run(io), TimelineEnd::Escaped);
  EXPECT_EQ(b.pauses, (std::vector<bool>{true, false}));
  EXPECT_EQ(b.plays, (std::vector<int>{0, 1}));
  EXPECT_GT(b.frames.size(), 20u);
}

// Every jump: the order the music is sent to, the scene drawn next, whether
// it flashes, and where the scene's show time starts.
TEST(Rehearsal, JumpsSeekTheMusicAndEnterTheTableScene) {
  struct Case {
    int start;            // start order (the jump comes in its first second)
    TmlCommand command;
    int target;           // order the music is asked to play
    int scene;            // scene rendered after the jump
    bool flash;           // the first frame after is white
    double showTime;      // show time at that frame (without the frame step)
  } cases[] = {
      {5, TmlCommand::NextOrder, 6, 2, false, 2 * kOrderSeconds},
      {5, TmlCommand::PrevOrder, 4, 2, false, 0},
      {4, TmlCommand::PrevOrder, 3, 1, true, 3 * kOrderSeconds},
      {9, TmlCommand::NextOrder, 10, 3, true, 0},
      {0, TmlCommand::PrevOrder, 0, 1, false, 0},
      {6, TmlCommand::NextScene, 10, 3, true, 0},
      {6, TmlCommand::PrevScene, 0, 1, true, 0},
      {12, TmlCommand::PrevScene, 4, 2, true, 0},
      {2, TmlCommand::PrevScene, 0, 1, true, 0},
      {17, TmlCommand::Restart, 14, 4, true, 0},
      {29, TmlCommand::PrevOrder, 28, 7, false, 0},
  };
  for (const Case& c : cases) {
    Rehearsal r;
    r.startOrder = c.start;
    r.commandAtFrame[60] = c.command;  // 1.2 s in: the start's own flash is over
    r.escapeAfter = r.t + 3;
    EXPECT_EQ(tml_Run(r.io()), TimelineEnd::Escaped);
    const std::string what = "from " + std::to_string(c.start) + " command " + std::to_string(int(c.command));
    ASSERT_EQ(r.plays.size(), 2u) << what;
    EXPECT_EQ(r.plays[1], c.target) << what;
    const Frame& f = r.frames[60];
    EXPECT_EQ(f.scene, c.scene) << what;
    EXPECT_EQ(f.fade >= 254, c.flash) << what << " fade " << f.fade;  // the origin is a float
    if (!c.flash) {
      EXPECT_EQ(f.fade, 0) << what;
    }
    EXPECT_NEAR(f.showTime, c.showTime, 1e-3) << what;
    // The seek is heard at once: no switch straight after it.
    EXPECT_EQ(r.frames.back().scene, c.scene) << what;
    char line[64];
    std::snprintf(line, sizeof line, "order %d row 0 (", c.target);
    ASSERT_EQ(r.reports.size(), 1u) << what;
    EXPECT_EQ(r.reports[0].rfind(line, 0), 0u) << r.reports[0];
  }
  // Without the module's times a jump into a scene starts its animation over.
  Rehearsal r;
  r.startOrder = 5;
  r.withOrderTime = false;
  r.commandAtFrame[60] = TmlCommand::NextOrder;
  r.escapeAfter = r.t + 3;
  tml_Run(r.io());
  EXPECT_NEAR(r.frames[60].showTime, 0, 1e-3);
}

// Stepping back over a switch and letting it play: the switch comes again
// when the module reaches it, with its flash.
TEST(Rehearsal, AfterAJumpBackTheSwitchHappensAgain) {
  Rehearsal r;
  r.startOrder = 4;
  r.dt = 0.05;
  r.commandAtFrame[10] = TmlCommand::PrevOrder;  // to order 3, scene 1
  r.escapeAfter = r.t + 10;
  EXPECT_EQ(tml_Run(r.io()), TimelineEnd::Escaped);
  EXPECT_EQ(r.plays, (std::vector<int>{4, 3}));
  EXPECT_EQ(r.switches, (std::vector<int>{1, 2}));
  int firstBack = -1;
  for (size_t i = 11; i < r.frames.size(); ++i)
    if (r.frames[i].scene == 2) {
      firstBack = int(i);
      break;
    }
  ASSERT_GT(firstBack, 0);
  EXPECT_GE(r.frames[size_t(firstBack)].fade, 254);
  EXPECT_NEAR(r.frames[size_t(firstBack)].t - r.frames[10].t, kOrderSeconds, 0.06);
}

// The title and the end: forward from the title starts the music at order 0,
// back shows the title again; forward from the last order is the final fade.
TEST(Rehearsal, JumpsFromTheTitleAndIntoTheEnd) {
  Rehearsal title;
  title.startOrder = -1;
  title.commandAtFrame[50] = TmlCommand::Restart;    // one second in: title from black again
  title.commandAtFrame[100] = TmlCommand::NextScene;  // music from order 0
  title.escapeAfter = title.t + 4;
  EXPECT_EQ(tml_Run(title.io()), TimelineEnd::Escaped);
  EXPECT_LE(title.frames[50].fade, -255);  // black again (the origin is a float)
  EXPECT_EQ(title.frames[50].scene, 0);
  EXPECT_EQ(title.plays, (std::vector<int>{0}));
  EXPECT_EQ(title.frames[100].scene, 1);
  EXPECT_GE(title.frames[100].fade, 254);
  EXPECT_EQ(title.reports, (std::vector<std::string>{"title (tolvek)", "order 0 row 0 (intro)"}));

  Rehearsal end;
  end.startOrder = 30;
  end.commandAtFrame[10] = TmlCommand::NextOrder;
  EXPECT_EQ(tml_Run(end.io()), TimelineEnd::Finished);
  EXPECT_EQ(end.plays, (std::vector<int>{30, 31}));
  EXPECT_EQ(end.frames[10].scene, 7);
  EXPECT_LT(end.frames[11].fade, 0);  // fading out at once
  EXPECT_NEAR(end.frames.back().t - end.frames[10].t, 255.0 / 64, 0.03);
}

TEST(Rehearsal, JumpTargetsAtTheEdgesOfTheShow) {
  EXPECT_EQ(tml_JumpTarget(TmlCommand::NextOrder, 31, kSceneCount), kEndMarkerOrder);
  EXPECT_EQ(tml_JumpTarget(TmlCommand::PrevOrder, 31, kSceneCount), 30);
  EXPECT_EQ(tml_JumpTarget(TmlCommand::NextScene, 29, 7), kEndMarkerOrder);
  EXPECT_EQ(tml_JumpTarget(TmlCommand::PrevScene, 31, kSceneCount), 28);
  EXPECT_EQ(tml_JumpTarget(TmlCommand::PrevOrder, 0, 0), -1);
  EXPECT_EQ(tml_JumpTarget(TmlCommand::NextOrder, -1, 0), 0);
  // A module that plays past the end marker still jumps back into the show.
  EXPECT_EQ(tml_JumpTarget(TmlCommand::PrevOrder, 40, kSceneCount), 30);
}

// The pacer: frames start no more often than the rate, the sleep is never
// longer than a frame, a late frame is not followed by a burst.
TEST(Pacing, FramesStartAtTheRateAndALateFrameIsNotMadeUp) {
  FramePacer p;
  p.setRate(60);
  double t = 10;
  std::vector<double> starts;
  for (int i = 0; i < 120; ++i) {
    starts.push_back(t);
    t += i == 60 ? 0.1 : 0.004;  // one frame takes 100 ms
    const double d = p.delay(t);
    EXPECT_GE(d, 0);
    EXPECT_LE(d, 1.0 / 60 + 1e-12);
    t += d;
  }
  for (size_t i = 1; i < starts.size(); ++i) {
    EXPECT_GE(starts[i] - starts[i - 1], 1.0 / 60 - 1e-9) << i;
    if (i != 1 && i != 61) {
      EXPECT_NEAR(starts[i] - starts[i - 1], 1.0 / 60, 1e-9) << i;
    }
  }
  // Unlimited: no sleep at all.
  p.setRate(0);
  EXPECT_EQ(p.delay(5), 0);
  EXPECT_EQ(p.delay(5.0001), 0);
}

// Paced at 60 Hz with quick frames, the show switches scenes no later than
// one frame after the module reaches the switch order.
TEST(Pacing, ASwitchWaitsAtMostOneFrame) {
  static FramePacer pacer;
  pacer.setRate(60);
  Rehearsal r;
  r.startOrder = 3;
  r.escapeAfter = r.t + 9;
  TimelineIO io = r.io();
  static Rehearsal* self;
  self = &r;
  io.render = [](void*, int scene) {
    self->frames.push_back({scene, TML.fade, self->t, 0});
    self->t += 0.002;
    self->t += pacer.delay(self->t);
  };
  EXPECT_EQ(tml_Run(io), TimelineEnd::Escaped);
  const double switchAt = r.playAt + kOrderSeconds;  // order 4 is heard
  size_t first = 0;
  while (first < r.frames.size() && r.frames[first].scene != 2) ++first;
  ASSERT_LT(first, r.frames.size());
  EXPECT_GE(r.frames[first].t, switchAt);
  EXPECT_LE(r.frames[first].t - switchAt, 1.0 / 60 + 1e-9);
  EXPECT_NEAR(double(r.frames.size()) / 9.0, 60, 1.5);
}

}  // namespace
