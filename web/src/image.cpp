// The 8-bit image record on the web: the same fields, with the pixels in an
// allocation of our own instead of an Allegro bitmap (`bitmap` stays null).
#include "assets/assets.h"

#include "script/script.h"

#include <algorithm>
#include <cstring>
#include <new>

void img_InitHeadless() {}

namespace {

// The same limits as the native record: a script asking for more is wrong.
constexpr int64_t kMaxPixels = int64_t(1) << 26;  // 8192 x 8192
constexpr int64_t kMaxLiveBytes = int64_t(256) << 20;
int64_t liveBytes = 0;

int64_t storageBytes(const Image* image) {
  return int64_t(std::max(image->width, 1)) * std::max(image->height, 1);
}

}  // namespace

Image* img_Create(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (int64_t(width) * height > kMaxPixels || width > 65536 || height > 65536)
    plg_Error(nullptr, "image of %dx%d is too large", width, height);
  Image* image = new Image;
  image->width = width;
  image->height = height;
  // One pixel at least, so that a read of pixel 0 of an empty image stays in
  // memory; cleared, so that a fresh layer is black.
  const int64_t bytes = storageBytes(image);
  if (liveBytes + bytes > kMaxLiveBytes) {
    delete image;
    plg_Error(nullptr, "images would need more than %d MiB", int(kMaxLiveBytes >> 20));
  }
  image->pixels = new (std::nothrow) uint8_t[size_t(bytes)]();
  if (!image->pixels) {
    delete image;
    plg_Error(nullptr, "out of memory for an image of %dx%d", width, height);
  }
  liveBytes += bytes;
  return image;
}

int img_Destroy(Image* image) {
  if (!image) return 1;
  if (image->pixels) {
    liveBytes -= storageBytes(image);
    delete[] image->pixels;
  }
  delete image;
  return 1;
}
