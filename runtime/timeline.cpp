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

struct Run {
  const TimelineIO& io;
  double phaseTime() const { return io.now(io.ctx) * TML.speed - TML.t0; }
  void resetOrigin() { TML.t0 = float(io.now(io.ctx) * TML.speed); }
  bool escape() const { return io.escape(io.ctx); }
  void render(int scene) const { io.render(io.ctx, scene); }
};

}  // namespace

int tml_SceneAt(int order) {
  int scene = 1;
  for (int i = 2; i < kSceneCount; ++i)
    if (kSwitchOrders[i] <= order) scene = i;
  return scene;
}

namespace {

// Title fade-in, hold and fade-out; false when Escape ended it.
bool playTitle(Run& run) {
  // Fade-in: -256 up to 0 over four seconds.
  run.resetOrigin();
  for (;;) {
    TML.fade = -truncFade((4 - run.phaseTime()) * 64);
    if (TML.fade >= 0) break;
    if (run.escape()) return false;
    run.render(0);
  }
  // Title hold until ten seconds; the fade keeps what the fade-in left.
  for (;;) {
    if (run.phaseTime() >= 10) break;
    if (run.escape()) return false;
    run.render(0);
  }
  // Title fade-out.
  for (;;) {
    TML.fade = -truncFade((run.phaseTime() - 10) * 64);
    if (TML.fade <= -255) break;
    if (run.escape()) return false;
    run.render(0);
  }
  return true;
}

}  // namespace

TimelineEnd tml_Run(const TimelineIO& io) {
  Run run{io};
  TML.speed = 1.0f;
  if (io.startOrder < 0 && !playTitle(run)) return TimelineEnd::Escaped;

  // Music and scenes.
  const int startOrder = std::max(io.startOrder, 0);
  io.play(io.ctx, startOrder);
  run.resetOrigin();
  int current = tml_SceneAt(startOrder);
  for (;;) {
    if (run.escape()) return TimelineEnd::Escaped;
    if (io.order(io.ctx) == kSwitchOrders[current + 1]) {
      if (io.sceneSwitch) io.sceneSwitch(io.ctx, current + 1);
      ++current;
      if (current == kSceneCount) break;
      run.resetOrigin();
    }
    // A white flash that fades within a second, then the beat flashes.
    int fade = truncFade((1 - run.phaseTime()) * 255);
    if (fade < 0) fade = 0;
    if (fade == 0) fade = io.beat(io.ctx) * 64;
    TML.fade = fade;
    run.render(current);
  }

  // Final fade-out of the last scene.
  const float eEnd = float(run.phaseTime());
  for (;;) {
    TML.fade = -truncFade((run.phaseTime() - eEnd) * 64);
    if (TML.fade <= -255) return TimelineEnd::Finished;
    if (run.escape()) return TimelineEnd::Escaped;
    run.render(kSceneCount - 1);
  }
}
