// Archive directories from arbitrary bytes: parse, then look names up in a
// real file of the same bytes.
#include "assets/assets.h"

#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<DatEntry> dir;
  if (dat_ParseDirectory(data, size, size, dir) == DatStatus::Ok) {
    for (const DatEntry& e : dir)
      if (e.name[kDatNameSize] != 0) __builtin_trap();
  }
  static const std::string path = "/tmp/velmorin-fuzz-" + std::to_string(getpid()) + ".dat";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  if (dat_Open(path.c_str())) {
    for (const DatEntry& e : dat_Directory()) {
      if (FILE* s = dat_Find(e.name)) {
        char buf[16];
        (void)std::fread(buf, 1, sizeof buf, s);
        std::fclose(s);
      }
      (void)dat_Offset(e.name);
    }
    (void)dat_Find("A-NAME-LONGER-THAN-FIFTEEN");
  }
  return 0;
}
