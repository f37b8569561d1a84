// Text and its fonts: the font reader against cut and overlong entries, and
// lines drawn at every origin, with spacing and clipping, over held pictures.
#include "testutil.h"

#include "codecs/codecs.h"
#include "effects/effects.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Blank width 2, height 2.  A: "#." over "##"; B: one column; C: a top bar.
// Any byte that is not 0 is ink (B's are 7).
Bytes smallFont() {
  Bytes f = {2, 2};
  for (int c = 0; c < 256; ++c) {
    if (c == 'A') f.insert(f.end(), {2, 1, 0, 1, 1});
    else if (c == 'B') f.insert(f.end(), {1, 7, 7});
    else if (c == 'C') f.insert(f.end(), {3, 1, 1, 1, 0, 0, 0});
    else f.push_back(0);
  }
  return f;
}

// Every code has a glyph of 1 to 23 columns and 7 rows, with a pattern of
// ink bytes 1, 128 and 255 that depends on the code: a checksum of a line in
// it sees every pixel, of rows shorter and longer than eight bytes.
Bytes patternFont() {
  Bytes f = {3, 7};
  const uint8_t levels[4] = {0, 1, 128, 255};
  for (int c = 0; c < 256; ++c) {
    const int w = 1 + c % 23;
    f.push_back(uint8_t(w));
    for (int y = 0; y < 7; ++y)
      for (int x = 0; x < w; ++x) f.push_back(levels[(x * 3 + y * 5 + c) % 4]);
  }
  return f;
}

Bytes zeroHeightFont() {
  Bytes f = {1, 0};
  for (int c = 0; c < 256; ++c) f.push_back(c == 'A' ? 3 : 0);
  return f;
}

