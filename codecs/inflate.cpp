// The inflater: RFC 1950 zlib framing around RFC 1951 deflate blocks.
//
// Decoding is table driven.  Codes arrive least significant bit first, so a
// table indexed by the low bits of the bit buffer names the symbol at once:
// a code of up to kLitBits (kDistBits) bits fills every slot whose index
// starts with its bit-reversed code; longer codes go through a link to a
// subtable indexed by the bits after the first kLitBits.  An entry carries
// what the symbol means (literal byte, length or distance base, end of block)
// together with the bits the code and its extra bits take, so a literal costs
// one lookup and one shift, a length or distance one lookup, a mask and a shift.
// Where two literal codes fit in the primary bits together, one entry gives
// both: pictures are mostly literals with short codes.
//
// The time goes into the chain from one table load to the next, and into the
// processor guessing wrong whether a literal or a length comes next.  So an
// entry also holds the index of the lookup after it ready for one bit-field
// extract; where a length code, its extra bits and the distance code fit the
// primary bits together, the entry holds the whole match (length, distance
// base and where the distance's extra bits lie), so a match costs one lookup
// as a literal does.  Literals and those matches then take the same steps
// without a test between them: sixteen bytes are stored either way, copied
// from the match's source or zeros with the literals over them, and the
// output moves on by the entry's count of bytes.  Only long or overlapping
// matches, lengths whose distance did not fit, long literal codes and the
// end of the block branch off.  That costs more instructions a symbol than
// telling literals from lengths by a branch, which pays where the branch is
// guessed right, in runs of literals; so blocks where many matches do not
// fit one entry (a length left single costs the loop a wrong guess) keep
// their plain tables and the loop that branches, which looks up both entries
// that may follow a symbol, the literal/length one and the distance one,
// before it tests which kind the symbol is.
//
// The bit buffer is 64 bits wide.  While eight bytes of input are at hand it
// is topped up without branches to at least 56 bits, enough for a length code
// with its extra bits and a distance code with its extra bits (20 + 28); near
// the end of a window, input is taken a byte at a time and windows are pulled
// from the source; past the end of input the buffer fills with zeros, and a
// stream that used any of them fails at the next block boundary.
#include "codecs/inflate.h"
#include "codecs/inflate_tables.h"

#include <algorithm>
#include <cstring>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

using namespace infl;

void inf_UsePlainCode(bool plain) { gPlainCode = plain; }

namespace {

constexpr uint32_t kMaxMatch = 258;
// A match copy stores whole words and may write up to 63 bytes past its end.
constexpr ptrdiff_t kCopyOvershoot = 64;
// The fast loop runs while one turn cannot pass the end of the output (the
// sixteen bytes stored for literals, or a longest match with its overshoot)
// or read past the end of the input window (two eight-byte top-ups, each
// moving at most 7 bytes on, kTurnInput in all).
constexpr ptrdiff_t kFastOutput = kMaxMatch + kCopyOvershoot + 4;
constexpr ptrdiff_t kFastInput = 16;
constexpr size_t kTurnInput = 14;

// The order code-length code lengths are stored in (RFC 1951 section 3.2.7).
constexpr uint8_t kLenCodeOrder[kLenCodeSymbols] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}
inline void copy8(uint8_t* dst, const uint8_t* src) { std::memcpy(dst, src, 8); }
// The two literal bytes of an entry (bits 32..47), first byte first, in one store.
inline void storeLiterals(uint8_t* dst, Entry e) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  const uint16_t v = uint16_t(e >> 40 | (e >> 24 & 0xff00));
#else
  const uint16_t v = uint16_t(e >> 32);
#endif
  std::memcpy(dst, &v, 2);
}
// Sixteen bytes with one load and one store.  Written with intrinsics where
// there are any, so that the compiler does not turn the copy loop into a
// vector loop guarded by overlap checks that a match usually fails.
inline void copy16(uint8_t* dst, const uint8_t* src) {
#if defined(__SSE2__)
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
#else
  uint64_t a, b;
  std::memcpy(&a, src, 8);
  std::memcpy(&b, src + 8, 8);
  std::memcpy(dst, &a, 8);
  std::memcpy(dst + 8, &b, 8);
#endif
}

