// The inflater against zlib's deflate (used only to make streams): every
// level, strategy and flush split; hand-made faulty streams; damaged streams
// that must stay inside their buffers.  Input split into odd windows is
// covered by the PNG tests, whose IDAT chunks feed the inflater that way.
#include "codecs/codecs.h"
#include "codecs/inflate.h"
#include "codecs/inflate_tables.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

Bytes wordsText(size_t n) {
  static const char* words[] = {"scene ", "fade ", "layer ", "the ", "of ", "velmorin ", "mapper\n", "0.25 "};
  std::mt19937 rng(7);
  Bytes b;
  while (b.size() < n)
    for (const char* c = words[rng() % 8]; *c && b.size() < n; ++c) b.push_back(uint8_t(*c));
  return b;
}

// Random stretches repeated up to 32768 bytes (the longest distance) later:
// matches that reach back across block boundaries.
Bytes farRepeats(size_t n) {
  Bytes b = randomBytes(32768, 11);
  std::mt19937 rng(5);
  while (b.size() < n) {
    const size_t at = b.size() - 32768 + rng() % 1000;
    for (size_t k = 0; k < 300 + rng() % 3000 && b.size() < n; ++k) b.push_back(b[at + k]);
    for (size_t k = rng() % 40; k > 0 && b.size() < n; --k) b.push_back(uint8_t(rng()));
  }
  return b;
}

struct Packing {
  int level, strategy;
  int flush;  // Z_NO_FLUSH, or Z_FULL_FLUSH / Z_SYNC_FLUSH every `every` bytes
  size_t every;
  std::string text() const {
    return "level " + std::to_string(level) + " strategy " + std::to_string(strategy) + " flush " +
           std::to_string(flush) + "/" + std::to_string(every);
  }
};

Bytes deflateWith(const Bytes& data, const Packing& p) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, p.level, Z_DEFLATED, 15, 9, p.strategy), Z_OK);
  // Each flush adds an empty stored block and the bits to the byte boundary.
  const size_t flushes = p.flush == Z_NO_FLUSH ? 0 : data.size() / p.every + 1;
  Bytes out(deflateBound(&z, data.size()) + 64 + flushes * 16);
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  size_t at = 0;
  do {
    const size_t n = p.flush == Z_NO_FLUSH ? data.size() : std::min(p.every, data.size() - at);
    z.next_in = const_cast<uint8_t*>(data.data()) + at;
    z.avail_in = uInt(n);
    at += n;
    EXPECT_NE(deflate(&z, at == data.size() ? Z_FINISH : p.flush), Z_STREAM_ERROR);
    EXPECT_GT(z.avail_out, 0u);
  } while (at < data.size());
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Inflater {
  InfDecoder* d = inf_CreateDecoder();
  ~Inflater() { inf_DestroyDecoder(d); }
  InfResult run(const Bytes& in, Bytes& out, size_t capacity) {
    out.assign(capacity, 0xEE);
    const InfResult r = inf_Zlib(d, in.data(), in.size(), out.data(), capacity);
    out.resize(r.produced);
    return r;
  }
};