void putLE32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// Writes an archive of the entries and opens it.
std::string openArchive(const std::vector<std::pair<std::string, Bytes>>& entries) {
  Bytes b(4 + entries.size() * 20, 0);
  putLE32(b, 0, uint32_t(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    putLE32(b, 4 + i * 20, uint32_t(b.size()));
    std::copy(entries[i].first.begin(), entries[i].first.end(), b.begin() + long(4 + i * 20 + 4));
    b.insert(b.end(), entries[i].second.begin(), entries[i].second.end());
  }
  char path[] = "/tmp/velmorin-text-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size()));
  close(fd);
  EXPECT_EQ(dat_Open(path), 1);
  return path;
}

constexpr uint8_t kGuard = 0xEE;

// A picture over test memory with guard bytes on both sides: a glyph pixel
// written outside the picture is caught.
struct Held final : Stream {
  Bytes bytes;
  Image image;

  Held(int w, int h, uint8_t fill = 0) : Stream(nullptr, nullptr), bytes(size_t(w * h) + 32, kGuard) {
    image.width = w, image.height = h, image.pixels = bytes.data() + 16;
    std::fill(bytes.begin() + 16, bytes.end() - 16, fill);
  }
  // Rows of '.' (0), '#' (ink 200) or '?' (anything else).
  std::string drawn() const {
    for (size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(bytes[i], kGuard) << "written before the picture";
      EXPECT_EQ(bytes[bytes.size() - 1 - i], kGuard) << "written after the picture";
    }
    std::string s;
    for (int y = 0; y < image.height; ++y) {
      if (y) s += '|';
      for (int x = 0; x < image.width; ++x) {
        const uint8_t v = image.pixels[y * image.width + x];
        s += v == 0 ? '.' : v == 200 ? '#' : '?';
      }
    }
    return s;
  }

 protected:
  Image* onStream(int, int) override { return &image; }
};

struct TextLayer : ScriptFixture {
  std::string archive;
  void TearDown() override {
    ScriptFixture::TearDown();
    if (!archive.empty()) std::remove(archive.c_str());
  }
  void SetUp() override {
    ScriptFixture::SetUp();
    Bytes cut = smallFont();
    cut.resize(cut.size() - 1);
    // The cut font is followed by an entry whose first byte would complete it.
    archive = openArchive({{"small.fnt", smallFont()},
                           {"cut.fnt", cut},
                           {"next.fnt", {0, 0}},
                           {"pattern.fnt", patternFont()},
                           {"zero.fnt", zeroHeightFont()}});
  }
  Text* build(const std::string& params, Held* in) {
    load("s.plg\no = text " + params + ";\n");
    Text* t = dynamic_cast<Text*>(get("o"));
    if (in) t->in = in;
    return t;
  }
};

TEST(FontReader, RefusesEveryCutOfAFontAndIgnoresWhatFollowsIt) {
  for (const Bytes& good : {smallFont(), patternFont(), zeroHeightFont()}) {
    Font f;
    ASSERT_EQ(fnt_Parse(good.data(), good.size(), &f), FontStatus::Ok);
    Bytes longer = good;
    longer.insert(longer.end(), {9, 9, 9});
    EXPECT_EQ(fnt_Parse(longer.data(), longer.size(), &f), FontStatus::Ok);
    for (size_t n = 0; n < good.size(); ++n) {
      // A copy of exactly n bytes: ASan sees any read past them.
      const Bytes cut(good.begin(), good.begin() + long(n));
      ASSERT_EQ(fnt_Parse(cut.data(), cut.size(), &f), FontStatus::Truncated) << n;
      EXPECT_EQ(f.height, 0);
      EXPECT_TRUE(f.masks.empty());
    }
  }
  const Bytes s = smallFont();
  Font f;
  ASSERT_EQ(fnt_Parse(s.data(), s.size(), &f), FontStatus::Ok);
  EXPECT_EQ(f.blank * 10 + f.height, 22);
  EXPECT_EQ(Bytes(f.mask('B'), f.mask('B') + 2), (Bytes{7, 7}));
  EXPECT_EQ(Bytes(f.mask('C'), f.mask('C') + 6), (Bytes{1, 1, 1, 0, 0, 0}));
  EXPECT_FALSE(f.has('D'));
}

TEST_F(TextLayer, MissingOrCutFontsAndUnknownOriginsAreFatal) {
  EXPECT_EQ(errorOf([&] { build("str=A,font=none.fnt", nullptr); }), "font 'none.fnt' not found");
  EXPECT_EQ(errorOf([&] { build("str=A", nullptr); }), "font '' not found");
  // Its last record would end one byte into the next entry.
  EXPECT_EQ(errorOf([&] { build("str=A,font=cut.fnt", nullptr); }), "font 'cut.fnt' not found");
  EXPECT_EQ(errorOf([&] { build("str=A,font=next.fnt", nullptr); }), "font 'next.fnt' not found");
  for (const char* org : {"3", "-1", "1000"}) {
    Held in(4, 2);
    Text* t = build(std::string("str=A,font=small.fnt,org=") + org, &in);
    EXPECT_EQ(errorOf([&] { t->stream(4, 2); }), "unknown text origin") << org;
  }
}

TEST_F(TextLayer, OriginsSpacingBlanksAndClipping) {
  const struct {
    const char* params;
    int w, h;
    const char* expect;
  } cases[] = {
      {"str=AB,x=0,y=0", 8, 3, "#..#....|##.#....|........"},
      {"str=AB,x=0,y=0,space=1", 8, 3, "#...#...|##..#...|........"},
      // Right: the pen moves left by the text width (3 + 2) and the spaces.
      {"str=AB,x=8,y=1,org=1", 8, 3, "........|...#..#.|...##.#."},
      {"str=AB,x=9,y=0,org=1,space=1", 8, 3, "...#...#|...##..#|........"},
      // Centred: 5 / 2 = 2; a sum of -1 halves toward zero, not down.
      {"str=AB,x=4,y=0,org=2", 8, 3, "..#..#..|..##.#..|........"},
      {"str=AB,x=4,y=0,org=2,space=-6", 8, 3, ".#..#...|.#..##..|........"},
      // No glyph for _: blank width 2 + space + 1.
      {"str=A_B,x=0,y=0", 8, 3, "#.....#.|##....#.|........"},
      {"str=A_B,x=0,y=0,space=1", 9, 2, "#.......#|##......#"},
      // Across every border, pixel by pixel.
      {"str=AB,x=-1,y=-1", 8, 3, "#.#.....|........|........"},
      {"str=CA,x=6,y=2", 8, 3, "........|........|......##"},
      {"str=ACA,x=-4,y=0,space=-1", 4, 2, "##..|.##."},
      {"str=AB,x=-100,y=0", 4, 2, "....|...."},
      {"str=AB,x=0,y=-2", 4, 2, "....|...."},
      {"str=AB,x=0,y=2", 4, 2, "....|...."},
      {"str=AB,x=2147483647,y=0,space=2147483647", 4, 2, "....|...."},
      {"str=AB,x=-2147483648,y=0,space=-2147483648", 4, 2, "....|...."},
      {"x=0,y=0,org=1", 4, 2, "....|...."},  // empty text
      {"x=0,y=0,org=2,space=5", 4, 2, "....|...."},
  };
  for (const auto& c : cases) {
    Held in(c.w, c.h);
    Text* t = build(std::string("font=small.fnt,b=200,") + c.params, &in);
    EXPECT_EQ(t->stream(c.w, c.h), &in.image) << c.params;
    EXPECT_EQ(in.drawn(), c.expect) << c.params;
  }
}

TEST_F(TextLayer, InkLevelsAndPicturesOfAnotherSize) {
  const struct {
    const char* b;
    int ink;
  } inks[] = {{"300", 44}, {"255", 255}, {"-1", 255}, {"0", 0}, {"12.9", 12}};
  for (const auto& k : inks) {
    Held in(2, 2, 99);
    build(std::string("str=B,font=small.fnt,x=1,y=0,b=") + k.b, &in)->stream(2, 2);
    EXPECT_EQ((Bytes(in.image.pixels, in.image.pixels + 4)), (Bytes{99, uint8_t(k.ink), 99, uint8_t(k.ink)})) << k.b;
  }
  // Defaults: x=255, y=255, white ink.
  Held big(258, 257);
  build("str=B,font=small.fnt", &big)->stream(258, 257);
  EXPECT_EQ(big.image.pixels[255 * 258 + 255] + big.image.pixels[256 * 258 + 255], 510);

  // in answers a 3x2 picture for a 8x3 request: written only where it is,
  // in its own rows.
  Held small(3, 2);
  build("str=AB,font=small.fnt,x=0,y=0,b=200", &small)->stream(8, 3);
  EXPECT_EQ(small.drawn(), "#..|##.");
  Held wide(6, 2);
  build("str=AB,font=small.fnt,x=0,y=0,b=200", &wide)->stream(2, 1);
  EXPECT_EQ(wide.drawn(), "#.....|......");

  // Height 0: loads, advances, draws nothing.
  Held flat(8, 2);
  Text* t = build("str=AAA,font=zero.fnt,x=0,y=0,b=200", &flat);
  t->stream(8, 2);
  EXPECT_EQ(flat.drawn(), "........|........");
  EXPECT_EQ(fnt_TextWidth(t->font, reinterpret_cast<const uint8_t*>("AAA_"), 4), 14);
}

TEST_F(TextLayer, RenderedFrameChecksum) {
  // Wider than the picture: glyphs are cut at both sides.  L is 8 wide.
  Held in(240, 12);
  for (int p = 0; p < 240 * 12; ++p) in.image.pixels[p] = uint8_t(p * 7);
  Text* t = build("str=Velmorin_/_Tarkv_LOL,font=pattern.fnt,x=120,y=3,org=2,space=1,b=250", &in);
  t->stream(240, 12);
  t->stream(240, 12);  // drawing again over its own ink changes nothing
  in.drawn();          // guards
  // Worked out apart from the engine, by a short script that draws the same
  // glyphs pixel by pixel.
  EXPECT_EQ(sha256_Hex(in.image.pixels, 240 * 12), "cc8a4c28e1d23971e16d9d09d79f4466f3f7d4e598af6bccd6dbc62de138ff29");
}

}  // namespace