// Sixteen bytes from src with the two bytes of `literals` (first byte in
// the low bits) laid over its first two by OR: src is kZeros then.
alignas(16) const uint8_t kZeros[16] = {};
inline void copy16Literals(uint8_t* dst, const uint8_t* src, uint32_t literals) {
#if defined(__SSE2__)
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                   _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), _mm_cvtsi32_si128(int(literals))));
#else
  uint8_t v[16];
  std::memcpy(v, src, 16);
  v[0] |= uint8_t(literals);
  v[1] |= uint8_t(literals >> 8);
  std::memcpy(dst, v, 16);
#endif
}

// Thirty-two bytes: one load and one store in a function compiled for AVX,
// two of each elsewhere.
#if defined(__GNUC__)
typedef uint8_t Bytes32 __attribute__((vector_size(32), aligned(1), may_alias));
inline void copy32(uint8_t* dst, const uint8_t* src) {
  *reinterpret_cast<Bytes32*>(dst) = *reinterpret_cast<const Bytes32*>(src);
}
#else
inline void copy32(uint8_t* dst, const uint8_t* src) {
  copy16(dst, src);
  copy16(dst + 16, src + 16);
}
#endif

// ---------------------------------------------------------------------------
// The bit reader.  Bits above `count` in `bits` are either zero or the bits of
// the bytes at `in`, never anything else, so topping up by OR is exact.
struct BitState {
  uint64_t bits;
  unsigned count;
  const uint8_t* in;
  const uint8_t* end;
  InfSource* source;
  unsigned padBytes;  // zero bytes added past the end of input
  bool ended;         // the source has no more windows
};

bool nextWindow(BitState& s) {
  if (s.ended || !s.source->pull) {
    s.ended = true;
    return false;
  }
  s.source->next = s.in;
  while (s.source->pull(s.source)) {
    if (s.source->next != s.source->end) {
      s.in = s.source->next;
      s.end = s.source->end;
      return true;
    }
  }
  s.ended = true;
  return false;
}

// Tops up to at least 56 bits a byte at a time (the slow way).
__attribute__((noinline)) void refillSlow(BitState& s) {
  while (s.count < 56) {
    if (s.in == s.end && !nextWindow(s)) {
      ++s.padBytes;
      s.count += 8;
      continue;
    }
    s.bits |= uint64_t(*s.in++) << s.count;
    s.count += 8;
  }
}

inline void refill(BitState& s) {
  if (s.end - s.in >= 8) {
    // Takes the whole bytes that fit: count ends in 56..63.
    s.bits |= load64(s.in) << s.count;
    s.in += (63 - s.count) >> 3;
    s.count |= 56;
  } else {
    refillSlow(s);
  }
}

inline uint32_t takeBits(BitState& s, unsigned n) {
  if (s.count < n) refill(s);
  const uint32_t v = uint32_t(s.bits) & ((1u << n) - 1);
  s.bits >>= n;
  s.count -= n;
  return v;
}

// True when the stream has used some of the zeros past the end of input:
// they are the last padBytes * 8 bits added, so all of them still sit in the
// buffer unless more than `count` were added.
inline bool usedPadding(const BitState& s) { return s.padBytes * 8 > s.count; }

// The entry a link leads to.
inline Entry follow(const Entry* table, Entry link, uint64_t bits, int primaryBits) {
  return table[(link >> 32) + (uint32_t(bits >> primaryBits) & ((1u << ((link >> 8) & 15)) - 1))];
}
inline Entry primary(const Entry* table, uint64_t bits, int primaryBits) {
  return table[bits & ((1u << primaryBits) - 1)];
}
inline Entry lookup(const Entry* table, uint64_t bits, int primaryBits) {
  const Entry e = primary(table, bits, primaryBits);
  return e & kLink ? follow(table, e, bits, primaryBits) : e;
}

// How many bits an entry consumes.  The total is below 64, so the two bits
// above it are clear and a 64-bit shift by (e & 63) takes one instruction.
inline unsigned usedBits(Entry e) { return unsigned(e & 63); }

// Takes the bits of a length or distance entry and gives its base plus the
// extra bits above the code.  The consumed bits are what the shift drops,
// found by shifting back and subtracting, which costs no mask; the code
// length sits in bits 16..23 for these entries.
inline uint32_t takeValue(Entry e, uint64_t& bits) {
  const uint64_t rest = bits >> usedBits(e);
  const uint64_t consumed = bits - (rest << usedBits(e));
  bits = rest;
  return uint32_t(e >> 32) + uint32_t(consumed >> ((e >> 16) & 63));
}

