// m2vgen: writes small interlaced MPEG-2 video clips that exercise what the
// clips of a frame-picture encoder never contain: field pictures (field and
// 16x8 motion, both field orders, the second field of a P frame predicting
// from the first, skipped macroblocks in P and B fields, an I frame whose
// second field is a P field), dual prime in field and frame pictures, field
// motion in B frame pictures and concealment vectors.
//
//   m2vgen CLIP OUT.m2v [SEED]   CLIP is one of the names m2vgen lists without
//                                arguments; another seed makes other content
//
// The content is pseudo-random from a fixed seed, so the bytes are the same
// on every run.  Nothing is reconstructed here: the writer only needs the
// geometry of every prediction to keep it inside its reference, and the
// vector predictors to code the vectors.  The decoded pictures come from an
// independent decoder; tests/mpeg2_test.cpp says how (at its kClips table).
#include "codecs/mpeg2_private.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Bits out, MSB first.
struct BitWriter {
  std::vector<uint8_t> bytes;
  uint32_t acc = 0;
  int used = 0;  // bits in acc

  void put(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
      acc = (acc << 1) | ((v >> i) & 1);
      if (++used == 8) {
        bytes.push_back(uint8_t(acc));
        acc = 0;
        used = 0;
      }
    }
  }
  void put(const std::string& code) {
    for (char c : code) put(c == '1', 1);
  }
  void align() {
    while (used) put(0, 1);
  }
  void startCode(int code) {
    align();
    put(1, 24);
    put(uint32_t(code), 8);
  }
};

struct Rng {
  uint32_t s;
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  int below(int n) { return int(next() % uint32_t(n)); }
  int range(int lo, int hi) { return lo + below(hi - lo + 1); }  // inclusive
  bool chance(int percent) { return below(100) < percent; }
};

// ---------------------------------------------------------------------------
// The code tables, as the decoder holds them.
struct Tables {
  std::map<int, std::string> address, cbp, motion, dcLuma, dcChroma, mbP, mbB;
  std::map<std::pair<int, int>, std::string> dct[2];  // (run, level) -> code without sign
  std::string endOfBlock[2], escape;