namespace {

// The show's fonts as fontgen made them for the archive.
TEST(ShowFonts, TitleAndCreditsFontsServeTheShowsLines) {
  ASSERT_EQ(dat_Open(VELMORIN_SHOW_DIR "/velmorin.dat"), 1);
  const struct {
    const char* name;
    const char* line;  // must fit the 640-pixel frame
  } fonts[] = {{"titlefont.fnt", "Velmorin_/_Tarkv"}, {"credits.fnt", "code_and_effects:_Tarkv"}};
  int heights[2] = {};
  for (int i = 0; i < 2; ++i) {
    Font f;
    ASSERT_EQ(fnt_Load(fonts[i].name, &f), FontStatus::Ok) << fonts[i].name;
    heights[i] = f.height;
    EXPECT_FALSE(f.has('_') || f.has(' ')) << fonts[i].name;
    EXPECT_GT(f.blank, 0) << fonts[i].name;
    for (int c = 33; c < 127; ++c) {
      if (c == '_') continue;
      ASSERT_TRUE(f.has(uint8_t(c))) << fonts[i].name << " " << c;
      const uint8_t* m = f.mask(uint8_t(c));
      EXPECT_TRUE(std::any_of(m, m + f.widths[c] * f.height, [](uint8_t v) { return v != 0; })) << c;
    }
    // The clock rolls a strip of digits under a window one digit wide.
    for (char d = '1'; d <= '9'; ++d) EXPECT_EQ(f.widths[uint8_t(d)], f.widths['0']) << fonts[i].name << d;
    const auto* line = reinterpret_cast<const uint8_t*>(fonts[i].line);
    EXPECT_LT(fnt_TextWidth(f, line, int(std::strlen(fonts[i].line))), 600) << fonts[i].name;
  }
  EXPECT_GT(heights[0], 2 * heights[1]);
}

}  // namespace
