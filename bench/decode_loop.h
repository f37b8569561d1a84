// The timed loop of our video decoder, shared by the benchmarks that run it:
// opens the clip from memory, pulls every frame and closes, once a round.
#pragma once

#include "codecs/codecs.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

// Returns the frames of the last round; 0 after a clip that does not decode.
inline int bench_DecodeClip(benchmark::State& state, const std::vector<uint8_t>& clip) {
  MpgDecoder* decoder = mpg_CreateDecoder();
  std::vector<uint8_t> frame;
  int frames = 0;
  for (auto _ : state) {
    int w = 0, h = 0;
    if (!mpg_OpenMemory(decoder, clip.data(), clip.size(), &w, &h)) {
      state.SkipWithError("clip does not decode");
      break;
    }
    frame.resize(size_t(w) * size_t(h));
    frames = 0;
    for (int r; (r = mpg_NextFrame(decoder, frame.data(), w, h)) != kMpgEnd;) frames += r == kMpgFrame;
    frames += mpg_Close(decoder);
    benchmark::DoNotOptimize(frame.data());
  }
  mpg_DestroyDecoder(decoder);
  return frames;
}
