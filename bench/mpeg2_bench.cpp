// MPEG-2 decoding of whole clips against the reference library with its
// SIMD acceleration, single-threaded, each from memory, every frame.
//
//   mpeg2/<decoder>/<clip>   one iteration decodes the whole clip
//
// The clips (I/P/B, GOP 12, 250 frames) are made at benchmark build time
// when ffmpeg is present; otherwise the benchmarks skip, and the clips can
// be made by hand in the build folder's bench/clips:
//   ffmpeg -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 250 -c:v mpeg2video
//          -g 12 -bf 2 -b:v 2M -f mpeg2video clip320.m2v      (one line; and 640x480, 6M, clip640.m2v)
// and an interlaced one (field DCT and prediction, 100 frames):
//   ffmpeg -f lavfi -i mandelbrot=size=720x576:rate=25 -frames:v 100 -c:v mpeg2video -g 12 -bf 2
//          -b:v 8M -flags +ilme+ildct -top 1 -alternate_scan 1 -f mpeg2video clip720i.m2v
#include "bench/decode_loop.h"
#include "codecs/codecs.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <mpeg2dec/mpeg2.h>
}

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> loadClip(const char* name) {
  std::ifstream in(std::string(VELMORIN_BENCH_CLIPS) + "/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ours(benchmark::State& state, const char* name) {
  const std::vector<uint8_t> clip = loadClip(name);
  if (clip.empty()) {
    state.SkipWithError("clip missing: see the command at the top of bench/mpeg2_bench.cpp");
    return;
  }
  const int frames = bench_DecodeClip(state, clip);
  state.counters["frames"] = frames;
  state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsIterationInvariantRate);
}

void reference(benchmark::State& state, const char* name) {
  std::vector<uint8_t> clip = loadClip(name);
  if (clip.empty()) {
    state.SkipWithError("clip missing: see the command at the top of bench/mpeg2_bench.cpp");
    return;
  }
  mpeg2_accel(MPEG2_ACCEL_DETECT);
  int frames = 0;
  for (auto _ : state) {
    mpeg2dec_t* dec = mpeg2_init();
    const mpeg2_info_t* info = mpeg2_info(dec);
    mpeg2_buffer(dec, clip.data(), clip.data() + clip.size());
    frames = 0;
    for (bool more = true; more;) {
      switch (mpeg2_parse(dec)) {
        case STATE_BUFFER: more = false; break;
        case STATE_SLICE:
        case STATE_END:
        case STATE_INVALID_END:
          if (info->display_fbuf) {
            ++frames;
            benchmark::DoNotOptimize(info->display_fbuf->buf[0]);
          }
          break;
        default: break;
      }
    }
    // The last frame leaves when the stream is flushed.
    mpeg2_close(dec);
  }
  state.counters["frames"] = frames;
  state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK_CAPTURE(ours, clip320, "clip320.m2v")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(reference, clip320, "clip320.m2v")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ours, clip640, "clip640.m2v")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(reference, clip640, "clip640.m2v")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ours, clip720i, "clip720i.m2v")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(reference, clip720i, "clip720i.m2v")->Unit(benchmark::kMillisecond);

}  // namespace
