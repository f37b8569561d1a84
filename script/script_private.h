// What the files of script/ share beyond script.h: the hooks the layers
// above install.
#pragma once

#include "script/script.h"

// Installed by the layers above while the program starts, from their own
// static initialisers: an object of its own, constant-initialised, so that no
// initialiser of script/ can run after theirs and wipe what they set.
struct ScriptHooks {
  PlugBuilders builders;  // by the registry
  ScriptExits exits;      // by the runtime
};
extern ScriptHooks HOOKS;
