// The MPEG-2 (and MPEG-1) video decoder's context and the pieces its stage
// files share: the bit reader, the code tables, the block transform and the
// motion compensation.  Only the luminance is reconstructed: chrominance
// blocks are parsed (they carry DC predictions and take bits) but never
// transformed or predicted, since the engine shows grey levels only.
#pragma once

#include "codecs/codecs.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace mpg {

// ---------------------------------------------------------------------------
// Start codes (the byte after 00 00 01).
enum StartCode : int {
  kPictureCode = 0x00,
  kSliceFirst = 0x01,
  kSliceLast = 0xAF,
  kUserDataCode = 0xB2,
  kSequenceHeaderCode = 0xB3,
  kExtensionCode = 0xB5,
  kSequenceEndCode = 0xB7,
  kGroupCode = 0xB8,
};

enum PictureType : int { kIntra = 1, kPredicted = 2, kBidirectional = 3, kDcOnly = 4 };
enum PictureStructure : int { kTopField = 1, kBottomField = 2, kFramePicture = 3 };
// frame_motion_type / field_motion_type as coded; the two tables share 1
// (field) and 3 (dual prime) and differ in 2 (frame, or 16x8).
enum MotionType : int { kMotionField = 1, kMotionFrameOr16x8 = 2, kMotionDualPrime = 3 };

// ---------------------------------------------------------------------------
// Bit reader.  The cache holds the next bits MSB first; refill keeps at
// least 32 of them.  Past the source's end the reader pads the data to a
// multiple of four bytes with zeros and then supplies sequence end codes, so
// every scan for a start code ends.
struct Bits {
  uint64_t cache = 0;
  int count = 0;  // valid bits in cache, below 64
  const uint8_t* p = nullptr;
  const uint8_t* end = nullptr;
};

// ---------------------------------------------------------------------------
// Code tables, built once.  A lookup peeks kVlcPeek bits; codes longer than
// the first level's width continue in a second-level table.
struct VlcEntry {
  int16_t value;  // symbol, or first index of the second-level table
  int8_t length;  // bits of the code; 0: no code; -n: second level of n bits
  int8_t extra;   // the DCT tables' run
};

struct VlcTable {
  static constexpr int kFirstBits = 10;
  // The coefficient tables, read most, take wider first levels: most codes
  // with their sign then resolve in one lookup.
  static constexpr int kDctFirstBits = 11;
  VlcEntry* entries = nullptr;  // 1 << kFirstBits (kDctFirstBits) first-level entries, then second levels
  int size = 0;
};

struct Tables {
  VlcTable addressIncrement, cbp, motionCode, dcLuma, dcChroma;
  VlcTable mbType[5];  // by picture type; [0] unused
  VlcTable dct[2];     // coefficient tables zero and one; values are levels, extra the run plus one
  VlcTable interDct;   // table zero for inter blocks: values 2 * level + sign, as their reconstruction takes them
  int interDctLargest;  // the largest magnitude among interDct's values
  // For blocks that are read past, not reconstructed (the chrominance):
  // by the next kSkipBits bits, how far the coefficient codes that lie
  // whole in them reach, as a SkipRun; [0] for table zero, [1] for one.
  const uint16_t* skip[2];
};

// A SkipRun packs: bits 0..4, the bits of the codes; bit 5, the last of
// them is the end of the block; bits 8..15, the sum of their steps (run
// plus one), the end of the block's not counted.  Where the first code is
// longer than the index, an escape or no code, the steps are 255: a step
// past any index, which sends the code to the one-code path.
constexpr int kSkipBits = 14;
constexpr unsigned kSkipLengthMask = 31, kSkipEndFlag = 32;
inline int skipLength(unsigned run) { return int(run & kSkipLengthMask); }
inline int skipSteps(unsigned run) { return int(run >> 8); }
const Tables& mpg_Tables();

// Symbols with special meaning.
constexpr int kMbaiStuffing = 34, kMbaiEscape = 35;
// The DCT tables' VlcEntry::extra is the run plus one: the step from one
// coefficient's index to the next.  The three special values step past the
// last index from any index (-1 before the first), so a coefficient loop
// finds every one of them with its bounds check.
constexpr int kDctEndOfBlock = 65, kDctEscape = 66, kDctNoCode = 67;

// macroblock_type flags.
enum MbFlags : int { kMbQuant = 1, kMbForward = 2, kMbBackward = 4, kMbPattern = 8, kMbIntra = 16 };

