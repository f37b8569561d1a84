// The 8-bit image record over Allegro memory bitmaps.
#include "assets/assets.h"
#include "assets/image_private.h"

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

Image* img_Create(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  const int64_t bytes = img_Reserve(width, height);
  Image* image = new Image;
  image->width = width;
  image->height = height;
  image->bitmap = create_bitmap_ex(8, std::max(width, 1), std::max(height, 1));
  if (!image->bitmap) {
    delete image;
    img_Release(bytes);
    img_Refuse("out of memory for an image of %dx%d", width, height);
  }
  image->pixels = image->bitmap->line[0];
  // Cleared, so that a fresh layer is black and every run draws the same.
  clear_to_color(image->bitmap, 0);
  return image;
}

int img_Destroy(Image* image) {
  if (!image) return 1;
  if (image->bitmap) {
    img_Release(int64_t(image->bitmap->w) * image->bitmap->h);
    destroy_bitmap(image->bitmap);
  }
  delete image;
  return 1;
}
