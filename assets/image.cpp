// The 8-bit image record over Allegro memory bitmaps.
#include "assets/assets.h"

#include "script/script.h"

#include <allegro.h>

#include <algorithm>
#include <cerrno>

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
int64_t liveBytes = 0;

Image* img_Create(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (int64_t(width) * height > kMaxPixels || width > 65536 || height > 65536)
    plg_Error(nullptr, "image of %dx%d is too large", width, height);
  const int64_t bytes = int64_t(std::max(width, 1)) * std::max(height, 1);
  if (liveBytes + bytes > kMaxLiveBytes)
    plg_Error(nullptr, "images would need more than %d MiB", int(kMaxLiveBytes >> 20));
  Image* image = new Image;
  image->width = width;
  image->height = height;
  // A zero-sized request still gets one pixel of storage, so a nearest-
  // neighbour read of "pixel 0" from an empty image stays inside memory.
  image->bitmap = create_bitmap_ex(8, std::max(width, 1), std::max(height, 1));
  if (!image->bitmap) {
    delete image;
    plg_Error(nullptr, "out of memory for an image of %dx%d", width, height);
  }
  image->pixels = image->bitmap->line[0];
  liveBytes += bytes;
  // Cleared, so that a fresh layer is black and every run draws the same.
  clear_to_color(image->bitmap, 0);
  return image;
}

int img_Destroy(Image* image) {
  if (!image) return 1;
  if (image->bitmap) {
    liveBytes -= int64_t(image->bitmap->w) * image->bitmap->h;
    destroy_bitmap(image->bitmap);
  }
  delete image;
  return 1;
}
