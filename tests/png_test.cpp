// The PNG decoder: PngSuite against its reference digests, pictures of every
// depth, colour type and interlacing made here (filters chosen at random),
// the chunks the record keeps, the failures by status, damaged files, and
// the texture loader through the archive.
#include "assets/assets.h"
#include "codecs/codecs.h"
#include "codecs/png_private.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#ifndef VELMORIN_PNGSUITE_DIR
#define VELMORIN_PNGSUITE_DIR VELMORIN_SOURCE_DIR "/tests/data/pngsuite"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes keyword(const std::string& k) { return cat(text(k), {0}); }

// A decoder and a record that are freed at the end of a test.
struct Decoded {
  PngDecoder* decoder = png_CreateDecoder();
  PngInfo info{};
  PngStatus status = PngStatus::Ok;
  ~Decoded() {
    png_FreeInfo(&info);
    png_DestroyDecoder(decoder);
  }
  PngStatus decode(const Bytes& file) {
    png_FreeInfo(&info);
    return status = png_DecodeMemory(decoder, file.data(), file.size(), &info);
  }
  Bytes pixels() const { return info.pixels ? Bytes(info.pixels, info.pixels + info.pixelBytes) : Bytes(); }
  Bytes luma() const {
    Bytes l(size_t(info.width) * size_t(info.height));
    png_Luma(info, l.data());
    return l;
  }
};

// ---------------------------------------------------------------------------
// PngSuite: EXPECTED.tsv lists every file with its IHDR fields, whether it is
// valid and for some the luminance digest; EXPECTED_RGBA8.tsv gives the
// luminance digest of every valid file from an RGBA reading of it.
std::vector<std::vector<std::string>> tsv(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    rows.emplace_back();
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) rows.back().push_back(cell);
  }
  return rows;
}

TEST(PngSuite, EveryFileDecodesToItsReferenceOrIsRefused) {
  const std::string dir = VELMORIN_PNGSUITE_DIR;
  std::map<std::string, std::string> rgbaLuma;
  for (const auto& row : tsv(dir + "/EXPECTED_RGBA8.tsv")) rgbaLuma[row.at(0)] = row.at(2);
  int valid = 0, refused = 0, digests = 0;
  Decoded d;
  for (const auto& f : tsv(dir + "/EXPECTED.tsv")) {
    const std::string& name = f.at(0);
    const std::string path = dir + "/" + name;
    d.decode(readFile(path));
    // Two damaged files have only a wrong CRC, which is not checked.
    if (f.at(6) != "1" && name != "xcsn0g01.png" && name != "xhdn0g08.png") {
      EXPECT_NE(d.status, PngStatus::Ok) << name << " was accepted";
      ++refused;
      continue;
    }
    ASSERT_EQ(d.status, PngStatus::Ok) << name << ": " << png_StatusText(d.status);
    ++valid;
    const int colourType = std::stoi(f[3]);
    EXPECT_EQ(d.info.width, std::stoi(f[1])) << name;
    EXPECT_EQ(d.info.height, std::stoi(f[2])) << name;
    EXPECT_EQ(d.info.bitDepth, std::stoi(f[4])) << name;
    EXPECT_EQ(d.info.interlace, std::stoi(f[5])) << name;
    EXPECT_EQ(d.info.palette, colourType & 1) << name;
    EXPECT_EQ(d.info.channels, (colourType == 2 || colourType == 6 ? 3 : 1) + (colourType >> 2)) << name;
    // Both digests: the second also holds our rules for grey, grey+alpha,
    // 16-bit and colour+alpha pictures to the RGBA reading.
    const std::string luma = sha256_Hex(d.luma().data(), size_t(d.info.width) * size_t(d.info.height));
    for (const std::string& expected : {f.size() > 7 ? f[7] : "", rgbaLuma[name]}) {
      if (expected.empty()) continue;
      EXPECT_EQ(luma, expected) << name;
      ++digests;
    }
    // The stream reader gives what the memory reader gives.
    FILE* fp = std::fopen(path.c_str(), "rb");
    PngInfo fromFile{};
    EXPECT_EQ(png_DecodeFile(d.decoder, fp, &fromFile), PngStatus::Ok) << name;
    std::fclose(fp);
    EXPECT_TRUE(Bytes(fromFile.pixels, fromFile.pixels + fromFile.pixelBytes) == d.pixels()) << name;
    png_FreeInfo(&fromFile);
  }
  EXPECT_EQ(valid, 163);  // the suite is all there
  EXPECT_EQ(refused, 12);
  EXPECT_GT(digests, 200);
}

