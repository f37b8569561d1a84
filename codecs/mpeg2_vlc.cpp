// The variable-length code tables of the video syntax, written as the
// standard lists them (code bits as text, then the symbol), and turned once
// into two-level lookup tables.  The DCT tables get their sign bit folded in,
// so one lookup yields run and signed level.
#include "codecs/mpeg2_private.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace mpg {

const uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

const uint8_t kAlternate[64] = {0,  8,  16, 24, 1,  9,  2,  10, 17, 25, 32, 40, 48, 56, 57, 49,
                                41, 33, 26, 18, 3,  11, 4,  12, 19, 27, 34, 42, 50, 58, 35, 43,
                                51, 59, 20, 28, 5,  13, 6,  14, 21, 29, 36, 44, 52, 60, 37, 45,
                                53, 61, 22, 30, 7,  15, 23, 31, 38, 46, 54, 62, 39, 47, 55, 63};

const uint8_t kDefaultIntraMatrix[64] = {
    8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37, 19, 22, 26, 27, 29, 34,
    34, 38, 22, 22, 26, 27, 29, 34, 37, 40, 22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32,
    35, 40, 48, 58, 26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83};

const uint8_t kNonLinearScale[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  10, 12, 14, 16, 18,  20,  22,
                                     24, 28, 32, 36, 40, 44, 48, 52, 56, 64, 72, 80, 88, 96, 104, 112};

