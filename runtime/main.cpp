// The program: asks full screen or window, loads the show and plays it; or
// checks the script, or captures the show offline.
#include "assets/assets.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"
#include "script/script.h"

#include <allegro.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

enum class Mode { Live, Check, Capture };

struct Options {
  Mode mode = Mode::Live;
  int fullscreen = -1;  // -1: ask
  bool silent = false;
  bool verbose = false;
  bool watch = false;
  int startOrder = -1;
  double duration = -1;
  int scale = kGfxScaleDefault;  // --scale: a whole number, auto or fit
  int maxFps = -1;               // --max-fps; -1: the display's refresh rate
  CaptureOptions capture;
};

// The live show: its graphs live until the process ends, or until a reload
// replaces them.
struct LiveState {
  SceneSet scenes;
  std::atomic<bool> closeRequested{false};
  bool watch = false;
  struct timespec scriptTime = {};  // modification time of the script last built
  double lastPoll = 0;
  bool overlay = false;
  int frames = 0;  // for the overlay's frames per second
  int64_t shown = 0;  // every frame of the run, for --verbose
  double fpsSince = 0;
  double fps = 0;
  FramePacer pacer;
  bool verbose = false;
  bool paused = false;
  int pausedScene = 0;
  double orderTimes[kEndMarkerOrder + 1] = {};  // module time at each order, for jumps
};
LiveState LIVE;

const char kUsage[] =
    "usage: velmorin [options]\n"
    "Plays the show in velmorin.plg, velmorin.dat and velmorin.xm from the\n"
    "current folder.  Escape or the window's close button ends it.\n"
    "  --windowed           play in a 640x300 window without asking\n"
    "  --fullscreen         play on the 640x480 screen without asking\n"
    "  --silent             no sound device: the music advances in real time unheard\n"
    "  --start-order N      start at module order N, in the scene it belongs to\n"
    "  --verbose            print start-up timings on stderr\n"
    "  --watch              rebuild the scenes when velmorin.plg changes (or on F5);\n"
    "                       Space pauses, Right/Left step an order, PgDn/PgUp a scene,\n"
    "                       Home restarts the scene\n"
    "  --scale N|auto|fit   enlarge the picture: full screen takes the largest whole N\n"
    "                       by default, fit any size; a window is N x 640x300 (auto:\n"
    "                       the largest that fits); captures take a whole N\n"
    "  --max-fps N          at most N frames a second (the display's rate by default;\n"
    "                       0: as many as the machine draws)\n"
    "  --check              build every scene without display or sound; print ok\n"
    "  --capture FILE       render the show offline into a video through ffmpeg\n"
    "  --frames DIR         render the show offline into DIR: PNG frames, audio.wav\n"
    "  --bench              render the show offline as fast as it can; time per scene\n"
    "  --passes N           times --bench draws the show; a frame counts its fastest (3)\n"
    "  --fps N              frames per second of a capture (60)\n"
    "  --layout L           window (640x300) or fullscreen (640x480, the default)\n"
    "  --duration S         stop a capture or a bench after S seconds of show\n"
    "Exit codes: 0 the show ended (also by Escape or the close button); 1 a script\n"
    "error; 2 a wrong option; 3 a start-up failure (a missing file, no sound\n"
    "device, no display, no ffmpeg) or an output that cannot be written; 130 and\n"
    "143 stopped by Ctrl-C or SIGTERM.\n";

bool number(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text, &end);
  return errno == 0 && end != text && *end == 0;
}

