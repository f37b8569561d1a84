// The eight scene graphs of a show, built from the script.
#include "runtime/runtime.h"

#include "plugins/plugins.h"
#include "script/script.h"

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
