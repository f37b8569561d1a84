// PNG pictures and zlib streams from arbitrary bytes: decode from memory and
// convert to luminance, and inflate the same bytes as a zlib stream.  CRCs
// and Adler-32 sums are not enforced, so mutated inputs reach deep.  Each
// picture is decoded a second time with the vector paths off (or only the
// AVX2 ones, by one bit of the input), and the two must agree.  The inflater
// runs twice too, its fast paths against its plain ones.
#include "codecs/codecs.h"
#include "codecs/inflate.h"
#include "codecs/png_private.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {
InfDecoder* plainInflater() {
  inf_UsePlainCode(true);
  InfDecoder* d = inf_CreateDecoder();
  inf_UsePlainCode(false);
  return d;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static PngDecoder* decoder = png_CreateDecoder();
  static InfDecoder* inflater = inf_CreateDecoder();
  static std::vector<uint8_t> luma, plainLuma;
  static InfDecoder* plain = plainInflater();
  static std::vector<uint8_t> out(1 << 16), outPlain(1 << 16);

  PngInfo info{};
  const PngStatus st = png_DecodeLuma(decoder, data, size, &info, &luma);
  if (st == PngStatus::Ok) {
    if (info.width <= 0 || info.height <= 0 || luma.size() != size_t(info.width) * size_t(info.height))
      __builtin_trap();
  }
  png_FreeInfo(&info);

  const bool avx2Only = size > 0 && (data[size / 2] & 1);
  if (avx2Only)
    png_UseAvx2(false);
  else
    png_UseSimd(false);
  PngInfo plainInfo{};
  const PngStatus plainSt = png_DecodeLuma(decoder, data, size, &plainInfo, &plainLuma);
  png_FreeInfo(&plainInfo);
  png_UseSimd(true);
  png_UseAvx2(true);
  if (plainSt != st || plainLuma != luma) __builtin_trap();

  const InfResult r = inf_Zlib(inflater, data, size, out.data(), out.size());
  if (r.produced > out.size()) __builtin_trap();
  const InfResult p = inf_Zlib(plain, data, size, outPlain.data(), outPlain.size());
  if (p.status != r.status || p.produced != r.produced || p.adlerMatches != r.adlerMatches ||
      std::memcmp(out.data(), outPlain.data(), r.produced) != 0)
    __builtin_trap();
  return 0;
}