// Returns false when the program should stop with the given exit code.
bool parseArgs(int argc, char** argv, Options& o, int& exitCode) {
  exitCode = kExitUsage;
  bool passesGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto needsValue = [&] {
      if (!value) std::fprintf(stderr, "velmorin: %s needs a value\n", a.c_str());
      return value != nullptr;
    };
    double v = 0;
    if (a == "--windowed") o.fullscreen = 0;
    else if (a == "--fullscreen") o.fullscreen = 1;
    else if (a == "--silent") o.silent = true;
    else if (a == "--verbose") o.verbose = true;
    else if (a == "--watch") o.watch = true;
    else if (a == "--check") o.mode = Mode::Check;
    else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      exitCode = 0;
      return false;
    } else if (a == "--capture" || a == "--frames") {
      if (!needsValue()) return false;
      (a == "--capture" ? o.capture.video : o.capture.framesDir) = value;
      o.mode = Mode::Capture;
      ++i;
    } else if (a == "--bench") {
      o.capture.bench = true;
      o.mode = Mode::Capture;
    } else if (a == "--fps" || a == "--start-order" || a == "--duration") {
      if (!needsValue()) return false;
      const bool ok = number(value, v) &&
                      (a == "--fps"        ? v >= 1 && v <= 1000 && v == int(v)
                       : a == "--duration" ? v > 0 && v <= 86400
                                           : v >= 0 && v <= 65535 && v == int(v));
      if (!ok) {
        const char* range = a == "--fps"        ? "a whole number from 1 to 1000"
                            : a == "--duration" ? "a number of seconds above 0, at most 86400"
                                                : "a whole number from 0 to the module's last order";
        std::fprintf(stderr, "velmorin: %s takes %s, not '%s'\n", a.c_str(), range, value);
        return false;
      }
      if (a == "--fps") o.capture.fps = int(v);
      else if (a == "--start-order") o.startOrder = int(v);
      else o.duration = v;
      ++i;
    } else if (a == "--scale") {
      if (!needsValue()) return false;
      if (!std::strcmp(value, "auto")) o.scale = kGfxScaleAuto;
      else if (!std::strcmp(value, "fit")) o.scale = kGfxScaleFit;
      else if (number(value, v) && v == int(v) && v >= 1 && v <= 16) o.scale = int(v);
      else {
        std::fprintf(stderr, "velmorin: --scale is a whole number from 1 to 16, auto or fit, not '%s'\n", value);
        return false;
      }
      ++i;
    } else if (a == "--max-fps") {
      if (!needsValue()) return false;
      if (!number(value, v) || v != int(v) || v < 0 || v > 1000) {
        std::fprintf(stderr, "velmorin: --max-fps takes a whole number from 0 to 1000, not '%s'\n", value);
        return false;
      }
      o.maxFps = int(v);
      ++i;
    } else if (a == "--passes") {
      if (!needsValue()) return false;
      if (!number(value, v) || v != int(v) || v < 1 || v > 100) {
        std::fprintf(stderr, "velmorin: --passes takes a whole number from 1 to 100, not '%s'\n", value);
        return false;
      }
      o.capture.passes = int(v);
      passesGiven = true;
      ++i;
    } else if (a == "--layout") {
      if (!needsValue()) return false;
      if (std::strcmp(value, "window") && std::strcmp(value, "fullscreen")) {
        std::fprintf(stderr, "velmorin: --layout is window or fullscreen, not '%s'\n", value);
        return false;
      }
      o.capture.window = !std::strcmp(value, "window");
      ++i;
    } else {
      std::fprintf(stderr, "velmorin: unknown option '%s'\n%s", a.c_str(), kUsage);
      return false;
    }
  }
  if (!o.capture.video.empty() && !o.capture.framesDir.empty()) {
    std::fprintf(stderr, "velmorin: --capture and --frames exclude each other\n");
    return false;
  }
  if (o.capture.bench && (!o.capture.video.empty() || !o.capture.framesDir.empty())) {
    std::fprintf(stderr, "velmorin: --bench writes nothing; it excludes --capture and --frames\n");
    return false;
  }
  if (passesGiven && !o.capture.bench) {
    std::fprintf(stderr, "velmorin: --passes applies to --bench only\n");
    return false;
  }
  if (o.mode == Mode::Capture && o.scale != kGfxScaleDefault) {
    if (o.scale < 1) {
      std::fprintf(stderr, "velmorin: --frames and --capture take a whole --scale\n");
      return false;
    }
    o.capture.scale = o.scale;
  }
  o.capture.startOrder = o.startOrder;
  if (o.duration >= 0) o.capture.maxFrames = std::max(1, int(o.duration * o.capture.fps + 0.5));
  return true;
}

// Builds every scene without a display or a sound device.
int runCheck() {
  img_InitHeadless();
  if (!dat_Open("velmorin.dat")) {
    std::printf("Can't load velmorin.dat!\n");
    return kExitStartup;
  }
  SceneSet scenes;
  shw_Build(scenes);  // a script error ends the process with its message
  shw_Free(scenes);
  std::printf("ok\n");
  return 0;
}

