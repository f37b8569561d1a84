// Helpers shared by the unit tests.
#pragma once

#include "assets/assets.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"
#include "script/script.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

// A fatal script or plugin error, thrown instead of ending the process.
struct FatalError : std::runtime_error {
  bool plugin;
  FatalError(const char* m, bool p) : std::runtime_error(m), plugin(p) {}
};

inline void throwFatal(const char* message, bool pluginError) { throw FatalError(message, pluginError); }

// Loads a scene from script text with errors turned into exceptions; frees
// the scene's declarations and objects at the end of the test.
struct ScriptFixture : ::testing::Test {
  Declaration* list = nullptr;

  void SetUp() override {
    img_InitHeadless();
    plg_SetFatalHandler(throwFatal);
  }
  void TearDown() override {
    plg_FreeList(list);
    plg_SetFatalHandler(nullptr);
  }
  Declaration* load(const std::string& text, const char* section = "s.plg") {
    plg_SetText(text);
    plg_FreeList(list);
    list = nullptr;
    list = plg_Load(section, nullptr);
    plg_Bind(list);
    return list;
  }
  PlugIn* get(const char* label) { return plg_Get(list, label); }
  // The message of the fatal error that f raises, or "" when none.
  template <class F>
  static std::string errorOf(F f) {
    try {
      f();
    } catch (const FatalError& e) {
      return e.what();
    }
    return "";
  }
};
