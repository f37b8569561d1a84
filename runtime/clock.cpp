// The show clock: seconds since the start stamp, from a steady clock.
#include "runtime/runtime.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

struct ClockState {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  tmr_Source source = nullptr;
  double now = 0;  // the last sample
};
ClockState TMR;

}  // namespace

void tmr_Start() { TMR.start = std::chrono::steady_clock::now(); }

void tmr_SetSource(tmr_Source src) { TMR.source = src; }

double tmr_Seconds() {
  if (TMR.source) {
    TMR.now = TMR.source();
  } else {
    const auto d = std::chrono::steady_clock::now() - TMR.start;
    TMR.now = std::chrono::duration<double>(d).count();
  }
  return TMR.now;
}

double FramePacer::delay(double now) {
  if (interval <= 0) return 0;
  if (next < 0) next = now;
  next += interval;  // when the next frame is due
  if (next < now) {
    // Late (a slow frame, a reload): start at once and keep the rhythm from
    // here, rather than hurrying the frames after it.
    next = now;
    return 0;
  }
  return std::min(next - now, interval);
}

void tmr_Sleep(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}
