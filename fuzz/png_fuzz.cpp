// PNG pictures and zlib streams from arbitrary bytes: decode from memory and
// convert to luminance, and inflate the same bytes as a zlib stream.  CRCs
// and Adler-32 sums are not enforced, so mutated inputs reach deep.
#include "codecs/codecs.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static PngDecoder* decoder = png_CreateDecoder();
  static InfDecoder* inflater = inf_CreateDecoder();
  static std::vector<uint8_t> luma;
  static std::vector<uint8_t> out(1 << 16);

  PngInfo info{};
  if (png_DecodeLuma(decoder, data, size, &info, &luma) == PngStatus::Ok) {
    if (info.width <= 0 || info.height <= 0 || luma.size() != size_t(info.width) * size_t(info.height))
      __builtin_trap();
  }
  png_FreeInfo(&info);

  const InfResult r = inf_Zlib(inflater, data, size, out.data(), out.size());
  if (r.produced > out.size()) __builtin_trap();
  return 0;
}
