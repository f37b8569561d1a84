// fontgen: makes a font entry for the show from a scalable typeface.
//
//   fontgen TYPEFACE PIXELS OUT [--first N] [--last N] [--omit CHARS] [--threshold N]
//
// renders the characters first..last (33..126 unless told; codes above 127
// are taken as Latin-1) at PIXELS pixels per em, anti-aliased, and writes
// the entry: blank width, height, then 256 records of width and mask.
// Script values are single words, so the characters in --omit (default
// "_") get no glyph and print as a blank the width of the typeface's space.
//
// The mask keeps the renderer's coverage as its grey levels, but Text draws
// every byte that is not 0 as ink: coverage below --threshold (default 96)
// is cut to 0, or every stroke would gain the faint rim of its edge pixels.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
  const char* face = nullptr;
  int pixels = 0;
  const char* out = nullptr;
  int first = 33, last = 126;
  std::string omit = "_";
  int threshold = 96;
};

int usage(const char* why) {
  std::fprintf(stderr, "fontgen: %s\n", why);
  std::fprintf(stderr,
               "usage: fontgen TYPEFACE PIXELS OUT [--first N] [--last N] [--omit CHARS] [--threshold N]\n");
  return 2;
}

bool number(const char* s, int lo, int hi, int* out) {
  char* end = nullptr;
  const long v = std::strtol(s, &end, 10);
  if (!*s || *end || v < lo || v > hi) return false;
  *out = int(v);
  return true;
}

// Pixels of a 26.6 fixed-point length, rounded.
int px(long v) { return int((v + 32) >> 6); }

struct Cell {
  int width = 0;  // 0: no glyph
  std::vector<uint8_t> mask;
};

// The glyph sits in a cell as wide as its advance less the one column Text
// adds after every glyph; a glyph reaching left of its pen or right of its
// advance widens the cell rather than losing its ink.
Cell renderCell(FT_Face face, unsigned code, int height, int baseline, int threshold) {
  Cell cell;
  if (FT_Load_Char(face, code, FT_LOAD_RENDER | FT_LOAD_TARGET_NORMAL) != 0) return cell;
  const FT_GlyphSlot g = face->glyph;
  const FT_Bitmap& bm = g->bitmap;
  if (bm.pixel_mode != FT_PIXEL_MODE_GRAY || bm.width == 0 || bm.rows == 0) return cell;
  const int left = std::max(0, -g->bitmap_left);
  const int x0 = g->bitmap_left + left;
  const int width = std::min(255, std::max(px(g->advance.x) - 1 + left, x0 + int(bm.width)));
  std::vector<uint8_t> mask(size_t(width) * size_t(height), 0);
  bool ink = false;
  for (unsigned by = 0; by < bm.rows; ++by) {
    const int y = baseline - g->bitmap_top + int(by);
    if (y < 0 || y >= height) continue;
    const uint8_t* row = bm.buffer + long(by) * bm.pitch;
    for (unsigned bx = 0; bx < bm.width; ++bx) {
      const int x = x0 + int(bx);
      if (x >= width || row[bx] < threshold) continue;
      mask[size_t(y) * size_t(width) + size_t(x)] = row[bx];
      ink = true;
    }
  }
  if (!ink) return cell;
  cell.width = width;
  cell.mask = std::move(mask);
  return cell;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<const char*> plain;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--first" && hasValue) {
      if (!number(argv[++i], 0, 255, &o.first)) return usage("--first wants a code 0..255");
    } else if (a == "--last" && hasValue) {
      if (!number(argv[++i], 0, 255, &o.last)) return usage("--last wants a code 0..255");
    } else if (a == "--omit" && hasValue) {
      o.omit = argv[++i];
    } else if (a == "--threshold" && hasValue) {
      if (!number(argv[++i], 1, 255, &o.threshold)) return usage("--threshold wants 1..255");
    } else if (a.size() > 1 && a[0] == '-') {
      return usage(("unexpected option " + a).c_str());
    } else {
      plain.push_back(argv[i]);
    }
  }
  if (plain.size() != 3) return usage("wants a typeface, a size and an output file");
  o.face = plain[0];
  o.out = plain[2];
  if (!number(plain[1], 2, 200, &o.pixels)) return usage("PIXELS wants 2..200");

  FT_Library lib;
  FT_Face face;
  if (FT_Init_FreeType(&lib) != 0) return usage("cannot start the font renderer");
  if (FT_New_Face(lib, o.face, 0, &face) != 0) {
    std::fprintf(stderr, "fontgen: cannot read the typeface %s\n", o.face);
    return 1;
  }
  if (FT_Set_Pixel_Sizes(face, 0, FT_UInt(o.pixels)) != 0) {
    std::fprintf(stderr, "fontgen: %s has no size of %d pixels\n", o.face, o.pixels);
    return 1;
  }
  // One height for all glyphs: from the ascender line to the descender line.
  const int baseline = px(face->size->metrics.ascender);
  const int height = baseline - px(face->size->metrics.descender);
  if (height < 1 || height > 255) {
    std::fprintf(stderr, "fontgen: a height of %d pixels does not fit a font entry\n", height);
    return 1;
  }
  int blank = 0;
  if (FT_Load_Char(face, ' ', FT_LOAD_DEFAULT) == 0) blank = std::clamp(px(face->glyph->advance.x) - 1, 0, 255);

  std::vector<uint8_t> entry = {uint8_t(blank), uint8_t(height)};
  int glyphs = 0;
  for (int c = 0; c < 256; ++c) {
    Cell cell;
    const bool omitted = c < 128 && o.omit.find(char(c)) != std::string::npos;
    if (c >= o.first && c <= o.last && !omitted) cell = renderCell(face, unsigned(c), height, baseline, o.threshold);
    entry.push_back(uint8_t(cell.width));
    entry.insert(entry.end(), cell.mask.begin(), cell.mask.end());
    glyphs += cell.width != 0;
  }
  FT_Done_Face(face);
  FT_Done_FreeType(lib);

  FILE* f = std::fopen(o.out, "wb");
  const bool ok = f && std::fwrite(entry.data(), 1, entry.size(), f) == entry.size();
  if (!f || std::fclose(f) != 0 || !ok) {
    std::fprintf(stderr, "fontgen: cannot write %s\n", o.out);
    return 1;
  }
  std::printf("%s: %d glyphs, height %d, blank %d, %zu bytes\n", o.out, glyphs, height, blank, entry.size());
  return 0;
}
