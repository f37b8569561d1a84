// The program: asks full screen or window, loads the show and plays it; or
// checks the script, or captures the show offline.
#include "assets/assets.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"
#include "script/script.h"

#include <allegro.h>

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
  double fpsSince = 0;
  double fps = 0;
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
    "  --watch              rebuild the scenes when velmorin.plg changes (or on F5)\n"
    "  --check              build every scene without display or sound; print ok\n"
    "  --capture FILE       render the show offline into a video through ffmpeg\n"
    "  --frames DIR         render the show offline into DIR: PNG frames, audio.wav\n"
    "  --bench              render the show offline as fast as it can; time per scene\n"
    "  --fps N              frames per second of a capture (60)\n"
    "  --layout L           window (640x300) or fullscreen (640x480, the default)\n"
    "  --duration S         stop a capture or a bench after S seconds of show\n";

bool number(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text, &end);
  return errno == 0 && end != text && *end == 0;
}

// Returns false when the program should stop with the given exit code.
bool parseArgs(int argc, char** argv, Options& o, int& exitCode) {
  exitCode = 2;
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
      if (!number(value, v) || v < 0 || (a == "--fps" && (v < 1 || v > 1000)) || (a != "--duration" && v != int(v))) {
        std::fprintf(stderr, "velmorin: %s takes a number, not '%s'\n", a.c_str(), value);
        return false;
      }
      if (a == "--fps") o.capture.fps = int(v);
      else if (a == "--start-order") o.startOrder = int(v);
      else o.duration = v;
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
  o.capture.startOrder = o.startOrder;
  if (o.duration >= 0) o.capture.maxFrames = int(o.duration * o.capture.fps + 0.5);
  return true;
}

// Builds every scene without a display or a sound device.
int runCheck() {
  img_InitHeadless();
  if (!dat_Open("velmorin.dat")) {
    std::printf("Can't load velmorin.dat!\n");
    return 1;
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
  const int key = keyPressed;
  keyPressed = 0;
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
  if (reload && shw_Reload(LIVE.scenes, "velmorin.plg"))
    std::fprintf(stderr, "velmorin: velmorin.plg reloaded\n");
}

// The overlay: scene, module position and frames per second, drawn on the
// display after the present.
void afterFrame(int scene) {
  ++LIVE.frames;
  const double now = tmr_Seconds();
  if (now - LIVE.fpsSince >= 0.5) {
    LIVE.fps = LIVE.frames / (now - LIVE.fpsSince);
    LIVE.frames = 0;
    LIVE.fpsSince = now;
  }
  if (!LIVE.overlay) return;
  const MusPosition p = mus_Position();
  char line[96];
  std::snprintf(line, sizeof line, "%.*s  %02d:%02d  %.0f fps", int(std::strlen(kSceneSections[scene]) - 4),
                kSceneSections[scene], p.order, p.row, LIVE.fps);
  gfx_Overlay(line);
}

double msSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

int runLive(const Options& opt) {
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
    if (allegro_error[0]) std::fprintf(stderr, "velmorin: %s\n", allegro_error);
    msg_Error("Velmorin needs a display: no X display could be opened (is DISPLAY set?). "
              "Without one, --check tests the script and --capture or --frames render the show.");
    return 0;
  }
  set_color_depth(8);
  tmr_Start();
  shw_Build(LIVE.scenes);
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
  io.now = [](void*) { return tmr_Seconds(); };
  io.escape = [](void*) { return key_Escape() || LIVE.closeRequested; };
  io.order = [](void*) { return mus_Order(); };
  io.beat = [](void*) { return mus_Beat(); };
  io.play = [](void*, int order) { mus_PlayAt(order); };
  io.render = [](void*, int scene) {
    beforeFrame();
    LIVE.scenes.outputs[scene]->stream(256, 256);
    afterFrame(scene);
  };
  io.startOrder = opt.startOrder;
  LIVE.watch = opt.watch;
  LIVE.scriptTime = scriptTime();
  tml_Run(io);

  mus_Free();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
