// PNG decoding and inflating against libpng, libspng and zlib in the same
// run.  The pictures are made here: smooth shading, edges and a little
// noise, the way photographs and rendered frames compress; libpng writes
// them with its default filter choice and compression level.
//
//   png/<decoder>/<picture>      decode to samples in file order (palette indices);
//                                ours-plain: ours with the vector paths off
//   inflate/<inflater>/<stream>  the picture's IDAT data, and a 4 MiB mixed stream
#include "codecs/codecs.h"
#include "codecs/png_private.h"

#include <benchmark/benchmark.h>
#include <png.h>
#include <spng.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Picture {
  std::string name;
  std::vector<uint8_t> png;
  std::vector<uint8_t> idat;  // the zlib stream of the IDAT chunks, joined
  size_t rawSize = 0;         // decompressed size of that stream
};

struct Rng {
  uint32_t s = 2463534242u;
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  int noise(int amplitude) { return int(next() % uint32_t(2 * amplitude + 1)) - amplitude; }
};

// A few overlapping discs over two slow waves and a gradient, plus sensor
// noise; channel c shifts the phases so colour pictures are not grey.
int shade(int x, int y, int size, int c, Rng& rng) {
  const double u = double(x) / size, v = double(y) / size;
  double value = 90 + 70 * u + 30 * std::sin(7.0 * u + 2.0 * c) * std::cos(5.0 * v - c);
  const double discs[3][3] = {{0.3, 0.35, 0.18}, {0.7, 0.6, 0.22}, {0.45, 0.8, 0.12}};
  for (const auto& d : discs) {
    const double dx = u - d[0], dy = v - d[1];
    if (dx * dx + dy * dy < d[2] * d[2]) value = 40 + 60 * c + 100 * v;
  }
  const int level = int(value) + rng.noise(3);
  return level < 0 ? 0 : level > 255 ? 255 : level;
}

void appendToVector(png_structp png, png_bytep data, png_size_t size) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

enum Kind { kGrey, kRgb, kPalette };

Picture makePicture(Kind kind, int size, bool interlaced) {
  static const char* kKindNames[] = {"grey", "rgb", "palette"};
  Picture p;
  p.name = std::string(kKindNames[kind]) + std::to_string(size) + (interlaced ? "-adam7" : "");
  const int channels = kind == kRgb ? 3 : 1;
  std::vector<uint8_t> pixels(size_t(size) * size * channels);
  Rng rng;
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      uint8_t* px = &pixels[(size_t(y) * size + x) * channels];
      if (kind == kPalette) {
        // A 6 x 7 x 6 colour cube: posterised shading, as palette pictures are.
        const int r = shade(x, y, size, 0, rng) * 6 / 256, g = shade(x, y, size, 1, rng) * 7 / 256,
                  b = shade(x, y, size, 2, rng) * 6 / 256;
        px[0] = uint8_t((r * 7 + g) * 6 + b);
      } else {
        for (int c = 0; c < channels; ++c) px[c] = uint8_t(shade(x, y, size, c, rng));
      }
    }

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &p.png, appendToVector, nullptr);
  const int colourType = kind == kGrey ? PNG_COLOR_TYPE_GRAY : kind == kRgb ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_PALETTE;
  png_set_IHDR(png, info, size, size, 8, colourType, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (kind == kPalette) {
    png_color palette[252];
    for (int i = 0; i < 252; ++i)
      palette[i] = {png_byte(i / 42 * 51), png_byte(i / 6 % 7 * 42), png_byte(i % 6 * 51)};
    png_set_PLTE(png, info, palette, 252);
  }
  png_write_info(png, info);
  std::vector<png_bytep> rows(static_cast<size_t>(size));
  for (int y = 0; y < size; ++y) rows[y] = &pixels[size_t(y) * size * channels];
  png_write_image(png, rows.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);

  for (size_t at = 8; at + 12 <= p.png.size();) {
    const uint32_t length = uint32_t(p.png[at]) << 24 | p.png[at + 1] << 16 | p.png[at + 2] << 8 | p.png[at + 3];
    if (std::memcmp(&p.png[at + 4], "IDAT", 4) == 0)
      p.idat.insert(p.idat.end(), p.png.begin() + long(at + 8), p.png.begin() + long(at + 8 + length));
    at += 12 + length;
  }
  std::vector<uint8_t> raw(size_t(size) * size * channels * 2 + size * 8);
  uLongf rawSize = raw.size();
  uncompress(raw.data(), &rawSize, p.idat.data(), p.idat.size());
  p.rawSize = rawSize;
  return p;
}

// 4 MiB: runs of made-up words (as in text and scripts) between stretches
// of picture rows, compressed by zlib at its default level.
Picture makeMixedStream() {
  Picture p;
  p.name = "mixed4M";
  const size_t size = size_t(4) << 20;
  std::vector<uint8_t> data;
  data.reserve(size);
  Rng rng;
  static const char* kSyllables[] = {"ka", "ro", "mi", "ten", "vel", "or", "in", "sa", "lu", "dra", "e", "th"};
  int row = 0;
  while (data.size() < size) {
    for (int words = 0; words < 2000 && data.size() < size; ++words) {
      const int syllables = 1 + int(rng.next() % 3);
      for (int s = 0; s < syllables; ++s)
        for (const char* c = kSyllables[rng.next() % 12]; *c; ++c) data.push_back(uint8_t(*c));
      data.push_back(rng.next() % 9 == 0 ? '\n' : ' ');
    }
    for (int y = 0; y < 64 && data.size() < size; ++y, ++row)
      for (int x = 0; x < 768 && data.size() < size; ++x) data.push_back(uint8_t(shade(x / 3, row % 512, 512, x % 3, rng)));
  }
  p.rawSize = data.size();
  uLongf packed = compressBound(data.size());
  p.idat.resize(packed);
  compress2(p.idat.data(), &packed, data.data(), data.size(), Z_DEFAULT_COMPRESSION);
  p.idat.resize(packed);
  return p;
}