TEST(Inflate, MatchesZlibAtEveryLevelStrategyAndFlushSplit) {
  const std::pair<const char*, Bytes> sets[] = {{"random", randomBytes(20000, 1)}, {"text", wordsText(60000)},
                                                {"far", farRepeats(120000)},      {"zeros", Bytes(70000, 0)},
                                                {"one byte", Bytes(1, 'x')},      {"empty", Bytes()}};
  std::vector<Packing> packings;
  for (int level = 0; level <= 9; ++level) packings.push_back({level, Z_DEFAULT_STRATEGY, Z_NO_FLUSH, 0});
  for (int strategy : {Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) packings.push_back({6, strategy, Z_NO_FLUSH, 0});
  // Flushes end blocks early, so stored, fixed and dynamic blocks follow one
  // another, with an empty stored block at each flush.
  for (int flush : {Z_FULL_FLUSH, Z_SYNC_FLUSH})
    for (size_t every : {1, 97, 4099}) packings.push_back({6, Z_DEFAULT_STRATEGY, flush, every});
  packings.push_back({1, Z_FIXED, Z_SYNC_FLUSH, 777});
  packings.push_back({0, Z_DEFAULT_STRATEGY, Z_SYNC_FLUSH, 5000});

  Inflater inf;
  Bytes out;
  for (const auto& [name, data] : sets)
    for (const Packing& p : packings) {
      if (p.every == 1 && data.size() > 20000) continue;  // a block a byte: slow to make, nothing new
      const InfResult r = inf.run(deflateWith(data, p), out, data.size());
      ASSERT_EQ(r.status, PngStatus::Ok) << name << ", " << p.text();
      ASSERT_TRUE(out == data) << name << ", " << p.text();
      EXPECT_TRUE(r.adlerMatches) << name << ", " << p.text();
    }
  // The output must fit exactly: one byte less fails, whatever the block type.
  for (int level : {0, 6}) {
    const Bytes data = wordsText(50000), packed = deflateWith(data, {level, Z_DEFAULT_STRATEGY, Z_NO_FLUSH, 0});
    for (size_t capacity : {data.size() - 1, size_t(300), size_t(0)}) {
      EXPECT_EQ(inf.run(packed, out, capacity).status, PngStatus::OutOfMemory) << level << " " << capacity;
      EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
    }
  }
}

// ---------------------------------------------------------------------------
// Hand-made streams: bits go least significant first, Huffman codes most
// significant first (RFC 1951 section 3.1.1).
struct BitWriter {
  Bytes bytes{0x78, 0x9c};  // zlib header: 32 KiB window
  uint32_t acc = 0;
  int n = 0;
  void put(uint32_t value, int bits) {
    for (int i = 0; i < bits; ++i) {
      acc |= ((value >> i) & 1) << n;
      if (++n == 8) flushByte();
    }
  }
  void code(uint32_t code, int bits) {
    for (int i = bits - 1; i >= 0; --i) put((code >> i) & 1, 1);
  }
  void flushByte() {
    bytes.push_back(uint8_t(acc));
    acc = 0;
    n = 0;
  }
  void fixed(int symbol) {  // RFC 1951 section 3.2.6
    if (symbol < 144) code(0x30 + symbol, 8);
    else if (symbol < 256) code(0x190 + symbol - 144, 9);
    else if (symbol < 280) code(symbol - 256, 7);
    else code(0xc0 + symbol - 280, 8);
  }
  Bytes finish(const Bytes& data) {
    if (n) flushByte();
    const uint32_t a = uint32_t(adler32(1, data.data(), uInt(data.size())));
    for (int i = 3; i >= 0; --i) bytes.push_back(uint8_t(a >> (8 * i)));
    return bytes;
  }
};

// Canonical Huffman codes for a list of lengths (RFC 1951 section 3.2.2).
std::vector<uint32_t> canonicalCodes(const std::vector<int>& lengths) {
  int count[16] = {};
  for (int l : lengths) count[l]++;
  count[0] = 0;
  uint32_t next[16] = {}, code = 0;
  for (int b = 1; b < 16; ++b) next[b] = code = (code + uint32_t(count[b - 1])) << 1;
  std::vector<uint32_t> codes(lengths.size(), 0);
  for (size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s]) codes[s] = next[lengths[s]]++;
  return codes;
}

// A dynamic block whose codes are all complete: literal/length symbols
// 0..253 at 8 bits and 254..257 at 9; distances 1 and 2 at one bit; the
// code-length code with 0..12 at 4 bits and 13..18 at 5.
struct DynamicBlock {
  std::vector<int> lit = [] {
    std::vector<int> l(258, 8);
    std::fill(l.begin() + 254, l.end(), 9);
    return l;
  }();
  std::vector<int> dist = {1, 1};
  std::vector<int> cl = [] {
    std::vector<int> c(19, 5);
    std::fill(c.begin(), c.begin() + 13, 4);
    return c;
  }();
  // `sequence` (symbol, extra bits, their value) replaces the plain list of
  // code-length symbols when given.
  void header(BitWriter& w, const std::vector<std::array<int, 3>>& sequence = {}) const {
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w.put(1, 1), w.put(2, 2);
    w.put(uint32_t(lit.size() - 257), 5), w.put(uint32_t(dist.size() - 1), 5), w.put(19 - 4, 4);
    for (int s : order) w.put(uint32_t(cl[size_t(s)]), 3);
    std::vector<std::array<int, 3>> symbols = sequence;
    if (symbols.empty())
      for (const auto* list : {&lit, &dist})
        for (int l : *list) symbols.push_back({l, 0, 0});
    const std::vector<uint32_t> codes = canonicalCodes(cl);
    for (const auto& s : symbols) w.code(codes[size_t(s[0])], cl[size_t(s[0])]), w.put(uint32_t(s[2]), s[1]);
  }
  void literal(BitWriter& w, int s) const { w.code(canonicalCodes(lit)[size_t(s)], lit[size_t(s)]); }
  void distance(BitWriter& w, int s) const { w.code(canonicalCodes(dist)[size_t(s)], dist[size_t(s)]); }
};

