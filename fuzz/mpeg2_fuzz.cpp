// Video elementary streams from arbitrary bytes: open from memory, decode
// every frame into a buffer of the opened size, close.  Fatal stream
// features end the clip instead of the process.
#include "codecs/codecs.h"

#include <cstdint>
#include <vector>

namespace {
void ignoreFatal(const char*) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MpgDecoder* decoder = [] {
    mpg_SetFatalHandler(ignoreFatal);
    return mpg_CreateDecoder();
  }();
  static std::vector<uint8_t> frame;
  int width = 0, height = 0;
  if (!mpg_OpenMemory(decoder, data, size, &width, &height)) return 0;
  if (width <= 0 || height <= 0 || width > 4096 || height > 4096) __builtin_trap();
  frame.assign(size_t(width) * size_t(height), 0);
  for (int i = 0; i < 4096 && mpg_NextFrame(decoder, frame.data(), width, height) != kMpgEnd; ++i) {
  }
  mpg_Close(decoder);
  return 0;
}
