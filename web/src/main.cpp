// The show in a web page.  The page fetches the three show files into the
// module's file system and calls main; main builds the scenes, shows the
// title and waits for the page's play button, then runs the same timeline
// as the native program, one frame per animation frame of the page.
//   main                    the page as a person sees it
//   main --start-order N    as above, the timeline starting at order N
//   main --hook             scenes built, nothing played: the page drives
//                           web_HookFrame itself (the same-frame test)
#include "assets/assets.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"
#include "web/src/web.h"

#include <emscripten.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct WebState {
  SceneSet scenes;
  bool overlay = false;
  int frames = 0;  // for the overlay's frames per second
  double fpsSince = 0;
  double fps = 0;
  double hookTime = 0;
  std::vector<uint8_t> grey;
};
WebState WEB;

double hookClock() { return WEB.hookTime; }

}  // namespace

EM_ASYNC_JS(void, page_waitFrame, (), { await Module.page.nextFrame(); });
EM_ASYNC_JS(void, page_waitPlay, (), { await Module.page.waitPlay(); });
EM_JS(void, page_ready, (), { Module.page.ready(); });
EM_JS(void, page_frameDone, (int scene, double ms), { Module.page.frameDone(scene, ms); });
EM_JS(void, page_stopped, (int finished), { Module.page.stopped(finished); });

namespace {

void renderFrame(int scene) {
  const int key = KEY.pressed;
  KEY.pressed = 0;
  if (key == kWebKeyF1) {
    WEB.overlay = !WEB.overlay;
    if (!WEB.overlay) gfx_Overlay("");
  }
  const auto t0 = std::chrono::steady_clock::now();
  WEB.scenes.outputs[scene]->stream(256, 256);
  web_ShowFrame();
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  page_frameDone(scene, ms);

  ++WEB.frames;
  const double now = tmr_Seconds();
  if (now - WEB.fpsSince >= 0.5) {
    WEB.fps = WEB.frames / (now - WEB.fpsSince);
    WEB.frames = 0;
    WEB.fpsSince = now;
  }
  if (WEB.overlay) {
    const MusPosition p = mus_Position();
    char line[96];
    std::snprintf(line, sizeof line, "%.*s  %02d:%02d  %.0f fps", int(std::strlen(kSceneSections[scene]) - 4),
                  kSceneSections[scene], p.order, p.row, WEB.fps);
    gfx_Overlay(line);
  }
  page_waitFrame();  // the page shows it; the next frame starts on its next animation frame
}

// The title as it stands before the show starts: scene 0, no fade.
void showTitle() {
  TML.t0 = float(tmr_Seconds());
  TML.fade = 0;
  WEB.scenes.outputs[0]->stream(256, 256);
  web_ShowFrame();
}

}  // namespace

// The same-frame hook: renders one frame of a scene at a show time and fade
// given by the caller, with the clock held there, and returns the picture as
// grey levels (width x height bytes of the screen).  Frames of one scene must
// come in order, as they would in a run.
extern "C" EMSCRIPTEN_KEEPALIVE const uint8_t* web_HookFrame(int scene, double seconds, int fade) {
  if (scene < 0 || scene >= kSceneCount) return nullptr;
  WEB.hookTime = seconds;
  tmr_SetSource(hookClock);
  TML.t0 = 0;
  TML.fade = fade;
  WEB.scenes.outputs[scene]->stream(256, 256);
  const WebScreen& s = web_Screen();
  WEB.grey.resize(size_t(s.width) * size_t(s.height));
  web_Grey(WEB.grey.data());
  tmr_SetSource(nullptr);
  return WEB.grey.data();
}

int main(int argc, char** argv) {
  int startOrder = -1;
  bool hook = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--hook")) hook = true;
    else if (!std::strcmp(argv[i], "--start-order") && i + 1 < argc) startOrder = std::atoi(argv[++i]);
  }
  if (!dat_Open("velmorin.dat")) {
    msg_Error("Can't load velmorin.dat!");
    return 1;
  }
  mus_Load("velmorin.xm");
  tmr_Start();
  gfx_Init(true, 640, 480);
  shw_Build(WEB.scenes);
  if (hook) {
    page_ready();
    return 0;  // the runtime stays for the hook's calls
  }
  showTitle();
  page_ready();

  TimelineIO io;
  io.now = [](void*) { return tmr_Seconds(); };
  io.escape = [](void*) { return key_Escape(); };
  io.order = [](void*) { return mus_Order(); };
  io.beat = [](void*) { return mus_Beat(); };
  io.play = [](void*, int order) { mus_PlayAt(order); };
  io.render = [](void*, int scene) { renderFrame(scene); };
  io.startOrder = startOrder;
  for (;;) {
    page_waitPlay();
    web_DropKeys();  // presses made before the start do not stop it
    tmr_Start();
    const TimelineEnd end = tml_Run(io);
    mus_Free();
    gfx_Overlay("");
    showTitle();
    page_stopped(end == TimelineEnd::Finished);
  }
}
