// The timeline: title fades, music start, scene switches at module orders,
// beat flashes and the final fade.
#include "runtime/runtime.h"

#include <algorithm>

TimelineState TML;

float tml_ShowTime() { return float(tmr_Seconds() * TML.speed - TML.t0); }

const char* const kSceneSections[kSceneCount] = {
    "tolvek.plg", "intro.plg", "komin3d.plg", "schody.plg",
    "valec3d.plg", "hodiny.plg", "zena.plg", "end.plg",
};

// Module order at which each scene starts; the title and the first scene are
// never compared, [8] starts the final fade.
const int kSwitchOrders[kSceneCount + 1] = {-1, 0, 4, 10, 14, 20, 24, 28, kEndMarkerOrder};

namespace {

// Truncation toward zero that stays defined when a clock misbehaves.
int truncFade(double v) {
  if (!(v == v)) return 0;
  if (v > 1e6) return 1000000;
  if (v < -1e6) return -1000000;
  return int(v);
}

enum class Phase { TitleIn, TitleHold, TitleOut, Scenes, Ending };

struct Run {
  const TimelineIO& io;
  Phase phase = Phase::TitleIn;
  int current = 0;     // the scene being shown
  float flash0 = 0;    // origin of the white flash; t0 unless a jump kept t0
  float eEnd = 0;      // phase time at which the final fade began

  double now() const { return io.now(io.ctx); }
  double phaseTime() const { return now() * TML.speed - TML.t0; }
  void resetOrigin() { flash0 = TML.t0 = float(now() * TML.speed); }
  bool escape() const { return io.escape(io.ctx); }
  void render(int scene) const { io.render(io.ctx, scene); }
  TmlCommand command() const { return io.command ? io.command(io.ctx) : TmlCommand::None; }
  void report(TmlEvent e, int order) const {
    if (io.report) io.report(io.ctx, e, order, current);
  }
  int heardOrder() const { return phase == Phase::Scenes || phase == Phase::Ending ? io.order(io.ctx) : -1; }

  void enterTitle() {
    phase = Phase::TitleIn;
    current = 0;
    resetOrigin();
  }
  void startMusic(int order) {
    io.play(io.ctx, order);
    resetOrigin();
    current = tml_SceneAt(order);
    phase = Phase::Scenes;
  }
  void startEnding() {
    phase = Phase::Ending;
    current = kSceneCount - 1;
    eEnd = float(phaseTime());
  }

  bool pause(TmlCommand& next);
  void jump(TmlCommand c);
};

// Holds the show until Space again, a jump or Escape; false on Escape.  Show
// time stands still: the origins move on by the time spent paused.
bool Run::pause(TmlCommand& next) {
  next = TmlCommand::None;
  if (!io.idle) return true;
  const double pausedAt = now();
  const bool playing = io.pause && (phase == Phase::Scenes || phase == Phase::Ending);
  if (playing) io.pause(io.ctx, true);
  report(TmlEvent::Paused, heardOrder());
  for (;;) {
    if (escape()) return false;  // the music stays stopped; the caller frees it
    next = command();
    if (next != TmlCommand::None) break;
    io.idle(io.ctx);
  }
  const double shift = (now() - pausedAt) * TML.speed;
  TML.t0 = float(TML.t0 + shift);
  flash0 = float(flash0 + shift);
  if (playing) io.pause(io.ctx, false);
  if (next == TmlCommand::Pause) {
    next = TmlCommand::None;
    report(TmlEvent::Resumed, heardOrder());
  }
  return true;
}

void Run::jump(TmlCommand c) {
  const int from = phase == Phase::Scenes ? current : phase == Phase::Ending ? kSceneCount : 0;
  const int target = tml_JumpTarget(c, heardOrder(), from);
  if (target < 0) {
    enterTitle();
    report(TmlEvent::Jumped, -1);
    return;
  }
  io.play(io.ctx, target);
  if (target >= kEndMarkerOrder) {
    startEnding();
    report(TmlEvent::Jumped, target);
    return;
  }
  const int scene = tml_SceneAt(target);
  const bool entering = phase != Phase::Scenes || scene != current || c == TmlCommand::NextScene ||
                        c == TmlCommand::PrevScene || c == TmlCommand::Restart;
  // Show time as a normal run would have it at this order: the music's time
  // since the scene's first order.
  const int first = std::max(kSwitchOrders[scene], 0);
  const double into = io.orderTime && target > first ? io.orderTime(io.ctx, target) - io.orderTime(io.ctx, first) : 0;
  const float flash = flash0;
  resetOrigin();
  TML.t0 = float(TML.t0 - std::max(into, 0.0));
  if (!entering) flash0 = flash;
  if (entering) {
    // Entered anew, even the same scene: its clips start from their first picture.
    if (io.sceneSwitch) io.sceneSwitch(io.ctx, scene);
  }
  current = scene;
  phase = Phase::Scenes;
  report(TmlEvent::Jumped, target);
}

}  // namespace

