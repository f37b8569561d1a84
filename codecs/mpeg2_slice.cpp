// Slices and macroblocks: addresses and skipped macroblocks, macroblock
// modes, motion vectors, coded block patterns, coefficient decoding with
// inverse quantisation, and the reconstruction of each luminance block.
#include "codecs/mpeg2_private.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace mpg {
namespace {

// The motion of one macroblock, vectors in half samples (field vectors in
// field lines).
struct Motion {
  int flags = 0;  // kMbForward | kMbBackward
  int type = kMotionFrameOr16x8;
  int mv[2][2][2] = {};        // [first/second][forward/backward][h/v]
  int fieldSelect[2][2] = {};  // [first/second][forward/backward]
  int dmv[2] = {0, 0};
};

int saturate(int v) { return v < -2048 ? -2048 : (v > 2047 ? 2047 : v); }

bool gRangeShortcut = true;

// Also makes the weights times the scale, so that a coefficient costs one
// multiplication; a straight loop, as macroblocks change the scale often.
void quantiserScale(Decoder& d, int code) {
  const int scale = d.mpeg2 ? (d.qScaleType ? kNonLinearScale[code] : code * 2) : code;
  d.quantScale = scale;
  d.interInRange = gRangeShortcut && d.tables.interDctLargest * d.largestInterWeight * scale < (d.mpeg2 ? 32 : 16) * 2048;
  for (int i = 0; i < 64; ++i) {
    d.quantIntra[i] = d.scannedIntra[i] * scale;
    d.quantInter[i] = d.scannedInter[i] * scale;
  }
}

// ---------------------------------------------------------------------------
// Motion vectors.

// The bit reader in locals for the length of a block or a vector, so that
// it lives in registers instead of the decoder; written back before
// anything else reads the stream.
struct LocalBits {
  uint64_t cache;
  int count;
  const uint8_t* p;
  const uint8_t* end;
  explicit LocalBits(const Decoder& d) : cache(d.bits.cache), count(d.bits.count), p(d.bits.p), end(d.bits.end) {}
  void storeTo(Decoder& d) const {
    d.bits.cache = cache;
    d.bits.count = count;
    d.bits.p = p;
  }
  // At least 32 bits in the cache, as bits_Need.
  void need(Decoder& d) {
    if (count >= 32) return;
    if (end - p >= 8) return bits_TopUp(cache, count, p);
    storeTo(d);
    bits_RefillSlow(d);
    *this = LocalBits(d);
  }
  // At least 56 bits in the cache, whatever it held: three coefficient
  // codes with their signs (17 bits at most) fit, or two motion vector
  // components.  Tops up without looking at the count, which codes of
  // random lengths would make a coin toss.
  void fill(Decoder& d) {
    if (end - p >= 8) return bits_TopUp(cache, count, p);
    if (count >= 56) return;
    storeTo(d);
    bits_RefillSlow(d);
    *this = LocalBits(d);
  }
  uint32_t show(int n) const { return uint32_t(cache >> (64 - n)); }
  void skip(int n) {
    cache <<= n;
    count -= n;
  }
  uint32_t get(int n) {
    const uint32_t v = show(n);
    skip(n);
    return v;
  }
  // Entries without a code have length 0.  The coefficient tables' also
  // carry a run that says so, which their loops test anyway: their skip
  // needs no test of its own.
  template <int F, bool Dct>
  VlcEntry decodeWith(const VlcEntry* entries) {
    const VlcEntry* e = &entries[show(F)];
    if (e->length < 0) {
      const int more = -e->length;
      e = &entries[e->value + (uint32_t(cache >> (64 - F - more)) & ((1u << more) - 1))];
    }
    if (Dct || e->length > 0) skip(e->length);
    return *e;
  }
  VlcEntry decode(const VlcEntry* entries) { return decodeWith<VlcTable::kFirstBits, false>(entries); }
  VlcEntry decodeDct(const VlcEntry* entries) { return decodeWith<VlcTable::kDctFirstBits, true>(entries); }
};

// The cache holds 28 bits at least when this starts: enough for the
// longest code, its sign and residual (11 + 1 + 14) and a dual-prime
// differential (2).
// The four shortest codes (magnitudes 0..3: 1, 01, 001, 0001) are most of
// them and read as their count of leading zeros, without the table.
inline int motionDelta(Decoder& d, LocalBits& b, int rSize) {
  const int zeros = __builtin_clzll(b.cache | uint64_t(1) << 59);  // 0..4
  int value = zeros;
  if (zeros < 4) {
    b.skip(zeros + 1);
  } else {
    const VlcEntry e = b.decode(d.tables.motionCode.entries);
    if (e.length == 0) {
      mpg_Message(MpgDiagnostic::PictureFault, "Invalid motion_vector code\n");
      d.fault = true;
      return 0;
    }
    value = e.value;
  }
  // The sign and residual follow a nonzero magnitude only.  Taken with
  // selects: whether the magnitude is 0 is a coin toss.  The residual is
  // the rSize bits after the sign (none when rSize is 0).
  const int nonzero = value != 0;
  const int negative = int(b.cache >> 63);
  const int residual = int(((b.cache << 1) >> 1) >> (63 - rSize));
  b.skip(nonzero * (1 + rSize));
  const int delta = ((value - nonzero) << rSize) + residual + 1;
  return ((delta ^ -negative) + negative) & -nonzero;
}

inline int dmVector(LocalBits& b) {
  if (!b.get(1)) return 0;
  return b.get(1) ? -1 : 1;
}

// One vector: prediction from PMV, wrapped into the f_code's range.  A field
// vector of a frame picture keeps its prediction in frame units.  Both
// sets the second predictor too, from the value in a register: a copy read
// back as one 8-byte load from two 4-byte stores just made would wait for
// them to retire.  The modes are template arguments, so that the common
// vector tests none of them.
template <bool DualPrime, bool FieldInFrame, bool Both>
inline void motionVector(Decoder& d, LocalBits& b, Motion& m, int r, int s) {
  // Both components at once: 2 x 28 bits at most (code, sign, residual and
  // a dual-prime differential) fit the 56 that fill leaves, topped up
  // without a test that codes of random lengths make a coin toss.
  b.fill(d);
  for (int t = 0; t < 2; ++t) {
    const int rSize = d.motionBits[s][t];
    const int delta = motionDelta(d, b, rSize);
    if (DualPrime) m.dmv[t] = dmVector(b);
    const bool halved = FieldInFrame && t == 1;
    int v = (halved ? d.pmv[r][s][t] >> 1 : d.pmv[r][s][t]) + delta;
    // Into [-16f, 16f - 1] by adding or taking 32f: v lies within 48f
    // of 0 (a prediction within 32f, a field one in frame units, plus a
    // delta within 16f), where that is the remainder modulo 32f, a power
    // of two: v's low 5 + rSize bits, sign-extended.
    const int wrap = d.motionWrap[s][t];
    v = int(uint32_t(v) << wrap) >> wrap;
    const int stored = halved ? v * 2 : v;
    d.pmv[r][s][t] = stored;
    if (Both) d.pmv[1][s][t] = stored;
    m.mv[r][s][t] = v * (1 << d.fullPel[s]);
  }
}

__attribute__((always_inline)) inline void motionVectors(Decoder& d, LocalBits& b, Motion& m, int s) {
  const bool frame = d.pictureStructure == kFramePicture;
  // One frame vector: all of MPEG-1 and most of MPEG-2.
  if (!d.mpeg2 || (frame && m.type == kMotionFrameOr16x8)) return motionVector<false, false, true>(d, b, m, 0, s);
  const bool twoVectors = frame ? m.type == kMotionField : m.type == kMotionFrameOr16x8;
  if (twoVectors) {
    for (int r = 0; r < 2; ++r) {
      b.need(d);
      m.fieldSelect[r][s] = int(b.get(1));
      if (frame)
        motionVector<false, true, false>(d, b, m, r, s);
      else
        motionVector<false, false, false>(d, b, m, r, s);
    }
    return;
  }
  // One field vector (a field picture's, or a frame picture's dual prime).
  if (m.type == kMotionDualPrime) {
    if (frame)
      motionVector<true, true, true>(d, b, m, 0, s);
    else
      motionVector<true, false, true>(d, b, m, 0, s);
    return;
  }
  b.need(d);
  m.fieldSelect[0][s] = int(b.get(1));
  motionVector<false, false, true>(d, b, m, 0, s);
}

// ---------------------------------------------------------------------------
// Prediction.

Plane framePlane(const Decoder& d, uint8_t* store) {
  return Plane{store, d.codedWidth, d.codedWidth, d.codedHeight};
}

Plane fieldPlane(const Decoder& d, uint8_t* store, int parity) {
  return Plane{store + (parity ? d.codedWidth : 0), d.codedWidth * 2, d.codedWidth, d.codedHeight / 2};
}

// The reference field a field picture predicts from.  The second field of
// a P frame finds the opposite parity in its own frame's first field.
Plane referenceField(const Decoder& d, int s, int parity) {
  const int own = d.pictureStructure == kBottomField;
  uint8_t* store = s ? d.backward : d.forward;
  if (s == 0 && d.pictureType == kPredicted && d.secondField && parity != own) store = d.current;
  return fieldPlane(d, store, parity);
}

// (x * m) // 2 with the standard's rounding of halves away from zero.
int scaledHalf(int x, int m) { return (x * m + (x > 0)) >> 1; }

void predict(const Decoder& d, const Motion& m, int mbx, int mby) {
  const int x = mbx * 16;
  bool avg = false;
  if (d.pictureStructure == kFramePicture) {
    if (m.type == kMotionDualPrime) {
      const int mvx = m.mv[0][0][0], mvy = m.mv[0][0][1];
      // Vectors to the opposite field: for the top field from the bottom one
      // and for the bottom field from the top one, the distance between the
      // fields scaling the vector by 1/2 or 3/2 by field order.
      const int mTop = d.topFieldFirst ? 1 : 3, mBottom = d.topFieldFirst ? 3 : 1;
      const int dx[2] = {scaledHalf(mvx, mTop) + m.dmv[0], scaledHalf(mvx, mBottom) + m.dmv[0]};
      const int dy[2] = {scaledHalf(mvy, mTop) + m.dmv[1] - 1, scaledHalf(mvy, mBottom) + m.dmv[1] + 1};
      for (int f = 0; f < 2; ++f) {
        const Plane dst = fieldPlane(d, d.current, f);
        mc_Predict(dst, x, mby * 8, fieldPlane(d, d.forward, f), mvx, mvy, 8, false);
        mc_Predict(dst, x, mby * 8, fieldPlane(d, d.forward, 1 - f), dx[f], dy[f], 8, true);
      }
      return;
    }
    for (int s = 0; s < 2; ++s) {
      if (!(m.flags & (s ? kMbBackward : kMbForward))) continue;
      uint8_t* ref = s ? d.backward : d.forward;
      if (m.type == kMotionField) {
        for (int f = 0; f < 2; ++f)
          mc_Predict(fieldPlane(d, d.current, f), x, mby * 8, fieldPlane(d, ref, m.fieldSelect[f][s]),
                     m.mv[f][s][0], m.mv[f][s][1], 8, avg);
      } else {
        mc_Predict(framePlane(d, d.current), x, mby * 16, framePlane(d, ref), m.mv[0][s][0], m.mv[0][s][1], 16,
                   avg);
      }
      avg = true;
    }
    return;
  }
  const int parity = d.pictureStructure == kBottomField;
  const Plane dst = fieldPlane(d, d.current, parity);
  if (m.type == kMotionDualPrime) {
    const int mvx = m.mv[0][0][0], mvy = m.mv[0][0][1];
    const int dx = scaledHalf(mvx, 1) + m.dmv[0];
    const int dy = scaledHalf(mvy, 1) + m.dmv[1] + (parity ? 1 : -1);
    mc_Predict(dst, x, mby * 16, referenceField(d, 0, parity), mvx, mvy, 16, false);
    mc_Predict(dst, x, mby * 16, referenceField(d, 0, 1 - parity), dx, dy, 16, true);
    return;
  }
  for (int s = 0; s < 2; ++s) {
    if (!(m.flags & (s ? kMbBackward : kMbForward))) continue;
    if (m.type == kMotionFrameOr16x8) {
      for (int half = 0; half < 2; ++half)
        mc_Predict(dst, x, mby * 16 + half * 8, referenceField(d, s, m.fieldSelect[half][s]), m.mv[half][s][0],
                   m.mv[half][s][1], 8, avg);
    } else {
      mc_Predict(dst, x, mby * 16, referenceField(d, s, m.fieldSelect[0][s]), m.mv[0][s][0], m.mv[0][s][1], 16,
                 avg);
    }
    avg = true;
  }
}

// Field vectors in a frame picture: each field's 16 x 8 half from a field
// of the reference, straight to its kernel where it lies inside that field.
void predictFields(const Decoder& d, const Motion& m, int mbx, int mby) {
  const int w = d.codedWidth, lines = d.codedHeight / 2, x = mbx * 16, y = mby * 8;
  bool avg = false;
  for (int s = 0; s < 2; ++s) {
    if (!(m.flags & (s ? kMbBackward : kMbForward))) continue;
    uint8_t* const ref = s ? d.backward : d.forward;
    for (int f = 0; f < 2; ++f) {
      const int mvx = m.mv[f][s][0], mvy = m.mv[f][s][1];
      const int sx = x + (mvx >> 1), sy = y + (mvy >> 1);
      // As in predictMacroblock; fields are 8 lines at least.
      if (ref && unsigned(sx) < unsigned(w - 15 - (mvx & 1)) && unsigned(sy) < unsigned(lines - 7 - (mvy & 1)))
        mc_Kernels8[avg][(mvx & 1) | (mvy & 1) << 1](d.current + size_t(f) * size_t(w) + size_t(y) * size_t(2 * w) + size_t(x),
                                                    2 * w, ref + size_t(m.fieldSelect[f][s]) * size_t(w) +
                                                               size_t(sy) * size_t(2 * w) + size_t(sx), 2 * w);
      else
        mc_Predict(fieldPlane(d, d.current, f), x, y, fieldPlane(d, ref, m.fieldSelect[f][s]), mvx, mvy, 8, avg);
    }
    avg = true;
  }
}

// Sixteen rows of sixteen samples, four rows a step, addressed from the
// step's first.
inline void copyRows16(uint8_t* out, const uint8_t* in, size_t stride) {
  for (int r = 0; r < 4; ++r, out += 4 * stride, in += 4 * stride) {
    std::memcpy(out, in, 16);
    std::memcpy(out + stride, in + stride, 16);
    std::memcpy(out + 2 * stride, in + 2 * stride, 16);
    std::memcpy(out + 3 * stride, in + 3 * stride, 16);
  }
}

// Frame vectors in a frame picture, most macroblocks: inline, with each
// direction whose block lies inside its reference going straight to its
// kernel; field vectors there by predictFields, the rest as predict()
// does it.
__attribute__((always_inline)) inline void predictMacroblock(const Decoder& d, const Motion& m, int mbx, int mby) {
  if (d.pictureStructure != kFramePicture || m.type == kMotionDualPrime || !d.current) return predict(d, m, mbx, mby);
  if (m.type == kMotionField) return predictFields(d, m, mbx, mby);
  const int w = d.codedWidth, x = mbx * 16, y = mby * 16;
  uint8_t* const out = d.current + size_t(y) * size_t(w) + size_t(x);
  bool avg = false;
  for (int s = 0; s < 2; ++s) {
    if (!(m.flags & (s ? kMbBackward : kMbForward))) continue;
    uint8_t* const ref = s ? d.backward : d.forward;
    const int mvx = m.mv[0][s][0], mvy = m.mv[0][s][1];
    const int sx = x + (mvx >> 1), sy = y + (mvy >> 1);
    // (sx <= w - 16 - half as sx < w - 15 - half: never below 0, as pictures are 16 wide at least.)
    if (ref && unsigned(sx) < unsigned(w - 15 - (mvx & 1)) && unsigned(sy) < unsigned(d.codedHeight - 15 - (mvy & 1))) {
      const uint8_t* in = ref + size_t(sy) * size_t(w) + size_t(sx);
      const int half = (mvx & 1) | (mvy & 1) << 1;
      // A full-sample vector without averaging, nearly half of them (every
      // skipped P macroblock's): sixteen rows copied here.  A kernel called
      // through a pointer whose target changes from block to block costs
      // more than the test.
      if ((half | int(avg)) == 0)
        copyRows16(out, in, size_t(w));
      else
        mc_Kernel16(avg, half)(out, w, in, w);
    } else
      mc_Predict(framePlane(d, d.current), x, y, framePlane(d, ref), mvx, mvy, 16, avg);
    avg = true;
  }
}

// A P macroblock without vectors: the co-located block of the forward
// reference (the same-parity field in field pictures).
Motion zeroMotion(const Decoder& d) {
  Motion m;
  m.flags = kMbForward;
  if (d.pictureStructure == kFramePicture) {
    m.type = kMotionFrameOr16x8;
  } else {
    m.type = kMotionField;
    m.fieldSelect[0][0] = d.pictureStructure == kBottomField;
  }
  return m;
}

// ---------------------------------------------------------------------------
// Coefficients: a luminance block's are dequantised into the block for the
// transform; a chrominance block's codes are read and checked, their values
// dropped (skipChroma).

struct BlockNames {
  const char* huffman;
  const char* index;
};
const BlockNames kIntra1 = {"invalid Huffman code in getintrablock()\n", "DCT coeff index (i) out of bounds (intra)\n"};
const BlockNames kInter1 = {"invalid Huffman code in getinterblock()\n", "DCT coeff index (i) out of bounds (inter)\n"};
const BlockNames kIntra2 = {"invalid Huffman code in getmpg2intrablock()\n",
                            "DCT coeff index (i) out of bounds (intra2)\n"};
const BlockNames kInter2 = {"invalid Huffman code in getmpg2interblock()\n",
                            "DCT coeff index (i) out of bounds (inter2)\n"};

// Reads an escape's run and level, the escape code itself taken.  Tops the
// cache up first: the block loops read three codes a top-up, which fit only
// without escapes; after this one's 22 bits at most, two more codes still
// fit.  Inlined so that the block loops' bit reader stays in registers.
__attribute__((always_inline)) inline bool escape(Decoder& d, LocalBits& b, int& run, int& level, bool intra) {
  b.fill(d);
  run = int(b.get(6));
  if (d.mpeg2) {
    level = int(b.get(12));
    if (level >= 2048) level -= 4096;
    if ((level & 2047) == 0 && intra) {
      mpg_Message(MpgDiagnostic::CodeFault, "invalid signed_level (escape) in getmpg2intrablock()\n");
      d.fault = true;
      return false;
    }
    return true;
  }
  level = int(b.get(8));
  if (level == 0)
    level = int(b.get(8));
  else if (level == 128)
    level = int(b.get(8)) - 256;
  else if (level > 128)
    level -= 256;
  return true;
}

// MPEG-1 reconstruction makes every nonzero value odd, towards zero.  A
// select, not a branch: which values are even is a coin toss.
inline int oddified(int v) {
  const bool keep = (v & 1) | (v == 0);
  return keep ? v : v - ((v >> 31) | 1);
}

// Saturation as a test that valid streams pass without taking.
inline int clampCoefficient(int v) {
  if (__builtin_expect(unsigned(v + 2048) > 4095u, 0)) v = v < 0 ? -2048 : 2047;
  return v;
}

// What a coefficient loop does on a step past the last index: the end of
// the block (1), an escape with its run and level read (0), an inter
// block's escape that codes a zero level (2: nothing to add), or a fault
// reported (-1).  `i` is the index with the code's step added.
inline int specialCode(Decoder& d, LocalBits& b, const VlcEntry& e, int& i, int& level, bool intra,
                       const BlockNames& names) {
  const int step = e.extra;
  if (step == kDctEndOfBlock) return 1;
  if (step == kDctNoCode) {
    mpg_Message(MpgDiagnostic::CodeFault, "%s", names.huffman);
    d.fault = true;
    return -1;
  }
  if (step == kDctEscape) {
    int escRun;
    if (!escape(d, b, escRun, level, intra)) return -1;
    i += escRun + 1 - kDctEscape;
    if (i <= 63) return level || intra ? 0 : 2;
  }
  mpg_Message(MpgDiagnostic::CodeFault, "%s", names.index);
  d.fault = true;
  return -1;
}

// The coefficient codes of a block that is read past, not reconstructed,
// from index i (the last one coded) to the end of the block: 1 there, -1 on
// a fault.  The codes go several at a time by the table of SkipRuns while
// they lie whole in its index and stay inside the block; anything else (an
// escape, a code that is no code or too long, a step past the last index)
// takes the one-code path, which reports faults as the storing loops do.
inline int skipCodes(Decoder& d, LocalBits& b, const uint16_t* runs, const VlcEntry* table, int i, bool intra,
                     const BlockNames& names) {
  for (;;) {
    b.fill(d);  // 56 bits: two SkipRuns, or one and then a code
    unsigned run = runs[b.show(kSkipBits)];
    int next = i + skipSteps(run);
    if (next <= 63) {
      b.skip(skipLength(run));
      i = next;
      if (run & kSkipEndFlag) return 1;
      run = runs[b.show(kSkipBits)];
      next = i + skipSteps(run);
      if (next <= 63) {
        b.skip(skipLength(run));
        i = next;
        if (run & kSkipEndFlag) return 1;
        continue;
      }
    }
    const VlcEntry e = b.decodeDct(table);
    int level = e.value;
    i += e.extra;
    if (i > 63) {
      const int special = specialCode(d, b, e, i, level, intra, names);
      if (special == 1 || special < 0) return special;
    }
  }
}

// What a block holds, for the transform to take the short way.
enum BlockKind : int {
  kBlockEmpty = 0,    // nothing coded: the prediction stands
  kBlockDcOnly = 1,   // DC alone, or with the [63] that mismatch control may set
  kBlockGeneral = 2,
};

// Returns the kind of block for the transform.  Kept out of line, one copy
// per syntax, so that each loop gets the registers to itself; the scan and
// the weights are read through the context, which holds no register more.
template <bool Mpeg2>
__attribute__((noinline)) BlockKind intraBlock(Decoder& d, int16_t* blk) {
  const Tables& t = d.tables;
  LocalBits b(d);
  b.need(d);
  const VlcEntry size = b.decode(t.dcLuma.entries);
  // dct_dc_differential without branches (its size and sign are a coin
  // toss): size bits, 0 of them giving 0; below half the range, negative.
  const int bits = size.value;
  int diff = int((b.cache >> 1) >> (63 - bits));
  b.skip(bits);
  if (diff < ((1 << bits) >> 1)) diff -= (1 << bits) - 1;
  d.dcPred[0] += diff;
  BlockKind kind = kBlockDcOnly;
  const int dc = saturate(d.dcPred[0] * (8 >> d.intraDcPrecision));
  blk[0] = int16_t(dc);
  int sum = dc;
  if (d.pictureType == kDcOnly) {
    b.storeTo(d);
    return kind;
  }
  const VlcEntry* const table = t.dct[d.mpeg2 && d.intraVlcFormat].entries;
  constexpr bool mpeg2 = Mpeg2;
  const BlockNames& names = mpeg2 ? kIntra2 : kIntra1;
  int i = 0;  // the last index coded
  // One code: 0 to go on, 1 at the end of the block, -1 on a fault.
  auto code = [&]() {
    const VlcEntry e = b.decodeDct(table);
    int level = e.value;
    i += e.extra;
    if (i > 63) {
      const int special = specialCode(d, b, e, i, level, true, names);
      if (special != 0) return special;
    }
    const int q = d.quantIntra[i];
    const int v = mpeg2 ? clampCoefficient((level * q) / 16) : clampCoefficient(oddified((level * q) / 8));
    blk[d.scan[i]] = int16_t(v);
    sum += v;
    kind = kBlockGeneral;
    return 0;
  };
  int status = 0;
  while (!status) {  // three codes a top-up (an escape tops up for itself)
    b.fill(d);
    status = code();
    if (!status) status = code();
    if (!status) status = code();
  }
  b.storeTo(d);
  if (status < 0) return kBlockEmpty;
  if (mpeg2 && !(sum & 1)) blk[63] = int16_t(blk[63] ^ 1);
  return kind;
}

// Clamp false: the scale and weights keep every level of the table inside
// the coefficient range (Decoder::interInRange), so that only an escape's
// level is saturated.
template <bool Mpeg2, bool Clamp>
__attribute__((noinline)) BlockKind interBlock(Decoder& d, int16_t* blk) {
  const VlcEntry* const table = d.tables.interDct.entries;
  constexpr bool mpeg2 = Mpeg2;
  LocalBits b(d);
  // top: the last index with a coefficient stored, -1 for none: the kind
  // of block follows from it, as the indices only grow.
  int sum = 0, top = -1;
  // Levels come as 2 * level + sign, as the reconstruction takes them.
  auto value = [&](int i, int doubled, auto saturated) {
    const int weighted = doubled * d.quantInter[i];
    return mpeg2 ? saturated(weighted / 32) : saturated(oddified(weighted / 16));
  };
  auto clamped = [](int v) { return clampCoefficient(v); };
  auto asIs = [](int v) { return v; };
  auto put = [&](int i, int v) {
    blk[d.scan[i]] = int16_t(v);
    sum += v;
    top = i;
  };
  int i = -1;  // the last index coded
  b.need(d);
  {
    // "1s" as the first code is run 0, level 1.  Taken with selects, since
    // whether a block starts so is a coin toss: when it does not, a zero
    // goes where the block is clear already.
    const int first = int(b.show(1));
    const int doubled = 3 - 6 * int(b.show(2) & 1);
    b.skip(2 * first);
    i = first - 1;
    const int v = (Clamp ? value(0, doubled, clamped) : value(0, doubled, asIs)) & -first;
    blk[d.scan[0]] = int16_t(v);
    sum += v;
    top = i;
  }
  const BlockNames& names = mpeg2 ? kInter2 : kInter1;
  // One code: 0 to go on, 1 at the end of the block, -1 on a fault.
  auto code = [&]() {
    const VlcEntry e = b.decodeDct(table);
    const int doubled = e.value;
    i += e.extra;
    if (i > 63) {
      int level;
      const int special = specialCode(d, b, e, i, level, false, names);
      if (special != 0) return special == 2 ? 0 : special;
      // An escape's level, never 0 here.
      put(i, value(i, 2 * level + ((level >> 31) | 1), clamped));
      return 0;
    }
    put(i, Clamp ? value(i, doubled, clamped) : value(i, doubled, asIs));
    return 0;
  };
  int status = 0;
  while (!status) {  // three codes a top-up (an escape tops up for itself)
    b.fill(d);
    status = code();
    if (!status) status = code();
    if (!status) status = code();
  }
  b.storeTo(d);
  if (status < 0) return kBlockEmpty;
  BlockKind kind = top >= 0 ? (top > 0 ? kBlockGeneral : kBlockDcOnly) : kBlockEmpty;
  if (mpeg2 && !(sum & 1)) {
    blk[63] = int16_t(blk[63] ^ 1);
    if (kind == kBlockEmpty) kind = kBlockDcOnly;
  }
  return kind;
}

// The chrominance blocks of a macroblock, `left` the pattern's bits for
// them, read past in one call with the bit reader in registers throughout:
// an intra block's DC differential (which moves the prediction) and its
// codes, an inter block's codes with the short first one.  Stops at a fault.
template <bool intra>
__attribute__((noinline)) void skipChroma(Decoder& d, int left, int chroma) {
  const Tables& t = d.tables;
  const int format = intra && d.mpeg2 && d.intraVlcFormat;
  const uint16_t* const runs = t.skip[format];
  const VlcEntry* const table = intra ? t.dct[format].entries : t.interDct.entries;
  const BlockNames& names = intra ? (d.mpeg2 ? kIntra2 : kIntra1) : (d.mpeg2 ? kInter2 : kInter1);
  LocalBits b(d);
  while (left) {
    const int top = 31 - __builtin_clz(unsigned(left));
    left &= ~(1 << top);
    b.need(d);
    int i;  // the last index coded
    if (intra) {
      // As intraBlock's differential.
      const int cc = 1 + ((chroma - 1 - top) & 1);
      const int bits = b.decode(t.dcChroma.entries).value;
      int diff = int((b.cache >> 1) >> (63 - bits));
      b.skip(bits);
      if (diff < ((1 << bits) >> 1)) diff -= (1 << bits) - 1;
      d.dcPred[cc] += diff;
      if (d.pictureType == kDcOnly) continue;
      i = 0;
    } else {
      // As interBlock's first code: "1s" is run 0, level 1.
      const int first = int(b.show(1));
      b.skip(2 * first);
      i = first - 1;
    }
    if (skipCodes(d, b, runs, table, i, intra, names) < 0) break;
  }
  b.storeTo(d);
}

// ---------------------------------------------------------------------------
// Macroblocks.

// Where the luminance blocks of macroblock (mbx, mby) lie: block k at
// base + (k & 1) * 8 + (k >> 1) * down, its rows `stride` apart.
struct BlockPlace {
  uint8_t* base;
  int stride;
  size_t down;
};

BlockPlace blockPlace(const Decoder& d, int mbx, int mby, bool fieldDct) {
  const size_t w = size_t(d.codedWidth);
  uint8_t* const corner = d.current + size_t(mbx) * 16;
  if (d.pictureStructure != kFramePicture) {
    const size_t parity = d.pictureStructure == kBottomField;
    return {corner + parity * w + size_t(mby) * 32 * w, int(2 * w), 16 * w};
  }
  if (fieldDct) return {corner + size_t(mby) * 16 * w, int(2 * w), w};
  return {corner + size_t(mby) * 16 * w, int(w), 8 * w};
}

void resetDc(Decoder& d) { d.dcPred[0] = d.dcPred[1] = d.dcPred[2] = 128 << d.intraDcPrecision; }

void resetPmv(Decoder& d) { std::memset(d.pmv, 0, sizeof d.pmv); }

void skipped(Decoder& d, int mbx, int mby) {
  resetDc(d);
  if (d.pictureType == kBidirectional) {
    Motion m;
    m.flags = d.prevFlags & (kMbForward | kMbBackward);
    m.type = d.pictureStructure == kFramePicture ? kMotionFrameOr16x8 : kMotionField;
    // The last macroblock's directions and predictors, but in a field
    // picture always from the fields of the picture's own parity, whatever
    // the last macroblock selected.
    for (int s = 0; s < 2; ++s) {
      m.mv[0][s][0] = d.pmv[0][s][0] * (1 << d.fullPel[s]);
      m.mv[0][s][1] = d.pmv[0][s][1] * (1 << d.fullPel[s]);
      m.fieldSelect[0][s] = d.pictureStructure == kBottomField;
    }
    predictMacroblock(d, m, mbx, mby);
  } else {
    resetPmv(d);
    predictMacroblock(d, zeroMotion(d), mbx, mby);
  }
}

void macroblock(Decoder& d, int mbx, int mby) {
  const Tables& t = d.tables;
  const bool frame = d.pictureStructure == kFramePicture;
  // The header in a local reader up to the blocks: the type, modes and
  // scale take at most 6 + 2 + 1 + 5 bits.
  LocalBits b(d);
  b.need(d);
  const VlcEntry type = b.decode(t.mbType[d.pictureType].entries);
  if (type.length == 0) {
    b.storeTo(d);
    mpg_Message(MpgDiagnostic::PictureFault, "Invalid macroblock_type code\n");
    d.fault = true;
    return;
  }
  const int flags = type.value;
  const bool intra = flags & kMbIntra;
  Motion m;
  m.flags = flags & (kMbForward | kMbBackward);
  m.type = frame ? kMotionFrameOr16x8 : kMotionField;
  if (d.mpeg2 && m.flags && !(frame && d.framePredFrameDct)) {
    m.type = int(b.get(2));
    if (m.type == 0) {
      b.storeTo(d);
      mpg_Message(MpgDiagnostic::PictureFault, "invalid motion_type\n");
      d.fault = true;
      return;
    }
  }
  const bool fieldDct = d.mpeg2 && frame && !d.framePredFrameDct && (intra || (flags & kMbPattern)) && b.get(1);
  if (flags & kMbQuant) quantiserScale(d, int(b.get(5)));
  const bool concealment = intra && d.concealment;
  if ((m.flags & kMbForward) || concealment) motionVectors(d, b, m, 0);
  if (m.flags & kMbBackward) motionVectors(d, b, m, 1);
  b.need(d);
  if (concealment) b.get(1);
  if (d.fault) {
    b.storeTo(d);
    return;
  }

  const int blocks = d.blockCount;
  int cbp = (1 << blocks) - 1;
  if (!intra) {
    cbp = 0;
    if (flags & kMbPattern) {
      const VlcEntry e = b.decode(t.cbp.entries);
      if (e.length == 0) {
        b.storeTo(d);
        mpg_Message(MpgDiagnostic::PictureFault, "Invalid coded_block_pattern code\n");
        d.fault = true;
        return;
      }
      cbp = e.value;
      b.need(d);
      if (blocks == 8) cbp = (cbp << 2) | int(b.get(2));
      if (blocks == 12) cbp = (cbp << 6) | int(b.get(6));
    }
    b.storeTo(d);
    if (!m.flags && d.pictureType == kPredicted) {
      resetPmv(d);
      m = zeroMotion(d);
    }
    predictMacroblock(d, m, mbx, mby);
    resetDc(d);
  } else {
    b.storeTo(d);
    if (!concealment) resetPmv(d);
  }

  int16_t* blk = d.block;
  const BlockPlace place = blockPlace(d, mbx, mby, fieldDct);
  // Coded blocks only, in order: the pattern's bits from the top, block 0
  // first; the four luminance blocks, then the chrominance ones.  Which
  // blocks are coded is a coin toss; a loop over them is not.
  const int chroma = blocks - 4;
  for (int left = (cbp >> chroma) & 15; left;) {
    const int top = 31 - __builtin_clz(unsigned(left));
    left &= ~(1 << top);
    const int k = 3 - top;
    const BlockKind kind = intra ? (d.mpeg2 ? intraBlock<true>(d, blk) : intraBlock<false>(d, blk))
                           : d.interInRange ? (d.mpeg2 ? interBlock<true, false>(d, blk) : interBlock<false, false>(d, blk))
                                            : (d.mpeg2 ? interBlock<true, true>(d, blk) : interBlock<false, true>(d, blk));
    if (d.fault) {
      std::memset(blk, 0, sizeof d.block);
      return;
    }
    const int stride = place.stride;
    uint8_t* const dst = place.base + (k & 1) * 8 + size_t(k >> 1) * place.down;
    const bool dcOnly = kind == kBlockDcOnly;
    if (intra) {
      if (dcOnly) idct_PutDc(blk, dst, stride);
      else idct_Put(blk, dst, stride);
    } else if (kind != kBlockEmpty) {
      if (dcOnly) idct_AddDc(blk, dst, stride);
      else idct_Add(blk, dst, stride);
    }
  }
  if (const int left = cbp & ((1 << chroma) - 1)) intra ? skipChroma<true>(d, left, chroma) : skipChroma<false>(d, left, chroma);
  if (d.pictureType == kDcOnly) bits_Get(d, 1);  // end_of_macroblock
  d.prevFlags = intra ? 0 : m.flags;
}

}  // namespace

