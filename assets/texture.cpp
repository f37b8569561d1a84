// The texture loader: a PNG entry of the archive as an 8-bit grey image.
#include "assets/assets.h"

#include "codecs/codecs.h"

#include <cstring>

namespace {

// img_Create stops the show on larger sizes; a texture refuses them instead.
constexpr int kMaxTextureSide = 65536;
constexpr int64_t kMaxTexturePixels = int64_t(1) << 26;

}  // namespace

Image* img_LoadTexture(const char* archiveName) {
  FILE* f = dat_Find(archiveName);
  if (!f) return nullptr;
  PngDecoder* decoder = png_CreateDecoder();
  PngInfo info;
  std::memset(&info, 0, sizeof info);
  const PngStatus st = decoder ? png_DecodeFile(decoder, f, &info) : PngStatus::OutOfMemory;
  std::fclose(f);
  png_DestroyDecoder(decoder);
  Image* image = nullptr;
  if (st == PngStatus::Ok && info.width <= kMaxTextureSide && info.height <= kMaxTextureSide &&
      int64_t(info.width) * info.height <= kMaxTexturePixels) {
    image = img_Create(info.width, info.height);
    png_Luma(info, image->pixels);
  }
  png_FreeInfo(&info);
  return image;
}
