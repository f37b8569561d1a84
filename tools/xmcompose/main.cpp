// xmcompose: writes the show's music, synthesised and arranged from scratch.
//
//   xmcompose <out.xm>
//
// Exit codes: 0 written, 1 could not compose or write, 2 usage.
#include <cstdio>
#include <exception>
#include <string>

#include "tools/xmcompose/composition.h"
#include "tools/xmcompose/xm_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <out.xm>\n", argc > 0 ? argv[0] : "xmcompose");
    return 2;
  }
  try {
    const std::vector<std::uint8_t> bytes = xm::serialize(composition::compose());
    std::string error;
    if (!xm::writeFile(argv[1], bytes, error)) {
      std::fprintf(stderr, "xmcompose: %s\n", error.c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xmcompose: %s\n", e.what());
    return 1;
  }
  return 0;
}