// The same with bit-field extract where there is one: the extra bits are
// taken straight from their start and length in bits 16..31 of the entry,
// one instruction instead of the shift back, the subtraction and a shift.
template <bool kExtract>
inline uint32_t takeValueFast(Entry e, uint64_t& bits) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (kExtract) {
    uint64_t extra;
    __asm__("bextrq %2, %1, %0" : "=r"(extra) : "r"(bits), "r"(e >> 16));
    bits >>= usedBits(e);
    return uint32_t(e >> 32) + uint32_t(extra);
  }
#endif
  return takeValue(e, bits);
}

// The distance of a whole-match entry (kMatch): its base plus the extra bits
// whose start and count are bits 16..31, as for a distance entry.  Leaves
// the bits alone; the entry's total covers the whole match.
template <bool kExtract>
inline uint32_t matchDistance(Entry e, uint64_t bits) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (kExtract) {
    uint64_t extra;
    __asm__("bextrq %2, %1, %0" : "=r"(extra) : "r"(bits), "r"(e >> 16));
    return uint32_t(uint16_t(e >> 32)) + uint32_t(extra);
  }
#endif
  return uint32_t(uint16_t(e >> 32)) + (uint32_t(bits >> ((e >> 16) & 63)) & ((1u << ((e >> 24) & 15)) - 1));
}
// A whole match's length, or how many bytes a literal entry gives.
inline uint32_t outputBytes(Entry e) { return uint32_t(e >> 48) & 0x1ff; }

// mask (all ones or zero) ? a : b, with a conditional move, not a branch.
inline const uint8_t* pick(uint32_t mask, const uint8_t* a, const uint8_t* b) {
#if defined(__GNUC__) && defined(__x86_64__)
  __asm__("test %1, %1\n\tcmovnz %2, %0" : "+r"(b) : "r"(mask), "r"(a) : "cc");
  return b;
#else
  return mask ? a : b;
#endif
}

// Makes the compiler compute v here, before a branch, instead of moving the
// work into the one arm that uses it.
inline void pinBeforeBranch(Entry& v) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__))
  __asm__ volatile("" : "+r"(v));
#else
  (void)v;
#endif
}

// Copies a match whose distance is at most the bytes before `out`.  Writes
// whole words, up to 63 bytes past the end of the match.
template <bool kWide>
inline uint8_t* copyMatch(uint8_t* out, uint32_t distance, uint32_t length) {
  uint8_t* const end = out + length;
  if (kWide && distance >= 32) {
    // With 32-byte moves: whether a match is longer than 16 bytes is a coin
    // toss in much data, but once it is, two moves take it to 80 bytes, so
    // that the loop after them is seldom entered and seldom guessed wrong.
    const uint8_t* src = out - distance;
    copy16(out, src);
    if (length > 16) {
      copy32(out + 16, src + 16);
      copy32(out + 48, src + 48);
      for (uint32_t i = 80; i < length; i += 32) copy32(out + i, src + i);
    }
    return end;
  }
  if (distance >= 16) {
    // Most matches are 16 bytes or shorter: one copy, no loop.
    const uint8_t* src = out - distance;
    copy16(out, src);
    // Longer ones go 32 bytes a turn.  Each copy reads 16 or more bytes
    // behind where it writes, so it sees what the one before it wrote.
    for (uint32_t i = 16; i < length; i += 32) {
      copy16(out + i, src + i);
      copy16(out + i + 16, src + i + 16);
    }
  } else if (distance >= 8) {
    const uint8_t* src = out - distance;
    do {
      copy8(out, src);
      out += 8;
      src += 8;
    } while (out < end);
  } else if (distance == 1) {
    const uint64_t v = out[-1] * 0x0101010101010101ull;
    do {
      std::memcpy(out, &v, 8);
      out += 8;
    } while (out < end);
  } else {
    // A period shorter than a word: step by the period, each step making
    // `distance` more bytes final, until eight bytes of the match are done;
    // then copy whole words from the smallest multiple of the period that is
    // a word or more back (it lies at most 7 bytes before the match, inside
    // the repeating part).
    uint8_t* const start = out;
    do {
      copy8(out, out - distance);
      out += distance;
    } while (out < start + 8 && out < end);
    const uint32_t step = (8 + distance - 1) / distance * distance;
    while (out < end) {
      copy8(out, out - step);
      out += 8;
    }
  }
  return end;
}

