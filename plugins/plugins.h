// The plugin object model and the basic plugins: every object a scene script
// declares is a PlugIn that answers a value request (a float) or a stream
// request (an image of a requested size).
#pragma once

#include "assets/assets.h"
#include "script/script.h"

#include <cmath>

// Truncation toward zero that is defined for every float: NaN gives 0 and
// values beyond the int range saturate.  Numbers come from scripts.
inline int plg_Trunc(float v) {
  if (!(v == v)) return 0;
  if (v >= 2147483520.0f) return 2147483647;
  if (v <= -2147483648.0f) return -2147483647 - 1;
  return int(v);
}

struct PlugIn {
  Declaration* declaration;  // null for implicit objects
  PlugIn* next;              // owned: the rest of the object's chain

  PlugIn(Declaration* decl, PlugIn* next);
  PlugIn(const PlugIn&) = delete;
  PlugIn& operator=(const PlugIn&) = delete;
  virtual ~PlugIn();

  // The two requests.  They count how deeply requests nest, so that a cycle
  // of shared labels that nothing breaks ends in an error, not a crash.
  float value();
  Image* stream(int width, int height);

 protected:
  virtual float onValue() = 0;
  virtual Image* onStream(int width, int height) = 0;
};

// The declaration of the innermost request under way whose object has one
// (implicit objects have none), or null: where a running graph's error is.
const Declaration* plg_Requesting();

struct Value : PlugIn {
  using PlugIn::PlugIn;

 protected:
  Image* onStream(int width, int height) override;  // fatal: wrong kind
};

struct Stream : PlugIn {
  using PlugIn::PlugIn;

 protected:
  float onValue() override;  // fatal: wrong kind
};

// The plain image holder; also what an absent image parameter becomes.
struct Layer final : Stream {
  Image* image = nullptr;

  Layer(Declaration* decl, PlugIn* next);
  ~Layer() override;

 protected:
  Image* onStream(int width, int height) override;
};

// ---------------------------------------------------------------------------
// Value plugins.
struct Constant final : Value {
  float k = 0;

  Constant(Declaration* decl, PlugIn* next);  // reads k=
  Constant(float value, PlugIn* next);        // implicit, no declaration

 protected:
  float onValue() override { return k; }
};

struct Oscilator final : Value {
  PlugIn* fce;
  PlugIn* amp;
  PlugIn* add;
  PlugIn* freq;
  PlugIn* phase;
  PlugIn* time;

  Oscilator(Declaration* decl, PlugIn* next);

 protected:
  float onValue() override;
};

struct KeyB final : Value {
  PlugIn* max;
  PlugIn* min;
  PlugIn* start;
  PlugIn* step;
  float current = 0;
  int incKey = -1;  // -1: no key
  int decKey = -1;

  KeyB(Declaration* decl, PlugIn* next);

 protected:
  float onValue() override;
};

// Key code of an inc=/dec= word: 'c is the character's code, otherwise a
// decimal number; -1 when it names no key (absent, unreadable, out of 0..255).
int keyb_Code(const char* word);

// ---------------------------------------------------------------------------
// Source layers.
struct Screen final : Stream {
  PlugIn* in = nullptr;
  int xres = 320, yres = 240;
  int x = 0, y = 0, w = 320, h = 240;

  Screen(Declaration* decl, PlugIn* next);

 protected:
  Image* onStream(int width, int height) override;  // 0x0 is the warm-up
};

struct Window final : Stream {
  PlugIn* in = nullptr;
  PlugIn* win = nullptr;
  PlugIn* x = nullptr;
  PlugIn* y = nullptr;
  PlugIn* W = nullptr;
  PlugIn* H = nullptr;
  Image* outer = nullptr;  // borrowed: the background of the request under way
  Image* crop = nullptr;   // owned: the background under the window
  int busy = 0;

  Window(Declaration* decl, PlugIn* next);
  ~Window() override;

 protected:
  Image* onStream(int width, int height) override;
};

// The parameter tables of the classes above, for the registry.
extern const ParamInfo kConstantParams[];
extern const ParamInfo kOscilatorParams[];
extern const ParamInfo kKeyBParams[];
extern const ParamInfo kScreenParams[];
extern const ParamInfo kWindowParams[];
