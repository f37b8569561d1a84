// The plugin object model and the basic plugins: every object a scene script
// declares is a PlugIn that answers a value request (a float) or a stream
// request (an image of a requested size).
#pragma once

#include "assets/assets.h"
#include "script/script.h"

#include <cmath>
#include <string>
#include <vector>
#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

// Truncation toward zero that is defined for every float: NaN gives 0 and
// values beyond the int range saturate.  Numbers come from scripts.
inline int plg_TruncSlow(float v) {
  if (!(v == v)) return 0;
  if (v >= 2147483520.0f) return 2147483647;
  if (v <= -2147483648.0f) return -2147483647 - 1;
  return int(v);
}
// The span fillers truncate several times a span, so the common case is one
// instruction: the SSE conversion answers 0x80000000 for NaN and for
// everything out of range, and 2147483520 (the largest float below 2^31,
// which saturates above) is the one in-range answer that needs the long way.
inline int plg_Trunc(float v) {
#if defined(__SSE__) || defined(__x86_64__)
  const int r = _mm_cvtt_ss2si(_mm_set_ss(v));
  if (__builtin_expect(r != int(0x80000000u) && r != 2147483520, 1)) return r;
#endif
  return plg_TruncSlow(v);
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

// A running object's fatal error (see plg_Fatal): the object's declaration,
// or for an implicit object the place of the request under way, is shown.
[[noreturn]] void reportPluginError(const PlugIn* object, const char* message);

// ---------------------------------------------------------------------------
// The show clock and the screen fade.  The timeline (runtime/) writes them;
// time-dependent plugins read the clock, the Screen the fade.
struct TimelineState {
  float speed = 1.0f;  // set once, never changed by the show
  float t0 = 0.0f;     // phase origin in seconds, reset at every scene change
  int fade = 0;        // screen fade: -256 black, 0 plain, +255 white
};
extern TimelineState TML;

// Scene-relative show clock: the runtime's clock * speed - t0, as a float.
float tml_ShowTime();

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

// A held picture at the asked size (negative sizes are 0): made black the
// first time, scaled from what it held when the size changes.  The picture
// before the last resize stays in retired: one label can be asked for two
// sizes within one request (Mirror's tex and in, Window's in and win), and
// the first picture must outlive the second request.
Image* plg_Resized(Image*& image, Image*& retired, int width, int height);

// The plain image holder; also what an absent image parameter becomes.
struct Layer final : Stream {
  Image* image = nullptr;
  Image* retired = nullptr;  // see plg_Resized

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

// A still picture from the archive, converted to grey levels when loaded.
struct Texture final : Stream {
  Image* image = nullptr;
  Image* retired = nullptr;  // see plg_Resized

  Texture(Declaration* decl, PlugIn* next);
  ~Texture() override;

 protected:
  Image* onStream(int width, int height) override;
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

// ---------------------------------------------------------------------------
// Compositing layers.  They work in place on the picture their `in` answers
// for the caller's size and return it.  A picture of another size than asked
// is walked only where it has pixels: nothing is read or written outside it.

// Combines in with tex pixel by pixel, or filters in alone, by the operation
// op= chooses each frame; Int= is the factor, bump depth or pass count.
struct Mixer final : Stream {
  PlugIn* in = nullptr;
  PlugIn* tex = nullptr;
  PlugIn* bump = nullptr;
  PlugIn* op = nullptr;
  PlugIn* Int = nullptr;

  Mixer(Declaration* decl, PlugIn* next);

 protected:
  Image* onStream(int width, int height) override;
};

// Makes in symmetric: tex, asked for a half or a quarter of the frame, is
// copied and mirrored top-bottom (level 0), left-right (1) or both ways (2).
struct Mirror final : Stream {
  PlugIn* in = nullptr;
  PlugIn* tex = nullptr;
  PlugIn* level = nullptr;

  Mirror(Declaration* decl, PlugIn* next);

 protected:
  Image* onStream(int width, int height) override;
};

// Covers in with a 256x256 texture that wraps, turned by rot (256ths of a
// turn) and zoomed by scale (256 is one texel a pixel) around texel (x, y).
struct Zoomer final : Stream {
  PlugIn* in = nullptr;
  PlugIn* tex = nullptr;
  PlugIn* x = nullptr;
  PlugIn* y = nullptr;
  PlugIn* scale = nullptr;
  PlugIn* rot = nullptr;

  Zoomer(Declaration* decl, PlugIn* next);

 protected:
  Image* onStream(int width, int height) override;
};

// Breaks a feedback cycle of shared labels: asked again while its input is
// being rendered, it hands out the picture it keeps (black at first) instead
// of recursing.  When the input's picture differs in size from the kept one,
// the kept one takes it in, centred (type 0) or scaled (type 1).
struct Loop final : Stream {
  static constexpr int kRendering = 2;  // the input's request is under way
  static constexpr int kIdle = 3;

  PlugIn* in = nullptr;
  PlugIn* type = nullptr;
  Image* stored = nullptr;  // owned; made by the first request from inside the cycle
  int state = kIdle;

  Loop(Declaration* decl, PlugIn* next);
  ~Loop() override;

 protected:
  Image* onStream(int width, int height) override;
};

// ---------------------------------------------------------------------------
// Video layer.  A looping clip of the archive, one picture more per request
// while fewer than 10 a second of show time have been decoded; handed on at
// the asked size.  All MPEG objects play on the one shared decoder, which
// the timeline closes at every scene change.
struct MPEG final : Stream {
  Image* frame = nullptr;    // the picture returned: decoded itself or scaled
  Image* decoded = nullptr;  // owned, the clip's own size
  Image* scaled = nullptr;   // owned, the asked size when it differs
  Image* retired = nullptr;  // as in Layer
  std::string name;
  int framesShown = 0;

  MPEG(Declaration* decl, PlugIn* next);
  ~MPEG() override;

 protected:
  Image* onStream(int width, int height) override;
};

// ---------------------------------------------------------------------------
// Paths: a natural cubic spline through control values at knots 0, 1, 2...

// Coefficients of segment i: a + b u + c u^2 + d u^3 for u in [0, 1].
struct Spline {
  std::vector<float> a, b, c, d;  // segments + 1 entries each
  int segments = 0;
};

struct Path final : Value {
  PlugIn* time = nullptr;
  PlugIn* org = nullptr;
  PlugIn* scale = nullptr;
  int type = 0;  // 0 open: ends at the first and last value; 1 closed: loops
  int num = 0;   // control values
  Spline spline;

  Path(Declaration* decl, PlugIn* next);

 protected:
  float onValue() override;  // org + spline(time) * scale
};

// The parameter tables of the classes above, for the registry.
extern const ParamInfo kConstantParams[];
extern const ParamInfo kOscilatorParams[];
extern const ParamInfo kKeyBParams[];
extern const ParamInfo kScreenParams[];
extern const ParamInfo kWindowParams[];
extern const ParamInfo kTextureParams[];
extern const ParamInfo kMixerParams[];
extern const ParamInfo kMirrorParams[];
extern const ParamInfo kZoomerParams[];
extern const ParamInfo kLoopParams[];
extern const ParamInfo kPathParams[];
extern const ParamInfo kMpegParams[];