// The index of the lookup after entry e: the kLitBits bits that follow the
// bits e consumes.  With bit-field extract that is one instruction, since
// an entry's low 16 bits are its start and length.
// (64 bits wide, so that the index goes to the load without being narrowed
// and widened again: a move on the chain from one lookup to the next.)
template <bool kExtract>
inline uint64_t nextIndex(uint64_t bits, Entry e) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (kExtract) {
    uint64_t index;
    __asm__("bextrq %2, %1, %0" : "=r"(index) : "r"(bits), "r"(e));
    return index;
  }
#endif
  return (bits >> usedBits(e)) & ((1u << kLitBits) - 1);
}
// The entry a link leads to, its index also taken with one extract.
template <bool kExtract>
inline Entry followLink(const Entry* table, Entry link, uint64_t bits) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (kExtract) {
    uint64_t index;
    __asm__("bextrq %2, %1, %0" : "=r"(index) : "r"(bits), "r"(link));
    return table[(link >> 32) + index];
  }
#endif
  return table[(link >> 32) + (uint32_t(bits >> usedBits(link)) & ((1u << ((link >> 8) & 15)) - 1))];
}

// Decodes the symbols of one block up to its end-of-block code.  Compiled
// once for each kind of processor (see below); always inlined.
template <bool kExtract, bool kWide, bool kUniform>
__attribute__((always_inline)) inline PngStatus decodeBlockBody(BitState& s, const Entry* lit, const Entry* dist,
                                                                uint8_t* const outStart, uint8_t*& outRef,
                                                                uint8_t* const outEnd) {
  uint64_t bits = s.bits;
  unsigned count = s.count;
  const uint8_t* in = s.in;
  uint8_t* out = outRef;
  PngStatus status = PngStatus::Ok;
  for (;;) {
    if (s.end - in >= kFastInput && outEnd - out >= kFastOutput) {
      const uint8_t* const inLimit = s.end - kFastInput;
      uint8_t* const outLimit = outEnd - kFastOutput;
      // Turns left before the limits need looking at again: a turn moves
      // the input on by at most kTurnInput bytes (two top-ups) and the
      // output by at most kFastOutput (a match with its overshoot), so
      // this many more are sure to stay inside them.
      auto turnsLeft = [&] {
        return 1 + std::min(size_t(inLimit - in) / kTurnInput, size_t(outLimit - out) / size_t(kFastOutput));
      };
      size_t turns = 1;
      // The entry for the next symbol is looked up before the buffer is
      // topped up, so the top-up runs beside the table load instead of in
      // front of it: the lookup needs only the 15 bits already there.
      // Here the count is kept in the low six bits of `wide` only: an
      // entry is subtracted whole, which leaves those bits exact (the entry
      // takes no more bits than there are) and saves masking it first.
      uint32_t wide = count;
      bits |= load64(in) << count;
      in += (63 - count) >> 3;
      wide |= 56;
      Entry e = primary(lit, bits, kLitBits);
      Entry d, next;
      const auto topUp = [&]() __attribute__((always_inline)) {
        bits |= load64(in) << (wide & 63);
        in += 7 - ((wide >> 3) & 7);
        wide |= 56;
      };
      if constexpr (kUniform) {
        // Hidden from the compiler, which would otherwise load nothing for
        // literals and branch where a conditional move does.
        const uint8_t* zeros = kZeros;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__))
        __asm__("" : "+r"(zeros));
#endif
        do {
          // The entry after e, if e is a literal or a whole match, is looked
          // up first, from the bits before the top-up (e and the ten bits
          // after it take at most 33, and at least that many are left), so
          // that the top-up is not on the way from one lookup to the next.
          next = lit[nextIndex<kExtract>(bits, e)];
          pinBeforeBranch(next);
          topUp();
          if (!(e & (kLiteral | kMatch))) {
            if (e & kLink) {
              // Literals with long codes are rare: they come this way, single.
              e = followLink<kExtract>(lit, e, bits);
              if (e & kLiteral) {
                bits >>= usedBits(e);
                wide -= uint32_t(e);
                *out++ = uint8_t(e >> 32);
                e = primary(lit, bits, kLitBits);
                continue;
              }
            }
            if (e & (kEndOfBlock | kInvalid)) {
              if (e & kInvalid) {
                status = PngStatus::BadSymbol;
                goto fastExit;
              }
              bits >>= usedBits(e);
              wide -= uint32_t(e);
              goto fastExit;
            }
            // A length whose distance code did not fit in its entry.
            d = dist[nextIndex<kExtract>(bits, e)];
            const uint32_t length = takeValueFast<kExtract>(e, bits);
            wide -= uint32_t(e);
            if (d & (kLink | kInvalid)) {
              if (d & kLink) d = followLink<kExtract>(dist, d, bits);
              if (d & kInvalid) {
                status = PngStatus::BadSymbol;
                goto fastExit;
              }
            }
            // The top-up above left 56 bits or more, the length and distance
            // take at most 48, and the bits above the count are those of the
            // bytes at `in`: enough for the next lookup, not for the one after
            // it, so the buffer is topped up again.
            e = lit[nextIndex<kExtract>(bits, d)];
            const uint32_t distance = takeValueFast<kExtract>(d, bits);
            wide -= uint32_t(d);
            topUp();
            if (distance > uint32_t(out - outStart)) {
              status = PngStatus::DistanceTooFar;
              goto fastExit;
            }
            out = copyMatch<kWide>(out, distance, length);
            continue;
          }
          {
            // One or two literals, or a whole match, without a test between
            // them: the processor could not guess which comes next.  Sixteen
            // bytes are stored either way, copied from the match's source, or
            // zeros from kZeros with the literals laid over them.
            const Entry cur = e;
            e = next;
            const uint32_t literalMask = uint32_t(int32_t(uint32_t(cur)) >> 31);  // all ones for literals
            const uint32_t distance = matchDistance<kExtract>(cur, bits) & ~literalMask;
            const uint32_t literals = uint32_t(cur >> 32) & literalMask;
            if (distance > uint32_t(out - outStart)) {
              status = PngStatus::DistanceTooFar;
              goto fastExit;
            }
            if (int64_t(cur << 1) < 0) {  // kLongCopy: a shift and the sign, faster here than a bit test
              copyMatch<kWide>(out, distance, outputBytes(cur));
            } else {
              copy16Literals(out, pick(literalMask, zeros, out - distance), literals);
            }
            out += outputBytes(cur);
            bits >>= usedBits(cur);
            wide -= uint32_t(cur);
          }
        } while (--turns != 0 || (in <= inLimit && out <= outLimit && (turns = turnsLeft(), true)));
      } else {
        // Stores the literal(s) of e and moves on to the entry looked up after it.
        const auto takeLiterals = [&]() __attribute__((always_inline)) {
          bits >>= usedBits(e);
          wide -= uint32_t(e);
          storeLiterals(out, e);
          out += (e >> 16) & 15;
          e = next;
        };
        // Both entries that may follow e, the literal/length one if it is a
        // literal and the distance one if it is a length, are looked up
        // before the test that tells which: when the processor's guess goes
        // wrong, the loads have been under way while it turned.
        const auto lookAhead = [&]() __attribute__((always_inline)) {
          const uint64_t after = nextIndex<kExtract>(bits, e);
          d = dist[after];
          next = lit[after];
          pinBeforeBranch(d);
          pinBeforeBranch(next);
        };
        do {
          topUp();
          lookAhead();
          if (e & kLiteral) {
            // Three literal entries per top-up, and the lookup after them: each
            // takes at most 15 of the 64 bits of input the top-up leaves.  Both
            // bytes of an entry are stored; a single literal's second byte is
            // overwritten by what comes next.  The next index comes from the
            // bits before the shift, beside it rather than after it.
            takeLiterals();
            // The same look-ahead for the second and third: when one is a
            // length, the distance entry is on its way when the match starts
            // (after a top-up of its own; the index needed at most 45 bits).
            lookAhead();
            if (!(e & kLiteral)) goto topUpForMatch;
            takeLiterals();
            lookAhead();
            if (!(e & kLiteral)) goto topUpForMatch;
            takeLiterals();
            continue;
          }
          if (false) {
          topUpForMatch:
            topUp();
          }
          if (e & (kLink | kEndOfBlock | kInvalid)) {  // one test on the way to a length
            if (e & kLink) {
              // Literals with long codes are rare: they come this way, single.
              e = followLink<kExtract>(lit, e, bits);
              if (e & kLiteral) {
                bits >>= usedBits(e);
                wide -= uint32_t(e);
                *out++ = uint8_t(e >> 32);
                e = primary(lit, bits, kLitBits);
                continue;
              }
              d = dist[nextIndex<kExtract>(bits, e)];
            }
            if (e & (kEndOfBlock | kInvalid)) {
              if (e & kInvalid) {
                status = PngStatus::BadSymbol;
                goto fastExit;
              }
              bits >>= usedBits(e);
              wide -= uint32_t(e);
              goto fastExit;
            }
          }
          {
            const uint32_t length = takeValueFast<kExtract>(e, bits);
            wide -= uint32_t(e);
            if (d & (kLink | kInvalid)) {
              if (d & kLink) d = followLink<kExtract>(dist, d, bits);
              if (d & kInvalid) {
                status = PngStatus::BadSymbol;
                goto fastExit;
              }
            }
            // No top-up needed for the next lookup: the one above left 64
            // bits of input in the buffer (those above the count are the bits
            // of the bytes at `in`), the length and distance took at most 48.
            e = lit[nextIndex<kExtract>(bits, d)];
            const uint32_t distance = takeValueFast<kExtract>(d, bits);
            wide -= uint32_t(d);
            if (distance > uint32_t(out - outStart)) {
              status = PngStatus::DistanceTooFar;
              goto fastExit;
            }
            out = copyMatch<kWide>(out, distance, length);
          }
        } while (--turns != 0 || (in <= inLimit && out <= outLimit && (turns = turnsLeft(), true)));
      }
      count = wide & 63;
      continue;  // the checks above decide again which way the next symbol goes
    fastExit:
      count = wide & 63;
      goto done;
    }

    // Near the end of the input window or of the output: one symbol, every check.
    s.bits = bits;
    s.count = count;
    s.in = in;
    if (count < 56) refillSlow(s);
    bits = s.bits;
    count = s.count;
    in = s.in;
    if (s.padBytes > 8) {  // more zeros than the buffer holds: some were used
      status = PngStatus::InputEnded;
      goto done;
    }
    const Entry e = lookup(lit, bits, kLitBits);
    if (e & kLiteral) {
      const uint32_t n = (e >> 16) & 15;
      if (uint32_t(outEnd - out) < n) {
        status = PngStatus::OutOfMemory;
        goto done;
      }
      bits >>= usedBits(e);
      count -= usedBits(e);
      out[0] = uint8_t(e >> 32);
      if (n == 2) out[1] = uint8_t(e >> 40);
      out += n;
      continue;
    }
    if (e & (kEndOfBlock | kInvalid)) {
      if (e & kInvalid) {
        status = PngStatus::BadSymbol;
        goto done;
      }
      bits >>= usedBits(e);
      count -= usedBits(e);
      goto done;
    }
    uint32_t length, distance;
    if (e & kMatch) {
      length = outputBytes(e);
      distance = matchDistance<false>(e, bits);
      bits >>= usedBits(e);
      count -= usedBits(e);
    } else {
      length = takeValue(e, bits);
      count -= usedBits(e);
      const Entry d = lookup(dist, bits, kDistBits);  // 56 - 20 bits left: enough for any distance
      if (d & kInvalid) {
        status = PngStatus::BadSymbol;
        goto done;
      }
      distance = takeValue(d, bits);
      count -= usedBits(d);
    }
    if (distance > uint32_t(out - outStart)) {
      status = PngStatus::DistanceTooFar;
      goto done;
    }
    if (length > uint32_t(outEnd - out)) {
      status = PngStatus::OutOfMemory;
      goto done;
    }
    for (uint32_t i = 0; i < length; ++i, ++out) *out = out[-ptrdiff_t(distance)];
  }
