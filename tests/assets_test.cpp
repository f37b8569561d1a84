// The archive, image helpers.
#include "testutil.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void putLE32(std::string& b, size_t at, int32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = char(uint32_t(v) >> (8 * i));
}

// An archive image: entries of (name, data), names stored as given.
std::string makeArchive(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string b(4 + entries.size() * 20, '\0');
  putLE32(b, 0, int32_t(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    putLE32(b, 4 + i * 20, int32_t(b.size()));
    b.replace(4 + i * 20 + 4, std::min<size_t>(entries[i].first.size(), 16), entries[i].first.substr(0, 16));
    b += entries[i].second;
  }
  return b;
}

std::string writeTemp(const std::string& bytes) {
  char path[] = "/tmp/velmorin-dat-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  close(fd);
  return path;
}

std::string readAll(FILE* f, size_t n) {
  std::string s(n, '\0');
  s.resize(std::fread(&s[0], 1, n, f));
  return s;
}

TEST(Archive, LookupsFoldTheRequestedNameOnly) {
  const std::string path = writeTemp(makeArchive({{"logo.png", "LOGO"},
                                                  {"Caps.png", "CAPS"},
                                                  {"logo.png", "SECOND"},
                                                  {"exactly15chars.", "LONG"},
                                                  {"sixteen-chars-xx", "FULL"}}));
  ASSERT_EQ(dat_Open(path.c_str()), 1);
  FILE* f = dat_Find("Logo.PNG");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(readAll(f, 4), "LOGO");  // the first of two entries wins
  // Each lookup has its own stream: two assets read at the same time.
  FILE* g = dat_Find("exactly15chars.");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(readAll(g, 4), "LONG");
  EXPECT_EQ(readAll(f, 6), "CAPSSE");
  std::fclose(f);
  std::fclose(g);
  EXPECT_EQ(dat_Find("Caps.png"), nullptr);  // capitals on file never match
  EXPECT_EQ(dat_Find("caps.png"), nullptr);
  EXPECT_EQ(dat_Find("sixteen-chars-xx"), nullptr);  // longer than 15 never matches
  EXPECT_EQ(dat_Find("nothing"), nullptr);
  EXPECT_EQ(dat_Offset("LOGO.png"), 4 + 5 * 20);
  EXPECT_EQ(dat_Offset("nothing"), 0);
  std::remove(path.c_str());
}

TEST(Archive, CorruptDirectoriesAreRejectedLikeAMissingFile) {
  const std::string good = makeArchive({{"a", "x"}, {"b", "y"}});
  std::string negative = good, oversized = good;
  putLE32(negative, 0, -1);
  putLE32(oversized, 0, 0x7fffffff);
  const std::string cases[] = {
      "",                           // empty file
      good.substr(0, 3),            // count cut short
      negative,                     // negative count
      oversized,                    // more entries than the file could hold
      good.substr(0, 4 + 20 + 10),  // directory shorter than announced
  };
  const std::string keep = writeTemp(makeArchive({{"kept", "k"}}));
  ASSERT_EQ(dat_Open(keep.c_str()), 1);
  for (const std::string& bytes : cases) {
    const std::string path = writeTemp(bytes);
    EXPECT_EQ(dat_Open(path.c_str()), 0) << bytes.size();
    std::remove(path.c_str());
  }
  EXPECT_EQ(dat_Open("/nonexistent/velmorin.dat"), 0);
  EXPECT_NE(dat_Offset("kept"), 0);  // a rejected archive leaves the open one alone
  std::vector<DatEntry> dir;
  EXPECT_EQ(dat_ParseDirectory(reinterpret_cast<const uint8_t*>(good.data()), good.size(), good.size(), dir),
            DatStatus::Ok);
  EXPECT_EQ(dir.size(), 2u);
  std::remove(keep.c_str());
}

TEST(Images, ScaleAndBlitStayInsideBothImages) {
  img_InitHeadless();
  Image* src = img_Create(3, 2);
  for (int i = 0; i < 6; ++i) src->pixels[i] = uint8_t(10 + i);
  Image* dst = img_Create(7, 5);
  img_Scale(src, dst);
  // target(j, i) = source(trunc(j * 3/7), trunc(i * 2/5))
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 7; ++j) EXPECT_EQ(dst->pixels[i * 7 + j], 10 + (i * 2 / 5) * 3 + j * 3 / 7);

  struct Case {
    int sx, sy, dx, dy, w, h;
    int changed;  // pixels of dst written
  } cases[] = {
      {0, 0, 0, 0, 3, 2, 6}, {0, 0, 5, 4, 3, 2, 2}, {-1, -1, 0, 0, 3, 3, 4},
      {0, 0, -2, 0, 3, 2, 2}, {2, 1, 6, 4, 9, 9, 1}, {0, 0, 7, 0, 3, 2, 0},
      {3, 0, 0, 0, 3, 2, 0}, {0, 0, 0, 0, -1, 2, 0},
  };
  for (const Case& c : cases) {
    std::memset(dst->pixels, 0, 35);
    img_Blit(src, dst, c.sx, c.sy, c.dx, c.dy, c.w, c.h);
    int changed = 0;
    for (int i = 0; i < 35; ++i) changed += dst->pixels[i] != 0;
    EXPECT_EQ(changed, c.changed) << c.sx << "," << c.sy << " -> " << c.dx << "," << c.dy;
  }
  img_Destroy(src);
  img_Destroy(dst);
}

}  // namespace
