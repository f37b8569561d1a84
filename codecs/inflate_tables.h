// Inside codecs/ only: the inflater's decoding tables, built by
// inflate_tables.cpp and read by the decoding loops in inflate.cpp.
#pragma once

#include "codecs/codecs.h"

#include <cstdint>

namespace infl {

// ---------------------------------------------------------------------------
// Table entries, 64 bits: value << 32 | kind | codeBits << 16 | width << 8 | totalBits
//   totalBits  bits 0..7    code bits plus extra bits: what the symbol consumes
//                           (for a link: the primary bits, where its index starts)
//   width      bits 8..15   how many bits index the next table (for a link:
//                           its subtable's index bits)
//   codeBits   bits 16..23  the code alone, where the extra bits start (for a
//                           literal: how many literals, 1 or 2, which bits
//                           48..55 repeat)
//   kind       bits 24..31  one of the flags below; none for a length or distance,
//                           whose bits 24..27 hold instead how many extra bits
//                           it has (so that bits 16..31 are the start and length
//                           of its extra bits, for a bit-field extract)
//   value      bits 32..63  literal bytes, length or distance base, subtable start
// The low 16 bits are laid out as a bit-field extract instruction takes its
// start and length: one instruction gives the index of the next lookup from
// the bit buffer and the entry before it (and the index into a subtable from
// a link), where a shift and a mask would take two.
//
// A whole match, kMatch set (bit 63), where a length code, its extra bits and
// the distance code after them fit the primary bits together:
//   totalBits  bits 0..7    everything up to the end of the distance's extra bits
//   width      bits 8..15   kLitBits, as above
//   bits 16..31             start and count of the distance's extra bits, as
//                           above, the kind flags clear
//   distance   bits 32..47  the distance base
//   length     bits 48..56  the whole length, its extra bits added in
//   kLongCopy  bit 62       the match may be longer than 16 bytes or nearer
//                           than 16: sixteen bytes from its source won't do
// Matches then take one lookup, as literals do, instead of two in a row, and
// a literal entry's count of bytes sits where a match's length does.

using Entry = uint64_t;
constexpr Entry kLiteral = 0x80000000;
constexpr Entry kLink = 0x40000000;
constexpr Entry kEndOfBlock = 0x20000000;
constexpr Entry kInvalid = 0x10000000;
constexpr Entry kMatch = Entry(1) << 63;
constexpr Entry kLongCopy = Entry(1) << 62;
constexpr Entry kOneLiteral = Entry(1) << 48;  // a literal entry's byte count, one

constexpr int kMaxCodeBits = 15;
constexpr int kLitBits = 10;  // covers every literal/length code of the fixed code, most of dynamic ones
constexpr int kDistBits = 10;  // the distance codes of most blocks fit
constexpr int kLenCodeBits = 7;  // code-length codes are at most 7 bits long: no links
static_assert(kLitBits == kDistBits, "one index width for the lookup after any entry");
constexpr Entry kNextWidth = Entry(kLitBits) << 8;

constexpr int kLitSymbols = 288;  // 286 in use, 2 more in the fixed code
constexpr int kDistSymbols = 32;  // 30 in use, 2 more in the fixed code
constexpr int kLenCodeSymbols = 19;

// Worst case: the primary table plus one subtable per code longer than the
// primary bits (codes sharing their first bits share one), each of at most
// 2^(15 - primary bits) entries.
constexpr int kLitTableSize = (1 << kLitBits) + kLitSymbols * (1 << (kMaxCodeBits - kLitBits));
constexpr int kDistTableSize = (1 << kDistBits) + kDistSymbols * (1 << (kMaxCodeBits - kDistBits));

struct FixedTables {
  Entry lit[1 << kLitBits];  // the fixed code is at most 9 bits: no links
  Entry dist[1 << kDistBits];
};

// Decoding tables from code lengths.  Only complete codes are accepted,
// except that where allowSparse a code of a single one-bit symbol or of no
// symbol at all passes (RFC 1951 allows one distance code; the bit pattern
// no symbol owns decodes as kInvalid).  tableSize bounds the subtables.
PngStatus buildLitTable(Entry* table, int tableSize, const uint8_t* lengths, int count, bool allowSparse);
PngStatus buildDistTable(Entry* table, int tableSize, const uint8_t* lengths, int count, bool allowSparse);
// The code-length code: kLenCodeSymbols lengths, a complete code, no links.
PngStatus buildLenCodeTable(Entry* table, const uint8_t* lengths);
// Turns single literal entries into pairs where two codes fit the primary bits.
void pairLiterals(Entry* table);
// How many primary indices of the literal/length table would hold a whole
// match (a length code, its extra bits and the distance code after them in
// the primary bits), and how many hold a length left single.  Worked out
// from the code lengths, not index by index.
struct MatchFits {
  int whole = 0, single = 0;
};
MatchFits countMatchFits(const uint8_t* litLengths, int litCount, const uint8_t* distLengths, int distCount);
// Turns length entries of the primary table into whole matches (kMatch)
// where the distance code after them fits the primary bits as well, if that
// is so for most of them (three in four, counting the indices `fits` gives).
// Returns whether it did.
bool combineMatches(Entry* lit, const Entry* dist, MatchFits fits);
// The tables of the fixed code, built once.
const FixedTables& fixedTables();

// Set by inf_UsePlainCode: keep to the paths without run-time choices.
extern bool gPlainCode;

}  // namespace infl
