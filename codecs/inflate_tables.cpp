// The inflater's decoding tables: canonical codes from code lengths
// (RFC 1951 section 3.2.2), laid out as inflate_tables.h describes.
#include "codecs/inflate_tables.h"

#include <cstring>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace infl {

bool gPlainCode = false;

namespace {

// RFC 1951 section 3.2.5: symbols 257..285 and distance codes 0..29.
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,    65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Each byte with its bits in the opposite order.
constexpr struct ReversedBytes {
  uint8_t v[256];
  constexpr ReversedBytes() : v() {
    for (int i = 0; i < 256; ++i)
      for (int b = 0; b < 8; ++b) v[i] |= uint8_t(((i >> b) & 1) << (7 - b));
  }
  constexpr uint32_t operator[](uint32_t i) const { return v[i]; }
} kReversedByte;

// What a symbol means, without its code length (extra bits in the total field).
Entry litMeaning(int s) {
  if (s < 256) return Entry(s) << 32 | kLiteral | 1 << 16 | kOneLiteral;
  if (s == 256) return kEndOfBlock;
  if (s < 286) return Entry(kLengthBase[s - 257]) << 32 | Entry(kLengthExtra[s - 257]) * 0x1000001;
  return kInvalid;
}
Entry distMeaning(int s) {
  if (s < 30) return Entry(kDistBase[s]) << 32 | Entry(kDistExtra[s]) * 0x1000001;
  return kInvalid;
}
Entry lenCodeMeaning(int s) { return Entry(s) << 32; }

// Builds a decoding table from code lengths.  Only complete codes are
// accepted, except that where allowSparse a code of a single one-bit symbol
// or of no symbol at all passes (RFC 1951 allows one distance code; the bit
// pattern no symbol owns decodes as kInvalid).
// A template on `meaning` so that it is inlined into the loops.
template <Entry (*meaning)(int)>
PngStatus buildTable(Entry* table, int tableSize, int primaryBits, const uint8_t* lengths, int count,
                     bool allowSparse) {
  int perLength[kMaxCodeBits + 1] = {};
  for (int s = 0; s < count; ++s) perLength[lengths[s]]++;
  int left = 1;  // codes still free at the current length
  int used = 0;
  for (int len = 1; len <= kMaxCodeBits; ++len) {
    left = (left << 1) - perLength[len];
    if (left < 0) return PngStatus::CodeOversubscribed;
    used += perLength[len];
  }
  const int primarySize = 1 << primaryBits;
  if (left > 0) {
    const bool sparse = used == 0 || (used == 1 && perLength[1] == 1);
    if (!allowSparse || !sparse) return PngStatus::CodeIncomplete;
    table[0] = table[1] = kInvalid;  // the doubling below spreads them
  }

  // Symbols in canonical order: by length, then by value.
  int offset[kMaxCodeBits + 1];
  offset[1] = 0;
  for (int len = 1; len < kMaxCodeBits; ++len) offset[len + 1] = offset[len] + perLength[len];
  uint16_t sorted[kLitSymbols];
  for (int s = 0; s < count; ++s)
    if (lengths[s]) sorted[offset[lengths[s]]++] = uint16_t(s);

  // Canonical codes, bit-reversed into the order the stream delivers them.
  uint16_t reversed[kLitSymbols];
  uint32_t code = 0;
  int codeLen = 0;
  for (int i = 0; i < used; ++i) {
    const int len = lengths[sorted[i]];
    code <<= len - codeLen;
    codeLen = len;
    reversed[i] = uint16_t((kReversedByte[code & 0xff] << 8 | kReversedByte[code >> 8]) >> (16 - len));
    ++code;
  }

  // The primary table grows by doubling: the codes of each length go in at
  // their one index of a table that many bits wide, and the table is then
  // copied after itself, which repeats every entry at all the indices that
  // share its low bits.  Copies are whole blocks instead of strided stores.
  auto entryOf = [&](int i) {
    const int len = lengths[sorted[i]];
    const Entry m = meaning(sorted[i]) | kNextWidth;
    return m & kLiteral ? m + Entry(len) : m + Entry(len) * 0x10001;  // code bits and total bits
  };
  int i = 0;
  for (int len = 1; len <= primaryBits; ++len) {
    for (; i < used && lengths[sorted[i]] == len; ++i) table[reversed[i]] = entryOf(i);
    if (len < primaryBits) std::memcpy(table + (1 << len), table, sizeof(Entry) << len);
  }

  const uint32_t primaryMask = uint32_t(primarySize) - 1;
  int next = primarySize;  // where the next subtable goes
  uint32_t linkedPrefix = ~0u;
  int subStart = 0, subBits = 0;
  for (; i < used; ++i) {
    const int len = lengths[sorted[i]];
    const Entry entry = entryOf(i);
    const uint32_t r = reversed[i];
    const uint32_t prefix = r & primaryMask;
    if (prefix != linkedPrefix) {
      // Codes with the same first bits follow one another in canonical
      // order, the longest last: it decides the subtable's size.
      int last = i;
      while (last + 1 < used && (reversed[last + 1] & primaryMask) == prefix) ++last;
      subBits = lengths[sorted[last]] - primaryBits;
      subStart = next;
      next += 1 << subBits;
      if (next > tableSize) return PngStatus::CodeOversubscribed;  // not for a complete code; keeps writes inside
      table[prefix] = Entry(subStart) << 32 | kLink | Entry(subBits) << 8 | Entry(primaryBits);
      linkedPrefix = prefix;
    }
    for (uint32_t j = r >> primaryBits; j < (1u << subBits); j += 1u << (len - primaryBits))
      table[subStart + int(j)] = entry;
  }
  return PngStatus::Ok;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define INF_TABLES_AVX2 1
// pairLiterals below, four entries a step.  Each step reads all its second
// entries before it stores: they lie at half the index or less, so in a
// step further down or in this one, and are still single either way.
__attribute__((target("avx2"))) void pairLiteralsAvx2(Entry* table) {
  const __m256i lowByte = _mm256_set1_epi64x(0xff);
  const __m256i literal = _mm256_set1_epi64x(kLiteral);
  const __m256i tooLong = _mm256_set1_epi64x(kLitBits + 1);
  const __m256i firstByte = _mm256_set1_epi64x(0xff00000000);
  const __m256i pairKind = _mm256_set1_epi64x(int64_t(kLiteral | 2 << 16 | kNextWidth | 2 * kOneLiteral));
  const __m256i step = _mm256_set1_epi64x(4);
  __m256i index = _mm256_setr_epi64x((1 << kLitBits) - 4, (1 << kLitBits) - 3, (1 << kLitBits) - 2, (1 << kLitBits) - 1);
  for (int i = (1 << kLitBits) - 4; i >= 0; i -= 4) {
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + i));
    const __m256i bits = _mm256_and_si256(first, lowByte);
    const __m256i second =
        _mm256_i64gather_epi64(reinterpret_cast<const long long*>(table), _mm256_srlv_epi64(index, bits), 8);
    const __m256i both = _mm256_add_epi64(bits, _mm256_and_si256(second, lowByte));
    const __m256i pairs = _mm256_and_si256(
        _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_and_si256(first, second), literal), literal),
        _mm256_cmpgt_epi64(tooLong, both));
    const __m256i pair = _mm256_or_si256(
        _mm256_or_si256(_mm256_and_si256(first, firstByte), _mm256_slli_epi64(_mm256_and_si256(second, firstByte), 8)),
        _mm256_or_si256(pairKind, both));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(table + i), _mm256_blendv_epi8(first, pair, pairs));
    index = _mm256_sub_epi64(index, step);
  }
}
// combineMatches below, four entries a step.
__attribute__((target("avx2"))) void combineMatchesAvx2(Entry* lit, const Entry* dist) {
  const __m256i lowByte = _mm256_set1_epi64x(0xff);
  const __m256i low4 = _mm256_set1_epi64x(15);
  const __m256i one = _mm256_set1_epi64x(1);
  const __m256i lengthKinds = _mm256_set1_epi64x(kLiteral | kLink | kEndOfBlock | kInvalid);
  const __m256i distKinds = _mm256_set1_epi64x(kLink | kInvalid);
  const __m256i tooLong = _mm256_set1_epi64x(kLitBits + 1);
  const __m256i kind = _mm256_set1_epi64x(int64_t(kMatch | kNextWidth));
  const __m256i zero = _mm256_setzero_si256();
  const __m256i sixteen = _mm256_set1_epi64x(16);
  const __m256i longCopy = _mm256_set1_epi64x(int64_t(kLongCopy));
  const __m256i step = _mm256_set1_epi64x(4);
  __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
  for (int i = 0; i < 1 << kLitBits; i += 4) {
    const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lit + i));
    const __m256i lengthBits = _mm256_and_si256(e, lowByte);
    const __m256i d =
        _mm256_i64gather_epi64(reinterpret_cast<const long long*>(dist), _mm256_srlv_epi64(index, lengthBits), 8);
    const __m256i start = _mm256_add_epi64(lengthBits, _mm256_and_si256(_mm256_srli_epi64(d, 16), lowByte));
    const __m256i lengthOk = _mm256_cmpeq_epi64(_mm256_and_si256(e, lengthKinds), zero);
    const __m256i distOk = _mm256_cmpeq_epi64(_mm256_and_si256(d, distKinds), zero);
    const __m256i fits = _mm256_cmpgt_epi64(tooLong, start);
    const __m256i use = _mm256_and_si256(_mm256_and_si256(lengthOk, distOk), fits);
    const __m256i codeBits = _mm256_and_si256(_mm256_srli_epi64(e, 16), lowByte);
    const __m256i lengthExtraMask =
        _mm256_sub_epi64(_mm256_sllv_epi64(one, _mm256_and_si256(_mm256_srli_epi64(e, 24), low4)), one);
    const __m256i length = _mm256_add_epi64(_mm256_srli_epi64(e, 32),
                                            _mm256_and_si256(_mm256_srlv_epi64(index, codeBits), lengthExtraMask));
    const __m256i distExtra = _mm256_and_si256(_mm256_srli_epi64(d, 24), low4);
    const __m256i copy = _mm256_and_si256(
        _mm256_or_si256(_mm256_cmpgt_epi64(length, sixteen), _mm256_cmpgt_epi64(sixteen, _mm256_srli_epi64(d, 32))),
        longCopy);
    const __m256i match = _mm256_or_si256(
        _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi64(length, 48), copy),
                        _mm256_slli_epi64(_mm256_srli_epi64(d, 32), 32)),
        _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi64(distExtra, 24), _mm256_slli_epi64(start, 16)),
                        _mm256_or_si256(kind, _mm256_add_epi64(start, distExtra))));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lit + i), _mm256_blendv_epi8(e, match, use));
    index = _mm256_add_epi64(index, step);
  }
}
const bool kTablesAvx2 = __builtin_cpu_supports("avx2");
#endif

}  // namespace