// ---------------------------------------------------------------------------
// Files made here: chunks with their CRCs, IEND added.
using Chunks = std::vector<std::pair<std::string, Bytes>>;

Bytes pngOf(const Chunks& chunks) {
  Bytes png = {137, 'P', 'N', 'G', '\r', '\n', 26, '\n'};
  for (const auto& [type, data] : chunks) {
    Bytes body(type.begin(), type.end());
    body.insert(body.end(), data.begin(), data.end());
    const uint32_t n = uint32_t(data.size()), crc = uint32_t(crc32(0, body.data(), uInt(body.size())));
    for (int i = 3; i >= 0; --i) png.push_back(uint8_t(n >> (8 * i)));
    png.insert(png.end(), body.begin(), body.end());
    for (int i = 3; i >= 0; --i) png.push_back(uint8_t(crc >> (8 * i)));
  }
  return cat(png, {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82});
}

Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes header(uint32_t w, uint32_t h, int depth, int colourType, int interlace = 0) {
  return cat(cat(be32(w), be32(h)), {uint8_t(depth), uint8_t(colourType), 0, 0, uint8_t(interlace)});
}

Bytes zlibOf(const Bytes& raw, int level = 6) {
  uLongf n = compressBound(uLong(raw.size()));
  Bytes out(n);
  compress2(out.data(), &n, raw.data(), uLong(raw.size()), level);
  out.resize(n);
  return out;
}

// A reference encoder: random samples packed into rows, each row filtered
// with a filter chosen at random (or an unknown type, meaning none), Adam7
// passes cut out, and the stream spread over IDAT chunks of 0 to maxChunk
// bytes (long ones run across the decoder's 8 KiB read buffer).
// Returns the file; `expected` gets the pixels the decoder must give.
struct Picture {
  int width, height, depth, colourType, interlace;
  int channels() const { return (colourType == 2 || colourType == 6 ? 3 : 1) + (colourType >> 2); }
};

