// Scripts from arbitrary text: every scene section is read, its graph built
// from "output" and warmed up, and one frame requested, as at start-up.
// Script errors unwind instead of ending the process.
#include "assets/assets.h"
#include "plugins/plugins.h"
#include "registry/registry.h"
#include "runtime/runtime.h"
#include "script/script.h"

#include <stdexcept>
#include <string>

namespace {

struct ScriptFailure : std::exception {};
void throwFailure(const char*, bool) { throw ScriptFailure(); }

struct NullSink final : GfxSink {
  void setPalette(const GfxPalette&) override {}
  void blit(const Image*, int, int, int, int, int, int) override {}
};

double fixedClock() { return 1.25; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NullSink sink;
  static bool ready = false;
  if (!ready) {
    img_InitHeadless();
    plg_SetFatalHandler(throwFailure);
    tmr_SetSource(fixedClock);
    mus_SetOutput(MusOutput::Manual);
    ready = true;
  }
  if (size > 4096) return 0;
  gfx_Attach(&sink, GfxMode::Fullscreen);
  plg_SetText(std::string(reinterpret_cast<const char*>(data), size));
  for (const char* section : kSceneSections) {
    Declaration* list = nullptr;
    try {
      list = plg_Load(section, nullptr);
      plg_Bind(list);
      PlugIn* out = plg_Get(list, "output");
      out->stream(0, 0);
      TML.fade = 100;
      out->stream(256, 256);
    } catch (const ScriptFailure&) {
    }
    plg_FreeList(list);
  }
  return 0;
}