extern const uint8_t kZigzag[64];
extern const uint8_t kAlternate[64];
extern const uint8_t kDefaultIntraMatrix[64];  // natural order
extern const uint8_t kNonLinearScale[32];

// ---------------------------------------------------------------------------
// Block transform: 64 coefficients in natural order (cleared on return)
// into an 8x8 block of samples, stored or added with saturation.
void idct_Put(int16_t* block, uint8_t* dst, int stride);
void idct_Add(int16_t* block, uint8_t* dst, int stride);
// Blocks whose only coefficients are DC and, from mismatch control, [63].
void idct_PutDc(int16_t* block, uint8_t* dst, int stride);
void idct_AddDc(int16_t* block, uint8_t* dst, int stride);
// The transform runs with AVX2 where the processor has it; the tests turn
// that off (and on again) to check the SSE2 kernels too.  Returns whether
// AVX2 is in use now.
bool idct_UseAvx2(bool on);

// ---------------------------------------------------------------------------
// A field or a frame of one plane: rows `stride` bytes apart.
struct Plane {
  uint8_t* base = nullptr;
  int stride = 0;
  int width = 0;
  int lines = 0;
};

// Predicts the 16 x h block (h 8 or 16) at (x, y) of dst from ref displaced by the
// half-sample vector (mvx, mvy); avg averages with what dst holds.  A vector
// that leaves the reference is clamped to its edge.
void mc_Predict(const Plane& dst, int x, int y, const Plane& ref, int mvx, int mvy, int h, bool avg);
// As idct_UseAvx2, for the prediction kernels.
bool mc_UseAvx2(bool on);
// The kernels mc_Predict uses for 16 x 16 and 16 x 8 blocks, by averaging
// and by half-sample case (mvx & 1 | (mvy & 1) << 1), for callers that
// have checked the block and its reference area themselves.  Set for the
// processor at start and by mc_UseAvx2.
using McKernel = void (*)(uint8_t* dst, int dstStride, const uint8_t* src, int srcStride);
extern McKernel mc_Kernels16[2][4];
extern McKernel mc_Kernels8[2][4];
inline McKernel mc_Kernel16(bool avg, int halfCase) { return mc_Kernels16[avg][halfCase & 3]; }

// ---------------------------------------------------------------------------
// The decoder context, grouped by lifetime.
struct Decoder {
  const Tables& tables = mpg_Tables();  // looked up once, not on every code

  // Per open: the source.
  int fd = -1;
  const uint8_t* memory = nullptr;
  size_t memorySize = 0;
  bool sourceEnded = false;
  uint64_t bytesRead = 0;
  int padPhase = 0;  // bytes supplied after the end
  std::string path;
  long offset = 0;
  uint8_t buffer[2048 + 8];
  Bits bits;
  int pendingCode = -1;  // a start code read but not yet handled

  // Per open: the clip's flags.
  bool open = false;
  bool probing = false;
  bool ended = false;   // sequence end met, or a fatal condition
  int framesOut = 0;    // frames decoded since the open
  uint8_t* lastBuffer = nullptr;    // the last Next frame's buffer: where the close writes
  int outWidth = 0, outHeight = 0;  // and its size

  // Per sequence.
  bool haveSequence = false;
  bool mpeg2 = false;
  int horizontalSize = 0, verticalSize = 0;
  int progressiveSequence = 1;
  int chromaFormat = 1;
  int scalableMode = -1;  // -1: no sequence scalable extension
  uint8_t intraMatrix[64];    // natural order
  uint8_t nonIntraMatrix[64];

  // Per picture.
  int pictureType = 0;
  int fullPel[2] = {0, 0};
  int fCode[2][2] = {{15, 15}, {15, 15}};
  int intraDcPrecision = 0;
  int pictureStructure = kFramePicture;
  int topFieldFirst = 0;
  int framePredFrameDct = 1;
  int concealment = 0;
  int qScaleType = 0;
  int intraVlcFormat = 0;
  int alternateScan = 0;
  int repeatFirstField = 0;
  int progressiveFrame = 1;
  bool secondField = false;  // the picture being decoded is a frame's second field
  int macroblocksDecoded = 0;
  // From the headers, by slice_StartPicture: the coefficient order (a copy,
  // addressed from the context), the matrices in that order, r_size of the
  // f_codes ([forward/backward][h/v]) and the blocks a macroblock.
  uint8_t scan[64] = {};
  uint8_t scannedIntra[64] = {};
  uint8_t scannedInter[64] = {};
  int motionBits[2][2] = {};
  int motionWrap[2][2] = {};  // 32 - 5 - motionBits: the shifts that wrap a vector into its range
  int blockCount = 6;