namespace {

struct Code {
  const char* bits;
  int value;
  int run;  // DCT tables only
};

const Code kAddressIncrement[] = {
    {"1", 1, 0},           {"011", 2, 0},         {"010", 3, 0},         {"0011", 4, 0},
    {"0010", 5, 0},        {"00011", 6, 0},       {"00010", 7, 0},       {"0000111", 8, 0},
    {"0000110", 9, 0},     {"00001011", 10, 0},   {"00001010", 11, 0},   {"00001001", 12, 0},
    {"00001000", 13, 0},   {"00000111", 14, 0},   {"00000110", 15, 0},   {"0000010111", 16, 0},
    {"0000010110", 17, 0}, {"0000010101", 18, 0}, {"0000010100", 19, 0}, {"0000010011", 20, 0},
    {"0000010010", 21, 0}, {"00000100011", 22, 0}, {"00000100010", 23, 0}, {"00000100001", 24, 0},
    {"00000100000", 25, 0}, {"00000011111", 26, 0}, {"00000011110", 27, 0}, {"00000011101", 28, 0},
    {"00000011100", 29, 0}, {"00000011011", 30, 0}, {"00000011010", 31, 0}, {"00000011001", 32, 0},
    {"00000011000", 33, 0}, {"00000001111", kMbaiStuffing, 0}, {"00000001000", kMbaiEscape, 0},
    {nullptr, 0, 0}};

const Code kMbTypeI[] = {{"1", kMbIntra, 0}, {"01", kMbIntra | kMbQuant, 0}, {nullptr, 0, 0}};

const Code kMbTypeP[] = {{"1", kMbForward | kMbPattern, 0},
                         {"01", kMbPattern, 0},
                         {"001", kMbForward, 0},
                         {"00011", kMbIntra, 0},
                         {"00010", kMbQuant | kMbForward | kMbPattern, 0},
                         {"00001", kMbQuant | kMbPattern, 0},
                         {"000001", kMbQuant | kMbIntra, 0},
                         {nullptr, 0, 0}};

const Code kMbTypeB[] = {{"10", kMbForward | kMbBackward, 0},
                         {"11", kMbForward | kMbBackward | kMbPattern, 0},
                         {"010", kMbBackward, 0},
                         {"011", kMbBackward | kMbPattern, 0},
                         {"0010", kMbForward, 0},
                         {"0011", kMbForward | kMbPattern, 0},
                         {"00011", kMbIntra, 0},
                         {"00010", kMbQuant | kMbForward | kMbBackward | kMbPattern, 0},
                         {"000011", kMbQuant | kMbForward | kMbPattern, 0},
                         {"000010", kMbQuant | kMbBackward | kMbPattern, 0},
                         {"000001", kMbQuant | kMbIntra, 0},
                         {nullptr, 0, 0}};

const Code kMbTypeD[] = {{"1", kMbIntra, 0}, {nullptr, 0, 0}};

const Code kCodedBlockPattern[] = {
    {"111", 60, 0},       {"1101", 4, 0},       {"1100", 8, 0},       {"1011", 16, 0},
    {"1010", 32, 0},      {"10011", 12, 0},     {"10010", 48, 0},     {"10001", 20, 0},
    {"10000", 40, 0},     {"01111", 28, 0},     {"01110", 44, 0},     {"01101", 52, 0},
    {"01100", 56, 0},     {"01011", 1, 0},      {"01010", 61, 0},     {"01001", 2, 0},
    {"01000", 62, 0},     {"001111", 24, 0},    {"001110", 36, 0},    {"001101", 3, 0},
    {"001100", 63, 0},    {"0010111", 5, 0},    {"0010110", 9, 0},    {"0010101", 17, 0},
    {"0010100", 33, 0},   {"0010011", 6, 0},    {"0010010", 10, 0},   {"0010001", 18, 0},
    {"0010000", 34, 0},   {"00011111", 7, 0},   {"00011110", 11, 0},  {"00011101", 19, 0},
    {"00011100", 35, 0},  {"00011011", 13, 0},  {"00011010", 49, 0},  {"00011001", 21, 0},
    {"00011000", 41, 0},  {"00010111", 14, 0},  {"00010110", 50, 0},  {"00010101", 22, 0},
    {"00010100", 42, 0},  {"00010011", 15, 0},  {"00010010", 51, 0},  {"00010001", 23, 0},
    {"00010000", 43, 0},  {"00001111", 25, 0},  {"00001110", 37, 0},  {"00001101", 26, 0},
    {"00001100", 38, 0},  {"00001011", 29, 0},  {"00001010", 45, 0},  {"00001001", 53, 0},
    {"00001000", 57, 0},  {"00000111", 30, 0},  {"00000110", 46, 0},  {"00000101", 54, 0},
    {"00000100", 58, 0},  {"000000111", 31, 0}, {"000000110", 47, 0}, {"000000101", 55, 0},
    {"000000100", 59, 0}, {"000000011", 27, 0}, {"000000010", 39, 0}, {"000000001", 0, 0},
    {nullptr, 0, 0}};

// Magnitudes 0..16; the sign bit follows every nonzero code.
const Code kMotionCode[] = {
    {"1", 0, 0},           {"01", 1, 0},          {"001", 2, 0},         {"0001", 3, 0},
    {"000011", 4, 0},      {"0000101", 5, 0},     {"0000100", 6, 0},     {"0000011", 7, 0},
    {"000001011", 8, 0},   {"000001010", 9, 0},   {"000001001", 10, 0},  {"0000010001", 11, 0},
    {"0000010000", 12, 0}, {"0000001111", 13, 0}, {"0000001110", 14, 0}, {"0000001101", 15, 0},
    {"0000001100", 16, 0}, {nullptr, 0, 0}};

const Code kDcSizeLuma[] = {{"100", 0, 0},       {"00", 1, 0},         {"01", 2, 0},
                            {"101", 3, 0},       {"110", 4, 0},        {"1110", 5, 0},
                            {"11110", 6, 0},     {"111110", 7, 0},     {"1111110", 8, 0},
                            {"11111110", 9, 0},  {"111111110", 10, 0}, {"111111111", 11, 0},
                            {nullptr, 0, 0}};

const Code kDcSizeChroma[] = {{"00", 0, 0},        {"01", 1, 0},          {"10", 2, 0},
                              {"110", 3, 0},       {"1110", 4, 0},        {"11110", 5, 0},
                              {"111110", 6, 0},    {"1111110", 7, 0},     {"11111110", 8, 0},
                              {"111111110", 9, 0}, {"1111111110", 10, 0}, {"1111111111", 11, 0},
                              {nullptr, 0, 0}};

// DCT coefficients, table zero: {code without sign, level, run}.  The first
// coefficient of a non-intra block reads "1s" as level 1 (handled by the
// block reader); here "11s" is run 0, level 1.
const Code kDctZero[] = {
    {"10", 0, kDctEndOfBlock}, {"000001", 0, kDctEscape},
    {"11", 1, 0},           {"011", 1, 1},          {"0100", 2, 0},         {"0101", 1, 2},
    {"00101", 3, 0},        {"00111", 1, 3},        {"00110", 1, 4},        {"000110", 2, 1},
    {"000111", 1, 5},       {"000101", 1, 6},       {"000100", 1, 7},       {"0000110", 4, 0},
    {"0000100", 2, 2},      {"0000111", 1, 8},      {"0000101", 1, 9},      {"00100110", 5, 0},
    {"00100001", 6, 0},     {"00100101", 3, 1},     {"00100100", 2, 3},     {"00100111", 1, 10},
    {"00100011", 1, 11},    {"00100010", 1, 12},    {"00100000", 1, 13},    {"0000001010", 7, 0},
    {"0000001100", 4, 1},   {"0000001011", 3, 2},   {"0000001111", 2, 4},   {"0000001001", 2, 5},
    {"0000001110", 1, 14},  {"0000001101", 1, 15},  {"0000001000", 1, 16},
    // Codes of 12 bits and more are shared with table one.
    {nullptr, 0, 0}};

const Code kDctOne[] = {
    {"0110", 0, kDctEndOfBlock}, {"000001", 0, kDctEscape},
    {"10", 1, 0},           {"010", 1, 1},          {"110", 2, 0},          {"00101", 1, 2},
    {"0111", 3, 0},         {"00111", 1, 3},        {"000110", 1, 4},       {"00110", 2, 1},
    {"000111", 1, 5},       {"0000110", 1, 6},      {"0000100", 1, 7},      {"11100", 4, 0},
    {"0000111", 2, 2},      {"0000101", 1, 8},      {"1111000", 1, 9},      {"11101", 5, 0},
    {"000101", 6, 0},       {"1111001", 3, 1},      {"00100110", 2, 3},     {"1111010", 1, 10},
    {"00100001", 1, 11},    {"00100101", 1, 12},    {"00100100", 1, 13},    {"000100", 7, 0},
    {"00100111", 4, 1},     {"11111100", 3, 2},     {"11111101", 2, 4},     {"000000100", 2, 5},
    {"000000101", 1, 14},   {"000000111", 1, 15},   {"0000001101", 1, 16}, {"0000001100", 4, 2},  {"1111011", 8, 0},
    {"1111100", 9, 0},      {"00100011", 10, 0},    {"00100010", 11, 0},    {"11111010", 12, 0},
    {"11111011", 13, 0},    {"11111110", 14, 0},    {"11111111", 15, 0},    {"00100000", 5, 1},
    {nullptr, 0, 0}};

// The long codes both tables share (12 to 16 bits before the sign).
const Code kDctLong[] = {
    {"000000011101", 8, 0},     {"000000011000", 9, 0},     {"000000010011", 10, 0},
    {"000000010000", 11, 0},    {"000000011011", 5, 1},     {"000000010100", 4, 2},
    {"000000011100", 3, 3},     {"000000010010", 3, 4},     {"000000011110", 2, 6},
    {"000000010101", 2, 7},     {"000000010001", 2, 8},     {"000000011111", 1, 17},
    {"000000011010", 1, 18},    {"000000011001", 1, 19},    {"000000010111", 1, 20},
    {"000000010110", 1, 21},    {"0000000011010", 12, 0},   {"0000000011001", 13, 0},
    {"0000000011000", 14, 0},   {"0000000010111", 15, 0},   {"0000000010110", 6, 1},
    {"0000000010101", 7, 1},    {"0000000010100", 5, 2},    {"0000000010011", 4, 3},
    {"0000000010010", 3, 5},    {"0000000010001", 2, 9},    {"0000000010000", 2, 10},
    {"0000000011111", 1, 22},   {"0000000011110", 1, 23},   {"0000000011101", 1, 24},
    {"0000000011100", 1, 25},   {"0000000011011", 1, 26},   {"00000000011111", 16, 0},
    {"00000000011110", 17, 0},  {"00000000011101", 18, 0},  {"00000000011100", 19, 0},
    {"00000000011011", 20, 0},  {"00000000011010", 21, 0},  {"00000000011001", 22, 0},
    {"00000000011000", 23, 0},  {"00000000010111", 24, 0},  {"00000000010110", 25, 0},
    {"00000000010101", 26, 0},  {"00000000010100", 27, 0},  {"00000000010011", 28, 0},
    {"00000000010010", 29, 0},  {"00000000010001", 30, 0},  {"00000000010000", 31, 0},
    {"000000000011000", 32, 0}, {"000000000010111", 33, 0}, {"000000000010110", 34, 0},
    {"000000000010101", 35, 0}, {"000000000010100", 36, 0}, {"000000000010011", 37, 0},
    {"000000000010010", 38, 0}, {"000000000010001", 39, 0}, {"000000000010000", 40, 0},
    {"000000000011111", 8, 1},  {"000000000011110", 9, 1},  {"000000000011101", 10, 1},
    {"000000000011100", 11, 1}, {"000000000011011", 12, 1}, {"000000000011010", 13, 1},
    {"000000000011001", 14, 1}, {"0000000000010011", 15, 1}, {"0000000000010010", 16, 1},
    {"0000000000010001", 17, 1}, {"0000000000010000", 18, 1}, {"0000000000010100", 3, 6},
    {"0000000000011010", 2, 11}, {"0000000000011001", 2, 12}, {"0000000000011000", 2, 13},
    {"0000000000010111", 2, 14}, {"0000000000010110", 2, 15}, {"0000000000010101", 2, 16},
    {"0000000000011111", 1, 27}, {"0000000000011110", 1, 28}, {"0000000000011101", 1, 29},
    {"0000000000011100", 1, 30}, {"0000000000011011", 1, 31}, {nullptr, 0, 0}};

struct Symbol {
  uint32_t code;
  int length;
  int value;
  int run;
};

void add(std::vector<Symbol>& out, const Code* codes, bool signedLevels) {
  for (const Code* c = codes; c->bits; ++c) {
    uint32_t v = 0;
    const int n = int(std::strlen(c->bits));
    for (int i = 0; i < n; ++i) v = (v << 1) | uint32_t(c->bits[i] == '1');
    const bool hasSign = signedLevels && c->run < kDctEndOfBlock;
    if (hasSign) {
      out.push_back({v << 1, n + 1, c->value, c->run});
      out.push_back({(v << 1) | 1, n + 1, -c->value, c->run});
    } else {
      out.push_back({v, n, c->value, c->run});
    }
  }
}

// First level indexed by the next F bits; a prefix that only longer codes
// share points to a second level as wide as its longest code needs.
VlcTable build(const std::vector<Symbol>& symbols, int F, int8_t noCodeRun = 0) {
  const VlcEntry noCode{0, 0, noCodeRun};
  std::vector<VlcEntry> e(size_t(1) << F, noCode);
  std::vector<int> longest(size_t(1) << F, 0);
  for (const Symbol& s : symbols) {
    if (s.length <= F) {
      const int spread = F - s.length;
      for (uint32_t i = 0; i < (1u << spread); ++i)
        e[(s.code << spread) | i] = VlcEntry{int16_t(s.value), int8_t(s.length), int8_t(s.run)};
    } else {
      const uint32_t prefix = s.code >> (s.length - F);
      longest[prefix] = std::max(longest[prefix], s.length - F);
    }
  }
  for (uint32_t prefix = 0; prefix < (1u << F); ++prefix) {
    if (!longest[prefix]) continue;
    const int more = longest[prefix];
    const size_t first = e.size();
    e.resize(first + (size_t(1) << more), noCode);
    e[prefix] = VlcEntry{int16_t(first), int8_t(-more), 0};
    for (const Symbol& s : symbols) {
      if (s.length <= F || (s.code >> (s.length - F)) != prefix) continue;
      const int tail = s.length - F;
      const uint32_t low = s.code & ((1u << tail) - 1);
      const int spread = more - tail;
      for (uint32_t i = 0; i < (1u << spread); ++i)
        e[first + ((low << spread) | i)] = VlcEntry{int16_t(s.value), int8_t(s.length), int8_t(s.run)};
    }
  }
  VlcTable t;
  t.size = int(e.size());
  t.entries = new VlcEntry[e.size()];
  std::copy(e.begin(), e.end(), t.entries);
  return t;
}

VlcTable build(const Code* codes) {
  std::vector<Symbol> s;
  add(s, codes, false);
  return build(s, VlcTable::kFirstBits);
}

std::vector<Symbol> dctSymbols(const Code* codes, const Code* more) {
  std::vector<Symbol> s;
  add(s, codes, true);
  add(s, more, true);
  for (Symbol& symbol : s)
    if (symbol.run < kDctEndOfBlock) ++symbol.run;  // the step to the coefficient's index
  return s;
}

VlcTable buildDct(const Code* codes, const Code* more, bool doubled = false) {
  std::vector<Symbol> s = dctSymbols(codes, more);
  if (doubled)
    for (Symbol& symbol : s)
      if (symbol.run < kDctEndOfBlock) symbol.value = 2 * symbol.value + (symbol.value < 0 ? -1 : 1);
  return build(s, VlcTable::kDctFirstBits, kDctNoCode);
}

// The SkipRuns of a coefficient table, by the table's own lookups: each
// code at its position in the index, the index's bits past the end read as
// zeros, which a code that ends inside the index does not look at.
const uint16_t* buildSkip(const VlcTable& t) {
  uint16_t* const runs = new uint16_t[size_t(1) << kSkipBits];
  for (uint32_t index = 0; index < (1u << kSkipBits); ++index) {
    int used = 0, steps = 0;
    unsigned end = 0;
    for (;;) {
      const uint64_t bits = uint64_t(index) << (64 - kSkipBits) << used;
      const VlcEntry* e = &t.entries[bits >> (64 - VlcTable::kDctFirstBits)];
      if (e->length < 0)
        e = &t.entries[e->value + ((bits >> (64 - VlcTable::kDctFirstBits + e->length)) & ((1u << -e->length) - 1))];
      if (e->length <= 0 || used + e->length > kSkipBits || e->extra == kDctEscape || e->extra == kDctNoCode) break;
      used += e->length;
      if (e->extra == kDctEndOfBlock) {
        end = kSkipEndFlag;
        break;
      }
      steps += e->extra;
    }
    runs[index] = uint16_t(unsigned(used) | end | unsigned(used ? steps : 255) << 8);
  }
  return runs;
}

Tables makeTables() {
  Tables t;
  t.addressIncrement = build(kAddressIncrement);
  t.cbp = build(kCodedBlockPattern);
  t.motionCode = build(kMotionCode);
  t.dcLuma = build(kDcSizeLuma);
  t.dcChroma = build(kDcSizeChroma);
  t.mbType[kIntra] = build(kMbTypeI);
  t.mbType[kPredicted] = build(kMbTypeP);
  t.mbType[kBidirectional] = build(kMbTypeB);
  t.mbType[kDcOnly] = build(kMbTypeD);
  t.mbType[0] = t.mbType[kIntra];
  t.dct[0] = buildDct(kDctZero, kDctLong);
  t.dct[1] = buildDct(kDctOne, kDctLong);
  t.interDct = buildDct(kDctZero, kDctLong, true);
  t.interDctLargest = 0;
  for (int k = 0; k < t.interDct.size; ++k) {
    const VlcEntry& e = t.interDct.entries[k];
    if (e.length > 0 && e.extra < kDctEndOfBlock) t.interDctLargest = std::max(t.interDctLargest, std::abs(int(e.value)));
  }
  t.skip[0] = buildSkip(t.dct[0]);
  t.skip[1] = buildSkip(t.dct[1]);
  return t;
}

}  // namespace