// Where the primary bits hold two whole literal codes, the entry gives both:
// runs of literals then cost one lookup per pair.  Goes down the table so
// that the entry for the second code (at a smaller index: the first code's
// bits shifted out) is still a single one when it is read.
// Written without branches: whether an entry pairs is a coin toss from one
// index to the next.  (A link's total is the primary bits: it looks at entry
// 0, and is no literal itself.)
void pairLiterals(Entry* table) {
  // A pair needs a literal code of at most half the primary bits.  Each such
  // code has an entry among the first 2^(kLitBits / 2); many blocks have
  // none, and the pass over the whole table would be wasted.
  bool shortLiteral = false;
  for (int i = 0; i < 1 << (kLitBits / 2); ++i)
    shortLiteral |= (table[i] & kLiteral) && (table[i] & 0xff) <= uint32_t(kLitBits / 2);
  if (!shortLiteral) return;
#if defined(INF_TABLES_AVX2)
  if (kTablesAvx2 && !gPlainCode) return pairLiteralsAvx2(table);
#endif
  for (int i = (1 << kLitBits) - 1; i >= 0; --i) {
    const Entry first = table[i];
    const uint32_t bits = uint32_t(first & 0xff);
    const Entry second = table[uint32_t(i) >> (bits & 31)];
    const uint32_t both = bits + uint32_t(second & 0xff);
    const bool pairs = (first & second & kLiteral) && both <= uint32_t(kLitBits);
    const Entry pair = (first & 0xff00000000) | (second & 0xff00000000) << 8 | kLiteral | 2 << 16 | kNextWidth |
                       2 * kOneLiteral | both;
    table[i] = pairs ? pair : first;
  }
}

