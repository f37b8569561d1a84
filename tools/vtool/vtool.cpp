// vtool: looks at asset files through the engine's own decoders.
//
//   vtool png FILE [--pgm OUT]
//   vtool font FILE [--pgm OUT] [--text WORD]   (font.cpp)
//   vtool mesh FILE
//   vtool scene FILE [...]   vtool keys FILE   (scene.cpp)
//   vtool mpeg FILE [--raw OUT]
//
// prints what the engine sees of a picture: decoder status, size, channels,
// bit depth, interlacing and the SHA-256 of the 8-bit luminance image it
// would show; --pgm writes that image.  Exit status 0 when the picture
// decodes, 1 when the decoder refuses it, 2 for a usage or file error.
#include "tools/vtool/vtool.h"

#include "codecs/codecs.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool writePgm(const char* path, int width, int height, const std::vector<uint8_t>& luma) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  std::fprintf(f, "P5\n%d %d\n255\n", width, height);
  const bool ok = std::fwrite(luma.data(), 1, luma.size(), f) == luma.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int vtool_Png(int argc, char** argv) {
  const char* file = nullptr;
  const char* pgm = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pgm") == 0 && i + 1 < argc) {
      pgm = argv[++i];
    } else if (!file && argv[i][0] != '-') {
      file = argv[i];
    } else {
      std::fprintf(stderr, "vtool png: unexpected argument '%s'\n", argv[i]);
      return kExitUsage;
    }
  }
  if (!file) {
    std::fprintf(stderr, "vtool png: no file given\n");
    return kExitUsage;
  }
  FILE* f = std::fopen(file, "rb");
  if (!f) {
    std::fprintf(stderr, "vtool png: cannot open %s\n", file);
    return kExitUsage;
  }
  PngInfo info;
  std::vector<uint8_t> luma;
  const PngStatus st = png_LoadLumaFile(f, &info, &luma);
  std::fclose(f);

  std::printf("status %d %s\n", int(st), png_StatusText(st));
  int exitCode = 0;
  if (st == PngStatus::Ok) {
    std::printf("width %d\nheight %d\nchannels %d\ndepth %d\ninterlace %d\nluma-sha256 %s\n", info.width,
                info.height, info.channels, info.bitDepth, info.interlace,
                sha256_Hex(luma.data(), luma.size()).c_str());
    if (pgm && !writePgm(pgm, info.width, info.height, luma)) {
      std::fprintf(stderr, "vtool png: cannot write %s\n", pgm);
      exitCode = kExitUsage;
    }
  } else {
    exitCode = kExitRefused;
  }
  png_FreeInfo(&info);
  return exitCode;
}

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);  // the arguments after the command's name
  const char* usage;
};

const Command kCommands[] = {
    {"png", vtool_Png, "png FILE [--pgm OUT]   decode a PNG as the engine does; print status, size and luma hash"},
    {"font", vtool_Font, "font FILE [--pgm OUT] [--text WORD]   print a font's metrics; draw a sample line"},
    {"mesh", vtool_Mesh, "mesh FILE              load a mesh as the engine does; print status, counts and bounds"},
    {"scene", vtool_Scene, "scene FILE [--slot N] [--keys K --frame F --pgm OUT [--size W H] [--fov X Y]]   read a scene file; draw a frame"},
    {"keys", vtool_Keys, "keys FILE   read a keyframer file; print its tracks and keys"},
    {"mpeg", vtool_Mpeg, "mpeg FILE [--raw OUT]  decode a video stream; print size and frame count, write the Y frames"},
};

void printUsage() {
  std::fprintf(stderr, "usage: vtool COMMAND ...\n");
  for (const Command& c : kCommands) std::fprintf(stderr, "  vtool %s\n", c.usage);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printUsage();
    return kExitUsage;
  }
  for (const Command& c : kCommands)
    if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
  std::fprintf(stderr, "vtool: unknown command '%s'\n", argv[1]);
  printUsage();
  return kExitUsage;
}