done:
  s.bits = bits;
  s.count = count;
  s.in = in;
  outRef = out;
  return status;
}

using DecodeBlock = PngStatus (*)(BitState&, const Entry*, const Entry*, uint8_t*, uint8_t*&, uint8_t*);
// The loops for one kind of processor: for blocks whose tables hold whole
// matches, and for the others.
struct DecodeLoops {
  DecodeBlock wholeMatches, twoLookups;
};

template <bool kUniform>
PngStatus decodeBlockPortable(BitState& s, const Entry* lit, const Entry* dist, uint8_t* outStart, uint8_t*& out,
                              uint8_t* outEnd) {
  return decodeBlockBody<false, false, kUniform>(s, lit, dist, outStart, out, outEnd);
}
constexpr DecodeLoops kPortableLoops = {decodeBlockPortable<true>, decodeBlockPortable<false>};

// The bit buffer work is all variable shifts and masks: where the processor
// has BMI2 they take one instruction each, without the shift count having to
// go through CL, and BMI1's bit-field extract makes an index in one.  With
// AVX2 as well, long matches are copied 32 bytes a move.
#if defined(__x86_64__) && defined(__GNUC__)
template <bool kUniform>
__attribute__((target("bmi,bmi2"))) PngStatus decodeBlockBmi2(BitState& s, const Entry* lit, const Entry* dist,
                                                              uint8_t* outStart, uint8_t*& out, uint8_t* outEnd) {
  return decodeBlockBody<true, false, kUniform>(s, lit, dist, outStart, out, outEnd);
}
template <bool kUniform>
__attribute__((target("bmi,bmi2,avx2"))) PngStatus decodeBlockAvx2(BitState& s, const Entry* lit, const Entry* dist,
                                                                   uint8_t* outStart, uint8_t*& out, uint8_t* outEnd) {
  return decodeBlockBody<true, true, kUniform>(s, lit, dist, outStart, out, outEnd);
}
DecodeLoops chooseDecodeLoops() {
  if (!__builtin_cpu_supports("bmi") || !__builtin_cpu_supports("bmi2")) return kPortableLoops;
  if (__builtin_cpu_supports("avx2")) return {decodeBlockAvx2<true>, decodeBlockAvx2<false>};
  return {decodeBlockBmi2<true>, decodeBlockBmi2<false>};
}
#else
DecodeLoops chooseDecodeLoops() { return kPortableLoops; }
#endif