namespace {

// A length code with its extra bits leaves 2^(kLitBits - its bits) indices
// that share it; at each, the bits above it start a distance code, whole if
// the distance code is no longer than what is left.  The length's extra bits
// are known from the index as well, so the entry carries the whole length.
// Without branches: lengths and literals alternate from one index to the next.
void combineMatchesPlain(Entry* lit, const Entry* dist) {
  for (uint32_t i = 0; i < 1u << kLitBits; ++i) {
    const Entry e = lit[i];
    const uint32_t lengthBits = uint32_t(e & 0xff);  // at most 15: the shift below stays in range
    const Entry d = dist[i >> lengthBits];
    const uint32_t start = lengthBits + uint32_t((d >> 16) & 0xff);
    const bool isLength = !(e & (kLiteral | kLink | kEndOfBlock | kInvalid));
    const bool fits = isLength && !(d & (kLink | kInvalid)) && start <= uint32_t(kLitBits);
    const uint32_t codeBits = uint32_t((e >> 16) & 0xff);
    const uint32_t length = uint32_t(e >> 32) + ((i >> codeBits) & ((1u << ((e >> 24) & 15)) - 1));
    const uint32_t distExtra = uint32_t((d >> 24) & 15);
    const Entry copy = length > 16 || (d >> 32) < 16 ? kLongCopy : 0;
    const Entry match = kMatch | copy | Entry(length) << 48 | (d >> 32) << 32 | Entry(distExtra) << 24 |
                        Entry(start) << 16 | kNextWidth | Entry(start + distExtra);
    lit[i] = fits ? match : e;
  }
}

}  // namespace

