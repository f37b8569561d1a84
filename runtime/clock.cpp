// The show clock: seconds since the start stamp, from a steady clock.
#include "runtime/runtime.h"

#include <chrono>

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

