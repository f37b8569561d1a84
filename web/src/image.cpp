// The 8-bit image record on the web: the same fields, with the pixels in an
// allocation of our own instead of an Allegro bitmap (`bitmap` stays null).
#include "assets/assets.h"
#include "assets/image_private.h"

#include <algorithm>
#include <new>

void img_InitHeadless() {}

Image* img_Create(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  const int64_t bytes = img_Reserve(width, height);
  Image* image = new Image;
  image->width = width;
  image->height = height;
  // Cleared, so that a fresh layer is black.
  image->pixels = new (std::nothrow) uint8_t[size_t(bytes)]();
  if (!image->pixels) {
    delete image;
    img_Release(bytes);
    img_Refuse("out of memory for an image of %dx%d", width, height);
  }
  return image;
}

int img_Destroy(Image* image) {
  if (!image) return 1;
  if (image->pixels) {
    img_Release(int64_t(std::max(image->width, 1)) * std::max(image->height, 1));
    delete[] image->pixels;
  }
  delete image;
  return 1;
}