MatchFits countMatchFits(const uint8_t* litLengths, int litCount, const uint8_t* distLengths, int distCount) {
  // fitting[k]: of the 2^k patterns of k bits, how many start with a whole
  // distance code (a real one: symbols 30 and 31 decode as invalid).
  int perLength[kDistBits + 1] = {};
  for (int s = 0; s < distCount && s < 30; ++s)
    if (distLengths[s] && distLengths[s] <= kDistBits) perLength[distLengths[s]]++;
  int fitting[kLitBits + 1] = {};
  for (int k = 1; k <= kLitBits; ++k) fitting[k] = 2 * fitting[k - 1] + perLength[k];
  // A length code of L bits with E extra bits fills 2^(kLitBits - L) primary
  // indices; at 2^E fitting[kLitBits - L - E] of them, the bits after the
  // extra bits start a distance code that fits.
  MatchFits fits;
  for (int s = 257; s < litCount && s < 286; ++s) {
    const int len = litLengths[s];
    if (len == 0 || len > kLitBits) continue;  // a long code sits behind a link: neither
    const int extra = kLengthExtra[s - 257];
    const int indices = 1 << (kLitBits - len);
    const int whole = len + extra <= kLitBits ? fitting[kLitBits - len - extra] << extra : 0;
    fits.whole += whole;
    fits.single += indices - whole;
  }
  return fits;
}

// Whole matches pay where most matches are whole: the decoding loop for them
// takes literals and whole matches alike, without branches, and a length
// left single costs it a wrong guess.  Elsewhere the table stays as it is,
// for the loop that tells literals and lengths apart by branching.
bool combineMatches(Entry* lit, const Entry* dist, MatchFits fits) {
  if (fits.whole == 0 || fits.whole < 3 * fits.single) return false;
#if defined(INF_TABLES_AVX2)
  if (kTablesAvx2 && !gPlainCode) {
    combineMatchesAvx2(lit, dist);
    return true;
  }
#endif
  combineMatchesPlain(lit, dist);
  return true;
}

PngStatus buildLitTable(Entry* table, int tableSize, const uint8_t* lengths, int count, bool allowSparse) {
  return buildTable<litMeaning>(table, tableSize, kLitBits, lengths, count, allowSparse);
}
PngStatus buildDistTable(Entry* table, int tableSize, const uint8_t* lengths, int count, bool allowSparse) {
  return buildTable<distMeaning>(table, tableSize, kDistBits, lengths, count, allowSparse);
}
PngStatus buildLenCodeTable(Entry* table, const uint8_t* lengths) {
  return buildTable<lenCodeMeaning>(table, 1 << kLenCodeBits, kLenCodeBits, lengths, kLenCodeSymbols, false);
}

const FixedTables& fixedTables() {
  static const FixedTables tables = [] {
    FixedTables t;
    uint8_t lengths[kLitSymbols];
    // RFC 1951 section 3.2.6.
    for (int s = 0; s < kLitSymbols; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    buildLitTable(t.lit, 1 << kLitBits, lengths, kLitSymbols, false);
    pairLiterals(t.lit);
    std::memset(lengths, 5, kDistSymbols);
    buildDistTable(t.dist, 1 << kDistBits, lengths, kDistSymbols, false);
    return t;
  }();
  return tables;
}

}  // namespace infl
