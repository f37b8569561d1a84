// The packed archive: a directory read once at start-up, then a fresh stream
// per lookup so several assets can be read at the same time.
#include "assets/assets.h"

#include <cstring>

namespace {

struct ArchiveState {
  std::string path;  // where dat_Find opens the archive again
  std::vector<DatEntry> directory;
};
ArchiveState DAT;

int32_t readLE32(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

// Lower-cases ASCII letters only; other bytes pass unchanged.
void lowerAscii(char* s) {
  for (; *s; ++s)
    if (*s >= 'A' && *s <= 'Z') *s = char(*s - 'A' + 'a');
}

const DatEntry* findEntry(const char* name) {
  // Stored names end within 16 bytes: a longer request can never match.
  if (std::strlen(name) >= size_t(kDatNameSize)) return nullptr;
  char wanted[kDatNameSize];
  std::snprintf(wanted, sizeof wanted, "%s", name);
  lowerAscii(wanted);
  for (const DatEntry& e : DAT.directory)
    if (std::strcmp(e.name, wanted) == 0) return &e;
  return nullptr;
}

}  // namespace

const char* dat_StatusText(DatStatus s) {
  switch (s) {
    case DatStatus::Ok: return "ok";
    case DatStatus::CantOpen: return "cannot open the archive";
    case DatStatus::BadCount: return "entry count is negative or larger than the file";
    case DatStatus::ShortDirectory: return "directory is shorter than its entry count";
  }
  return "unknown archive status";
}

DatStatus dat_ParseDirectory(const uint8_t* head, size_t headSize, uint64_t fileSize,
                             std::vector<DatEntry>& out) {
  out.clear();
  if (headSize < 4 || fileSize < 4) return DatStatus::ShortDirectory;
  const int32_t count = readLE32(head);
  // The directory has to fit in the file; this also bounds the allocation.
  if (count < 0 || uint64_t(count) > (fileSize - 4) / kDatEntrySize) return DatStatus::BadCount;
  const uint64_t dirBytes = uint64_t(count) * kDatEntrySize;
  if (headSize - 4 < dirBytes) return DatStatus::ShortDirectory;
  out.resize(size_t(count));
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* p = head + 4 + size_t(i) * kDatEntrySize;
    out[i].offset = readLE32(p);
    // A name that fills all 16 bytes has no terminator on file; the in-memory
    // copy has one more byte, so it stays a terminated (and unmatchable) name.
    std::memcpy(out[i].name, p + 4, kDatNameSize);
    out[i].name[kDatNameSize] = 0;
  }
  return DatStatus::Ok;
}

int dat_Open(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return 0;
  std::vector<uint8_t> head;
  std::vector<DatEntry> dir;
  DatStatus status = DatStatus::ShortDirectory;
  if (std::fseek(f, 0, SEEK_END) == 0) {
    const long size = std::ftell(f);
    std::rewind(f);
    uint8_t countBytes[4];
    if (size >= 4 && std::fread(countBytes, 1, 4, f) == 4) {
      const int32_t count = readLE32(countBytes);
      if (count < 0 || uint64_t(count) > (uint64_t(size) - 4) / kDatEntrySize) {
        status = DatStatus::BadCount;
      } else {
        head.resize(4 + size_t(count) * kDatEntrySize);
        std::memcpy(head.data(), countBytes, 4);
        const size_t got = std::fread(head.data() + 4, 1, head.size() - 4, f);
        status = dat_ParseDirectory(head.data(), 4 + got, uint64_t(size), dir);
      }
    }
  }
  std::fclose(f);
  if (status != DatStatus::Ok) return 0;
  DAT.path = path;
  DAT.directory = std::move(dir);
  return 1;
}

FILE* dat_Find(const char* name) {
  const DatEntry* e = findEntry(name);
  if (!e) return nullptr;
  FILE* f = std::fopen(DAT.path.c_str(), "rb");
  if (f && std::fseek(f, e->offset, SEEK_SET) != 0) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}

int32_t dat_Offset(const char* name) {
  const DatEntry* e = findEntry(name);
  return e ? e->offset : 0;
}

const std::vector<DatEntry>& dat_Directory() { return DAT.directory; }
const char* dat_Path() { return DAT.path.c_str(); }
