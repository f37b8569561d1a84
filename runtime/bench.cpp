// --bench: the capture's frame loop without outputs, timed frame by frame
// in the thread's CPU time.
// What it prints is the renderer's cost per scene: the drawing of each frame
// into the display's memory, not the music mixed to keep the timeline's
// position nor the bookkeeping around it.
#include "runtime/runtime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

double cap_ThreadMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

FrameStats cap_FrameStats(std::vector<float> ms) {
  FrameStats s;
  s.frames = int64_t(ms.size());
  if (ms.empty()) return s;
  double total = 0;
  for (float m : ms) total += m;
  s.mean = total / double(ms.size());
  // The 99th percentile is the smallest time that at least 99 in 100
  // frames stay within (nearest rank): of 50 frames, the worst; of 1000,
  // the 990th.
  const size_t rank = size_t(std::ceil(0.99 * double(ms.size())));
  std::nth_element(ms.begin(), ms.begin() + (rank - 1), ms.end());
  s.p99 = ms[rank - 1];
  s.worst = *std::max_element(ms.begin() + (rank - 1), ms.end());
  return s;
}

void cap_PrintBench(std::FILE* out, const std::vector<float> (&ms)[kSceneCount], double wallSeconds) {
  std::fprintf(out, "scene       frames  mean ms   p99 ms   max ms\n");
  int64_t frames = 0;
  double drawing = 0;
  for (int i = 0; i < kSceneCount; ++i) {
    if (ms[i].empty()) continue;
    const FrameStats s = cap_FrameStats(ms[i]);
    std::fprintf(out, "%-10s %7lld %8.3f %8.3f %8.3f\n", kSceneSections[i], (long long)s.frames, s.mean, s.p99,
                 s.worst);
    frames += s.frames;
    drawing += s.mean * double(s.frames);
  }
  // Two rates: the renderer alone, and the whole run with the music mixed
  // in step and the timeline's own work.
  std::fprintf(out, "show       %7lld frames: %.0f fps drawing, %.0f fps in all\n", (long long)frames,
               drawing > 0 ? double(frames) * 1000 / drawing : 0.0,
               wallSeconds > 0 ? double(frames) / wallSeconds : 0.0);
}
