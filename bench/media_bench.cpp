// The decoders on a folder of media files, each beside the library people
// would otherwise use, in the same binary and on the same bytes:
//
//   media/mpeg/<file>/{ours,libmpeg2}         .m2v .m1v .mpg: every frame (ours: luminance,
//                                             libmpeg2: all three planes, SIMD on)
//   media/png/<file>/{ours,libpng}            .png: the whole decode to grey, 8 bits a pixel
//   media/inflate/<file>/{ours,libdeflate,zlib}   .zlib, and every PNG's IDAT stream
//
// The folder is $VELMORIN_MEDIA; without it, the clips this build makes with
// ffmpeg (bench/clips).  The table of decoder timings comes from one command,
// pinned to one core, medians of 9 runs:
//
//   VELMORIN_MEDIA=/path/to/media taskset -c 1 build/bench/velmorin_bench --benchmark_filter=media/
//       --benchmark_repetitions=9 --benchmark_report_aggregates_only=true   (one line)
//
// Rows that the peer cannot produce (a picture larger than our decoder's
// buffer, a stream one of them refuses) are marked as errors, not timed.
#include "bench/decode_loop.h"
#include "codecs/codecs.h"

#include <benchmark/benchmark.h>
#include <png.h>
#include <zlib.h>
#if defined(VELMORIN_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif
extern "C" {
#include <mpeg2dec/mpeg2.h>
}

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Medium {
  std::string name;
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> stream;  // the zlib stream: the file itself, or a PNG's IDAT data joined
  size_t rawSize = 0;           // what the stream inflates to
};

bool endsWith(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

std::vector<uint8_t> idatOf(const std::vector<uint8_t>& png) {
  std::vector<uint8_t> z;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t length = be32(&png[at]);
    if (length > png.size() - at - 12) break;
    if (std::memcmp(&png[at + 4], "IDAT", 4) == 0) z.insert(z.end(), png.begin() + long(at + 8), png.begin() + long(at + 8 + length));
    at += 12 + size_t(length);
  }
  return z;
}

// The inflated size, learnt (untimed) from zlib; 0 when it fails.
size_t inflatedSize(const std::vector<uint8_t>& z) {
  z_stream s{};
  if (inflateInit(&s) != Z_OK) return 0;
  std::vector<uint8_t> buffer(1 << 20);
  s.next_in = const_cast<Bytef*>(z.data());
  s.avail_in = uInt(z.size());
  int e;
  do {
    s.next_out = buffer.data();
    s.avail_out = uInt(buffer.size());
    e = inflate(&s, Z_NO_FLUSH);
  } while (e == Z_OK);
  const size_t size = e == Z_STREAM_END ? size_t(s.total_out) : 0;
  inflateEnd(&s);
  return size;
}

// ---------------------------------------------------------------------------

void mpegOurs(benchmark::State& state, const Medium* m) {
  const int frames = bench_DecodeClip(state, m->bytes);
  state.counters["frames"] = frames;
}

void mpegLibmpeg2(benchmark::State& state, const Medium* m) {
  mpeg2_accel(MPEG2_ACCEL_DETECT);
  std::vector<uint8_t> clip = m->bytes;  // the library wants writable input
  int frames = 0;
  for (auto _ : state) {
    mpeg2dec_t* dec = mpeg2_init();
    const mpeg2_info_t* info = mpeg2_info(dec);
    mpeg2_buffer(dec, clip.data(), clip.data() + clip.size());
    frames = 0;
    for (bool more = true; more;) {
      const mpeg2_state_t s = mpeg2_parse(dec);
      if (s == STATE_BUFFER) more = false;
      if ((s == STATE_SLICE || s == STATE_END || s == STATE_INVALID_END) && info->display_fbuf) {
        ++frames;
        benchmark::DoNotOptimize(info->display_fbuf->buf[0]);
      }
    }
    mpeg2_close(dec);
  }
  state.counters["frames"] = frames;
}

// One decoder kept across pictures, as the tools that decode many keep theirs.
void pngOurs(benchmark::State& state, const Medium* m) {
  PngDecoder* decoder = png_CreateDecoder();
  std::vector<uint8_t> luma;
  for (auto _ : state) {
    PngInfo info{};
    const PngStatus st = png_DecodeLuma(decoder, m->bytes.data(), m->bytes.size(), &info, &luma);
    png_FreeInfo(&info);
    if (st != PngStatus::Ok) {
      state.SkipWithError("does not decode (larger than the decoder's buffer?)");
      break;
    }
    benchmark::DoNotOptimize(luma.data());
  }
  png_DestroyDecoder(decoder);
}

