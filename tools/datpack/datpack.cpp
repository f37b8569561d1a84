// datpack: builds, lists and verifies the show's packed archive.
//
//   datpack pack ARCHIVE FILE...   (a FILE written @LIST reads names from LIST)
//   datpack list ARCHIVE
//   datpack verify ARCHIVE
#include "assets/assets.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string entryName(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return name;
}

void putLE32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

int pack(const std::string& out, const std::vector<std::string>& args) {
  std::vector<std::string> files;
  for (const std::string& a : args) {
    if (a.size() > 1 && a[0] == '@') {
      std::ifstream list(a.substr(1));
      if (!list) {
        std::fprintf(stderr, "datpack: cannot read the list %s\n", a.c_str() + 1);
        return 1;
      }
      for (std::string line; std::getline(list, line);)
        if (!line.empty() && line[0] != '#') files.push_back(line);
    } else {
      files.push_back(a);
    }
  }
  std::set<std::string> seen;
  bool ok = true;
  for (const std::string& f : files) {
    const std::string name = entryName(f);
    if (name.empty() || name.size() >= size_t(kDatNameSize)) {
      std::fprintf(stderr, "datpack: %s: entry name '%s' must have 1 to %d characters\n", f.c_str(),
                   name.c_str(), kDatNameSize - 1);
      ok = false;
    } else if (!seen.insert(name).second) {
      std::fprintf(stderr, "datpack: %s: entry name '%s' is already taken\n", f.c_str(), name.c_str());
      ok = false;
    }
  }
  if (!ok) return 1;

  std::vector<uint8_t> archive(4 + files.size() * kDatEntrySize, 0);
  putLE32(archive, 0, uint32_t(files.size()));
  for (size_t i = 0; i < files.size(); ++i) {
    std::vector<uint8_t> data;
    if (!readFile(files[i], data)) {
      std::fprintf(stderr, "datpack: cannot read %s\n", files[i].c_str());
      return 1;
    }
    if (archive.size() + data.size() > 0x7fffffffu) {
      std::fprintf(stderr, "datpack: the archive would pass 2 GiB at %s\n", files[i].c_str());
      return 1;
    }
    const size_t dir = 4 + i * kDatEntrySize;
    putLE32(archive, dir, uint32_t(archive.size()));
    const std::string name = entryName(files[i]);
    std::memcpy(&archive[dir + 4], name.data(), name.size());
    archive.insert(archive.end(), data.begin(), data.end());
  }
  std::ofstream o(out, std::ios::binary | std::ios::trunc);
  o.write(reinterpret_cast<const char*>(archive.data()), std::streamsize(archive.size()));
  if (!o) {
    std::fprintf(stderr, "datpack: cannot write %s\n", out.c_str());
    return 1;
  }
  return 0;
}

// Reads and checks an archive; prints the directory when asked.
int inspect(const std::string& path, bool print) {
  std::vector<uint8_t> bytes;
  if (!readFile(path, bytes)) {
    std::fprintf(stderr, "datpack: cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<DatEntry> dir;
  const DatStatus st = dat_ParseDirectory(bytes.data(), bytes.size(), bytes.size(), dir);
  if (st != DatStatus::Ok) {
    std::fprintf(stderr, "datpack: %s: %s\n", path.c_str(), dat_StatusText(st));
    return 1;
  }
  const uint64_t dataStart = 4 + uint64_t(dir.size()) * kDatEntrySize;
  std::set<std::string> seen;
  int problems = 0;
  for (size_t i = 0; i < dir.size(); ++i) {
    const DatEntry& e = dir[i];
    const uint64_t end = i + 1 < dir.size() ? uint64_t(std::max(dir[i + 1].offset, 0)) : bytes.size();
    const bool inside = e.offset >= 0 && uint64_t(e.offset) >= dataStart && uint64_t(e.offset) <= end;
    const std::string name = e.name;
    if (print) std::printf("%10d %10lld  %s\n", e.offset, inside ? (long long)(end - uint64_t(e.offset)) : -1LL, e.name);
    auto problem = [&](const char* what) {
      std::fprintf(stderr, "datpack: %s: entry %zu '%s': %s\n", path.c_str(), i, e.name, what);
      ++problems;
    };
    if (!inside) problem("offset outside the data area or out of order");
    if (name.size() >= size_t(kDatNameSize)) problem("name is not terminated within 16 bytes");
    for (char c : name)
      if (c >= 'A' && c <= 'Z') {
        problem("name has capitals and can never be found");
        break;
      }
    if (!seen.insert(name).second) problem("name is a duplicate and can never be found");
  }
  return problems ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "pack" && argc >= 3) return pack(argv[2], std::vector<std::string>(argv + 3, argv + argc));
  if (cmd == "list" && argc == 3) return inspect(argv[2], true);
  if (cmd == "verify" && argc == 3) return inspect(argv[2], false);
  std::fprintf(stderr,
               "usage: datpack pack ARCHIVE FILE... | datpack list ARCHIVE | datpack verify ARCHIVE\n"
               "  FILE written as @LIST reads one file name a line from LIST\n");
  return 2;
}