void onCloseButton() { LIVE.closeRequested = true; }

struct timespec scriptTime() {
  struct stat st = {};
  if (stat("velmorin.plg", &st) != 0) return {};
  return st.st_mtim;
}

// Live-only work before a frame: F1 and F5, and watching the script.
void beforeFrame() {
  const int key = KEY.pressed;
  KEY.pressed = 0;
  if (key == KEY_F1) LIVE.overlay = !LIVE.overlay;
  if (!LIVE.watch) return;
  bool reload = key == KEY_F5;
  const double now = tmr_Seconds();
  if (now - LIVE.lastPoll > 0.25) {  // a stat four times a second is plenty
    LIVE.lastPoll = now;
    const struct timespec t = scriptTime();
    if (t.tv_sec != LIVE.scriptTime.tv_sec || t.tv_nsec != LIVE.scriptTime.tv_nsec) {
      LIVE.scriptTime = t;
      reload = true;
    }
  }
  if (reload && shw_Reload(LIVE.scenes, "velmorin.plg")) {
    GFX.lastImage = nullptr;  // it belonged to the old graphs
    std::fprintf(stderr, "velmorin: velmorin.plg reloaded\n");
  }
}

// The overlay: scene, module position and frames per second, drawn on the
// display after the present.
void drawOverlay(int scene) {
  const MusPosition p = mus_Position();
  char line[96];
  std::snprintf(line, sizeof line, "%.*s  %02d:%02d  %.0f fps%s", int(std::strlen(kSceneSections[scene]) - 4),
                kSceneSections[scene], p.order, p.row, LIVE.fps, LIVE.paused ? "  paused" : "");
  gfx_Overlay(line);
}

void afterFrame(int scene) {
  ++LIVE.frames;
  ++LIVE.shown;
  const double now = tmr_Seconds();
  if (now - LIVE.fpsSince >= 0.5) {
    LIVE.fps = LIVE.frames / (now - LIVE.fpsSince);
    LIVE.frames = 0;
    LIVE.fpsSince = now;
  }
  if (LIVE.overlay) drawOverlay(scene);
  // Sleep rather than spin: the next frame starts no sooner than the pacer says.
  tmr_Sleep(LIVE.pacer.delay(tmr_Seconds()));
}

// While paused: the last picture stays up, F1 still toggles the overlay.
void whilePaused() {
  const int key = KEY.pressed;
  KEY.pressed = 0;
  if (key == KEY_F1) LIVE.overlay = !LIVE.overlay;
  gfx_Represent();
  if (LIVE.overlay) drawOverlay(LIVE.pausedScene);
  tmr_Sleep(1.0 / 30);
}

void onRehearsal(void*, TmlEvent event, int order, int scene) {
  LIVE.paused = event == TmlEvent::Paused;
  LIVE.pausedScene = scene;
  if (!LIVE.verbose) return;
  // A jump lands on its order's first row; a pause tells where it stopped.
  const int row = event == TmlEvent::Jumped || order < 0 ? 0 : mus_Position().row;
  std::fprintf(stderr, "velmorin: %s\n", tml_Describe(event, order, row, scene).c_str());
}

double msSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