  // Frame stores (luminance): two references and the B-picture store.
  int codedWidth = 0, codedHeight = 0, mbWidth = 0, mbHeight = 0;
  uint8_t* stores[3] = {nullptr, nullptr, nullptr};
  uint8_t* forward = nullptr;   // older reference
  uint8_t* backward = nullptr;  // newer reference
  uint8_t* current = nullptr;   // frame being decoded
  int references = 0;           // reference frames decoded since the open
  bool fieldPending = false;    // the first field of a frame is decoded
  int pendingStructure = 0;     // and which field it was

  // Per slice and macroblock.
  int quantScale = 0;
  int quantIntra[64] = {};        // the weights times quantScale, in scan order
  int quantInter[64] = {};
  int largestInterWeight = 16;  // of the picture's non-intra matrix
  // Every level of interDct times the largest weight and the scale lies
  // inside the coefficient range: only escapes need saturating.
  bool interInRange = false;
  int dcPred[3] = {0, 0, 0};
  int pmv[2][2][2] = {};      // [first/second][forward/backward][h/v]
  int prevFlags = 0;          // the last macroblock's type, for skipped B macroblocks
  bool fault = false;         // the slice is broken: resynchronise at the next start code
  alignas(16) int16_t block[64] = {};  // all zero between blocks: each transform clears what it read
};

// mpeg2_header.cpp
void bits_RefillSlow(Decoder& d);  // near the buffer's end
int bits_NextStartCode(Decoder& d);  // aligns, scans, consumes the code; returns its last byte
void mpg_Fatal(Decoder& d, const char* text);
// A diagnostic to the handler, printf-style; decoding goes on.
void mpg_Message(MpgDiagnostic kind, const char* format, ...) __attribute__((format(printf, 2, 3)));

inline uint32_t bits_Show(const Decoder& d, int n) { return uint32_t(d.bits.cache >> (64 - n)); }
inline void bits_Skip(Decoder& d, int n) {
  d.bits.cache <<= n;
  d.bits.count -= n;
}
// Tops the cache up with whole bytes.  The bits of the next byte that come
// along are that byte's own, so ORing it in again later changes nothing.
// With eight bytes at p: takes the whole bytes that fit, which leaves 56..63
// bits (never 64, so the shift by count stays defined).
inline void bits_TopUp(uint64_t& cache, int& count, const uint8_t*& p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  v = __builtin_bswap64(v);
  const int take = (63 - count) >> 3;
  cache |= v >> count;
  p += take;
  count += take * 8;
}
inline void bits_Need(Decoder& d) {
  Bits& b = d.bits;
  if (b.count >= 32) return;
  if (b.end - b.p < 8) return bits_RefillSlow(d);
  bits_TopUp(b.cache, b.count, b.p);
}
inline uint32_t bits_Get(Decoder& d, int n) {
  bits_Need(d);
  const uint32_t v = bits_Show(d, n);
  bits_Skip(d, n);
  return v;
}

// Decodes one code of a table from the refilled cache: its entry, or an
// entry of length 0 when the bits are no code.
inline VlcEntry vlc_Decode(Decoder& d, const VlcTable& t) {
  const VlcEntry* e = &t.entries[bits_Show(d, VlcTable::kFirstBits)];
  if (e->length < 0) {
    const int more = -e->length;
    const uint32_t w = uint32_t(d.bits.cache >> (64 - VlcTable::kFirstBits - more)) & ((1u << more) - 1);
    e = &t.entries[e->value + w];
  }
  if (e->length > 0) bits_Skip(d, e->length);
  return *e;
}

// mpeg2_slice.cpp
void slice_StartPicture(Decoder& d);  // before the first slice of every picture
// Inter blocks whose levels cannot leave the coefficient range skip the
// saturation test (Decoder::interInRange); the tests turn that off (and on
// again) to check that the frames stay the same.  Returns the setting.
bool slice_UseRangeShortcut(bool on);
void slice_Decode(Decoder& d, int code);

}  // namespace mpg

// For the tests: the code tables as written, and the transform alone.
struct MpgCodeRow {
  std::string bits;
  int value;
  int run;
};
std::vector<MpgCodeRow> mpg_CodeRows(const char* table);
namespace mpg {
void mpg_IdctForTest(const int16_t* coefficients, int* samples);
}