void pngLibpng(benchmark::State& state, const Medium* m) {
  std::vector<uint8_t> out;
  for (auto _ : state) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    bool ok = png_image_begin_read_from_memory(&image, m->bytes.data(), m->bytes.size());
    if (ok) {
      image.format = PNG_FORMAT_GRAY;
      out.resize(PNG_IMAGE_SIZE(image));
      ok = png_image_finish_read(&image, nullptr, out.data(), 0, nullptr);
    }
    png_image_free(&image);
    if (!ok) {
      state.SkipWithError("libpng refuses it");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
}

void inflateOurs(benchmark::State& state, const Medium* m) {
  InfDecoder* inflater = inf_CreateDecoder();
  std::vector<uint8_t> out(m->rawSize + 64);
  for (auto _ : state) {
    const InfResult r = inf_Zlib(inflater, m->stream.data(), m->stream.size(), out.data(), out.size());
    if (r.status != PngStatus::Ok || r.produced != m->rawSize) {
      state.SkipWithError("does not inflate");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  inf_DestroyDecoder(inflater);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(m->rawSize));
}

#if defined(VELMORIN_HAVE_LIBDEFLATE)
void inflateLibdeflate(benchmark::State& state, const Medium* m) {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  std::vector<uint8_t> out(m->rawSize + 64);
  for (auto _ : state) {
    size_t got = 0;
    if (libdeflate_zlib_decompress(d, m->stream.data(), m->stream.size(), out.data(), out.size(), &got) !=
            LIBDEFLATE_SUCCESS ||
        got != m->rawSize) {
      state.SkipWithError("does not inflate");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  libdeflate_free_decompressor(d);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(m->rawSize));
}
#endif

void inflateZlib(benchmark::State& state, const Medium* m) {
  std::vector<uint8_t> out(m->rawSize + 64);
  for (auto _ : state) {
    uLongf n = uLongf(out.size());
    if (uncompress(out.data(), &n, m->stream.data(), uLong(m->stream.size())) != Z_OK) {
      state.SkipWithError("does not inflate");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(m->rawSize));
}

// ---------------------------------------------------------------------------

std::vector<Medium>& media() {
  static std::vector<Medium> list;
  return list;
}

void addInflateRows(const Medium& m) {
  const std::string base = "media/inflate/" + m.name;
  benchmark::RegisterBenchmark((base + "/ours").c_str(), inflateOurs, &m)->Unit(benchmark::kMillisecond);
#if defined(VELMORIN_HAVE_LIBDEFLATE)
  benchmark::RegisterBenchmark((base + "/libdeflate").c_str(), inflateLibdeflate, &m)->Unit(benchmark::kMillisecond);
#endif
  benchmark::RegisterBenchmark((base + "/zlib").c_str(), inflateZlib, &m)->Unit(benchmark::kMillisecond);
}

// Reads the folder once, before the benchmarks run, and registers its rows
// in the order of the file names.
[[maybe_unused]] const bool kRegistered = [] {
  const char* env = std::getenv("VELMORIN_MEDIA");
  const std::string folder = env && *env ? env : VELMORIN_BENCH_CLIPS;
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* e = readdir(dir)) {
      const std::string n = e->d_name;
      if (endsWith(n, ".m2v") || endsWith(n, ".m1v") || endsWith(n, ".mpg") || endsWith(n, ".png") ||
          endsWith(n, ".zlib"))
        names.push_back(n);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::vector<Medium>& list = media();
  list.reserve(names.size());  // rows point into the list: no reallocation after this
  for (const std::string& n : names) {
    Medium m;
    m.name = n;
    m.bytes = readFile(folder + "/" + n);
    if (m.bytes.empty()) continue;
    if (endsWith(n, ".png")) m.stream = idatOf(m.bytes);
    else if (endsWith(n, ".zlib")) m.stream = m.bytes;
    if (!m.stream.empty()) m.rawSize = inflatedSize(m.stream);
    list.push_back(std::move(m));
    const Medium& at = list.back();
    if (endsWith(n, ".png")) {
      benchmark::RegisterBenchmark(("media/png/" + n + "/ours").c_str(), pngOurs, &at)->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("media/png/" + n + "/libpng").c_str(), pngLibpng, &at)->Unit(benchmark::kMillisecond);
    } else if (!endsWith(n, ".zlib")) {
      benchmark::RegisterBenchmark(("media/mpeg/" + n + "/ours").c_str(), mpegOurs, &at)->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("media/mpeg/" + n + "/libmpeg2").c_str(), mpegLibmpeg2, &at)->Unit(benchmark::kMillisecond);
    }
    if (at.rawSize) addInflateRows(at);
  }
  return true;
}();

}  // namespace
