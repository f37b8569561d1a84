// The 8-bit image record over Allegro memory bitmaps.
#include "assets/assets.h"

#include <allegro.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

void img_InitHeadless() {
  static bool done = false;
  if (done) return;
  install_allegro(SYSTEM_NONE, &errno, atexit);
  set_color_depth(8);
  done = true;
}

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

[[noreturn]] void refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
void refuse(const char* format, ...) {
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

}  // namespace

void img_SetFailHandler(img_FailHandler handler) { IMG.fail = handler; }

Image* img_Create(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (int64_t(width) * height > kMaxPixels || width > 65536 || height > 65536)
    refuse("image of %dx%d is too large", width, height);
  const int64_t bytes = int64_t(std::max(width, 1)) * std::max(height, 1);
  if (IMG.liveBytes + bytes > kMaxLiveBytes)
    refuse("images would need more than %d MiB", int(kMaxLiveBytes >> 20));
  Image* image = new Image;
  image->width = width;
  image->height = height;
  // A zero-sized request still gets one pixel of storage, so a nearest-
  // neighbour read of "pixel 0" from an empty image stays inside memory.
  image->bitmap = create_bitmap_ex(8, std::max(width, 1), std::max(height, 1));
  if (!image->bitmap) {
    delete image;
    refuse("out of memory for an image of %dx%d", width, height);
  }
  image->pixels = image->bitmap->line[0];
  IMG.liveBytes += bytes;
  // Cleared, so that a fresh layer is black and every run draws the same.
  clear_to_color(image->bitmap, 0);
  return image;
}

int img_Destroy(Image* image) {
  if (!image) return 1;
  if (image->bitmap) {
    IMG.liveBytes -= int64_t(image->bitmap->w) * image->bitmap->h;
    destroy_bitmap(image->bitmap);
  }
  delete image;
  return 1;
}

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