PngStatus storedBlock(BitState& s, uint8_t*& out, uint8_t* const outEnd) {
  takeBits(s, s.count & 7);  // to the byte boundary
  const uint32_t length = takeBits(s, 16);
  const uint32_t complement = takeBits(s, 16);
  if (length != (~complement & 0xffff)) return PngStatus::StoredLengthMismatch;
  if (length > uint32_t(outEnd - out)) return PngStatus::OutOfMemory;
  uint32_t left = length;
  for (; left > 0 && s.count >= 8; --left) {  // whole bytes still in the buffer first
    *out++ = uint8_t(s.bits);
    s.bits >>= 8;
    s.count -= 8;
  }
  if (left == 0) return PngStatus::Ok;
  s.bits = 0;  // empty now; its upper bits would go stale as we copy past them
  while (left > 0) {
    if (s.in == s.end && !nextWindow(s)) return PngStatus::InputEnded;
    const uint32_t n = uint32_t(std::min<ptrdiff_t>(left, s.end - s.in));
    std::memcpy(out, s.in, n);
    out += n;
    s.in += n;
    left -= n;
  }
  return PngStatus::Ok;
}

}  // namespace

struct InfDecoder {
  DecodeLoops loops;  // chosen for the processor when the decoder is made
  bool wholeMatches;  // the dynamic tables hold whole matches
  Entry lit[kLitTableSize];
  Entry dist[kDistTableSize];
  Entry lenCodes[1 << kLenCodeBits];
  uint8_t lengths[kLitSymbols + kDistSymbols + 8];  // repeats are stored eight bytes at a time
};