TEST(Inflate, FaultyStreamsGiveTheirOwnStatus) {
  struct Case {
    const char* name;
    PngStatus expected;
    std::function<void(BitWriter&)> write;
  };
  const auto dynamic = [](auto change, std::vector<std::array<int, 3>> sequence = {}) {
    return [=](BitWriter& w) {
      DynamicBlock b;
      change(b);
      b.header(w, sequence);
    };
  };
  const Case cases[] = {
      {"stored length against complement", PngStatus::StoredLengthMismatch,
       [](BitWriter& w) { w.put(1, 1), w.put(0, 2), w.flushByte(), w.put(5, 16), w.put(0xfffb, 16); }},
      {"block type 3", PngStatus::BadBlockType, [](BitWriter& w) { w.put(1, 1), w.put(3, 2); }},
      {"19 one-bit code-length codes", PngStatus::CodeOversubscribed,
       dynamic([](DynamicBlock& b) { b.cl.assign(19, 1); })},
      {"one 8-bit literal code too many", PngStatus::CodeOversubscribed, dynamic([](DynamicBlock& b) { b.lit[254] = 8; })},
      {"3 of 4 two-bit code-length codes", PngStatus::CodeIncomplete, dynamic([](DynamicBlock& b) {
         b.cl.assign(19, 0);
         b.cl[8] = b.cl[9] = b.cl[1] = 2;
       })},
      {"literal code one short", PngStatus::CodeIncomplete, dynamic([](DynamicBlock& b) { b.lit[255] = 0; })},
      {"distance code one short", PngStatus::CodeIncomplete, dynamic([](DynamicBlock& b) { b.dist = {1, 2}; })},
      {"a lone distance code of two bits", PngStatus::CodeIncomplete, dynamic([](DynamicBlock& b) { b.dist = {2}; })},
      {"repeat with nothing before", PngStatus::BadLengthRepeat, dynamic([](DynamicBlock&) {}, {{16, 2, 0}})},
      {"repeat past the last length", PngStatus::BadLengthRepeat,  // 1 + 138 + 138 of 258 lengths
       dynamic([](DynamicBlock& b) { b.lit.resize(257), b.dist = {1}; }, {{8, 0, 0}, {18, 7, 127}, {18, 7, 127}})},
      {"287 literal/length codes", PngStatus::TooManyCodes,
       [](BitWriter& w) { w.put(1, 1), w.put(2, 2), w.put(287 - 257, 5), w.put(0, 5), w.put(0, 4); }},
      {"31 distance codes", PngStatus::TooManyCodes,
       [](BitWriter& w) { w.put(1, 1), w.put(2, 2), w.put(0, 5), w.put(31 - 1, 5), w.put(0, 4); }},
      {"no end-of-block code", PngStatus::NoEndOfBlock, dynamic([](DynamicBlock& b) { b.lit[256] = 0; })},
      {"fixed-code symbol 286", PngStatus::BadSymbol,
       [](BitWriter& w) { w.put(1, 1), w.put(1, 2), w.fixed('a'), w.fixed(286); }},
      {"fixed-code distance 30", PngStatus::BadSymbol,
       [](BitWriter& w) { w.put(1, 1), w.put(1, 2), w.fixed('a'), w.fixed(257), w.code(30, 5); }},
      {"a match in a block without distance codes", PngStatus::BadSymbol,
       [](BitWriter& w) {
         DynamicBlock b;
         b.dist = {0};
         b.header(w);
         b.literal(w, 'x'), b.literal(w, 257);
       }},
      {"distance 3 after 2 bytes", PngStatus::DistanceTooFar,
       [](BitWriter& w) { w.put(1, 1), w.put(1, 2), w.fixed('a'), w.fixed('b'), w.fixed(257), w.code(2, 5); }},
  };
  Inflater inf;
  Bytes out;
  for (const Case& c : cases) {
    BitWriter w;
    c.write(w);
    EXPECT_EQ(inf.run(w.finish({}), out, 1000).status, c.expected) << c.name;
  }
}

TEST(Inflate, SparseDistanceCodesDecode) {
  // One distance code of one bit (RFC 1951 section 3.2.7), or none at all
  // in a block of literals only.
  for (const std::vector<int>& dist : {std::vector<int>{1, 1}, {1}, {0}}) {
    DynamicBlock b;
    b.dist = dist;
    BitWriter w;
    b.header(w);
    Bytes data = {'A', 'B'};
    b.literal(w, 'A'), b.literal(w, 'B');
    if (dist[0]) {
      b.literal(w, 257), b.distance(w, 0);  // length 3, distance 1
      data.insert(data.end(), 3, 'B');
    }
    b.literal(w, 256);
    Inflater inf;
    Bytes out;
    const InfResult r = inf.run(w.finish(data), out, 100);
    EXPECT_EQ(r.status, PngStatus::Ok) << dist.size();
    EXPECT_TRUE(out == data && r.adlerMatches) << dist.size();
  }
}

