// Writing 8-bit grey pictures as PNG files (captures, authoring tools).  The
// engine's own PNG code is a decoder; writing goes through libpng.
#include "assets/assets.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

// libpng reports errors by longjmp: nothing here may live across it but
// the arguments.
bool encodePng(png_structp png, png_infop info, FILE* f, const uint8_t* grey, int width, int height) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_init_io(png, f);
  // Fast settings: a four-minute show is fifteen thousand frames.
  png_set_compression_level(png, 1);
  png_set_filter(png, 0, PNG_FILTER_SUB);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) png_write_row(png, grey + size_t(y) * size_t(width));
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

bool img_WritePng(const char* path, const uint8_t* grey, int width, int height) {
  // Written beside its final name and renamed, so an interrupted capture
  // leaves only complete frames.
  // A failure removes the part and leaves errno telling why.
  const std::string part = std::string(path) + ".part";
  FILE* f = std::fopen(part.c_str(), "wb");
  if (!f) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  errno = 0;
  bool ok = png && info && encodePng(png, info, f, grey, width, height);
  int error = ok ? 0 : errno ? errno : ENOMEM;
  png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(part.c_str(), path) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    std::remove(part.c_str());
    errno = error;
  }
  return ok;
}