namespace {

PngStatus readDynamicTables(BitState& s, InfDecoder* d) {
  const int litCount = int(takeBits(s, 5)) + 257;
  const int distCount = int(takeBits(s, 5)) + 1;
  const int lenCodeCount = int(takeBits(s, 4)) + 4;
  if (litCount > 286 || distCount > 30) return PngStatus::TooManyCodes;
  uint8_t lenCodeLengths[kLenCodeSymbols] = {};
  for (int i = 0; i < lenCodeCount; ++i) lenCodeLengths[kLenCodeOrder[i]] = uint8_t(takeBits(s, 3));
  PngStatus st = buildLenCodeTable(d->lenCodes, lenCodeLengths);
  if (st != PngStatus::Ok) return st;

  // Literal/length and distance lengths form one sequence; a repeat may run
  // from one into the other.
  const int total = litCount + distCount;
  uint8_t* const lengths = d->lengths;
  for (int n = 0; n < total;) {
    if (s.count < 14) refill(s);  // a code of up to 7 bits and up to 7 extra bits
    const Entry e = d->lenCodes[s.bits & ((1u << kLenCodeBits) - 1)];
    s.bits >>= usedBits(e);
    s.count -= usedBits(e);
    const uint32_t symbol = uint32_t(e >> 32);
    if (symbol < 16) {
      lengths[n++] = uint8_t(symbol);
      continue;
    }
    uint8_t value = 0;
    int repeat;
    if (symbol == 16) {
      if (n == 0) return PngStatus::BadLengthRepeat;
      value = lengths[n - 1];
      repeat = 3 + int(takeBits(s, 2));
    } else if (symbol == 17) {
      repeat = 3 + int(takeBits(s, 3));
    } else {
      repeat = 11 + int(takeBits(s, 7));
    }
    if (repeat > total - n) return PngStatus::BadLengthRepeat;
    // Whole words, up to 7 bytes past the repeat: what the next codes
    // overwrite, or past the end of the lengths in use.  (A call to memset
    // costs more than the few stores of a repeat.)
    const uint64_t word = value * 0x0101010101010101ull;
    for (int k = 0; k < repeat; k += 8) std::memcpy(lengths + n + k, &word, 8);
    n += repeat;
  }
  if (lengths[256] == 0) return PngStatus::NoEndOfBlock;
  st = buildLitTable(d->lit, kLitTableSize, lengths, litCount, true);
  if (st != PngStatus::Ok) return st;
  pairLiterals(d->lit);
  st = buildDistTable(d->dist, kDistTableSize, lengths + litCount, distCount, true);
  if (st == PngStatus::Ok)
    d->wholeMatches = combineMatches(d->lit, d->dist, countMatchFits(lengths, litCount, lengths + litCount, distCount));
  return st;
}

}  // namespace

