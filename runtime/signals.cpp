// Ctrl-C and SIGTERM end the program at any moment.  While a loop that can
// end cleanly runs (the live show, a capture) a signal only raises a flag the
// loop watches, so the music is stopped and a capture's files are closed the
// usual way; anywhere else, and at a second signal, the program ends at once.
// A message box lives in a process group of its own, which goes with it.
#include "runtime/runtime.h"

#include <SDL.h>

#include <csignal>
#include <unistd.h>

namespace {

// Written by the handler and read by the loops, so each field is one
// sig_atomic_t of its own.
struct SignalState {
  volatile sig_atomic_t pending = 0;   // the first signal's number, 0 when none
  volatile sig_atomic_t deferred = 0;  // a loop that ends cleanly is running
  volatile sig_atomic_t boxGroup = 0;  // process group of the box on screen
};
SignalState SIG;

void onSignal(int sig) {
  const bool first = SIG.pending == 0;
  SIG.pending = sig;
  if (SIG.deferred && first) return;
  if (SIG.boxGroup > 0) kill(-pid_t(SIG.boxGroup), SIGTERM);
  _exit(128 + sig);
}

}  // namespace

void sig_Install() {
  // SDL would turn both signals into a quit event that nobody reads, and
  // Allegro's own handlers would end the show without stopping the music:
  // called again after Allegro is installed.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  struct sigaction sa = {};
  sa.sa_handler = onSignal;
  sa.sa_flags = SA_RESTART;  // a deferred signal must not fail a write
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void sig_Defer(bool on) { SIG.deferred = on ? 1 : 0; }

int sig_Pending() { return SIG.pending; }

void sig_SetBoxGroup(int group) { SIG.boxGroup = group; }