TEST(Inflate, LongestCodesAmongShortOnesDecode) {
  // Literal, length and distance codes of 15 bits (past the first table
  // lookup) among short ones, thousands of times in a row, so that the
  // decoder meets them at every bit position and after every kind of symbol.
  // Literal/length: 0..253 at 8 bits, and two runs of 9, 10, ..., 14, 15, 15
  // bits; distances 1, 2, ..., 14, 15, 15 bits: both codes complete.
  DynamicBlock b;
  b.lit.assign(270, 8);
  const int runA[8] = {254, 256, 258, 260, 262, 264, 255, 266}, runB[8] = {257, 259, 261, 263, 265, 267, 268, 269};
  for (int i = 0; i < 8; ++i) b.lit[size_t(runA[i])] = b.lit[size_t(runB[i])] = std::min(9 + i, 15);
  b.dist.assign(16, 0);
  for (int i = 0; i < 16; ++i) b.dist[size_t(i)] = std::min(i + 1, 15);
  const int lengthBase[13] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19};
  const int lengthExtra[13] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2};
  const int distBase[16] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193};
  const int distExtra[16] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6};

  BitWriter w;
  b.header(w);
  Bytes data;
  uint32_t seed = 7;
  auto next = [&](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  for (int op = 0; op < 30000; ++op) {
    const uint32_t kind = next(8);
    if (kind < 5 || data.size() < 256) {
      const int s = kind == 0 ? 255 : kind == 1 ? 254 : int(next(254));  // 15, 9 or 8 bits
      b.literal(w, s);
      data.push_back(uint8_t(s));
      continue;
    }
    const int ls = kind == 5 ? 268 + int(next(2)) : 257 + int(next(13));
    const uint32_t lx = next(1u << lengthExtra[ls - 257]);
    const int ds = kind == 6 ? 14 + int(next(2)) : int(next(16));
    const uint32_t dx = next(1u << distExtra[ds]);
    b.literal(w, ls), w.put(lx, lengthExtra[ls - 257]);
    b.distance(w, ds), w.put(dx, distExtra[ds]);
    const size_t length = size_t(lengthBase[ls - 257]) + lx, distance = size_t(distBase[ds]) + dx;
    for (size_t i = 0; i < length; ++i) data.push_back(data[data.size() - distance]);
  }
  b.literal(w, 256);
  const Bytes stream = w.finish(data);
  Inflater inf;
  for (size_t spare : {size_t(0), size_t(300)}) {  // the output buffer just fits, or has room past the end
    Bytes out;
    const InfResult r = inf.run(stream, out, data.size() + spare);
    EXPECT_EQ(r.status, PngStatus::Ok) << spare;
    EXPECT_TRUE(out == data && r.adlerMatches) << spare;
  }
}