const std::vector<Picture>& pictures() {
  static const std::vector<Picture> all = [] {
    std::vector<Picture> v;
    for (Kind kind : {kGrey, kRgb, kPalette})
      for (int size : {256, 512})
        for (bool interlaced : {false, true}) v.push_back(makePicture(kind, size, interlaced));
    return v;
  }();
  return all;
}

const Picture& mixedStream() {
  static const Picture p = makeMixedStream();
  return p;
}

// ---------------------------------------------------------------------------
// A fresh decoder each time, as the texture loader makes one per picture
// (and as the peers set themselves up per picture).
void decodeOurs(benchmark::State& state, const Picture* p) {
  for (auto _ : state) {
    PngDecoder* decoder = png_CreateDecoder();
    PngInfo info;
    std::memset(&info, 0, sizeof info);
    if (png_DecodeMemory(decoder, p->png.data(), p->png.size(), &info) != PngStatus::Ok) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(info.pixels[info.pixelBytes - 1]);
    png_FreeInfo(&info);
    png_DestroyDecoder(decoder);
  }
}

// The same with the vector paths of the pixel stage and the CRC off: what
// they are worth.
void decodeOursPlain(benchmark::State& state, const Picture* p) {
  png_UseSimd(false);
  decodeOurs(state, p);
  png_UseSimd(true);
}

struct MemoryReader {
  const uint8_t* data;
  size_t left;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t size) {
  auto* r = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (size > r->left) png_error(png, "read past the end");
  std::memcpy(out, r->data, size);
  r->data += size;
  r->left -= size;
}

void decodeLibpng(benchmark::State& state, const Picture* p) {
  for (auto _ : state) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    MemoryReader reader{p->png.data(), p->png.size()};
    png_set_read_fn(png, &reader, readFromMemory);
    png_read_info(png, info);
    if (png_get_interlace_type(png, info) != PNG_INTERLACE_NONE) png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    const uint32_t height = png_get_image_height(png, info);
    std::vector<uint8_t> pixels(rowBytes * height);
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y) rows[y] = &pixels[y * rowBytes];
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    benchmark::DoNotOptimize(pixels.back());
    png_destroy_read_struct(&png, &info, nullptr);
  }
}

void decodeSpng(benchmark::State& state, const Picture* p) {
  for (auto _ : state) {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, p->png.data(), p->png.size());
    size_t size = 0;
    spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size);
    std::vector<uint8_t> pixels(size);
    if (spng_decode_image(ctx, pixels.data(), size, SPNG_FMT_PNG, 0) != 0) state.SkipWithError("spng failed");
    benchmark::DoNotOptimize(pixels.back());
    spng_ctx_free(ctx);
  }
}

// Set up and torn down each time, like uncompress().
void inflateOurs(benchmark::State& state, const Picture* p) {
  std::vector<uint8_t> out(p->rawSize);
  for (auto _ : state) {
    InfDecoder* decoder = inf_CreateDecoder();
    const InfResult r = inf_Zlib(decoder, p->idat.data(), p->idat.size(), out.data(), out.size());
    if (r.status != PngStatus::Ok || r.produced != p->rawSize || !r.adlerMatches) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.back());
    inf_DestroyDecoder(decoder);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p->rawSize));
}

void inflateZlib(benchmark::State& state, const Picture* p) {
  std::vector<uint8_t> out(p->rawSize);
  for (auto _ : state) {
    uLongf size = out.size();
    if (uncompress(out.data(), &size, p->idat.data(), p->idat.size()) != Z_OK) state.SkipWithError("zlib failed");
    benchmark::DoNotOptimize(out.back());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p->rawSize));
}

struct Registration {
  Registration() {
    for (const Picture& p : pictures()) {
      benchmark::RegisterBenchmark(("png/ours/" + p.name).c_str(), decodeOurs, &p);
      benchmark::RegisterBenchmark(("png/ours-plain/" + p.name).c_str(), decodeOursPlain, &p);
      benchmark::RegisterBenchmark(("png/libpng/" + p.name).c_str(), decodeLibpng, &p);
      benchmark::RegisterBenchmark(("png/spng/" + p.name).c_str(), decodeSpng, &p);
    }
    std::vector<const Picture*> streams;
    for (const Picture& p : pictures()) streams.push_back(&p);
    streams.push_back(&mixedStream());
    for (const Picture* p : streams) {
      benchmark::RegisterBenchmark(("inflate/ours/" + p->name).c_str(), inflateOurs, p);
      benchmark::RegisterBenchmark(("inflate/zlib/" + p->name).c_str(), inflateZlib, p);
    }
  }
};
const Registration registration;

}  // namespace