int tml_SceneAt(int order) {
  int scene = 1;
  for (int i = 2; i < kSceneCount; ++i)
    if (kSwitchOrders[i] <= order) scene = i;
  return scene;
}

int tml_JumpTarget(TmlCommand command, int order, int scene) {
  if (scene <= 0) {
    // The title comes before order 0: forward starts the music, backward
    // shows the title again.
    const bool forward = command == TmlCommand::NextOrder || command == TmlCommand::NextScene;
    return forward ? 0 : -1;
  }
  scene = std::min(scene, int(kSceneCount));
  order = std::clamp(order, 0, int(kEndMarkerOrder));
  switch (command) {
    case TmlCommand::NextOrder: return std::min(order + 1, int(kEndMarkerOrder));
    case TmlCommand::PrevOrder: return std::max(order - 1, 0);
    case TmlCommand::NextScene: return scene < kSceneCount ? kSwitchOrders[scene + 1] : int(kEndMarkerOrder);
    case TmlCommand::PrevScene: return std::max(kSwitchOrders[std::max(scene - 1, 1)], 0);
    case TmlCommand::Restart: return std::max(kSwitchOrders[scene], 0);
    default: return order;
  }
}

TimelineEnd tml_Run(const TimelineIO& io) {
  Run run{io};
  TML.speed = 1.0f;
  if (io.startOrder < 0) run.enterTitle();
  else run.startMusic(io.startOrder);

  // One loop for every phase.  Each iteration samples the clock for its end
  // test, tests Escape, takes an author's command and renders one frame; the
  // title and the final fade test their end before Escape, the scenes after.
  for (;;) {
    switch (run.phase) {
      case Phase::TitleIn:  // -256 up to 0 over four seconds
        TML.fade = -truncFade((4 - run.phaseTime()) * 64);
        if (TML.fade >= 0) {
          run.phase = Phase::TitleHold;
          continue;
        }
        break;
      case Phase::TitleHold:  // until ten seconds; the fade keeps what the fade-in left
        if (run.phaseTime() >= 10) {
          run.phase = Phase::TitleOut;
          continue;
        }
        break;
      case Phase::TitleOut:
        TML.fade = -truncFade((run.phaseTime() - 10) * 64);
        if (TML.fade <= -255) {
          run.startMusic(0);
          continue;
        }
        break;
      case Phase::Scenes: {
        if (run.escape()) return TimelineEnd::Escaped;
        if (io.order(io.ctx) == kSwitchOrders[run.current + 1]) {
          if (io.sceneSwitch) io.sceneSwitch(io.ctx, run.current + 1);
          if (run.current + 1 == kSceneCount) {
            run.startEnding();
            continue;
          }
          ++run.current;
          run.resetOrigin();
        }
        // A white flash that fades within a second, then the beat flashes.
        int fade = truncFade((1 - (io.now(io.ctx) * TML.speed - run.flash0)) * 255);
        if (fade < 0) fade = 0;
        if (fade == 0) fade = io.beat(io.ctx) * 64;
        TML.fade = fade;
        break;
      }
      case Phase::Ending:  // from the end marker, four seconds to black
        TML.fade = -truncFade((run.phaseTime() - run.eEnd) * 64);
        if (TML.fade <= -255) return TimelineEnd::Finished;
        break;
    }
    if (run.phase != Phase::Scenes && run.escape()) return TimelineEnd::Escaped;
    TmlCommand c = run.command();
    if (c == TmlCommand::Pause && !run.pause(c)) return TimelineEnd::Escaped;
    if (c != TmlCommand::None && c != TmlCommand::Pause) {
      run.jump(c);
      continue;
    }
    run.render(run.current);
  }
}
