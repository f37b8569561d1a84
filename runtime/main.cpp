// The program: asks full screen or window, loads the show and plays it.
#include "assets/assets.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"
#include "script/script.h"

#include <allegro.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

struct Options {
  int fullscreen = -1;  // -1: ask
  bool silent = false;
  bool verbose = false;
};

// The scene graphs live until the process ends.
struct ShowState {
  Declaration* lists[kSceneCount] = {};
  PlugIn* outputs[kSceneCount] = {};
  std::atomic<bool> closeRequested{false};
};
ShowState SHOW;

const char kUsage[] =
    "usage: velmorin [--windowed | --fullscreen] [--silent] [--verbose]\n"
    "Plays the show in velmorin.plg, velmorin.dat and velmorin.xm from the\n"
    "current folder.  Escape or the window's close button ends it.\n"
    "  --windowed    play in a 640x300 window without asking\n"
    "  --fullscreen  play on the 640x480 screen without asking\n"
    "  --silent      no sound device: the music advances in real time unheard\n"
    "  --verbose     print start-up timings on stderr\n";

// Returns false when the program should stop with the given exit code.
bool parseArgs(int argc, char** argv, Options& o, int& exitCode) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!std::strcmp(a, "--windowed")) o.fullscreen = 0;
    else if (!std::strcmp(a, "--fullscreen")) o.fullscreen = 1;
    else if (!std::strcmp(a, "--silent")) o.silent = true;
    else if (!std::strcmp(a, "--verbose")) o.verbose = true;
    else if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
      std::fputs(kUsage, stdout);
      exitCode = 0;
      return false;
    } else {
      std::fprintf(stderr, "velmorin: unknown option '%s'\n%s", a, kUsage);
      exitCode = 2;
      return false;
    }
  }
  return true;
}

void onCloseButton() { SHOW.closeRequested = true; }

double ioNow(void*) { return tmr_Seconds(); }
bool ioEscape(void*) { return key_Escape() || SHOW.closeRequested; }
int ioOrder(void*) { return mus_Order(); }
int ioBeat(void*) { return mus_Beat(); }
void ioPlay(void*) { mus_Play(); }
void ioRender(void*, int scene) { SHOW.outputs[scene]->stream(256, 256); }

double msSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int code = 0;
  if (!parseArgs(argc, argv, opt, code)) return code;

  const bool fullscreen = opt.fullscreen < 0 ? msg_Ask("Fullscreen?\n", "Fullscreen") : opt.fullscreen == 1;
  const auto t0 = std::chrono::steady_clock::now();

  if (!dat_Open("velmorin.dat")) {
    msg_Error("Can't load velmorin.dat!");
    return 0;
  }
  const double tArchive = msSince(t0);
  mus_SetOutput(opt.silent ? MusOutput::Null : MusOutput::Device);
  mus_Load("velmorin.xm");
  const double tMusic = msSince(t0);

  if (install_allegro(SYSTEM_AUTODETECT, &errno, atexit) != 0) {
    mus_Free();
    msg_Error("Velmorin needs a display: no X display could be opened (is DISPLAY set?).");
    return 0;
  }
  set_color_depth(8);
  tmr_Start();

  for (int i = 0; i < kSceneCount; ++i) {
    SHOW.lists[i] = plg_Load(kSceneSections[i], nullptr);
    plg_Bind(SHOW.lists[i]);
    SHOW.outputs[i] = plg_Get(SHOW.lists[i], "output");
    SHOW.outputs[i]->stream(0, 0);
  }
  const double tScenes = msSince(t0);

  set_window_title("Velmorin / Tarkv");
  set_close_button_callback(onCloseButton);
  if (!gfx_Init(fullscreen, 640, 480)) {
    mus_Free();
    msg_Error("Can't open the display!");
    return 0;
  }
  if (opt.verbose)
    std::fprintf(stderr,
                 "velmorin: archive %.1f ms, music %.1f ms, scenes %.1f ms, display %.1f ms "
                 "(start-up to first frame), audio latency %.1f ms\n",
                 tArchive, tMusic, tScenes, msSince(t0), mus_LatencySeconds() * 1000);

  TimelineIO io;
  io.now = ioNow;
  io.escape = ioEscape;
  io.order = ioOrder;
  io.beat = ioBeat;
  io.play = ioPlay;
  io.render = ioRender;
  tml_Run(io);

  mus_Free();
  return 0;
}
END_OF_MAIN()