int paethOf(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// levels above 1 draw the samples from that many values spread over the
// range instead: neighbours then tie often, which the Paeth choice must get
// right in each order of preference.
// filter, when not -1, is the one filter of every row.
Bytes encode(const Picture& p, std::mt19937& rng, Bytes& expected, uint32_t maxChunk = 40, uint32_t levels = 0,
             int filter = -1) {
  const int channels = p.channels(), maxSample = (1 << p.depth) - 1, bpp = std::max(1, p.depth / 8) * channels;
  std::vector<uint32_t> samples(size_t(p.width) * p.height * channels);
  expected.clear();
  for (auto& s : samples) {
    s = levels > 1 ? rng() % levels * (uint32_t(maxSample) / (levels - 1)) : rng() % uint32_t(maxSample + 1);
    if (p.depth == 16) expected.insert(expected.end(), {uint8_t(s >> 8), uint8_t(s)});
    else expected.push_back(uint8_t(s * 255 / uint32_t(maxSample)));
  }
  static const int adam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                  {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  static const int whole[1][4] = {{0, 0, 1, 1}};
  Bytes raw;
  for (int pass = 0; pass < (p.interlace ? 7 : 1); ++pass) {
    const int* a = p.interlace ? adam7[pass] : whole[0];
    Bytes prev;
    for (int y = a[1]; y < p.height && a[0] < p.width; y += a[3]) {  // an empty pass has no rows
      Bytes row;
      uint32_t acc = 0;
      int bits = 0;
      for (int x = a[0]; x < p.width; x += a[2])
        for (int c = 0; c < channels; ++c) {
          acc = acc << p.depth | samples[(size_t(y) * p.width + x) * channels + c];
          for (bits += p.depth; bits >= 8;) row.push_back(uint8_t(acc >> (bits -= 8)));
        }
      if (bits) row.push_back(uint8_t(acc << (8 - bits)));
      prev.resize(row.size());
      int type = int(rng() % 6);
      if (type == 5) type += int(rng() % 251);
      if (filter >= 0) type = filter;
      raw.push_back(uint8_t(type));
      for (size_t i = 0; i < row.size(); ++i) {
        const int l = i >= size_t(bpp) ? row[i - bpp] : 0, u = prev[i], ul = i >= size_t(bpp) ? prev[i - bpp] : 0;
        const int predicted = type == 1 ? l : type == 2 ? u : type == 3 ? (l + u) / 2 : type == 4 ? paethOf(l, u, ul) : 0;
        raw.push_back(uint8_t(row[i] - predicted));
      }
      prev = row;
    }
  }
  Chunks chunks = {{"IHDR", header(uint32_t(p.width), uint32_t(p.height), p.depth, p.colourType, p.interlace)}};
  if (p.colourType == 3) {
    Bytes plte;
    for (int i = 0; i <= maxSample; ++i) plte.insert(plte.end(), {uint8_t(i * 3), uint8_t(255 - i), uint8_t(i * 7)});
    chunks.push_back({"PLTE", plte});
  }
  const Bytes z = zlibOf(raw);
  for (size_t at = 0, n = 0; at < z.size(); at += n) {
    n = std::min<size_t>(z.size() - at, rng() % 3 == 0 ? 0 : 1 + rng() % maxChunk);
    chunks.push_back({"IDAT", Bytes(z.begin() + long(at), z.begin() + long(at + n))});
  }
  return pngOf(chunks);
}

TEST(PngPixels, EveryDepthColourTypeAndInterlacingRoundTrips) {
  const std::pair<int, std::vector<int>> kinds[] = {
      {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
  const std::pair<int, int> sizes[] = {{1, 1}, {3, 5}, {8, 8}, {13, 7}, {33, 2}, {2, 33}, {70, 9}};
  std::mt19937 rng(2024);
  Decoded d;
  Bytes expected;
  for (const auto& [colourType, depths] : kinds)
    for (int depth : depths)
      for (const auto& [w, h] : sizes)
        for (int interlace : {0, 1}) {
          const Picture p{w, h, depth, colourType, interlace};
          const std::string what = "type " + std::to_string(colourType) + " depth " + std::to_string(depth) + " " +
                                   std::to_string(w) + "x" + std::to_string(h) + (interlace ? " Adam7" : "");
          ASSERT_EQ(d.decode(encode(p, rng, expected)), PngStatus::Ok) << what;
          EXPECT_EQ(d.info.channels, p.channels()) << what;
          EXPECT_TRUE(d.pixels() == expected) << what;
        }
  for (int colourType : {0, 2, 6})  // few distinct samples: Paeth ties at every pixel size
    for (uint32_t levels : {2u, 3u, 5u}) {
      ASSERT_EQ(d.decode(encode({37, 23, 8, colourType, 0}, rng, expected, 40, levels)), PngStatus::Ok);
      EXPECT_TRUE(d.pixels() == expected) << "type " << colourType << ", " << levels << " levels";
    }
  for (int interlace : {0, 1}) {  // some 90 KB of stream in chunks of up to 30000 bytes
    ASSERT_EQ(d.decode(encode({300, 100, 8, 2, interlace}, rng, expected, 30000)), PngStatus::Ok);
    EXPECT_TRUE(d.pixels() == expected);
  }
}

// The vector paths of the pixel stage and the plain ones, on rows long
// enough to be handled a stretch at a time with a few bytes left over;
// for colour and palette pictures, the luminance too.
TEST(PngPixels, VectorAndPlainPathsGiveTheSamePixels) {
  std::mt19937 rng(77);
  Decoded d;
  Bytes expected;
  int paths = 0;
  for (int level : {2, 1, 0}) {  // AVX2 and the rest, SSE2 and SSSE3 only, plain
    const bool vector = level > 0;
    if (png_UseSimd(vector) != vector || png_UseAvx2(level == 2) != (level == 2)) continue;  // not here
    ++paths;
    for (int colourType : {0, 2, 3, 4, 6})
      for (int width : {1, 2, 9, 127, 129, 300})
        for (int filter : {4, -1})
          for (uint32_t levels : {0u, 3u})
            for (int interlace : {0, 1}) {  // Adam7 rows are unfiltered in place
              const std::string what = "level " + std::to_string(level) + ", type " + std::to_string(colourType) +
                                       ", width " + std::to_string(width) + ", filter " + std::to_string(filter) +
                                       ", levels " + std::to_string(levels) + (interlace ? ", Adam7" : "");
              ASSERT_EQ(d.decode(encode({width, 5, 8, colourType, interlace}, rng, expected, 4000, levels, filter)),
                        PngStatus::Ok)
                  << what;
              EXPECT_TRUE(d.pixels() == expected) << what;
              auto lumaOf = [](int r, int g, int b) { return uint8_t((r * 307 + g * 600 + b * 117) >> 10); };
              Bytes luma;
              if (colourType == 2 || colourType == 6) {
                const size_t step = colourType == 2 ? 3 : 4;
                for (size_t i = 0; i + step <= expected.size(); i += step)
                  luma.push_back(lumaOf(expected[i], expected[i + 1], expected[i + 2]));
              } else if (colourType == 3) {  // the palette encode() writes
                for (uint8_t v : expected) luma.push_back(lumaOf(uint8_t(v * 3), 255 - v, uint8_t(v * 7)));
              }
              if (!luma.empty()) {
                EXPECT_TRUE(d.luma() == luma) << what;
              }
            }
  }
  png_UseSimd(true);
  png_UseAvx2(true);
  EXPECT_GE(paths, 1);
}

// The chunk CRC, folded with carry-less multiplication or through tables,
// against zlib's, at every length around the folding steps and from
// unaligned starts.
TEST(PngChunks, CrcMatchesZlibOnEveryPath) {
  std::mt19937 rng(5);
  Bytes data(3000);
  for (auto& b : data) b = uint8_t(rng());
  int paths = 0;
  for (bool clmul : {true, false}) {
    if (png_CrcUseClmul(clmul) != clmul) continue;
    ++paths;
    for (size_t n = 0; n + 3 <= data.size(); n += n < 200 ? 1 : 97)
      for (size_t at : {0, 1, 3}) {
        const uint32_t ours = ~png_CrcUpdate(~0u, data.data() + at, n);
        ASSERT_EQ(ours, uint32_t(crc32(0, data.data() + at, uInt(n)))) << n << " bytes from " << at;
      }
    // The register carries over between calls.
    EXPECT_EQ(~png_CrcUpdate(png_CrcUpdate(~0u, data.data(), 100), data.data() + 100, 900),
              uint32_t(crc32(0, data.data(), 1000)));
  }
  png_CrcUseClmul(true);
  EXPECT_GE(paths, 1);
}

// ---------------------------------------------------------------------------
// A 4x2 picture with chunks before and after its IDAT; at depth 8 its
// samples are 0 1 2 0 / 1 2 0 1, at depth 2 the byte 0x1b: 0 1 2 3.
Bytes smallPicture(int colourType, const Chunks& before, const Chunks& after = {}, int depth = 8) {
  Chunks chunks = {{"IHDR", header(4, 2, depth, colourType)}};
  chunks.insert(chunks.end(), before.begin(), before.end());
  chunks.push_back({"IDAT", zlibOf(depth == 8 ? Bytes{0, 0, 1, 2, 0, 0, 1, 2, 0, 1} : Bytes{0, 0x1b, 0, 0x1b})});
  chunks.insert(chunks.end(), after.begin(), after.end());
  return pngOf(chunks);
}

TEST(PngChunks, TheRecordKeepsWhatTheChunksSay) {
  const Bytes chrm = cat(cat(be32(31270), be32(32900)), cat(be32(64000), cat(be32(33000), Bytes(16, 1))));
  Decoded d;
  ASSERT_EQ(d.decode(smallPicture(3,
                                  {{"gAMA", be32(45455)},
                                   {"cHRM", chrm},
                                   {"pHYs", cat(cat(be32(2835), be32(3780)), {1})},
                                   {"oFFs", cat(cat(be32(uint32_t(-5)), be32(7)), {1})},
                                   {"sCAL", cat({1}, cat(keyword("1.5"), text("2.25e1")))},
                                   {"PLTE", {10, 20, 30, 40, 50, 60, 255, 128, 0}},
                                   {"PLTE", Bytes(6, 99)},  // a second palette is passed over
                                   {"tRNS", {0, 200}},
                                   {"tEXt", cat(keyword("Title"), text("Stars"))},
                                   {"tEXt", cat(keyword("Comment"), text("not kept"))},
                                   {"tEXt", cat(keyword("Titles"), text("not kept"))},
                                   {"zTXt", cat(keyword("Author"), cat({0}, zlibOf(text("Someone"))))},
                                   {"bKGD", {0}}},
                                  {{"tEXt", cat(keyword("Source"), text("after IDAT"))}})),
            PngStatus::Ok);
  const PngInfo& i = d.info;
  EXPECT_EQ(i.palette + i.colour * 2 + i.alpha * 4, 3);
  EXPECT_EQ(i.channels, 1);
  EXPECT_DOUBLE_EQ(i.gamma, 0.45455);
  EXPECT_EQ(i.chromaticities[0], 31270);
  EXPECT_EQ(i.chromaticities[3], 33000);
  EXPECT_EQ(i.chromaticities[7], 0x01010101);
  EXPECT_EQ(i.pixelsPerUnitX * 10000 + i.pixelsPerUnitY + i.physUnit, 2835 * 10000 + 3780 + 1);
  EXPECT_EQ(i.offsetX, -5);
  EXPECT_EQ(i.offsetY * 10 + i.offsetUnit, 71);
  EXPECT_EQ(i.scaleUnit, 1);
  EXPECT_DOUBLE_EQ(i.scaleWidth, 1.5);
  EXPECT_DOUBLE_EQ(i.scaleHeight, 22.5);
  ASSERT_EQ(i.paletteCount, 3);
  EXPECT_EQ(i.paletteRgb[2][1], 128);
  EXPECT_EQ(i.transparency, 1);
  EXPECT_EQ(i.paletteAlpha[1] * 1000 + i.paletteAlpha[2], 200255);  // entries past tRNS are opaque
  EXPECT_STREQ(i.texts[kPngTitle], "Stars");
  EXPECT_STREQ(i.texts[kPngAuthor], "Someone");
  EXPECT_STREQ(i.texts[kPngSource], "after IDAT");
  EXPECT_EQ(i.texts[kPngCopyright], nullptr);
  EXPECT_STREQ(i.extraFileName, "");
  // The palette entries (10,20,30), (40,50,60), (255,128,0) as luminance.
  EXPECT_TRUE(d.luma() == (Bytes{18, 48, 151, 18, 48, 151, 18, 48}));

  // Transparent grey and colour; extra chunks: sBIT, and unknown ones whose
  // last letter is lower case (safe to copy) but not the others.
  ASSERT_EQ(d.decode(smallPicture(0, {{"tRNS", {1, 2}}, {"vpAG", {1}}})), PngStatus::Ok);
  EXPECT_EQ(d.info.transparent[0], 0x0102);
  EXPECT_STREQ(d.info.extraFileName, "");
  ASSERT_EQ(d.decode(smallPicture(0, {{"sBIT", {8}}})), PngStatus::Ok);
  EXPECT_STREQ(d.info.extraFileName, "pngextra.tmp");
  ASSERT_EQ(d.decode(smallPicture(0, {}, {{"prVt", {1, 2, 3}}})), PngStatus::Ok);
  EXPECT_STREQ(d.info.extraFileName, "pngextra.tmp");
  ASSERT_EQ(d.decode(pngOf({{"IHDR", header(1, 1, 8, 2)}, {"tRNS", {0, 1, 0, 2, 0, 3}}, {"IDAT", zlibOf({0, 200, 100, 50})}})),
            PngStatus::Ok);
  EXPECT_EQ(d.info.transparent[2], 3);
  EXPECT_TRUE(d.luma() == Bytes{(200 * 307 + 100 * 600 + 50 * 117) >> 10});

  // Colour type 3 with no PLTE before IDAT reads as grey: the indices are
  // the grey levels, scaled like any grey sample at depth 2.
  ASSERT_EQ(d.decode(smallPicture(3, {}, {{"PLTE", {1, 2, 3}}}, 2)), PngStatus::Ok);
  EXPECT_EQ(d.info.palette + d.info.colour + d.info.paletteCount, 0);
  EXPECT_TRUE(d.luma() == (Bytes{0, 85, 170, 255, 0, 85, 170, 255}));

  // A 128-byte header of another program before the signature; anywhere
  // else it is not a PNG.
  EXPECT_EQ(d.decode(cat(Bytes(128, 'h'), smallPicture(0, {}))), PngStatus::Ok);
  EXPECT_EQ(d.decode(cat(Bytes(127, 'h'), smallPicture(0, {}))), PngStatus::Malformed);
}

// ---------------------------------------------------------------------------
TEST(PngErrors, EachFaultGivesItsStatus) {
  const Bytes good = smallPicture(0, {});
  const Bytes z = zlibOf(Bytes(2 * 5, 0));  // 4x2 grey: two rows of a filter byte and four samples
  auto withIdat = [](const Bytes& ihdr, const Bytes& idat) { return pngOf({{"IHDR", ihdr}, {"IDAT", idat}}); };
  auto grey = [](Chunks before) { return smallPicture(0, before); };
  Bytes ihdrCompression = header(4, 2, 8, 0), ihdrFilter = ihdrCompression, badType = good;
  ihdrCompression[10] = 1;
  ihdrFilter[11] = 1;
  badType[8 + 4 + 1] = '1';  // "I1DR"
  const Bytes stored = cat({0x78, 0x01, 1, 10, 0, 0xf0, 0xff}, Bytes(10, 0));  // length 10, complement wrong
  const Bytes huge = zlibOf(Bytes(1100 * 1001, 0), 9);
  struct Case {
    const char* name;
    Bytes file;
    PngStatus expected;
  };
  const Case cases[] = {
      {"empty", {}, PngStatus::ShortRead},
      {"shorter than a signature", Bytes(good.begin(), good.begin() + 5), PngStatus::ShortRead},
      {"not a PNG", Bytes(300, 'x'), PngStatus::Malformed},
      {"type not letters", badType, PngStatus::Malformed},
      {"IHDR too short", withIdat(Bytes(12, 0), z), PngStatus::Malformed},
      {"16-bit palette", withIdat(header(4, 2, 16, 3), z), PngStatus::Malformed},
      {"4-bit colour", withIdat(header(4, 2, 4, 2), z), PngStatus::Malformed},
      {"compression 1", withIdat(ihdrCompression, z), PngStatus::Malformed},
      {"filter method 1", withIdat(ihdrFilter, z), PngStatus::Malformed},
      {"interlace 2", withIdat(header(4, 2, 8, 0, 2), z), PngStatus::Malformed},
      {"width past 2^31 - 1", withIdat(header(0x80000000u, 2, 8, 0), z), PngStatus::Malformed},
      {"second IHDR", grey({{"IHDR", header(4, 2, 8, 0)}}), PngStatus::Malformed},
      {"IDAT before IHDR", pngOf({{"IDAT", z}, {"IHDR", header(4, 2, 8, 0)}}), PngStatus::Malformed},
      {"PLTE of no entry", smallPicture(3, {{"PLTE", {1, 2}}}), PngStatus::Malformed},
      {"short grey tRNS", grey({{"tRNS", {1}}}), PngStatus::Malformed},
      {"short colour tRNS", pngOf({{"IHDR", header(1, 1, 8, 2)}, {"tRNS", {0, 1, 0, 2, 0}}}), PngStatus::Malformed},
      {"short gAMA", grey({{"gAMA", {0, 0, 1}}}), PngStatus::Malformed},
      {"short cHRM", grey({{"cHRM", Bytes(31, 0)}}), PngStatus::Malformed},
      {"short pHYs", grey({{"pHYs", Bytes(8, 0)}}), PngStatus::Malformed},
      {"short oFFs", grey({{"oFFs", Bytes(8, 0)}}), PngStatus::Malformed},
      {"zTXt method 1", grey({{"zTXt", cat(keyword("Title"), cat({1}, zlibOf(text("x"))))}}), PngStatus::Malformed},
      {"zTXt with a bad zlib header", grey({{"zTXt", cat(keyword("Title"), {0, 0x78, 0, 1})}}), PngStatus::BadZlibHeader},
      {"stream runs past its last IDAT", withIdat(header(4, 2, 8, 0), Bytes(z.begin(), z.end() - 5)), PngStatus::Malformed},
      {"trailer missing", withIdat(header(4, 2, 8, 0), Bytes(z.begin(), z.end() - 4)), PngStatus::Malformed},
      {"file ends inside IDAT", Bytes(good.begin(), good.begin() + 8 + 25 + 8 + 5), PngStatus::ShortRead},
      {"file ends before IEND", Bytes(good.begin(), good.end() - 12), PngStatus::ShortRead},
      {"IEND before IDAT", pngOf({{"IHDR", header(4, 2, 8, 0)}}), PngStatus::NoImageData},
      {"zero width", withIdat(header(0, 2, 8, 0), zlibOf({0, 0})), PngStatus::Unusable},
      {"stream of no bytes", withIdat(header(4, 2, 8, 0), zlibOf({})), PngStatus::Unusable},
      {"bad zlib header", withIdat(header(4, 2, 8, 0), {0x78, 0x9d, 3, 0}), PngStatus::BadZlibHeader},
      {"inflater fault passed on", withIdat(header(4, 2, 8, 0), stored), PngStatus::StoredLengthMismatch},
      {"rows larger than 1 MiB", withIdat(header(1100, 1000, 8, 0), huge), PngStatus::OutOfMemory},
      {"stream larger than 1 MiB", withIdat(header(4, 2, 8, 0), huge), PngStatus::OutOfMemory},
  };
  Decoded d;
  for (const Case& c : cases) {
    EXPECT_EQ(d.decode(c.file), c.expected) << c.name << ": " << png_StatusText(d.status);
    EXPECT_EQ(d.info.pixels, nullptr) << c.name;  // a failed decode keeps no pixels
  }
  // A stream shorter than the picture: the rows it lacks are black, whatever
  // the picture before left in the decoder's buffers.
  ASSERT_EQ(d.decode(withIdat(header(4, 2, 8, 0), zlibOf({0, 1, 2, 3, 4, 1, 5, 6, 7, 8}))), PngStatus::Ok);
  ASSERT_EQ(d.decode(withIdat(header(4, 2, 8, 0), zlibOf({0, 9, 9, 9, 9, 0, 7}))), PngStatus::Ok);
  EXPECT_TRUE(d.pixels() == (Bytes{9, 9, 9, 9, 7, 0, 0, 0}));
  // Data past the end of the stream, and IDATs after it, are passed over.
  EXPECT_EQ(d.decode(pngOf({{"IHDR", header(4, 2, 8, 0)}, {"IDAT", cat(z, {1, 2, 3})}, {"IDAT", {4}}})), PngStatus::Ok);
}

// Every byte flipped, every length cut: under the sanitizers any stray
// access fails the test.  Cut files always lack IEND and must be refused.
TEST(PngErrors, DamagedFilesStayInsideTheirBuffers) {
  const char* files[] = {"basn0g01.png", "basi0g02.png", "basn2c16.png", "basi3p08.png",
                         "basn4a16.png", "oi9n2c16.png", "ctzn0g04.png", "s03i3p01.png"};
  Decoded d;
  std::vector<uint8_t> luma;
  for (const char* name : files) {
    const Bytes file = readFile(std::string(VELMORIN_PNGSUITE_DIR) + "/" + name);
    ASSERT_FALSE(file.empty()) << name;
    for (size_t n = 0; n < file.size(); ++n) {
      const Bytes cut(file.begin(), file.begin() + long(n));
      EXPECT_NE(d.decode(cut), PngStatus::Ok) << name << " cut at " << n;
    }
    for (size_t i = 0; i < file.size(); ++i)
      for (uint8_t flip : {uint8_t(0xff), uint8_t(1 << (i % 8))}) {
        Bytes bad = file;
        bad[i] ^= flip;
        PngInfo info{};
        if (png_DecodeLuma(d.decoder, bad.data(), bad.size(), &info, &luma) == PngStatus::Ok) {
          EXPECT_EQ(luma.size(), size_t(info.width) * size_t(info.height)) << name << " byte " << i;
        }
        png_FreeInfo(&info);
      }
  }
}

// ---------------------------------------------------------------------------
TEST(PngTexture, LoadsLuminanceFromTheArchiveOrNothing) {
  img_InitHeadless();
  const Bytes good = readFile(std::string(VELMORIN_PNGSUITE_DIR) + "/basn2c08.png");
  const Bytes bad(good.begin(), good.end() - 20);
  // Archive: count, (offset, 16-byte name) per entry, then the entries' data.
  auto entry = [](size_t offset, const char* name) {
    Bytes e = {uint8_t(offset), uint8_t(offset >> 8), 0, 0};
    e.resize(20);
    std::memcpy(&e[4], name, std::strlen(name));
    return e;
  };
  const Bytes archive = cat(cat(cat(Bytes{2, 0, 0, 0}, entry(44, "good.png")), entry(44 + good.size(), "bad.png")),
                            cat(good, bad));
  char path[] = "/tmp/velmorin-png-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_EQ(write(fd, archive.data(), archive.size()), ssize_t(archive.size()));
  close(fd);
  ASSERT_EQ(dat_Open(path), 1);

  Decoded d;
  ASSERT_EQ(d.decode(good), PngStatus::Ok);
  Image* image = img_LoadTexture("good.png");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->width * 100 + image->height, 3232);
  EXPECT_TRUE(Bytes(image->pixels, image->pixels + 32 * 32) == d.luma());
  img_Destroy(image);
  EXPECT_EQ(img_LoadTexture("bad.png"), nullptr);
  EXPECT_EQ(img_LoadTexture("missing.png"), nullptr);
  std::remove(path);
}

}  // namespace
