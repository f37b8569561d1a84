// Helpers shared by the unit tests.
#pragma once

#include "assets/assets.h"
#include "plugins/plugins.h"
#include "registry/registry.h"
#include "runtime/runtime.h"
#include "script/script.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

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

// FNV-1a over bytes: the checksum of a rendered frame.
inline uint64_t fnv1a(const uint8_t* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

// A picture of any size over test memory, filled with `fill`, with 16 guard
// bytes of the same value after it: a layer that writes past its end shows.
struct GuardedPicture final : Stream {
  std::vector<uint8_t> bytes;
  Image image;
  uint8_t fill;
  GuardedPicture(int w, int h, uint8_t f) : Stream(nullptr, nullptr), bytes(size_t(w * h) + 16, f), fill(f) {
    image.width = w, image.height = h, image.pixels = bytes.data();
  }
  bool guardIntact() const {
    for (size_t i = bytes.size() - 16; i < bytes.size(); ++i)
      if (bytes[i] != fill) return false;
    return true;
  }

 protected:
  Image* onStream(int, int) override { return &image; }
};
