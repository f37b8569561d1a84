// rand() and srand() for the web build.  The voxel landscape is drawn from
// the C library's rand(), and the shows were made with the GNU C library's
// sequence; Emscripten's C library has another one, so without this the web
// page would fly over a different landscape than the native program.
//
// The sequence: the additive feedback generator x[i] = x[i-3] + x[i-31]
// (mod 2^32); its first 31 words are 16807 * x mod (2^31 - 1) from the seed
// (0 counts as 1), the next three repeat the first three, 310 outputs are
// skipped, and each output is shifted down one bit.  Unseeded, the seed is 1.
// Linked before the C library, these definitions take the place of its own.
#include <cstdint>

namespace {

struct FeedbackRandom {
  uint32_t ring[34];  // x[n-34] .. x[n-1], the oldest at `at`
  int at = 0;

  explicit FeedbackRandom(uint32_t seed) { reseed(seed); }
  void reseed(uint32_t seed) {
    int64_t x = seed ? int32_t(seed) : 1;
    for (int i = 0; i < 34; ++i) {
      if (i > 0 && i <= 30) {
        x = (16807 * x) % 2147483647;
        if (x < 0) x += 2147483647;
      }
      ring[i] = i <= 30 ? uint32_t(x) : ring[i - 31];
    }
    at = 0;
    for (int i = 0; i < 310; ++i) step();
  }
  uint32_t step() {
    const uint32_t v = ring[(at + 31) % 34] + ring[(at + 3) % 34];  // x[n-3] + x[n-31]
    ring[at] = v;
    at = (at + 1) % 34;
    return v;
  }
};

FeedbackRandom& generator() {
  static FeedbackRandom g(1);
  return g;
}

}  // namespace

extern "C" int rand(void) { return int(generator().step() >> 1); }
extern "C" void srand(unsigned seed) { generator().reseed(seed); }