bool slice_UseRangeShortcut(bool on) {
  gRangeShortcut = on;
  return on;
}

// The weights in the order coefficients arrive, for the picture's matrices
// and scan, which headers change only between pictures.
void slice_StartPicture(Decoder& d) {
  for (int s = 0; s < 2; ++s)
    for (int t = 0; t < 2; ++t) {
      d.motionBits[s][t] = std::clamp(d.fCode[s][t] - 1, 0, 14);
      d.motionWrap[s][t] = 32 - 5 - d.motionBits[s][t];
    }
  d.blockCount = !d.mpeg2 || d.chromaFormat == 1 ? 6 : (d.chromaFormat == 2 ? 8 : 12);
  const uint8_t* const scan = d.alternateScan ? kAlternate : kZigzag;
  for (int i = 0; i < 64; ++i) {
    d.scan[i] = scan[i];
    d.scannedIntra[i] = d.intraMatrix[scan[i]];
    d.scannedInter[i] = d.nonIntraMatrix[scan[i]];
  }
  d.largestInterWeight = *std::max_element(d.nonIntraMatrix, d.nonIntraMatrix + 64);
}

void slice_Decode(Decoder& d, int code) {
  const bool frame = d.pictureStructure == kFramePicture;
  const int rows = frame ? d.mbHeight : d.mbHeight / 2;
  int row = code - 1;
  if (d.mpeg2 && d.verticalSize > 2800) row += int(bits_Get(d, 3)) << 7;
  if (d.mpeg2 && d.scalableMode == 0) bits_Get(d, 7);  // priority_breakpoint
  quantiserScale(d, int(bits_Get(d, 5)));
  if (d.mpeg2 && bits_Get(d, 1)) {
    bits_Get(d, 8);  // intra_slice, reserved_bits
    while (bits_Get(d, 1)) bits_Get(d, 8);
  } else if (!d.mpeg2) {
    while (bits_Get(d, 1)) bits_Get(d, 8);
  }
  if (row >= rows) return;
  d.fault = false;
  resetDc(d);
  resetPmv(d);
  d.prevFlags = 0;
  const int total = d.mbWidth * rows;
  int address = row * d.mbWidth - 1;
  // The macroblock's column and row follow the address by steps: a
  // division per macroblock costs more than the rest of a skipped one.
  int mbx = -1, mby = row;
  for (bool first = true;; first = false) {
    bits_Need(d);
    if (!first && bits_Show(d, 23) == 0) return;  // the next start code
    int increment = 0;
    for (;;) {
      bits_Need(d);
      const VlcEntry e = vlc_Decode(d, d.tables.addressIncrement);
      if (e.length == 0) {
        mpg_Message(MpgDiagnostic::PictureFault, "Invalid macroblock_address_increment code\n");
        return;
      }
      if (e.value == kMbaiStuffing) continue;
      if (e.value == kMbaiEscape) {
        increment += 33;
        continue;
      }
      increment += e.value;
      break;
    }
    if (first) {
      address += increment;
      if (address >= 0) {
        mbx = address % d.mbWidth;
        mby = address / d.mbWidth;
      }
    } else {
      for (int i = 1; i < increment; ++i) {
        if (++address >= total) break;
        if (++mbx == d.mbWidth) mbx = 0, ++mby;
        skipped(d, mbx, mby);
        ++d.macroblocksDecoded;
      }
      ++address;
      if (++mbx == d.mbWidth) mbx = 0, ++mby;
    }
    if (address >= total) {
      mpg_Message(MpgDiagnostic::PictureFault, "Too many macroblocks in picture\n");
      return;
    }
    macroblock(d, mbx, mby);
    ++d.macroblocksDecoded;
    if (d.fault) return;
  }
}

}  // namespace mpg
