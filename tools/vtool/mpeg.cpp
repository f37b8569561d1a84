// vtool mpeg FILE [--raw OUT]: decodes a whole video elementary stream with
// the engine's decoder and prints its width, height and frame count; --raw
// writes every luminance frame in display order, back to back (the frame
// the close writes included).
#include "tools/vtool/vtool.h"

#include "codecs/codecs.h"

#include <cstdio>
#include <cstring>
#include <vector>

int vtool_Mpeg(int argc, char** argv) {
  const char* file = nullptr;
  const char* raw = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--raw") == 0 && i + 1 < argc) {
      raw = argv[++i];
    } else if (!file && argv[i][0] != '-') {
      file = argv[i];
    } else {
      std::fprintf(stderr, "vtool mpeg: unexpected argument '%s'\n", argv[i]);
      return kExitUsage;
    }
  }
  if (!file) {
    std::fprintf(stderr, "vtool mpeg: no file given\n");
    return kExitUsage;
  }
  if (FILE* probe = std::fopen(file, "rb")) {
    std::fclose(probe);
  } else {
    std::fprintf(stderr, "vtool mpeg: cannot open %s\n", file);
    return kExitUsage;
  }
  FILE* out = nullptr;
  if (raw && !(out = std::fopen(raw, "wb"))) {
    std::fprintf(stderr, "vtool mpeg: cannot write %s\n", raw);
    return kExitUsage;
  }
  MpgDecoder* decoder = mpg_CreateDecoder();
  int width = 0, height = 0;
  if (!decoder || !mpg_Open(decoder, file, 0, &width, &height)) {
    std::printf("status refused\n");
    mpg_DestroyDecoder(decoder);
    if (out) std::fclose(out);
    return kExitRefused;
  }
  std::vector<uint8_t> frame(size_t(width) * size_t(height));
  int frames = 0;
  bool writeOk = true;
  auto emit = [&] {
    ++frames;
    if (out) writeOk = std::fwrite(frame.data(), 1, frame.size(), out) == frame.size() && writeOk;
  };
  for (int r; (r = mpg_NextFrame(decoder, frame.data(), width, height)) != kMpgEnd;)
    if (r == kMpgFrame) emit();
  if (mpg_Close(decoder)) emit();
  mpg_DestroyDecoder(decoder);
  std::printf("width %d\nheight %d\nframes %d\n", width, height, frames);
  if (out && (std::fclose(out) != 0 || !writeOk)) {
    std::fprintf(stderr, "vtool mpeg: cannot write %s\n", raw);
    return kExitUsage;
  }
  return 0;
}