InfResult inf_Stream(InfDecoder* d, InfSource* source, uint8_t* out, size_t outCapacity) {
  BitState s{0, 0, source->next, source->end, source, 0, false};
  uint8_t* o = out;
  uint8_t* const outEnd = out + outCapacity;
  InfResult result{PngStatus::Ok, 0, false};
  PngStatus st = PngStatus::Ok;

  // RFC 1950: CMF (method 8, window 2^(CINFO + 8) of at most 32 KiB), then FLG
  // making CMF * 256 + FLG a multiple of 31, without a preset dictionary.
  const uint32_t cmf = takeBits(s, 8);
  const uint32_t flg = takeBits(s, 8);
  if (usedPadding(s)) {
    st = PngStatus::InputEnded;
  } else if ((cmf & 15) != 8 || (cmf >> 4) > 7 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20)) {
    st = PngStatus::BadZlibHeader;
  }

  // The checksum follows the output block by block, over bytes that are
  // still in the cache, instead of one pass over all of it at the end.
  uint32_t sum = 1;
  const uint8_t* summed = out;
  for (bool last = false; st == PngStatus::Ok && !last;) {
    last = takeBits(s, 1);
    switch (takeBits(s, 2)) {
      case 0:
        st = storedBlock(s, o, outEnd);
        break;
      case 1: {
        const FixedTables& fixed = fixedTables();
        st = d->loops.twoLookups(s, fixed.lit, fixed.dist, out, o, outEnd);
        break;
      }
      case 2:
        st = readDynamicTables(s, d);
        if (st == PngStatus::Ok)
          st = (d->wholeMatches ? d->loops.wholeMatches : d->loops.twoLookups)(s, d->lit, d->dist, out, o, outEnd);
        break;
      default:
        st = PngStatus::BadBlockType;
        break;
    }
    // A fault may come from decoding zeros past the end: then the end is the cause.
    if (usedPadding(s)) st = PngStatus::InputEnded;
    sum = inf_Adler32(sum, summed, size_t(o - summed));
    summed = o;
  }

  if (st == PngStatus::Ok) {
    takeBits(s, s.count & 7);
    uint32_t adler = 0;
    for (int i = 0; i < 4; ++i) adler = adler << 8 | takeBits(s, 8);
    if (usedPadding(s)) {
      st = PngStatus::InputEnded;
    } else {
      result.adlerMatches = adler == sum;
    }
  }
  source->next = s.in;
  result.status = st;
  result.produced = size_t(o - out);
  return result;
}

InfDecoder* inf_CreateDecoder() {
  InfDecoder* d = new (std::nothrow) InfDecoder;
  if (d) d->loops = gPlainCode ? kPortableLoops : chooseDecodeLoops();
  return d;
}

void inf_DestroyDecoder(InfDecoder* decoder) { delete decoder; }

InfResult inf_Zlib(InfDecoder* decoder, const uint8_t* in, size_t inSize, uint8_t* out, size_t outCapacity) {
  InfSource source;
  source.next = in;
  source.end = in + inSize;
  return inf_Stream(decoder, &source, out, outCapacity);
}
