// The floor for per-pixel work on this machine: one table lookup a pixel
// over a 640x480 byte image.  Effect benchmarks are read against it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

void BM_ReferenceLookup640x480(benchmark::State& state) {
  std::vector<uint8_t> table(256);
  for (int i = 0; i < 256; ++i) table[i] = uint8_t(255 - i);
  std::vector<uint8_t> image(640 * 480);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
  for (auto _ : state) {
    uint8_t* p = image.data();
    const uint8_t* t = table.data();
    for (size_t i = 0, n = image.size(); i < n; ++i) p[i] = t[p[i]];
    benchmark::DoNotOptimize(image.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ReferenceLookup640x480);

}  // namespace
