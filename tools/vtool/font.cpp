// vtool font FILE [--pgm OUT] [--text WORD]
//
// reads a font entry as Text does and prints its metrics: status, glyph
// count, height, blank width, the range and widths of its glyphs, and the
// width of a sample line (WORD, or every glyph in code order).  --pgm writes
// the sample drawn as Text draws it, white on black with a margin of 2.
// Exit status 0 for a font Text would load, 1 for a refused one, 2 for a
// usage or file error.
#include "tools/vtool/vtool.h"

#include "codecs/codecs.h"
#include "effects/effects.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kMargin = 2;

bool readFont(const char* path, std::vector<uint8_t>& out) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  // Bytes past the largest font cannot belong to it.
  out.resize(kFontMaxBytes);
  out.resize(std::fread(out.data(), 1, out.size(), f));
  std::fclose(f);
  return true;
}

bool writePgm(const char* path, int width, int height, const std::vector<uint8_t>& grey) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  std::fprintf(f, "P5\n%d %d\n255\n", width, height);
  const bool ok = std::fwrite(grey.data(), 1, grey.size(), f) == grey.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int vtool_Font(int argc, char** argv) {
  const char* file = nullptr;
  const char* pgm = nullptr;
  const char* word = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pgm") == 0 && i + 1 < argc) {
      pgm = argv[++i];
    } else if (std::strcmp(argv[i], "--text") == 0 && i + 1 < argc) {
      word = argv[++i];
    } else if (!file && argv[i][0] != '-') {
      file = argv[i];
    } else {
      std::fprintf(stderr, "vtool font: unexpected argument '%s'\n", argv[i]);
      return kExitUsage;
    }
  }
  if (!file) {
    std::fprintf(stderr, "vtool font: no file given\n");
    return kExitUsage;
  }
  std::vector<uint8_t> bytes;
  if (!readFont(file, bytes)) {
    std::fprintf(stderr, "vtool font: cannot open %s\n", file);
    return kExitUsage;
  }
  Font font;
  const FontStatus st = fnt_Parse(bytes.data(), bytes.size(), &font);
  std::printf("status %d %s\n", int(st), fnt_StatusText(st));
  if (st != FontStatus::Ok) return kExitRefused;

  std::string sample;
  std::string widths;
  int glyphs = 0, first = -1, last = -1, narrow = 255, wide = 0;
  for (int c = 0; c < 256; ++c) {
    if (!font.has(uint8_t(c))) continue;
    const int w = font.widths[c];
    ++glyphs;
    if (first < 0) first = c;
    last = c;
    narrow = std::min(narrow, w);
    wide = std::max(wide, w);
    widths += " " + std::to_string(c) + ":" + std::to_string(w);
    sample += char(c);
  }
  if (word) sample = word;
  std::printf("glyphs %d\nheight %d\nblank %d\n", glyphs, font.height, font.blank);
  if (glyphs) std::printf("codes %d..%d\nnarrowest %d\nwidest %d\nwidths%s\n", first, last, narrow, wide, widths.c_str());

  const auto* chars = reinterpret_cast<const uint8_t*>(sample.data());
  const int length = int(sample.size());
  const int64_t textWidth = fnt_TextWidth(font, chars, length);
  std::printf("sample-width %lld\n", static_cast<long long>(textWidth));
  if (!pgm) return 0;
  // The last glyph's trailing column is left out of the picture.
  const int width = int(std::max<int64_t>(textWidth - 1, 0)) + 2 * kMargin;
  const int height = font.height + 2 * kMargin;
  std::vector<uint8_t> grey(size_t(width) * size_t(height), 0);
  fnt_Draw(font, chars, length, kMargin, kMargin, 0, 255, grey.data(), width, height, width);
  std::printf("sample-sha256 %s\n", sha256_Hex(grey.data(), grey.size()).c_str());
  if (!writePgm(pgm, width, height, grey)) {
    std::fprintf(stderr, "vtool font: cannot write %s\n", pgm);
    return kExitUsage;
  }
  return 0;
}
