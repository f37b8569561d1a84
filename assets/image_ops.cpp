// What every platform's image storage shares: the limits and the count of
// live pixels, and image copies that need nothing but the record's pixels
// (scaling and clipped blits).
#include "assets/assets.h"
#include "assets/image_private.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// Sizes come from scripts; a picture this large is a mistake, not a show.
constexpr int64_t kMaxPixels = int64_t(1) << 26;  // 8192 x 8192
// All images alive at once; a show needs a few dozen of 640x480 (300 KB).
constexpr int64_t kMaxLiveBytes = int64_t(256) << 20;

namespace {

struct ImageState {
  int64_t liveBytes = 0;  // pixels of the images alive now
  img_FailHandler fail = nullptr;
};
ImageState IMG;

}  // namespace

void img_SetFailHandler(img_FailHandler handler) { IMG.fail = handler; }

void img_Refuse(const char* format, ...) {
  char message[128];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  if (IMG.fail) IMG.fail(message);
  std::printf("-> Error: %s !\n", message);
  std::fflush(stdout);
  std::exit(1);
}

int64_t img_Reserve(int width, int height) {
  if (int64_t(width) * height > kMaxPixels || width > 65536 || height > 65536)
    img_Refuse("image of %dx%d is too large", width, height);
  const int64_t bytes = int64_t(std::max(width, 1)) * std::max(height, 1);
  if (IMG.liveBytes + bytes > kMaxLiveBytes)
    img_Refuse("images would need more than %d MiB", int(kMaxLiveBytes >> 20));
  IMG.liveBytes += bytes;
  return bytes;
}

void img_Release(int64_t bytes) { IMG.liveBytes -= bytes; }

void img_Scale(const Image* source, Image* target) {
  const int tw = target->width, th = target->height;
  if (tw <= 0 || th <= 0) return;
  const int sw = source->width, sh = source->height;
  const float rx = float(sw) / float(tw), ry = float(sh) / float(th);
  // Column indexes are the same for every row: compute them once.  The clamp
  // guards the float product against rounding up to the source width.
  std::vector<int> xs(static_cast<size_t>(tw));
  for (int j = 0; j < tw; ++j) xs[size_t(j)] = std::min(int(float(j) * rx), std::max(sw - 1, 0));
  for (int i = 0; i < th; ++i) {
    const int si = std::min(int(float(i) * ry), std::max(sh - 1, 0));
    const uint8_t* src = source->pixels + size_t(si) * size_t(std::max(sw, 1));
    uint8_t* dst = target->pixels + size_t(i) * size_t(tw);
    for (int j = 0; j < tw; ++j) dst[j] = src[xs[size_t(j)]];
  }
}

int img_Blit(const Image* source, Image* target, int sx, int sy, int dx, int dy, int w, int h) {
  // Clip against both images, moving both corners together.
  if (sx < 0) { dx -= sx; w += sx; sx = 0; }
  if (sy < 0) { dy -= sy; h += sy; sy = 0; }
  if (dx < 0) { sx -= dx; w += dx; dx = 0; }
  if (dy < 0) { sy -= dy; h += dy; dy = 0; }
  w = std::min({w, source->width - sx, target->width - dx});
  h = std::min({h, source->height - sy, target->height - dy});
  if (w <= 0 || h <= 0) return 1;
  for (int r = 0; r < h; ++r)
    std::memmove(target->pixels + size_t(dy + r) * size_t(target->width) + size_t(dx),
                 source->pixels + size_t(sy + r) * size_t(source->width) + size_t(sx), size_t(w));
  return 1;
}