int runLive(const Options& opt) {
  const bool fullscreen = opt.fullscreen < 0 ? msg_Ask("Fullscreen?\n", "Fullscreen") : opt.fullscreen == 1;
  const auto t0 = std::chrono::steady_clock::now();

  if (!dat_Open("velmorin.dat")) {
    msg_Error("Can't load velmorin.dat!");
    return kExitStartup;
  }
  const double tArchive = msSince(t0);
  mus_SetOutput(opt.silent ? MusOutput::Null : MusOutput::Device);
  mus_Load("velmorin.xm");
  if (!mus_StartOrderFits(opt.startOrder)) {
    mus_Free();
    return kExitUsage;
  }
  const double tMusic = msSince(t0);

  if (install_allegro(SYSTEM_AUTODETECT, &errno, atexit) != 0) {
    mus_Free();
    if (allegro_error[0]) std::fprintf(stderr, "velmorin: %s\n", allegro_error);
    msg_Error("Velmorin needs a display: no X display could be opened (is DISPLAY set?). "
              "Without one, --check tests the script and --capture or --frames render the show.");
    return kExitStartup;
  }
  sig_Install();  // over Allegro's handlers
  set_color_depth(8);
  tmr_Start();
  shw_Build(LIVE.scenes);
  const double tScenes = msSince(t0);

  set_window_title("Velmorin / Tarkv");
  set_close_button_callback(onCloseButton);
  // From the display on, a signal ends the show through the timeline, which
  // stops the music and lets Allegro restore the screen.
  sig_Defer(true);
  if (!gfx_Init(fullscreen, 640, 480, opt.scale)) {
    mus_Free();
    sig_Defer(false);
    msg_Error("Can't open the display!");
    return kExitStartup;
  }
  if (opt.verbose)
    std::fprintf(stderr,
                 "velmorin: archive %.1f ms, music %.1f ms, scenes %.1f ms, display %.1f ms "
                 "(start-up to first frame), audio latency %.1f ms\n",
                 tArchive, tMusic, tScenes, msSince(t0), mus_LatencySeconds() * 1000);

  TimelineIO io;
  io.now = [](void*) { return tmr_Seconds(); };
  io.escape = [](void*) { return key_Escape() || LIVE.closeRequested || sig_Pending() != 0; };
  io.order = [](void*) { return mus_Order(); };
  io.beat = [](void*) { return mus_Beat(); };
  io.play = [](void*, int order) { mus_PlayAt(order); };
  io.sceneSwitch = shw_SceneSwitch;
  io.render = [](void*, int scene) {
    beforeFrame();
    LIVE.scenes.outputs[scene]->stream(256, 256);
    afterFrame(scene);
  };
  io.startOrder = opt.startOrder;
  if (opt.watch) {
    io.command = [](void*) {
      const TmlCommand c = tml_CommandForKey(KEY.pressed);
      if (c != TmlCommand::None) KEY.pressed = 0;
      return c;
    };
    io.pause = [](void*, bool paused) { mus_Pause(paused); };
    io.idle = [](void*) { whilePaused(); };
    io.orderTime = [](void*, int order) { return LIVE.orderTimes[std::clamp(order, 0, int(kEndMarkerOrder))]; };
    io.report = onRehearsal;
    // The module's time at each order, for jumps into the middle of a scene;
    // only to be had before the music plays.
    for (int i = 0; i <= kEndMarkerOrder; ++i) LIVE.orderTimes[i] = mus_TimeAtOrder(i);
  }
  const int refresh = gfx_RefreshRate();
  const int rate = opt.maxFps >= 0 ? opt.maxFps : refresh > 0 ? refresh : 60;
  LIVE.pacer.setRate(rate);
  LIVE.verbose = opt.verbose;
  if (opt.verbose)
    std::fprintf(stderr, "velmorin: display %dx%d, picture %dx%d, %s, at most %s frames a second\n",
                 GFX.layout.displayW, GFX.layout.displayH, GFX.layout.pictureW, GFX.layout.pictureH,
                 GFX.layout.scale ? ("scale " + std::to_string(GFX.layout.scale)).c_str() : "fitted",
                 rate ? std::to_string(rate).c_str() : "unlimited");
  LIVE.watch = opt.watch;
  LIVE.scriptTime = scriptTime();
  const double runStart = tmr_Seconds();
  tml_Run(io);
  if (opt.verbose) {
    const double seconds = tmr_Seconds() - runStart;
    std::fprintf(stderr, "velmorin: %lld frames in %.1f s (%.1f a second)\n", (long long)LIVE.shown, seconds,
                 seconds > 0 ? double(LIVE.shown) / seconds : 0.0);
  }

  mus_Free();
  sig_Defer(false);
  if (!sig_Pending()) return 0;
  std::fprintf(stderr, "velmorin: stopped by signal %d\n", sig_Pending());
  return 128 + sig_Pending();
}

}  // namespace

int main(int argc, char** argv) {
  sig_Install();
  Options opt;
  int code = 0;
  if (!parseArgs(argc, argv, opt, code)) return code;
  switch (opt.mode) {
    case Mode::Check: return runCheck();
    case Mode::Capture: return cap_Run(opt.capture);
    case Mode::Live: break;
  }
  return runLive(opt);
}
END_OF_MAIN()
