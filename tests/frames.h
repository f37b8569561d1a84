// Reading back what a capture wrote: numbered PNG frames (through libpng, a
// reference decoder independent of ours) and the frames.tsv log.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

struct Grey {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
  int at(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

inline Grey readPng(const std::string& path) {
  Grey g;
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return g;
  image.format = PNG_FORMAT_GRAY;
  g.width = int(image.width);
  g.height = int(image.height);
  g.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, g.pixels.data(), 0, nullptr)) g = Grey{};
  return g;
}

inline std::string frameName(const std::string& dir, int n) {
  char name[32];
  std::snprintf(name, sizeof name, "/frame_%06d.png", n);
  return dir + name;
}

inline int countFrames(const std::string& dir) {
  int n = 0;
  while (access(frameName(dir, n).c_str(), F_OK) == 0) ++n;
  return n;
}

// One line of frames.tsv.
struct FrameLog {
  int frame = 0;
  double seconds = 0;
  int order = -1, row = -1;  // -1 before the music
  std::string scene;
  int fade = 0;
};

inline std::vector<FrameLog> readFrameLog(const std::string& dir) {
  std::vector<FrameLog> out;
  std::ifstream in(dir + "/frames.tsv");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream f(line);
    FrameLog l;
    if (f >> l.frame >> l.seconds >> l.order >> l.row >> l.scene >> l.fade) out.push_back(l);
  }
  return out;
}