// Length codes of 5 bits and distance codes of 3 and 4 bits, with rarer
// ones of 7, 8 and 10: most matches fit the decoder's first lookup together
// with their distance code (enough of them for the decoder to build whole
// matches), and are decoded from one table entry; the others go the way of two.
struct ShortMatchCodes : DynamicBlock {
  ShortMatchCodes() {
    lit.assign(286, 10);
    std::fill(lit.begin(), lit.begin() + 242, 9);
    std::fill(lit.begin() + 257, lit.begin() + 273, 5);
    dist.assign(30, 8);
    std::fill(dist.begin(), dist.begin() + 4, 3);
    std::fill(dist.begin() + 4, dist.begin() + 10, 4);
    std::fill(dist.begin() + 10, dist.begin() + 22, 7);
  }
  static constexpr int kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                          31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static constexpr int kDistBase[30] = {1,   2,   3,   4,    5,    7,    9,    13,    17,    25,    33,    49,    65,    97,    129,
                                        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
  static int lengthExtra(int s) { return s < 265 || s == 285 ? 0 : (s - 261) / 4; }
  static int distExtra(int s) { return s < 4 ? 0 : (s - 2) / 2; }
  // A match of length symbol ls and distance symbol ds with their extra bits.
  void match(BitWriter& w, Bytes& data, int ls, uint32_t lx, int ds, uint32_t dx) const {
    literal(w, ls), w.put(lx, lengthExtra(ls));
    distance(w, ds), w.put(dx, distExtra(ds));
    const size_t length = size_t(kLengthBase[ls - 257]) + lx, dist = size_t(kDistBase[ds]) + dx;
    for (size_t i = 0; i < length; ++i) data.push_back(dist > data.size() ? 0 : data[data.size() - dist]);
  }
};

TEST(Inflate, MatchesInOneTableEntryDecodeAsInTwo) {
  // Random literals, runs of them and matches of every length and distance
  // code, both short and long codes, at every bit position: the bytes and
  // the sum agree with the plain path and with the data.
  ShortMatchCodes b;
  BitWriter w;
  b.header(w);
  Bytes data;
  std::mt19937 rng(3);
  for (int i = 0; i < 300; ++i) {
    data.push_back(uint8_t(rng()));
    b.literal(w, data.back());
  }
  for (int op = 0; op < 40000; ++op) {
    const uint32_t kind = rng() % 4;
    if (kind == 0) {  // a run of literals, often a single one
      for (uint32_t n = rng() % 3 == 0 ? 1 + rng() % 12 : 1; n > 0; --n) {
        data.push_back(uint8_t(rng()));
        b.literal(w, data.back());
      }
      continue;
    }
    // Mostly the short codes, which share one entry; sometimes the others.
    const int ls = kind == 1 ? 273 + int(rng() % 13) : 257 + int(rng() % 16);
    int ds = kind == 2 ? 10 + int(rng() % 20) : int(rng() % 10);  // 7 and 8 bits, or 3 and 4
    while (size_t(ShortMatchCodes::kDistBase[ds]) > data.size()) --ds;
    const uint32_t lx = rng() & ((1u << ShortMatchCodes::lengthExtra(ls)) - 1);
    const uint32_t dx = std::min<uint32_t>(rng() & ((1u << ShortMatchCodes::distExtra(ds)) - 1),
                                           uint32_t(data.size() - size_t(ShortMatchCodes::kDistBase[ds])));
    b.match(w, data, ls, lx, ds, dx);
  }
  b.literal(w, 256);
  const Bytes stream = w.finish(data);
  for (bool plain : {true, false}) {
    inf_UsePlainCode(plain);
    Inflater inf;
    for (size_t spare : {size_t(0), size_t(300)}) {
      Bytes out;
      const InfResult r = inf.run(stream, out, data.size() + spare);
      EXPECT_EQ(r.status, PngStatus::Ok) << plain << " " << spare;
      EXPECT_TRUE(out == data && r.adlerMatches) << plain << " " << spare;
    }
  }
  inf_UsePlainCode(false);
}

TEST(Inflate, MatchInOneTableEntryReachingTooFarFails) {
  // Two literals, then a match of distance 3 (both codes short): in a long
  // stream, where the decoder takes it in its fast loop, and in a short one,
  // where it takes it symbol by symbol; a distance of 2 passes.
  for (bool plain : {true, false})
    for (size_t literalsAfter : {size_t(0), size_t(5000)})
      for (uint32_t extra : {0u, 1u}) {
        ShortMatchCodes b;
        BitWriter w;
        b.header(w);
        Bytes data = {'a', 'b'};
        b.literal(w, 'a'), b.literal(w, 'b');
        b.match(w, data, 257, 0, 1 + int(extra), 0);  // distance 2 or 3
        for (size_t i = 0; i < literalsAfter; ++i) {
          data.push_back(uint8_t(i * 7));
          b.literal(w, data.back());
        }
        b.literal(w, 256);
        inf_UsePlainCode(plain);
        Inflater inf;
        Bytes out;
        const InfResult r = inf.run(w.finish(data), out, data.size() + 1000);
        EXPECT_EQ(r.status, extra ? PngStatus::DistanceTooFar : PngStatus::Ok) << plain << literalsAfter;
        if (!extra) {
          EXPECT_TRUE(out == data && r.adlerMatches) << plain << literalsAfter;
        }
      }
  inf_UsePlainCode(false);
}

// A length or distance in the fixed code: its symbol (code) and extra bits.
struct Coded {
  int symbol, extraBits;
  uint32_t extra;
};
Coded lengthCode(int length) {
  static const int base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                               31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  int s = 28;
  while (base[s] > length) --s;
  const int bits = s < 8 || s == 28 ? 0 : (s - 4) / 4;
  return {257 + s, bits, uint32_t(length - base[s])};
}
Coded distanceCode(int distance) {
  int s = 0, base = 1;
  for (;; ++s) {
    const int bits = s < 4 ? 0 : (s - 2) / 2;
    if (distance < base + (1 << bits)) return {s, bits, uint32_t(distance - base)};
    base += 1 << bits;
  }
}

// A fixed-code block of matches at the edges of the copying: every distance
// from 1 to 70 with lengths around the copy widths and the longest, a match
// reaching back to the very first byte, all among literals, so that the
// decoder meets them in its loop for long input rather than near the end.
struct EdgeMatches {
  Bytes data;
  BitWriter w;
  void literal(uint8_t c) {
    w.fixed(c);
    data.push_back(c);
  }
  void match(int length, int distance) {
    const Coded l = lengthCode(length), d = distanceCode(distance);
    w.fixed(l.symbol), w.put(l.extra, l.extraBits);
    w.code(uint32_t(d.symbol), 5), w.put(d.extra, d.extraBits);
    for (int i = 0; i < length; ++i)  // (a distance too far makes the data moot)
      data.push_back(size_t(distance) > data.size() ? 0 : data[data.size() - size_t(distance)]);
  }
  explicit EdgeMatches(int tooFarAt = -1) {
    w.put(1, 1), w.put(1, 2);
    const Bytes start = randomBytes(70, 3);
    for (uint8_t c : start) literal(c);
    match(258, 70);  // back to the first byte
    int n = 0;
    for (int distance = 1; distance <= 70; ++distance)
      for (int length : {3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 48, 64, 65, 79, 80, 81, 112, 113, 257, 258}) {
        if (n++ == tooFarAt) {
          EXPECT_LT(data.size(), 32768u);
          match(3, int(data.size()) + 1);  // one byte before the first: fails
        }
        match(length, distance);
        literal(uint8_t(n));
      }
    for (int i = 0; i < 100; ++i) literal(uint8_t(i));  // input after the last match
    w.fixed(256);
  }
};

TEST(Inflate, MatchesAtTheEdgesOfTheirCopies) {
  EdgeMatches m;
  const Bytes stream = m.w.finish(m.data);
  Inflater inf;
  Bytes out;
  for (size_t spare : {size_t(0), size_t(1), size_t(31), size_t(63), size_t(300)}) {  // overshoot near the buffer's end
    const InfResult r = inf.run(stream, out, m.data.size() + spare);
    ASSERT_EQ(r.status, PngStatus::Ok) << spare;
    EXPECT_TRUE(out == m.data && r.adlerMatches) << spare;
  }
  // A distance one byte too far, early and later in the block (while the
  // output is still shorter than the longest distance).
  for (int at : {0, 200, 400}) {
    EdgeMatches bad(at);
    EXPECT_EQ(inf.run(bad.w.finish({}), out, bad.data.size()).status, PngStatus::DistanceTooFar) << at;
  }
}

// Every length and distance code with its extra bits all clear and all set,
// among literals, after 32768 literals so that every distance reaches.
TEST(Inflate, EveryLengthAndDistanceCodeAtBothEndsOfItsExtraBits) {
  Bytes data;
  BitWriter w;
  auto literal = [&](uint8_t c) { w.fixed(c), data.push_back(c); };
  w.put(1, 1), w.put(1, 2);
  for (uint8_t c : randomBytes(32768, 7)) literal(c);
  std::vector<int> lengths, distances;
  for (int length = 3; length <= 258; ++length)
    if (length == 3 || length == 258 || lengthCode(length).symbol != lengthCode(length - 1).symbol ||
        lengthCode(length).symbol != lengthCode(length + 1).symbol)
      lengths.push_back(length);
  for (int distance = 1; distance <= 32768; ++distance)
    if (distance == 1 || distance == 32768 || distanceCode(distance).symbol != distanceCode(distance - 1).symbol ||
        distanceCode(distance).symbol != distanceCode(distance + 1).symbol)
      distances.push_back(distance);
  ASSERT_EQ(lengths.size(), 2u * 28 - 8 + 1);  // one length each for 8 one-length codes and for 258
  ASSERT_EQ(distances.size(), 2u * 30 - 4);
  int n = 0;
  for (int distance : distances)
    for (int length : lengths) {
      const Coded l = lengthCode(length), d = distanceCode(distance);
      w.fixed(l.symbol), w.put(l.extra, l.extraBits);
      w.code(uint32_t(d.symbol), 5), w.put(d.extra, d.extraBits);
      for (int i = 0; i < length; ++i) data.push_back(data[data.size() - size_t(distance)]);
      literal(uint8_t(n++));
    }
  w.fixed(256);
  const Bytes stream = w.finish(data);
  for (bool plain : {true, false}) {
    inf_UsePlainCode(plain);
    Inflater inf;
    Bytes out;
    const InfResult r = inf.run(stream, out, data.size());
    EXPECT_EQ(r.status, PngStatus::Ok) << plain;
    EXPECT_TRUE(out == data && r.adlerMatches) << plain;
  }
  inf_UsePlainCode(false);
}

TEST(Inflate, PlainCodeDecodesAsTheFastPaths) {
  // The paths a build for another processor takes (no BMI, no AVX2) must
  // give the same bytes and sums: every kind of block, long codes, and the
  // literal pairs of short ones.
  const Bytes text = wordsText(40000), far = farRepeats(60000), noise = randomBytes(9000, 2);
  EdgeMatches edges;
  std::vector<std::pair<Bytes, Bytes>> streams;  // data, stream
  for (const Packing& p : {Packing{6, Z_DEFAULT_STRATEGY, Z_SYNC_FLUSH, 4099}, Packing{9, Z_DEFAULT_STRATEGY, Z_NO_FLUSH, 0},
                           Packing{6, Z_HUFFMAN_ONLY, Z_NO_FLUSH, 0}, Packing{1, Z_FIXED, Z_NO_FLUSH, 0}})
    for (const Bytes* data : {&text, &far, &noise}) streams.push_back({*data, deflateWith(*data, p)});
  streams.push_back({edges.data, edges.w.finish(edges.data)});
  for (bool plain : {true, false}) {
    inf_UsePlainCode(plain);
    Inflater inf;
    Bytes out;
    for (size_t i = 0; i < streams.size(); ++i) {
      const InfResult r = inf.run(streams[i].second, out, streams[i].first.size());
      EXPECT_EQ(r.status, PngStatus::Ok) << plain << " " << i;
      EXPECT_TRUE(out == streams[i].first && r.adlerMatches) << plain << " " << i;
    }
    const Bytes ones(70000, 0xff);
    EXPECT_EQ(inf_Adler32(1, ones.data(), ones.size()), uint32_t(adler32(1, ones.data(), uInt(ones.size()))));
  }
  inf_UsePlainCode(false);
}

TEST(Inflate, HeaderAndTrailer) {
  const Bytes data = wordsText(3000), good = deflateWith(data, {6, Z_DEFAULT_STRATEGY, Z_NO_FLUSH, 0});
  Inflater inf;
  Bytes out;
  auto withHeader = [&](uint8_t cmf, uint8_t flg, bool fixCheck = true) {
    Bytes s = good;
    s[0] = cmf;
    s[1] = fixCheck ? uint8_t(flg + (31 - (cmf * 256 + flg) % 31) % 31) : flg;
    return inf.run(s, out, 5000).status;
  };
  EXPECT_EQ(withHeader(0x88, 0), PngStatus::BadZlibHeader);            // a 64 KiB window
  EXPECT_EQ(withHeader(0x77, 0), PngStatus::BadZlibHeader);            // method 7
  EXPECT_EQ(withHeader(0x78, 0x9d, false), PngStatus::BadZlibHeader);  // check bits
  EXPECT_EQ(withHeader(0x78, 0x20), PngStatus::BadZlibHeader);         // preset dictionary
  EXPECT_EQ(withHeader(0x08, 0), PngStatus::Ok);                       // a 256-byte window is fine

  Bytes wrongSum = good;
  wrongSum.back() ^= 1;
  const InfResult r = inf.run(wrongSum, out, 5000);
  EXPECT_EQ(r.status, PngStatus::Ok);  // the sum is checked, not enforced
  EXPECT_FALSE(r.adlerMatches);
  EXPECT_TRUE(out == data);
  // Cut anywhere, even in the trailer, the stream is incomplete.
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_EQ(inf.run(Bytes(good.begin(), good.begin() + long(n)), out, 5000).status, PngStatus::InputEnded) << n;
}

TEST(Inflate, DamagedStreamsStayInsideTheirBuffers) {
  // Under the sanitizers a stray access fails; every bit of a stream with
  // all three block types, and of a fixed-code one, is flipped once.
  Bytes data = wordsText(1500);
  const Bytes noise = randomBytes(300, 4);
  data.insert(data.end(), noise.begin(), noise.end());
  Inflater inf;
  Bytes out;
  int flips = 0, noticed = 0;
  for (const Packing& p : {Packing{6, Z_DEFAULT_STRATEGY, Z_SYNC_FLUSH, 600}, Packing{6, Z_FIXED, Z_NO_FLUSH, 0}}) {
    const Bytes stream = deflateWith(data, p);
    for (size_t bit = 0; bit < stream.size() * 8; ++bit, ++flips) {
      Bytes bad = stream;
      bad[bit / 8] ^= uint8_t(1 << (bit % 8));
      const InfResult r = inf.run(bad, out, data.size() + 100);
      noticed += r.status != PngStatus::Ok || !r.adlerMatches || out != data;
    }
  }
  EXPECT_GT(noticed, flips * 9 / 10);  // a decoder that ignored its input would not notice
}

// Random complete codes of `symbols` lengths, at most 15 bits: a code of two
// one-bit symbols with random leaves split until there are enough, then
// dealt out to random symbols.
std::vector<uint8_t> randomCompleteCode(int symbols, int used, std::mt19937& rng) {
  std::vector<uint8_t> leaves = {1, 1};
  while (int(leaves.size()) < used) {
    uint8_t& leaf = leaves[rng() % leaves.size()];
    if (leaf == 15) continue;
    ++leaf;
    leaves.push_back(leaf);
  }
  std::vector<uint8_t> lengths(size_t(symbols), 0);
  std::vector<int> order(static_cast<size_t>(symbols));
  for (int i = 0; i < symbols; ++i) order[size_t(i)] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (size_t i = 0; i < leaves.size(); ++i) lengths[size_t(order[i])] = leaves[i];
  return lengths;
}

TEST(Inflate, WholeMatchCountFromCodeLengthsAgreesWithTheTable) {
  // The count that decides which loop decodes a block is worked out from the
  // code lengths; the table, combined index by index, must hold as many
  // whole matches and single lengths.  Short and long codes, distance codes
  // with invalid symbols 30 and 31, a single distance code and none.
  using namespace infl;
  std::mt19937 rng(17);
  auto lit = std::make_unique<Entry[]>(kLitTableSize);
  auto dist = std::make_unique<Entry[]>(kDistTableSize);
  for (bool plain : {true, false}) {
    inf_UsePlainCode(plain);
    for (int round = 0; round < 400; ++round) {
      const int litCount = 257 + int(rng() % 32);
      const int distCount = 1 + int(rng() % 32);
      const std::vector<uint8_t> litLengths = randomCompleteCode(litCount, 2 + int(rng() % (litCount - 1)), rng);
      std::vector<uint8_t> distLengths;
      if (round % 10 == 0) {
        distLengths.assign(size_t(distCount), 0);
        if (round % 20 == 0) distLengths[rng() % size_t(distCount)] = 1;
      } else {
        distLengths = randomCompleteCode(std::max(distCount, 2), 2 + int(rng() % std::max(distCount - 1, 1)), rng);
      }
      const int dCount = int(distLengths.size());
      ASSERT_EQ(buildLitTable(lit.get(), kLitTableSize, litLengths.data(), litCount, true), PngStatus::Ok);
      ASSERT_EQ(buildDistTable(dist.get(), kDistTableSize, distLengths.data(), dCount, true), PngStatus::Ok);
      const MatchFits fits = countMatchFits(litLengths.data(), litCount, distLengths.data(), dCount);
      ASSERT_TRUE(combineMatches(lit.get(), dist.get(), MatchFits{1, 0}));  // combine whatever the count
      int whole = 0, single = 0;
      for (int i = 0; i < 1 << kLitBits; ++i) {
        whole += (lit[size_t(i)] & kMatch) != 0;
        single += !(lit[size_t(i)] & (kMatch | kLiteral | kLink | kEndOfBlock | kInvalid));
      }
      EXPECT_EQ(fits.whole, whole) << "round " << round << " plain " << plain;
      EXPECT_EQ(fits.single, single) << "round " << round << " plain " << plain;
    }
  }
  inf_UsePlainCode(false);
}

TEST(Inflate, Adler32AgreesWithZlibAtEveryAlignment) {
  const Bytes data = randomBytes(20000, 12), ones(100000, 0xff);  // ones: the largest sums
  for (size_t offset : {0, 1, 7, 15})
    for (size_t n : {0, 1, 15, 16, 17, 63, 64, 127, 128, 191, 5551, 5552, 5553, 11104, 19000})
      EXPECT_EQ(inf_Adler32(1, data.data() + offset, n), uint32_t(adler32(1, data.data() + offset, uInt(n))));
  EXPECT_EQ(inf_Adler32(1, ones.data(), ones.size()), uint32_t(adler32(1, ones.data(), uInt(ones.size()))));
  // Past the longest stretch the wide sums go without a reduction, all
  // ones, from a start of the largest sums.
  const Bytes many((size_t(1) << 22) * 2 + 200, 0xff);
  EXPECT_EQ(inf_Adler32(0xfff0fff0, many.data(), many.size()),
            uint32_t(adler32(0xfff0fff0, many.data(), uInt(many.size()))));
  for (bool plain : {true, false}) {  // the scalar and vector sums meet at every split
    inf_UsePlainCode(plain);
    for (size_t split : {size_t(1), size_t(64), size_t(1000), size_t(19999)}) {
      const uint32_t first = inf_Adler32(1, data.data(), split);
      EXPECT_EQ(inf_Adler32(first, data.data() + split, data.size() - split),
                uint32_t(adler32(1, data.data(), uInt(data.size()))))
          << plain << " " << split;
    }
  }
  inf_UsePlainCode(false);
}

}  // namespace
