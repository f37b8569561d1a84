// The plugin registry: the keyword table that ties each type word of a script
// to its class, its kind and its parameter table, and plg_Get, which builds
// the object a label names.  It sits above every folder of plugins (plugins/,
// effects/, scene3d/) and installs the builders the script readers call.
#pragma once

#include "script/script.h"

struct PlugIn;

enum class PlugKind { Value, Stream };

struct PlugInfo {
  const char* keyword;
  PlugKind kind;
  PlugIn* (*make)(Declaration* decl, PlugIn* next);
  const ParamInfo* params;  // terminated by a row with a null key
};

// The keyword table, in matching order; terminated by a row with a null keyword.
const PlugInfo* plg_Registry();

// Builds the object of a label (or hands out the shared one).  The first time
// a declaration is built, its keys are checked (plg_CheckParams).
PlugIn* plg_Get(Declaration* list, const char* label);