// Built on first use and never changed: shared by every decoder.
const Tables& mpg_Tables() {
  static const Tables tables = makeTables();
  return tables;
}

}  // namespace mpg

// For the table tests: every code of a table as (bits, value, run) rows.
std::vector<MpgCodeRow> mpg_CodeRows(const char* table) {
  using namespace mpg;
  struct Named {
    const char* name;
    const Code* codes;
    const Code* more;
  };
  const Named kNamed[] = {{"address", kAddressIncrement, nullptr}, {"cbp", kCodedBlockPattern, nullptr},
                          {"motion", kMotionCode, nullptr},        {"dcluma", kDcSizeLuma, nullptr},
                          {"dcchroma", kDcSizeChroma, nullptr},    {"mbtype-p", kMbTypeP, nullptr},
                          {"mbtype-b", kMbTypeB, nullptr},         {"dct0", kDctZero, kDctLong},
                          {"dct1", kDctOne, kDctLong}};
  std::vector<MpgCodeRow> rows;
  for (const Named& n : kNamed) {
    if (std::strcmp(n.name, table) != 0) continue;
    for (const Code* c = n.codes; c->bits; ++c) rows.push_back({c->bits, c->value, c->run});
    for (const Code* c = n.more; c && c->bits; ++c) rows.push_back({c->bits, c->value, c->run});
  }
  return rows;
}
