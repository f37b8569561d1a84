// The eight scene graphs of a show, built from the script.
#include "runtime/runtime.h"

#include "codecs/codecs.h"
#include "registry/registry.h"
#include "script/script.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// A script error stops the music before the process ends; a missing script
// file is a start-up failure, said in a box.
ScriptExits exits() {
  ScriptExits e;
  e.stopMusic = [] { mus_Free(); };
  e.cantLoad = [](const char* text) {
    msg_Error(text);
    std::exit(kExitStartup);
  };
  return e;
}
const bool kInstalled = (plg_SetExits(exits()), true);

}  // namespace

void shw_SceneSwitch(void*, int) { mpg_Close(mpg_Shared()); }

void shw_Build(SceneSet& set) {
  for (int i = 0; i < kSceneCount; ++i) {
    set.lists[i] = plg_Load(kSceneSections[i], nullptr);
    plg_Bind(set.lists[i]);
    set.outputs[i] = plg_Get(set.lists[i], "output");
    set.outputs[i]->stream(0, 0);  // warm-up: the whole graph renders once
  }
}

void shw_Free(SceneSet& set) {
  for (int i = 0; i < kSceneCount; ++i) {
    plg_FreeList(set.lists[i]);
    set.lists[i] = nullptr;
    set.outputs[i] = nullptr;
  }
}

namespace {

struct ReloadFailure {};

// A script error while reloading: said as always, but the show goes on.
void failReload(const char* message, bool) {
  std::printf("-> Error: %s !\n", message);
  std::fflush(stdout);
  throw ReloadFailure{};
}

}  // namespace

bool shw_Reload(SceneSet& live, const char* path) {
  if (access(path, R_OK) != 0) {
    std::fprintf(stderr, "velmorin: cannot read %s; the scenes stay as they are\n", path);
    return false;
  }
  plg_SetFile(path);
  SceneSet fresh;
  const plg_FatalHandler previous = plg_SetFatalHandler(failReload);
  try {
    shw_Build(fresh);
  } catch (const ReloadFailure&) {
    plg_SetFatalHandler(previous);
    shw_Free(fresh);
    return false;
  }
  plg_SetFatalHandler(previous);
  shw_Free(live);
  live = fresh;
  return true;
}
