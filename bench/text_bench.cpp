// Text: a 40-character line over a 640x480 picture, through the plugin as a
// script declares it.  Fonts are made here at the show's sizes: glyphs of
// height H and width W with ink on about half their pixels.
#include "effects/effects.h"
#include "registry/registry.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint8_t> makeFont(int height, int width) {
  std::vector<uint8_t> f = {uint8_t(width / 2), uint8_t(height)};
  for (int c = 0; c < 256; ++c) {
    const bool glyph = c > 32 && c < 127 && c != '_';
    f.push_back(glyph ? uint8_t(width) : 0);
    if (glyph)
      for (int p = 0; p < width * height; ++p) f.push_back(uint8_t(((p * 7 + c) % 11) < 5 ? 200 : 0));
  }
  return f;
}

void putLE32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// args: glyph height, glyph width
void BM_Text40Chars640x480(benchmark::State& state) {
  img_InitHeadless();
  const std::vector<uint8_t> font = makeFont(int(state.range(0)), int(state.range(1)));
  std::vector<uint8_t> archive(24, 0);
  putLE32(archive, 0, 1);
  putLE32(archive, 4, 24);
  std::snprintf(reinterpret_cast<char*>(&archive[8]), 16, "bench.fnt");
  archive.insert(archive.end(), font.begin(), font.end());
  const std::string path = "/tmp/velmorin-textbench-" + std::to_string(getpid()) + ".dat";
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(archive.data(), 1, archive.size(), f);
  std::fclose(f);
  dat_Open(path.c_str());

  // 40 characters, two of them blanks, centred on the frame.
  plg_SetText("s.plg\nx = oscilator fce=1,amp=20,add=320,freq=0.5;\n"
              "output = text str=Velmorin_Tarkv_abcdefghijklmnopqrstuvwxyz,font=bench.fnt,x=x,y=200,org=2;\n");
  Declaration* list = plg_Load("s.plg", nullptr);
  plg_Bind(list);
  PlugIn* text = plg_Get(list, "output");
  for (auto _ : state) benchmark::DoNotOptimize(text->stream(640, 480)->pixels[200 * 640 + 320]);
  plg_FreeList(list);
  std::remove(path.c_str());
}
// Credits size; title height with glyphs narrow enough for the whole line
// to fit; title size, where the line is wider than the frame.
BENCHMARK(BM_Text40Chars640x480)->Args({22, 14})->Args({52, 15})->Args({52, 30})->Unit(benchmark::kMicrosecond);

}  // namespace