  Tables() {
    auto byValue = [](const char* name) {
      std::map<int, std::string> m;
      for (const MpgCodeRow& r : mpg_CodeRows(name)) m[r.value] = r.bits;
      return m;
    };
    address = byValue("address");
    cbp = byValue("cbp");
    motion = byValue("motion");
    dcLuma = byValue("dcluma");
    dcChroma = byValue("dcchroma");
    mbP = byValue("mbtype-p");
    mbB = byValue("mbtype-b");
    for (int t = 0; t < 2; ++t)
      for (const MpgCodeRow& r : mpg_CodeRows(t ? "dct1" : "dct0")) {
        if (r.run == mpg::kDctEndOfBlock) endOfBlock[t] = r.bits;
        else if (r.run == mpg::kDctEscape) escape = r.bits;
        else {
          // Table one gives some symbols a short code besides the long one
          // both tables share: write the short one, as encoders do.
          std::string& code = dct[t][{r.run, r.value}];
          if (code.empty() || r.bits.size() < code.size()) code = r.bits;
        }
      }
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// ---------------------------------------------------------------------------
// What a clip holds.

enum Structure { kTop = 1, kBottom = 2, kFrame = 3 };

// One coded frame: a frame picture or a pair of field pictures.
struct FrameSpec {
  char type;        // 'I', 'P', 'B'; 'J': an I field followed by a P field
  int structure;    // kFrame, or the first field's parity
  int temporal;     // display position in the group
  bool topFirst;    // frame pictures: top_field_first
};

struct ClipSpec {
  const char* name;
  const char* what;
  int width, height;
  uint32_t seed;
  const FrameSpec* frames;  // coded order
  int frameCount;
  int dcPrecision = 0;
  bool intraVlc = false;
  bool qScaleNonLinear = false;
  bool alternateScan = false;  // per picture at random when set
  bool dualPrime = false;      // in P pictures
  bool concealment = false;    // vectors with intra macroblocks, in every picture
  bool framePredFrameDct = false;  // in frame pictures
  int fCode = 2;    // every direction's
  int range = 10;   // vector components are picked within +-range half samples
};

// ---------------------------------------------------------------------------
// One picture being written.

struct Picture {
  int type;       // 1 I, 2 P, 3 B
  int structure;  // kTop, kBottom, kFrame
  bool noPrevious;  // a P field after the I field that starts the clip: only that field exists
  bool topFirst;
  bool concealment;
  int fCode[2] = {15, 15};
  int mbWidth, rows;  // macroblock rows of this picture
};

// The motion of a macroblock, as the writer chose it.
struct Motion {
  int flags = 0;                 // kMbForward | kMbBackward
  int type = 0;                  // motion type as coded (1 field, 2 frame or 16x8, 3 dual prime)
  int mv[2][2][2] = {};          // [r][s][t]
  int fieldSelect[2][2] = {};    // [r][s]
  int dmv[2] = {};
};

class Writer {
 public:
  explicit Writer(const ClipSpec& clip) : clip_(clip), rng_{clip.seed} {}
  std::vector<uint8_t> write();

 private:
  const ClipSpec& clip_;
  Rng rng_;
  BitWriter bw_;
  Picture pic_{};
  int pmv_[2][2][2] = {};
  int dcPred_[3] = {};
  int prevFlags_ = 0;

  void sequenceHeader();
  void groupHeader();
  void picture(const FrameSpec& f, int type, int structure, bool noPrevious);
  void slice(int row, int first, int last);
  void macroblock(int increment, int mbx, int mby);
  void intraBlock(int cc, int value);
  void interBlock();
  void coefficients(int start, bool intra);
  void vector(int r, int s, int v[2], const int* dmv, bool fieldInFrame);
  void vectorComponent(int r, int s, int t, int v, bool halved);
  bool choose(Motion& m, int mbx, int mby);
  bool inside(int x, int y, int mvx, int mvy, int h, int lines) const;
  bool dualPrimeInside(const Motion& m, int mbx, int mby) const;
  void resetDc() { dcPred_[0] = dcPred_[1] = dcPred_[2] = 128 << clip_.dcPrecision; }
  void resetPmv() { std::memset(pmv_, 0, sizeof pmv_); }
  bool frame() const { return pic_.structure == kFrame; }
  // Sizes as coded: whole macroblocks, of each field in an interlaced sequence.
  int fieldLines() const { return (clip_.height + 31) / 32 * 16; }
  int codedWidth() const { return (clip_.width + 15) / 16 * 16; }
};

void Writer::sequenceHeader() {
  bw_.startCode(mpg::kSequenceHeaderCode);
  bw_.put(uint32_t(clip_.width), 12);
  bw_.put(uint32_t(clip_.height), 12);
  bw_.put(1, 4);        // square samples
  bw_.put(3, 4);        // 25 frames a second
  bw_.put(2000, 18);    // bit rate, 400 bit/s units
  bw_.put(1, 1);        // marker
  bw_.put(20, 10);      // VBV buffer size
  bw_.put(0, 1);        // constrained parameters
  bw_.put(0, 1);        // default intra matrix
  bw_.put(0, 1);        // default non-intra matrix
  bw_.startCode(mpg::kExtensionCode);
  bw_.put(1, 4);        // sequence extension
  bw_.put(0x48, 8);     // main profile, main level
  bw_.put(0, 1);        // interlaced
  bw_.put(1, 2);        // 4:2:0
  bw_.put(0, 2);
  bw_.put(0, 2);
  bw_.put(0, 12);
  bw_.put(1, 1);
  bw_.put(0, 8);
  bw_.put(0, 1);        // low delay
  bw_.put(0, 2);
  bw_.put(0, 5);
}

void Writer::groupHeader() {
  bw_.startCode(mpg::kGroupCode);
  bw_.put(0, 1);   // drop frame
  bw_.put(0, 5);   // hours
  bw_.put(0, 6);   // minutes
  bw_.put(1, 1);   // marker
  bw_.put(0, 6);   // seconds
  bw_.put(0, 6);   // pictures
  bw_.put(1, 1);   // closed
  bw_.put(0, 1);   // broken link
}

std::vector<uint8_t> Writer::write() {
  sequenceHeader();
  groupHeader();
  bool first = true;
  for (int i = 0; i < clip_.frameCount; ++i) {
    const FrameSpec& f = clip_.frames[i];
    const int type = f.type == 'I' || f.type == 'J' ? 1 : (f.type == 'P' ? 2 : 3);
    if (f.structure == kFrame) {
      picture(f, type, kFrame, false);
    } else {
      const int other = f.structure == kTop ? kBottom : kTop;
      picture(f, type, f.structure, false);
      picture(f, f.type == 'J' ? 2 : type, other, first && f.type == 'J');
    }
    first = false;
  }
  bw_.startCode(mpg::kSequenceEndCode);
  return bw_.bytes;
}

void Writer::picture(const FrameSpec& f, int type, int structure, bool noPrevious) {
  pic_ = Picture{};
  pic_.type = type;
  pic_.structure = structure;
  pic_.noPrevious = noPrevious;
  pic_.topFirst = structure == kFrame && f.topFirst;
  pic_.concealment = clip_.concealment;
  pic_.mbWidth = (clip_.width + 15) / 16;
  pic_.rows = structure == kFrame ? (clip_.height + 31) / 32 * 2 : (clip_.height + 31) / 32;
  if (type >= 2 || pic_.concealment) pic_.fCode[0] = clip_.fCode;
  if (type == 3) pic_.fCode[1] = clip_.fCode;

  bw_.startCode(mpg::kPictureCode);
  bw_.put(uint32_t(f.temporal), 10);
  bw_.put(uint32_t(type), 3);
  bw_.put(0xFFFF, 16);  // VBV delay
  if (type >= 2) bw_.put(0x7, 4);  // full_pel 0, f_code 7 (unused in MPEG-2)
  if (type == 3) bw_.put(0x7, 4);
  bw_.put(0, 1);
  bw_.startCode(mpg::kExtensionCode);
  bw_.put(8, 4);  // picture coding extension
  for (int s = 0; s < 2; ++s)
    for (int t = 0; t < 2; ++t) bw_.put(uint32_t(pic_.fCode[s]), 4);
  bw_.put(uint32_t(clip_.dcPrecision), 2);
  bw_.put(uint32_t(structure), 2);
  bw_.put(pic_.topFirst, 1);
  bw_.put(structure == kFrame && clip_.framePredFrameDct, 1);
  bw_.put(pic_.concealment, 1);
  bw_.put(clip_.qScaleNonLinear, 1);
  bw_.put(clip_.intraVlc, 1);
  bw_.put(clip_.alternateScan && rng_.chance(50), 1);
  bw_.put(0, 1);  // repeat first field
  bw_.put(0, 1);  // chroma 420 type = progressive frame
  bw_.put(0, 1);  // progressive frame
  bw_.put(0, 1);  // composite display

  // One or two slices a row; the second starts inside the row.
  for (int row = 0; row < pic_.rows; ++row) {
    if (pic_.mbWidth >= 4 && rng_.chance(50)) {
      const int split = rng_.range(2, pic_.mbWidth - 2);
      slice(row, 0, split);
      slice(row, split, pic_.mbWidth);
    } else {
      slice(row, 0, pic_.mbWidth);
    }
  }
}

void Writer::slice(int row, int first, int last) {
  bw_.startCode(mpg::kSliceFirst + row);
  bw_.put(uint32_t(rng_.range(2, 14)), 5);
  bw_.put(0, 1);  // no extra slice information
  resetDc();
  resetPmv();
  prevFlags_ = 0;
  int increment = first + 1;  // from the row's start
  for (int mbx = first; mbx < last; ++mbx) {
    // Neither the first nor the last macroblock of a slice may be skipped.
    const bool inner = mbx > first && mbx < last - 1;
    if (inner && pic_.type >= 2 && !pic_.noPrevious && rng_.chance(25)) {
      if (pic_.type == 2) {
        resetPmv();
        resetDc();
        ++increment;
        continue;
      }
      // A skipped B macroblock repeats the last one's directions with the
      // predictors as vectors: only where that stays inside the references.
      if (prevFlags_) {
        bool ok = true;
        const int h = 16, lines = frame() ? 2 * fieldLines() : fieldLines();
        for (int s = 0; s < 2; ++s)
          if (prevFlags_ & (s ? mpg::kMbBackward : mpg::kMbForward))
            ok = ok && inside(mbx * 16, row * 16, pmv_[0][s][0], pmv_[0][s][1], h, lines);
        if (ok) {
          resetDc();
          ++increment;
          continue;
        }
      }
    }
    macroblock(increment, mbx, row);
    increment = 1;
  }
}

bool Writer::inside(int x, int y, int mvx, int mvy, int h, int lines) const {
  // Vectors outside the f_code's range cannot be coded.
  const int f = 1 << (clip_.fCode - 1);
  if (mvx < -16 * f || mvx > 16 * f - 1 || mvy < -16 * f || mvy > 16 * f - 1) return false;
  const int sx = x + (mvx >> 1), sy = y + (mvy >> 1);
  return sx >= 0 && sx + 16 + (mvx & 1) <= codedWidth() && sy >= 0 && sy + h + (mvy & 1) <= lines;
}

// x * m / 2, halves rounded away from zero.
int scaledHalf(int x, int m) { return (x * m + (x > 0)) >> 1; }

bool Writer::dualPrimeInside(const Motion& m, int mbx, int mby) const {
  const int mvx = m.mv[0][0][0], mvy = m.mv[0][0][1], x = mbx * 16;
  if (frame()) {
    const int mTop = pic_.topFirst ? 1 : 3, mBottom = pic_.topFirst ? 3 : 1;
    const int dx[2] = {scaledHalf(mvx, mTop) + m.dmv[0], scaledHalf(mvx, mBottom) + m.dmv[0]};
    const int dy[2] = {scaledHalf(mvy, mTop) + m.dmv[1] - 1, scaledHalf(mvy, mBottom) + m.dmv[1] + 1};
    return inside(x, mby * 8, mvx, mvy, 8, fieldLines()) && inside(x, mby * 8, dx[0], dy[0], 8, fieldLines()) &&
           inside(x, mby * 8, dx[1], dy[1], 8, fieldLines());
  }
  const int dx = scaledHalf(mvx, 1) + m.dmv[0];
  const int dy = scaledHalf(mvy, 1) + m.dmv[1] + (pic_.structure == kBottom ? 1 : -1);
  return inside(x, mby * 16, mvx, mvy, 16, fieldLines()) && inside(x, mby * 16, dx, dy, 16, fieldLines());
}

// Picks the motion type, field selects and vectors of a macroblock with
// motion; false when none fits (the caller then codes something else).
bool Writer::choose(Motion& m, int mbx, int mby) {
  const int x = mbx * 16;
  const bool fieldsOnlyOpposite = pic_.noPrevious;  // the first field is the only reference
  const int own = pic_.structure == kBottom;
  const bool fixedFrame = frame() && clip_.framePredFrameDct;
  for (int attempt = 0; attempt < 40; ++attempt) {
    if (fixedFrame) {
      m.type = 2;
    } else {
      const bool dualOk = pic_.type == 2 && clip_.dualPrime && !fieldsOnlyOpposite;
      m.type = dualOk && rng_.chance(40) ? 3 : rng_.range(1, 2);
    }
    bool ok = true;
    if (m.type == 3) {
      m.mv[0][0][0] = rng_.range(-clip_.range, clip_.range);
      m.mv[0][0][1] = rng_.range(-clip_.range / 2, clip_.range / 2);
      m.dmv[0] = rng_.range(-1, 1);
      m.dmv[1] = rng_.range(-1, 1);
      if (dualPrimeInside(m, mbx, mby)) return true;
      continue;
    }
    const bool two = frame() ? m.type == 1 : m.type == 2;
    for (int s = 0; s < 2 && ok; ++s) {
      if (!(m.flags & (s ? mpg::kMbBackward : mpg::kMbForward))) continue;
      for (int r = 0; r < (two ? 2 : 1) && ok; ++r) {
        int h = 16, y = mby * 16, lines = fieldLines();
        if (frame() && m.type == 2) lines = 2 * fieldLines();
        if (frame() && m.type == 1) h = 8, y = mby * 8;
        if (!frame() && m.type == 2) h = 8, y = mby * 16 + r * 8;
        int sel = rng_.below(2);
        if (fieldsOnlyOpposite) sel = 1 - own;
        m.fieldSelect[r][s] = sel;
        m.mv[r][s][0] = rng_.range(-clip_.range, clip_.range);
        m.mv[r][s][1] = rng_.range(-clip_.range, clip_.range);
        // Where the pick leaves the reference, the co-located block of
        // either field is inside it.
        if (!inside(x, y, m.mv[r][s][0], m.mv[r][s][1], h, lines)) m.mv[r][s][0] = m.mv[r][s][1] = 0;
        ok = inside(x, y, m.mv[r][s][0], m.mv[r][s][1], h, lines);
      }
    }
    if (ok) return true;
  }
  return false;
}

void Writer::vectorComponent(int r, int s, int t, int v, bool halved) {
  const Tables& tb = tables();
  const int rSize = pic_.fCode[s] - 1, f = 1 << rSize;
  const int prediction = halved ? pmv_[r][s][t] >> 1 : pmv_[r][s][t];
  int delta = v - prediction;
  if (delta < -16 * f) delta += 32 * f;
  if (delta > 16 * f - 1) delta -= 32 * f;
  if (delta == 0) {
    bw_.put(tb.motion.at(0));
  } else {
    const int magnitude = delta < 0 ? -delta : delta;
    const int code = ((magnitude - 1) >> rSize) + 1;
    bw_.put(tb.motion.at(code));
    bw_.put(delta < 0, 1);
    if (rSize) bw_.put(uint32_t((magnitude - 1) & (f - 1)), rSize);
  }
  pmv_[r][s][t] = halved ? v * 2 : v;
}

void Writer::vector(int r, int s, int v[2], const int* dmv, bool fieldInFrame) {
  for (int t = 0; t < 2; ++t) {
    vectorComponent(r, s, t, v[t], fieldInFrame && t == 1);
    if (dmv) bw_.put(dmv[t] == 0 ? "0" : (dmv[t] > 0 ? "10" : "11"));
  }
}

void Writer::coefficients(int start, bool intra) {
  const Tables& tb = tables();
  const int table = intra && clip_.intraVlc;
  int pos = start;
  const int count = rng_.range(intra ? 0 : 1, intra ? 4 : 3);
  for (int c = 0; c < count; ++c) {
    const int run = rng_.chance(70) ? rng_.range(0, 2) : rng_.range(3, 12);
    if (pos + run > 63) break;
    int level = rng_.chance(85) ? rng_.range(1, 3) : rng_.range(4, intra ? 12 : 8);
    if (rng_.chance(50)) level = -level;
    const int magnitude = level < 0 ? -level : level;
    const auto code = tb.dct[table].find({run, magnitude});
    if (!intra && pos == 0 && run == 0 && magnitude == 1) {
      bw_.put("1");  // the first coefficient's short form
      bw_.put(level < 0, 1);
    } else if (code != tb.dct[table].end() && !rng_.chance(10)) {
      bw_.put(code->second);
      bw_.put(level < 0, 1);
    } else {
      bw_.put(tb.escape);
      bw_.put(uint32_t(run), 6);
      bw_.put(uint32_t(level) & 0xFFF, 12);
    }
    pos += run + 1;
  }
  bw_.put(tb.endOfBlock[table]);
}

void Writer::intraBlock(int cc, int value) {
  const Tables& tb = tables();
  const int diff = value - dcPred_[cc];
  dcPred_[cc] = value;
  int size = 0;
  for (int m = diff < 0 ? -diff : diff; m; m >>= 1) ++size;
  bw_.put((cc ? tb.dcChroma : tb.dcLuma).at(size));
  if (size) bw_.put(uint32_t(diff > 0 ? diff : diff + (1 << size) - 1), size);
  coefficients(1, true);
}

void Writer::interBlock() { coefficients(0, false); }

void Writer::macroblock(int increment, int mbx, int mby) {
  const Tables& tb = tables();
  while (increment > 33) {
    bw_.put(tb.address.at(mpg::kMbaiEscape));
    increment -= 33;
  }
  bw_.put(tb.address.at(increment));

  // The mode: intra, or the directions with or without coefficients.
  int flags = 0;
  Motion m;
  if (pic_.type == 1 || rng_.chance(8)) {
    flags = mpg::kMbIntra;
  } else {
    const bool noMc = pic_.type == 2 && !pic_.noPrevious && rng_.chance(15);
    if (pic_.type == 2) m.flags = noMc ? 0 : mpg::kMbForward;
    else m.flags = std::vector<int>{mpg::kMbForward, mpg::kMbBackward, mpg::kMbForward | mpg::kMbBackward}[size_t(rng_.below(3))];
    if (m.flags && !choose(m, mbx, mby)) {
      m.flags = 0;
      if (pic_.type == 3 || pic_.noPrevious) flags = mpg::kMbIntra;
    }
    if (!flags) {
      flags = m.flags | mpg::kMbPattern;
      if (m.flags && rng_.chance(20)) flags &= ~mpg::kMbPattern;
    }
  }
  const bool intra = flags & mpg::kMbIntra;
  // Quantiser changes: every type with coefficients has a variant.
  if ((intra || (flags & mpg::kMbPattern)) && rng_.chance(15)) flags |= mpg::kMbQuant;
  if (pic_.type == 1) bw_.put(flags & mpg::kMbQuant ? "01" : "1");
  else bw_.put((pic_.type == 2 ? tb.mbP : tb.mbB).at(flags));

  if (m.flags && !(frame() && clip_.framePredFrameDct)) bw_.put(uint32_t(m.type), 2);
  if (frame() && !clip_.framePredFrameDct && (intra || (flags & mpg::kMbPattern))) bw_.put(rng_.below(2), 1);
  if (flags & mpg::kMbQuant) bw_.put(uint32_t(rng_.range(1, 16)), 5);

  const bool concealment = intra && pic_.concealment;
  if (concealment) {
    // Vectors for error concealment: coded and predicted like others.
    int v[2] = {rng_.range(-clip_.range, clip_.range), rng_.range(-clip_.range, clip_.range)};
    if (!frame()) bw_.put(rng_.below(2), 1);
    vector(0, 0, v, nullptr, false);
    pmv_[1][0][0] = pmv_[0][0][0];
    pmv_[1][0][1] = pmv_[0][0][1];
    bw_.put(1, 1);  // marker
  }
  for (int s = 0; s < 2; ++s) {
    if (!(m.flags & (s ? mpg::kMbBackward : mpg::kMbForward))) continue;
    const bool two = frame() ? m.type == 1 : m.type == 2;
    const bool fieldFormat = !frame() || m.type != 2;
    if (two) {
      for (int r = 0; r < 2; ++r) {
        bw_.put(uint32_t(m.fieldSelect[r][s]), 1);
        vector(r, s, m.mv[r][s], nullptr, frame());
      }
    } else {
      if (fieldFormat && m.type != 3) bw_.put(uint32_t(m.fieldSelect[0][s]), 1);
      vector(0, s, m.mv[0][s], m.type == 3 ? m.dmv : nullptr, frame() && fieldFormat);
      pmv_[1][s][0] = pmv_[0][s][0];
      pmv_[1][s][1] = pmv_[0][s][1];
    }
  }

  if (intra) {
    if (!concealment) resetPmv();
    // A gradient over the frame, a little noise a block.
    for (int k = 0; k < 4; ++k) {
      const int x = mbx * 16 + (k & 1) * 8;
      const int y = frame() ? mby * 16 + (k >> 1) * 8 : (mby * 16 + (k >> 1) * 8) * 2;
      const int value = 40 + 150 * x / clip_.width + 50 * y / clip_.height + rng_.range(-6, 6);
      intraBlock(0, value << clip_.dcPrecision);
    }
    intraBlock(1, (128 + rng_.range(-8, 8)) << clip_.dcPrecision);
    intraBlock(2, (128 + rng_.range(-8, 8)) << clip_.dcPrecision);
  } else {
    resetDc();
    if (pic_.type == 2 && !m.flags) resetPmv();
    if (flags & mpg::kMbPattern) {
      const int cbp = rng_.range(1, 63);
      bw_.put(tb.cbp.at(cbp));
      for (int k = 0; k < 6; ++k)
        if (cbp & (32 >> k)) interBlock();
    }
  }
  prevFlags_ = intra ? 0 : (m.flags ? m.flags : mpg::kMbForward);
}

// ---------------------------------------------------------------------------
// The clips.

std::vector<ClipSpec> clips() {
  std::vector<ClipSpec> out;
  auto add = [&](ClipSpec c, const auto& frames) {
    c.frames = frames;
    c.frameCount = int(sizeof frames / sizeof frames[0]);
    out.push_back(c);
    return &out.back();
  };
  // Coded order: each reference, then the B frames shown before it.
  static const FrameSpec kFields[] = {{'I', kTop, 0, false},    {'P', kTop, 3, false},    {'B', kBottom, 1, false},
                                      {'B', kTop, 2, false},    {'P', kBottom, 6, false}, {'B', kTop, 4, false},
                                      {'B', kBottom, 5, false}, {'P', kTop, 9, false},    {'B', kBottom, 7, false},
                                      {'B', kTop, 8, false}};
  ClipSpec* c = add({"fields", "field pictures I/P/B: field and 16x8 motion, both field orders, skips", 128, 96, 11,
                     nullptr, 0},
                    kFields);
  c->dcPrecision = 1;
  c->alternateScan = true;
  c->fCode = 3;
  c->range = 24;

  static const FrameSpec kIpField[] = {{'J', kTop, 0, false}, {'P', kBottom, 1, false}, {'P', kTop, 2, false},
                                       {'J', kBottom, 3, false}, {'P', kTop, 4, false}, {'J', kTop, 5, false}};
  c = add({"ipfield", "I fields followed by P fields of the same frame, dual prime; f_code 1, concealment vectors", 96, 64, 22,
           nullptr, 0},
          kIpField);
  c->intraVlc = true;
  c->qScaleNonLinear = true;
  c->concealment = true;
  c->dualPrime = true;  // the second P field's opposite parity is the I field
  c->fCode = 1;
  c->range = 8;

  static const FrameSpec kDualPrime[] = {{'I', kFrame, 0, true},   {'P', kFrame, 1, true},  {'P', kTop, 2, false},
                                         {'P', kBottom, 3, false}, {'P', kFrame, 4, false}, {'P', kFrame, 5, true},
                                         {'P', kBottom, 6, false}, {'P', kTop, 7, false}};
  c = add({"dualprime", "dual prime in field and frame pictures, both field orders", 128, 96, 33, nullptr, 0},
          kDualPrime);
  c->dualPrime = true;
  c->dcPrecision = 2;

  static const FrameSpec kFrameField[] = {{'I', kFrame, 0, true},  {'P', kFrame, 3, false}, {'B', kFrame, 1, true},
                                          {'B', kFrame, 2, false}, {'P', kFrame, 6, true},  {'B', kFrame, 4, false},
                                          {'B', kFrame, 5, true},  {'P', kFrame, 8, true},  {'B', kFrame, 7, false}};
  c = add({"framefield", "frame pictures: field motion in P and B, field DCT, concealment vectors", 128, 96, 44,
           nullptr, 0},
          kFrameField);
  c->concealment = true;
  c->alternateScan = true;
  c->qScaleNonLinear = true;

  static const FrameSpec kMixed[] = {{'I', kFrame, 0, true},    {'P', kBottom, 3, false}, {'B', kFrame, 1, false},
                                     {'B', kTop, 2, false},     {'P', kFrame, 6, false},  {'B', kBottom, 4, false},
                                     {'B', kFrame, 5, true},    {'J', kBottom, 8, false}, {'B', kTop, 7, false}};
  c = add({"mixed", "frame pictures of frame prediction only and field pictures in turn, each predicting from the other kind", 128, 96, 55, nullptr, 0},
          kMixed);
  c->dcPrecision = 3;
  c->intraVlc = true;
  c->framePredFrameDct = true;
  // 1080-line sources code 1088 lines: whole macroblock rows of both fields
  // past the lines shown.
  static const FrameSpec kOddField[] = {{'I', kTop, 0, false},    {'P', kBottom, 3, false}, {'B', kTop, 1, false},
                                        {'B', kBottom, 2, false}, {'P', kTop, 5, false},    {'B', kBottom, 4, false}};
  c = add({"oddfield", "field pictures of a size no whole number of macroblocks", 120, 72, 66, nullptr, 0},
          kOddField);
  c->range = 16;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<ClipSpec> all = clips();
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: m2vgen CLIP OUT.m2v [SEED]\nclips:\n");
    for (const ClipSpec& c : all) std::fprintf(stderr, "  %-10s %s\n", c.name, c.what);
    return 2;
  }
  for (ClipSpec c : all) {
    if (std::strcmp(c.name, argv[1]) != 0) continue;
    if (argc == 4) c.seed = uint32_t(std::strtoul(argv[3], nullptr, 0));
    const std::vector<uint8_t> bytes = Writer(c).write();
    FILE* f = std::fopen(argv[2], "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
      std::fprintf(stderr, "m2vgen: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  std::fprintf(stderr, "m2vgen: no clip %s\n", argv[1]);
  return 2;
}
