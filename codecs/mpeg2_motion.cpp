// Motion compensation of the luminance: 16-wide blocks predicted at half
// sample accuracy from a reference field or frame, stored or averaged with
// the other direction's prediction.  One loop per half-sample case and
// mode, each a fetch, a few adds and a store, so the compiler vectorises it.
#include "codecs/mpeg2_private.h"

#include <algorithm>

namespace mpg {
namespace {

template <bool Avg>
inline void store(uint8_t* d, int v) {
  *d = Avg ? uint8_t((*d + v + 1) >> 1) : uint8_t(v);
}

template <bool Avg>
void copy16(uint8_t* dst, int ds, const uint8_t* src, int ss, int h) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss)
    for (int x = 0; x < 16; ++x) store<Avg>(dst + x, src[x]);
}

template <bool Avg>
void halfX(uint8_t* dst, int ds, const uint8_t* src, int ss, int h) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss)
    for (int x = 0; x < 16; ++x) store<Avg>(dst + x, (src[x] + src[x + 1] + 1) >> 1);
}

template <bool Avg>
void halfY(uint8_t* dst, int ds, const uint8_t* src, int ss, int h) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss)
    for (int x = 0; x < 16; ++x) store<Avg>(dst + x, (src[x] + src[x + ss] + 1) >> 1);
}

template <bool Avg>
void halfXY(uint8_t* dst, int ds, const uint8_t* src, int ss, int h) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss)
    for (int x = 0; x < 16; ++x)
      store<Avg>(dst + x, (src[x] + src[x + 1] + src[x + ss] + src[x + ss + 1] + 2) >> 2);
}

using Kernel = void (*)(uint8_t*, int, const uint8_t*, int, int);
const Kernel kKernels[2][4] = {{copy16<false>, halfX<false>, halfY<false>, halfXY<false>},
                               {copy16<true>, halfX<true>, halfY<true>, halfXY<true>}};

}  // namespace

void mc_Predict(const Plane& dst, int x, int y, const Plane& ref, int mvx, int mvy, int h, bool avg) {
  if (!dst.base || !ref.base || y < 0 || y + h > dst.lines || x < 0 || x + 16 > dst.width) return;
  int hx = mvx & 1, hy = mvy & 1;
  int sx = x + (mvx >> 1), sy = y + (mvy >> 1);
  // The standard keeps vectors inside the reference; a damaged stream's are
  // clamped so that every sample read (the half-sample neighbour included)
  // lies inside it.
  if (ref.width < 16 + hx) hx = 0;
  if (ref.lines < h + hy) hy = 0;
  if (ref.lines < h) return;
  sx = std::clamp(sx, 0, ref.width - 16 - hx);
  sy = std::clamp(sy, 0, ref.lines - h - hy);
  const uint8_t* src = ref.base + size_t(sy) * size_t(ref.stride) + size_t(sx);
  uint8_t* out = dst.base + size_t(y) * size_t(dst.stride) + size_t(x);
  kKernels[avg][hx | (hy << 1)](out, dst.stride, src, ref.stride, h);
}

}  // namespace mpg
