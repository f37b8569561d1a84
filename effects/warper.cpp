// Warper: the texture laid 1:1 over the frame and pushed about by sines
// evaluated at the grid points only; the cell fill does the rest.
#include "effects/grid_private.h"

#include <cmath>
#include <vector>

const ParamInfo kWarperParams[] = {
    {" in=", ParamKind::Image, "empty layer", "the picture drawn over, in place"},
    {" tex=", ParamKind::Image, "empty layer", "the texture, asked for 256x256; it wraps"},
    {" x=", ParamKind::Value, "0", "texture scroll across, pixels"},
    {" y=", ParamKind::Value, "0", "texture scroll down, pixels"},
    {" dx=", ParamKind::Value, "0", "amplitude of the sideways push, pixels"},
    {" dy=", ParamKind::Value, "0", "amplitude of the up and down push, pixels"},
    {" amp=", ParamKind::Value, "0", "phase of the wave pattern, radians"},
    {" type=", ParamKind::Value, "0", "0 plain, 1 shaded by the pushed coordinates"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

namespace {

// Phase steps per grid row and column, rounded to float: pi / 34 and pi / 30.
constexpr float kRowPhase = float(0.09239978392911764);
constexpr float kColumnPhase = float(0.10471975511966666);

struct Wave {
  float x, y, dx, dy, amp;
};

// The column terms are the same in every row (the column phase starts at 0
// in each), so they are worked out once.  Each float(...) of a formula is
// where its double result is rounded.
template <bool kShaded>
void waveGrid(const Wave& w) {
  const int gw = GRID.gw, gh = GRID.gh;
  std::vector<double> sinCp(static_cast<size_t>(gw)), cosCp(static_cast<size_t>(gw));
  float cp = 0;
  for (int j = 0; j < gw; ++j, cp += kColumnPhase) {
    sinCp[size_t(j)] = std::sin(double(cp));
    cosCp[size_t(j)] = std::cos(double(cp));
  }
  const double sinAmp = std::sin(double(w.amp)), cosAmp = std::cos(double(w.amp));
  float rp = 0;
  for (int i = 0; i < gh; ++i, rp += kRowPhase) {
    const double sinRp = std::sin(double(rp));
    const float S1 = float(std::sin(sinAmp * std::cos(double(rp))));
    const float S2 = float(std::sin(cosAmp * sinRp));
    for (int j = 0; j < gw; ++j) {
      const size_t at = size_t(j) * size_t(gh) + size_t(i);
      const float u = float(double(float(8 * j) + w.x) + double(w.dx) * (sinCp[size_t(j)] + double(S1)));
      const float v = float(double(float(8 * i) + w.y) + double(w.dy) * (cosCp[size_t(j)] + double(S2)));
      const int32_t U = grid_Trunc(u * 256);
      const int32_t V = grid_Trunc(v * 256);
      GRID.U[at] = U;
      GRID.V[at] = V;
      if (kShaded) {
        const float L = float(double(U) * sinRp / 256 + double(V) * sinCp[size_t(j)] / 256);
        // A comparison with not a number fails: it counts as below 0.
        const float clamped = L > 0 ? (L < 255 ? L : 255) : 0;
        GRID.S[at] = int32_t(clamped * 256);
      }
    }
  }
}

}  // namespace

Warper::Warper(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kWarperParams);
  in = read.image();
  tex = read.image();
  x = read.value();
  y = read.value();
  dx = read.value();
  dy = read.value();
  amp = read.value();
  type = read.value();
}

Warper::~Warper() { grid_Release(); }

Image* Warper::onStream(int w, int h) {
  const int t = plg_Trunc(type->value());
  if (t > 1 || t < 0) reportPluginError(this, "unknown shading type");
  Image* dest = in->stream(w, h);
  Image* texture = tex->stream(256, 256);
  Wave wave;
  // The values are asked in the reverse of the table's order, always: a value
  // may change as it is asked (a held KeyB steps on every request) and the
  // first faulty input is the one reported, so the order shows in a show.
  wave.amp = amp->value();
  wave.dy = dy->value();
  wave.dx = dx->value();
  wave.y = y->value();
  wave.x = x->value();
  if (!dest) return dest;
  grid_Size(dest->width, dest->height);
  if (t == 1)
    waveGrid<true>(wave);
  else
    waveGrid<false>(wave);
  grid_Fill(dest, grid_Texels(texture), t == 1);
  return dest;
}
