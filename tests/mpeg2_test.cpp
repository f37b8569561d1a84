// The video decoder: reference decodes of encoded clips (every frame within
// 50 dB PSNR of the reference luminance, the frame count exact), the clip
// boundary (an offset inside a file, the end without an end code, the last
// reference at close), the diagnostics and their streams, damaged streams,
// the code tables, the transform's accuracy, and the MPEG layer.
#include "codecs/codecs.h"
#include "codecs/mpeg2_private.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kData = VELMORIN_SOURCE_DIR "/tests/data/mpeg2/";

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string writeTemp(const Bytes& bytes) {
  char path[] = "/tmp/velmorin-mpg-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  close(fd);
  return path;
}

int openDescriptors() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++n;
    closedir(dir);
  }
  return n;
}

struct Decoded {
  int width = 0, height = 0;
  bool opened = false;
  std::vector<Bytes> frames;
  int framesByNext = 0;  // written by Next frame (the rest by the close)
};

// Decodes a whole clip the way vtool does.
Decoded decodeAll(MpgDecoder* decoder, bool opened, int width, int height) {
  Decoded out;
  out.opened = opened;
  out.width = width;
  out.height = height;
  if (!opened) return out;
  Bytes frame(size_t(width) * size_t(height));
  for (int r, guard = 0; (r = mpg_NextFrame(decoder, frame.data(), width, height)) != kMpgEnd && guard < 10000; ++guard)
    if (r == kMpgFrame) out.frames.push_back(frame);
  out.framesByNext = int(out.frames.size());
  if (mpg_Close(decoder)) out.frames.push_back(frame);
  return out;
}

Decoded decodeFile(const std::string& path, long offset) {
  MpgDecoder* decoder = mpg_CreateDecoder();
  int w = 0, h = 0;
  const bool ok = mpg_Open(decoder, path.c_str(), offset, &w, &h);
  Decoded d = decodeAll(decoder, ok, w, h);
  mpg_DestroyDecoder(decoder);
  return d;
}

Decoded decodeMemory(const Bytes& data) {
  MpgDecoder* decoder = mpg_CreateDecoder();
  int w = 0, h = 0;
  const bool ok = mpg_OpenMemory(decoder, data.data(), data.size(), &w, &h);
  Decoded d = decodeAll(decoder, ok, w, h);
  mpg_DestroyDecoder(decoder);
  return d;
}

double psnr(const uint8_t* a, const uint8_t* b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; ++i) se += double(a[i] - b[i]) * double(a[i] - b[i]);
  return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(n) / se);
}

// ---------------------------------------------------------------------------
// Reference decodes.

struct Clip {
  const char* name;
  int width, height, frames;
  const char* what;
};
const Clip kClips[] = {
    {"ipb", 176, 144, 12, "progressive I/P/B, GOP 12"},
    {"intra", 96, 64, 8, "intra only, intra coefficient table one"},
    {"interlaced", 176, 144, 12, "field DCT, field prediction, alternate scan, top field first"},
    {"matrices", 128, 96, 12, "loaded matrices, non-linear quantiser scale"},
    {"odd", 100, 74, 10, "size not a multiple of 16"},
    {"mpeg1", 112, 80, 12, "MPEG-1: no sequence extension"},
    {"noend", 64, 48, 9, "I and P only, no sequence end code"},
    {"chroma422", 96, 64, 8, "4:2:2 chroma (eight blocks a macroblock), field DCT and prediction"},
    {"fine", 96, 64, 8, "quantiser scale 1: escapes, 10-bit intra DC, intra coefficient table one"},
    {"fast", 96, 64, 10, "fast pan: long motion vectors, larger f_code"},
    // Written by tools/m2vgen (what no frame-picture encoder writes), each
    // reference decoded elsewhere:
    //   m2vgen fields fields.m2v && ffmpeg -i fields.m2v -vf extractplanes=y -f rawvideo fields.y
    {"fields", 128, 96, 10, "field pictures I/P/B: field and 16x8 motion, both field orders, skips"},
    {"ipfield", 96, 64, 6, "I field + P field frames, second P field from the first, dual prime, f_code 1"},
    {"dualprime", 128, 96, 8, "dual prime in field and frame pictures, both field orders"},
    {"framefield", 128, 96, 9, "frame pictures: field motion in P and B, skips after it, concealment in I/P/B"},
    {"mixed", 128, 96, 9, "frame (frame prediction only) and field pictures in turn, predicting from each other"},
    {"oddfield", 120, 72, 6, "field pictures, coded size 128x96 larger than shown"},
};

TEST(Mpeg2Decode, MatchesReferenceLuminance) {
  for (const Clip& c : kClips) {
    SCOPED_TRACE(std::string(c.name) + ": " + c.what);
    const Bytes clip = readFile(kData + c.name + ".m2v");
    const Bytes ref = readFile(kData + c.name + ".y");
    ASSERT_FALSE(clip.empty());
    // Inside a file at an offset, after bytes that hold no start code.
    Bytes file(777 + clip.size(), 0xFF);
    std::copy(clip.begin(), clip.end(), file.begin() + 777);
    const std::string path = writeTemp(file);
    const Decoded d = decodeFile(path, 777);
    unlink(path.c_str());
    ASSERT_TRUE(d.opened);
    EXPECT_EQ(d.width, c.width);
    EXPECT_EQ(d.height, c.height);
    const size_t n = size_t(c.width) * size_t(c.height);
    ASSERT_EQ(ref.size(), n * size_t(c.frames));
    ASSERT_EQ(int(d.frames.size()), c.frames);
    for (int f = 0; f < c.frames; ++f)
      EXPECT_GE(psnr(d.frames[size_t(f)].data(), ref.data() + n * size_t(f), n), 50.0) << "frame " << f;
  }
}

// The transform and the prediction have AVX2 and SSE2 kernels, chosen by
// the processor: both must give every clip the same frames to the bit.
TEST(Mpeg2Decode, Avx2AndSse2KernelsGiveTheSameFrames) {
  if (!mpg::idct_UseAvx2(true) || !mpg::mc_UseAvx2(true)) GTEST_SKIP() << "no AVX2 here: only the SSE2 kernels run";
  for (const Clip& c : kClips) {
    SCOPED_TRACE(c.name);
    const Bytes clip = readFile(kData + c.name + ".m2v");
    const Decoded wide = decodeMemory(clip);
    mpg::idct_UseAvx2(false);
    mpg::mc_UseAvx2(false);
    const Decoded narrow = decodeMemory(clip);
    mpg::idct_UseAvx2(true);
    mpg::mc_UseAvx2(true);
    ASSERT_EQ(wide.frames.size(), size_t(c.frames));
    EXPECT_TRUE(wide.frames == narrow.frames);
  }
}

TEST(Mpeg2Decode, MemoryAndFileGiveTheSameFrames) {
  const Bytes clip = readFile(kData + "interlaced.m2v");
  const std::string path = writeTemp(clip);
  const Decoded a = decodeFile(path, 0), b = decodeMemory(clip);
  unlink(path.c_str());
  ASSERT_TRUE(a.opened && b.opened);
  EXPECT_EQ(a.frames, b.frames);
}

// The last reference leaves only at the close, into the last pull's buffer;
// without a close the clip is one frame short.
TEST(Mpeg2Decode, LastReferenceComesWithTheClose) {
  const Decoded d = decodeMemory(readFile(kData + "noend.m2v"));
  ASSERT_EQ(d.frames.size(), 9u);
  EXPECT_EQ(d.framesByNext, 8);
  const Bytes ref = readFile(kData + "noend.y");
  const size_t n = 64 * 48;
  EXPECT_GE(psnr(d.frames[8].data(), ref.data() + 8 * n, n), 50.0);
}

TEST(Mpeg2Decode, ReopeningReplaysTheClipAndLeaksNoFile) {
  const Bytes clip = readFile(kData + "ipb.m2v");
  const std::string path = writeTemp(clip);
  const int before = openDescriptors();
  MpgDecoder* decoder = mpg_CreateDecoder();
  std::vector<Bytes> first;
  for (int pass = 0; pass < 20; ++pass) {
    int w = 0, h = 0;
    ASSERT_TRUE(mpg_Open(decoder, path.c_str(), 0, &w, &h));
    Decoded d = decodeAll(decoder, true, w, h);
    if (pass == 0) first = d.frames;
    ASSERT_EQ(d.frames, first) << "pass " << pass;
  }
  // A probe that fails closes its file too.
  const std::string junk = writeTemp(Bytes(5000, 0x47));
  int w = 0, h = 0;
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(mpg_Open(decoder, junk.c_str(), 0, &w, &h));
  EXPECT_FALSE(mpg_Open(decoder, "/nonexistent/clip.m2v", 0, &w, &h));
  EXPECT_FALSE(mpg_Open(decoder, path.c_str(), long(clip.size()), &w, &h));  // past the clip
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_EQ(mpg_NextFrame(decoder, nullptr, 0, 0), kMpgEnd);  // nothing open
  EXPECT_FALSE(mpg_Close(decoder));
  mpg_DestroyDecoder(decoder);
  unlink(path.c_str());
  unlink(junk.c_str());
}

// ---------------------------------------------------------------------------
// Diagnostics: texts, streams, and whether decoding goes on.

// Inserts bytes before the first group of pictures header.
Bytes spliced(const Bytes& clip, const Bytes& insert) {
  const uint8_t gop[4] = {0, 0, 1, 0xB8};
  auto at = std::search(clip.begin(), clip.end(), gop, gop + 4);
  Bytes out(clip.begin(), at);
  out.insert(out.end(), insert.begin(), insert.end());
  out.insert(out.end(), at, clip.end());
  return out;
}

std::vector<std::string> fatalTexts;
void recordFatal(const char* text) { fatalTexts.push_back(text); }

TEST(Mpeg2Decode, Diagnostics) {
  struct Case {
    const char* what;
    Bytes insert;
    const char* fatal;   // handler text, or null
    const char* stderrText;
    int frames;  // decoded frames, -1: the open fails
  };
  const Case cases[] = {
      {"picture temporal scalable extension", {0, 0, 1, 0xB5, 0xA0, 0, 0, 0}, "temporal scalability not supported\n",
       "", -1},
      {"sequence scalable extension, temporal mode", {0, 0, 1, 0xB5, 0x5C, 0, 0, 0, 0},
       "temporal scalability not implemented\n", "", -1},
      {"reserved extension ID", {0, 0, 1, 0xB5, 0x60, 0, 0}, nullptr, "reserved extension start code ID 6\n", 9},
      {"sequence error code between headers", {0, 0, 1, 0xB4}, nullptr, "Unexpected startcode 000001b4 (ignored)\n",
       9},
      {"user data", {0, 0, 1, 0xB2, 'h', 'i', 0x80}, nullptr, "", 9},
  };
  const Bytes clip = readFile(kData + "noend.m2v");
  const mpg_FatalHandler previous = mpg_SetFatalHandler(recordFatal);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fatalTexts.clear();
    testing::internal::CaptureStderr();
    const Decoded d = decodeMemory(spliced(clip, c.insert));
    const std::string err = testing::internal::GetCapturedStderr();
    if (c.fatal) {
      ASSERT_FALSE(fatalTexts.empty());
      EXPECT_EQ(fatalTexts[0], c.fatal);
    } else {
      EXPECT_TRUE(fatalTexts.empty());
    }
    // The probe reads the headers once and the decode once more.
    EXPECT_EQ(err, std::string(c.stderrText) + (d.opened ? c.stderrText : ""));
    EXPECT_EQ(d.opened ? int(d.frames.size()) : -1, c.frames);
  }
  mpg_SetFatalHandler(previous);
}

int diagnostics[2];
// The decoder's exact output, pinned for every clip, whole and damaged: a
// shortcut for some kind of block, a reordered sum or a changed rounding
// shows here even where it stays within the reference decodes' 50 dB, and
// so does a change in how a damaged stream is resynchronised.  The values
// are the frames (FNV-1a over all of them) as decoded when the arithmetic
// last changed on purpose; one that moves must be explained, not copied.
uint64_t framesHash(const Decoded& d) {
  uint64_t h = 14695981039346656037ull;
  for (const Bytes& f : d.frames)
    for (uint8_t b : f) h = (h ^ b) * 1099511628211ull;
  return h ^ d.frames.size();
}

void ignoreMessage(MpgDiagnostic, const char*) {}

TEST(Mpeg2Decode, FramesAreThoseOnRecord) {
#if !defined(__SSE2__)
  GTEST_SKIP() << "the records are of the SSE2 and AVX2 kernels; the plain transform rounds its own way";
#endif
  struct Record {
    const char* name;
    uint64_t whole, damaged;
  };
  const Record kRecords[] = {
      {"ipb", 0x8912c1f16a34a690ull, 0x745839eefec920c5ull},
      {"intra", 0x545aac36f7d80aa8ull, 0x7a00de697ae79a28ull},
      {"interlaced", 0x890e9a0d59c27939ull, 0x822912ab72c839acull},
      {"matrices", 0xa869c73020e237a1ull, 0xf011f483cca5aa82ull},
      {"odd", 0xc65936d06c6dbfe2ull, 0x0700a878846a3dafull},
      {"mpeg1", 0xe17dcdd93e087de0ull, 0x28c1f2f9b8e58f1aull},
      {"noend", 0x4f1cf635503a0415ull, 0xe7190f3989027a7cull},
      {"chroma422", 0x0a5e0f20225b6166ull, 0x81e74e12025d2f15ull},
      {"fine", 0x335a355cb8e68566ull, 0xd99c582d2bf06d1dull},
      {"fast", 0x58345b51346a0544ull, 0x0d05e7b9be25c0a3ull},
      {"fields", 0xdbe14b3808d1aa6bull, 0x032a29692e2014bbull},
      {"ipfield", 0xadd501e002119bd0ull, 0x262a85d82bcad151ull},
      {"dualprime", 0x59aee2c317463951ull, 0x2ffff9248232ba3full},
      {"framefield", 0xd9b641c55835455full, 0x58d70f61f59f4c20ull},
      {"mixed", 0x13fa337c65cd6c2cull, 0xfded5c526e9893c8ull},
      {"oddfield", 0xc4d9ac16d0ac2c20ull, 0xfb9a4ebbefb5ea1aull},
  };
  const mpg_MessageHandler previous = mpg_SetMessageHandler(ignoreMessage);
  const mpg_FatalHandler previousFatal = mpg_SetFatalHandler(recordFatal);
  for (const Record& r : kRecords) {
    SCOPED_TRACE(r.name);
    Bytes clip = readFile(kData + r.name + ".m2v");
    ASSERT_FALSE(clip.empty());
    EXPECT_EQ(framesHash(decodeMemory(clip)), r.whole);
    // Twelve bytes changed where a fixed generator says, past the headers.
    uint32_t x = 2463534242u;
    for (int k = 0; k < 12; ++k) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      const size_t at = 64 + x % (clip.size() - 64);
      clip[at] = uint8_t(clip[at] ^ (1 + (x >> 24) % 255));
    }
    EXPECT_EQ(framesHash(decodeMemory(clip)), r.damaged);
  }
  mpg_SetMessageHandler(previous);
  mpg_SetFatalHandler(previousFatal);
}

// Inter blocks whose scale keeps every level of the table in range skip the
// saturation.  Every clip, with each slice's quantiser scale code set from
// 20 to 31 (the range where that stops holding, coefficients saturating
// above it) and damaged, must decode to the same frames with every level
// saturated.
TEST(Mpeg2Decode, SaturatingEveryLevelChangesNoFrame) {
  const mpg_MessageHandler previous = mpg_SetMessageHandler(ignoreMessage);
  const mpg_FatalHandler previousFatal = mpg_SetFatalHandler(recordFatal);
  int compared = 0;
  for (const Clip& c : kClips) {
    SCOPED_TRACE(c.name);
    const Bytes clip = readFile(kData + c.name + ".m2v");
    ASSERT_FALSE(clip.empty());
    std::mt19937 rng(11);
    for (int code = 20; code <= 32; ++code) {
      Bytes bytes = clip;
      if (code <= 31) {
        // The scale code is the first five bits after a slice start code
        // (the clips are small: no row extension, no scalability).
        for (size_t k = 0; k + 4 < bytes.size(); ++k)
          if (bytes[k] == 0 && bytes[k + 1] == 0 && bytes[k + 2] == 1 && bytes[k + 3] >= 0x01 && bytes[k + 3] <= 0xAF)
            bytes[k + 4] = uint8_t((bytes[k + 4] & 7) | code << 3);
      } else {
        for (int k = 0; k < 24; ++k) bytes[64 + rng() % (bytes.size() - 64)] = uint8_t(rng());
      }
      const Decoded shortcut = decodeMemory(bytes);
      mpg::slice_UseRangeShortcut(false);
      const Decoded saturated = decodeMemory(bytes);
      mpg::slice_UseRangeShortcut(true);
      EXPECT_TRUE(shortcut.frames == saturated.frames) << "scale code " << code;
      compared += int(shortcut.frames.size());
    }
  }
  EXPECT_GT(compared, 1000);
  mpg_SetMessageHandler(previous);
  mpg_SetFatalHandler(previousFatal);
}

void countDiagnostic(MpgDiagnostic kind, const char* text) {
  EXPECT_NE(text[0], 0);
  ++diagnostics[int(kind)];
}

// Flipped bytes and cut clips: decoding ends, nothing is read or written
// outside a buffer (the sanitizer build checks), the frame size holds.  What
// the decoder says about the damage all goes to the message handler.
TEST(Mpeg2Decode, DamagedStreamsAreHarmless) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const mpg_FatalHandler previous = mpg_SetFatalHandler(recordFatal);
  const mpg_MessageHandler previousMessage = mpg_SetMessageHandler(countDiagnostic);
  diagnostics[0] = diagnostics[1] = 0;
  for (const char* name : {"ipb", "interlaced", "mpeg1", "intra", "fields", "dualprime", "mixed"}) {
    const Bytes clip = readFile(kData + name + ".m2v");
    std::mt19937 rng(7);
    for (int i = 0; i < 60; ++i) {
      Bytes bad = clip;
      const size_t at = rng() % bad.size();
      bad[at] = uint8_t(bad[at] ^ (1u << (rng() % 8)));
      if (i % 2) bad[(at * 7) % bad.size()] = uint8_t(rng());
      if (i % 5 == 0) bad.resize(at);
      const Decoded d = decodeMemory(bad);
      if (d.opened) {
        EXPECT_LE(d.width, 4096);
        EXPECT_LE(d.frames.size(), 64u);
      }
    }
  }
  mpg_SetFatalHandler(previous);
  mpg_SetMessageHandler(previousMessage);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_GT(diagnostics[int(MpgDiagnostic::CodeFault)], 0);
  EXPECT_GT(diagnostics[int(MpgDiagnostic::PictureFault)], 0);
}

// ---------------------------------------------------------------------------
// Code tables: each is prefix-free, and the tables that fill their code
// space leave exactly the gaps the syntax keeps for start codes.
TEST(Mpeg2Tables, PrefixFreeWithKnownGaps) {
  struct Case {
    const char* table;
    bool signedSymbols;   // a sign bit follows every code but EOB and escape
    double unused;        // code space left free
  };
  const Case cases[] = {
      {"dct0", true, 1.0 / 4096},  // twelve zeros lead to no code
      {"dct1", true, 1.0 / 4096},
      {"cbp", false, 1.0 / 512},        // 000000000
      {"dcluma", false, 0},
      {"dcchroma", false, 0},
      {"mbtype-p", false, 1.0 / 64},    // 000000
      {"mbtype-b", false, 1.0 / 64},
      {"motion", true, 3.0 / 256},      // 0000000, 00000010
      {"address", false, 11.0 / 1024},  // 00000000, 00000010 and six of 00000001xxx
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    std::vector<std::string> codes;
    for (const MpgCodeRow& r : mpg_CodeRows(c.table)) {
      const bool sign = c.signedSymbols && r.run < mpg::kDctEndOfBlock && !(std::strcmp(c.table, "motion") == 0 && r.value == 0);
      if (sign) {
        codes.push_back(r.bits + "0");
        codes.push_back(r.bits + "1");
      } else {
        codes.push_back(r.bits);
      }
    }
    ASSERT_FALSE(codes.empty());
    double used = 0;
    for (size_t i = 0; i < codes.size(); ++i) {
      used += std::ldexp(1.0, -int(codes[i].size()));
      for (size_t j = 0; j < codes.size(); ++j)
        if (i != j) {
          EXPECT_NE(codes[j].rfind(codes[i], 0), 0u) << codes[i] << " prefixes " << codes[j];
        }
    }
    EXPECT_NEAR(1.0 - used, c.unused, 1e-9);
  }
}

// Blocks that are only read past (the chrominance) take several codes a
// lookup: for every index, the codes that lie whole in it, matched one by
// one against the tables as written, up to an escape, a code that is cut
// off or no code (none taken: the steps say 255), or the end of the block.
TEST(Mpeg2Tables, SkipRunsFollowTheCodes) {
  for (int t = 0; t < 2; ++t) {
    SCOPED_TRACE(t ? "table one" : "table zero");
    const std::vector<MpgCodeRow> rows = mpg_CodeRows(t ? "dct1" : "dct0");
    const uint16_t* const runs = mpg::mpg_Tables().skip[t];
    int wrong = 0, ends = 0, several = 0;
    for (uint32_t index = 0; index < (1u << mpg::kSkipBits); ++index) {
      std::string bits;
      for (int k = mpg::kSkipBits - 1; k >= 0; --k) bits += (index >> k & 1) ? '1' : '0';
      size_t used = 0;
      int steps = 0, codes = 0;
      bool end = false;
      for (;;) {
        const MpgCodeRow* found = nullptr;
        for (const MpgCodeRow& r : rows)
          if (bits.compare(used, r.bits.size(), r.bits) == 0) {
            found = &r;
            break;
          }
        if (!found || found->run == mpg::kDctEscape) break;
        const size_t length = found->bits.size() + (found->run < mpg::kDctEndOfBlock ? 1 : 0);  // the sign
        if (used + length > bits.size()) break;
        used += length;
        if (found->run == mpg::kDctEndOfBlock) {
          end = true;
          break;
        }
        steps += found->run + 1;
        ++codes;
      }
      const unsigned want = unsigned(used) | (end ? mpg::kSkipEndFlag : 0u) | unsigned(used ? steps : 255) << 8;
      wrong += runs[index] != want;
      ends += end;
      several += codes > 1;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(ends, 0);
    EXPECT_GT(several, 1 << (mpg::kSkipBits - 2));
  }
}

// ---------------------------------------------------------------------------
// The transform against the double-precision definition, by the accuracy
// test of the standard's annex: random pixel blocks in three ranges, forward
// transformed, rounded and clipped to 12 bits, then inverse transformed.
TEST(Mpeg2Idct, MeetsTheAccuracyRequirement) {
  const double pi = std::acos(-1.0);
  double c[8][8];  // c[k][n]: basis k at sample n, with the 1/2 and c(0)
  for (int k = 0; k < 8; ++k)
    for (int n = 0; n < 8; ++n) c[k][n] = (k ? 1.0 : std::sqrt(0.5)) / 2 * std::cos((2 * n + 1) * k * pi / 16);
  // Separable transforms in double: forward (samples to coefficients) or inverse.
  auto transform = [&](const double* in, double* out, bool inverse) {
    double tmp[64];
    for (int r = 0; r < 8; ++r)
      for (int j = 0; j < 8; ++j) {
        double s = 0;
        for (int i = 0; i < 8; ++i) s += (inverse ? c[i][j] : c[j][i]) * in[r * 8 + i];
        tmp[r * 8 + j] = s;
      }
    for (int col = 0; col < 8; ++col)
      for (int j = 0; j < 8; ++j) {
        double s = 0;
        for (int i = 0; i < 8; ++i) s += (inverse ? c[i][j] : c[j][i]) * tmp[i * 8 + col];
        out[j * 8 + col] = s;
      }
  };
  struct Range {
    int low, high;
  };
  for (const Range& r : {Range{-256, 255}, Range{-5, 5}, Range{-300, 300}}) {
    for (int sign : {1, -1}) {
      SCOPED_TRACE(std::to_string(r.low) + ".." + std::to_string(r.high) + " sign " + std::to_string(sign));
      std::mt19937 rng(1);
      std::uniform_int_distribution<int> pick(r.low, r.high);
      double err[64] = {}, sq[64] = {};
      int peak = 0;
      const int kBlocks = 10000;
      for (int b = 0; b < kBlocks; ++b) {
        double x[64], f[64], back[64];
        for (double& v : x) v = sign * pick(rng);
        transform(x, f, false);
        int16_t coef[64];
        for (int i = 0; i < 64; ++i) {
          f[i] = std::clamp(std::round(f[i]), -2048.0, 2047.0);
          coef[i] = int16_t(f[i]);
        }
        transform(f, back, true);
        int got[64];
        mpg::mpg_IdctForTest(coef, got);
        for (int i = 0; i < 64; ++i) {
          const int want = int(std::clamp(std::round(back[i]), -256.0, 255.0));
          const int e = std::clamp(got[i], -256, 255) - want;
          peak = std::max(peak, std::abs(e));
          err[i] += e;
          sq[i] += e * e;
        }
      }
      double totalErr = 0, totalSq = 0, worstMse = 0, worstMean = 0;
      for (int i = 0; i < 64; ++i) {
        totalErr += err[i];
        totalSq += sq[i];
        worstMse = std::max(worstMse, sq[i] / kBlocks);
        worstMean = std::max(worstMean, std::abs(err[i]) / kBlocks);
      }
      EXPECT_LE(peak, 1);
      EXPECT_LE(worstMse, 0.06);
      EXPECT_LE(totalSq / (64.0 * kBlocks), 0.02);
      EXPECT_LE(worstMean, 0.015);
      EXPECT_LE(std::abs(totalErr) / (64.0 * kBlocks), 0.0015);
    }
  }
}

// Both transform kernels on blocks the clips rarely hold: every coefficient
// set, the extremes a damaged stream saturates to, single coefficients.
TEST(Mpeg2Idct, KernelsAgreeToTheBit) {
  if (!mpg::idct_UseAvx2(true)) GTEST_SKIP() << "no AVX2 here: only the SSE2 kernels run";
  std::mt19937 rng(7);
  int differing = 0;
  for (int b = 0; b < 20000; ++b) {
    int16_t coef[64] = {};
    const int kind = b % 4;
    if (kind == 0) {
      for (int16_t& v : coef) v = int16_t(int(rng() % 4096) - 2048);
    } else if (kind == 1) {
      for (int16_t& v : coef) v = rng() % 2 ? 2047 : -2048;
    } else if (kind == 2) {
      coef[rng() % 64] = int16_t(int(rng() % 4096) - 2048);
    } else {
      for (int i = 0; i < 64; ++i) coef[i] = int16_t(rng() % 8 ? 0 : int(rng() % 200) - 100);
    }
    int wide[64], narrow[64];
    mpg::mpg_IdctForTest(coef, wide);
    mpg::idct_UseAvx2(false);
    mpg::mpg_IdctForTest(coef, narrow);
    mpg::idct_UseAvx2(true);
    differing += !std::equal(wide, wide + 64, narrow);
  }
  EXPECT_EQ(differing, 0);
}

// The stores after the transform: both kernels put and add the same bytes,
// in the right rows, saturated at 0 and 255 over predictions at and near
// the ends, and touch nothing between or beside the rows.
TEST(Mpeg2Idct, KernelsStoreAndAddTheSameBytes) {
  if (!mpg::idct_UseAvx2(true)) GTEST_SKIP() << "no AVX2 here: only the SSE2 kernels run";
  std::mt19937 rng(11);
  constexpr int kStride = 13, kSize = 8 * kStride;
  int differing = 0, moved = 0;
  for (int b = 0; b < 6000; ++b) {
    alignas(32) int16_t coef[64] = {};
    if (b % 3 == 0) {
      for (int16_t& v : coef) v = int16_t(int(rng() % 4096) - 2048);
    } else {
      coef[0] = int16_t(int(rng() % 4096) - 2048);  // a level far past either end
      for (int i = 1; i < 64; ++i) coef[i] = int16_t(rng() % 6 ? 0 : int(rng() % 400) - 200);
    }
    uint8_t before[kSize];
    const int fill = b % 4;
    for (int i = 0; i < kSize; ++i)
      before[i] = fill == 0 ? 0 : fill == 1 ? 255 : fill == 2 ? uint8_t(i % 2 ? 254 : 1) : uint8_t(rng());
    for (bool add : {false, true}) {
      uint8_t wide[kSize], narrow[kSize];
      std::copy(before, before + kSize, wide);
      std::copy(before, before + kSize, narrow);
      alignas(32) int16_t block[64];
      std::copy(coef, coef + 64, block);
      (add ? mpg::idct_Add : mpg::idct_Put)(block, wide, kStride);
      moved += std::count(block, block + 64, 0) != 64;  // the block comes back clear
      mpg::idct_UseAvx2(false);
      std::copy(coef, coef + 64, block);
      (add ? mpg::idct_Add : mpg::idct_Put)(block, narrow, kStride);
      mpg::idct_UseAvx2(true);
      differing += !std::equal(wide, wide + kSize, narrow);
      for (int y = 0; y < 8; ++y)
        for (int x = 8; x < kStride; ++x) moved += wide[y * kStride + x] != before[y * kStride + x];
    }
  }
  EXPECT_EQ(differing, 0);
  EXPECT_EQ(moved, 0);
}

// The four-sample prediction, both kernels, both heights, stored and
// averaged: every sample (a + b + c + d + 2) >> 2, over sample values at
// and near both ends and random ones, reading no row past the last.
TEST(Mpeg2Motion, FourSampleAveragesAreExact) {
  std::mt19937 rng(5);
  constexpr int kStride = 21;
  int wrong = 0;
  for (bool avx2 : {false, true}) {
    if (mpg::mc_UseAvx2(avx2) != avx2) continue;
    for (int h : {8, 16}) {
      for (int round = 0; round < 400; ++round) {
        // Exactly the rows read: h + 1 of them, 17 samples each.
        std::vector<uint8_t> ref(size_t(h) * kStride + 17);
        const int kind = round % 4;
        for (uint8_t& v : ref)
          v = kind == 0 ? uint8_t(rng() % 4) : kind == 1 ? uint8_t(252 + rng() % 4) : kind == 2 ? uint8_t(rng() % 2 ? 255 : 0) : uint8_t(rng());
        for (int avg = 0; avg < 2; ++avg) {
          std::vector<uint8_t> out(size_t(h) * kStride);
          for (uint8_t& v : out) v = uint8_t(rng());
          const std::vector<uint8_t> before = out;
          (h == 16 ? mpg::mc_Kernels16 : mpg::mc_Kernels8)[avg][3](out.data(), kStride, ref.data(), kStride);
          for (int y = 0; y < h; ++y)
            for (int x = 0; x < kStride; ++x) {
              const uint8_t* p = &ref[size_t(y) * kStride + size_t(x)];
              int want = before[size_t(y) * kStride + size_t(x)];
              if (x < 16) {
                const int v = (p[0] + p[1] + p[kStride] + p[kStride + 1] + 2) >> 2;
                want = avg ? (want + v + 1) >> 1 : v;
              }
              wrong += out[size_t(y) * kStride + size_t(x)] != want;
            }
        }
      }
    }
  }
  mpg::mc_UseAvx2(true);
  EXPECT_EQ(wrong, 0);
}

// Blocks of DC and [63] alone (what mismatch control leaves) take a short
// way; every sample must still be DC / 8 plus [63] times its basis product,
// rounded, stored or added with saturation.
TEST(Mpeg2Idct, DcBlocksMatchTheirBasisSum) {
  const double pi = std::acos(-1.0);
  int basis[64];
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      basis[y * 8 + x] = int(std::lround(16384.0 * std::cos((2 * x + 1) * 7 * pi / 16) * std::cos((2 * y + 1) * 7 * pi / 16)));
  int mismatches = 0;
  for (int dc = -2048; dc < 2048; ++dc) {
    for (int last : {0, 1, -1, 3}) {
      for (bool add : {false, true}) {
        alignas(16) int16_t block[64] = {};
        block[0] = int16_t(dc);
        block[63] = int16_t(last);
        uint8_t picture[8 * 12];
        for (int i = 0; i < 8 * 12; ++i) picture[i] = uint8_t(i * 37);
        uint8_t before[8 * 12];
        std::copy(picture, picture + 8 * 12, before);
        (add ? mpg::idct_AddDc : mpg::idct_PutDc)(block, picture, 12);
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) {
            const int v = (dc * 8192 + 32768 + last * basis[y * 8 + x]) >> 16;
            const int want = std::clamp((add ? before[y * 12 + x] : 0) + v, 0, 255);
            mismatches += picture[y * 12 + x] != want;
          }
        for (int y = 0; y < 8; ++y)  // the four bytes right of each row stay
          for (int x = 8; x < 12; ++x) mismatches += picture[y * 12 + x] != before[y * 12 + x];
        mismatches += block[0] != 0 || block[63] != 0;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// The MPEG layer, on an archive named as the program names it.
namespace {

double clockNow = 0;
double fakeClock() { return clockNow; }

std::string archiveOf(const std::vector<std::pair<std::string, Bytes>>& entries) {
  std::string b(4 + entries.size() * 20, '\0');
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = char(v >> (8 * i));
  };
  put(0, uint32_t(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    put(4 + i * 20, uint32_t(b.size()));
    b.replace(4 + i * 20 + 4, entries[i].first.size(), entries[i].first);
    b.append(entries[i].second.begin(), entries[i].second.end());
  }
  return b;
}

struct MpegLayer : ScriptFixture {
  char dir[32] = "/tmp/velmorin-mpgdir-XXXXXX";
  std::string cwd;
  Decoded ref;  // the clip as the decoder gives it

  void SetUp() override {
    ScriptFixture::SetUp();
    char here[4096];
    cwd = getcwd(here, sizeof here) ? here : ".";
    ASSERT_TRUE(mkdtemp(dir));
    ASSERT_EQ(chdir(dir), 0);
    const std::string dat = archiveOf({{"logo.png", Bytes(10, 1)}, {"clip.m2v", readFile(kData + "noend.m2v")}});
    std::ofstream("velmorin.dat", std::ios::binary) << dat;
    ASSERT_EQ(dat_Open("velmorin.dat"), 1);
    ref = decodeMemory(readFile(kData + "noend.m2v"));
    tmr_SetSource(fakeClock);
    TML = TimelineState{};
  }
  void TearDown() override {
    ScriptFixture::TearDown();
    mpg_Close(mpg_Shared());
    tmr_SetSource(nullptr);
    unlink("velmorin.dat");
    EXPECT_EQ(chdir(cwd.c_str()), 0);
    rmdir(dir);
  }
  const Bytes& refFrame(int f) const { return ref.frames[size_t(f)]; }
};

Bytes pixelsOf(const Image* image) { return Bytes(image->pixels, image->pixels + image->width * image->height); }

TEST_F(MpegLayer, ConstructionProbesAndCloses) {
  load("s.plg\nv = mpeg in=CLIP.M2V;\nw = mpeg in=nope.m2v;\n");
  auto* v = dynamic_cast<MPEG*>(get("v"));
  ASSERT_NE(v, nullptr);
  EXPECT_FALSE(mpg_IsOpen(mpg_Shared()));
  EXPECT_EQ(v->decoded->width, 64);
  EXPECT_EQ(v->decoded->height, 48);
  EXPECT_EQ(v->frame, nullptr);
  EXPECT_EQ(errorOf([&] { get("w"); }), "video nope.m2v not found !");
}

// Pull by pull, at the clock's pace: the first pull finds the decoder
// closed and reopens it, the first reference is held until the next one,
// the end closes (writing the last reference) and reopens, so the clip loops.
TEST_F(MpegLayer, LoopsAtTenPicturesASecond) {
  load("s.plg\nv = mpeg in=clip.m2v;\n");
  auto* v = dynamic_cast<MPEG*>(get("v"));
  const Bytes black(3072, 0);
  struct Pull {
    double t;
    int framesShown;  // after the pull
    int shows;        // reference frame on screen, -1 black
  };
  const Pull pulls[] = {{0.0, 0, -1},  {0.05, 1, -1}, {0.1, 1, -1},  {0.15, 2, -1}, {0.3, 3, 0},  {0.4, 4, 1},
                        {0.5, 5, 2},   {0.6, 6, 3},   {0.7, 7, 4},   {0.8, 8, 5},   {0.9, 9, 6},  {1.0, 10, 7},
                        {1.1, 11, 8},  {1.2, 12, 8},  {1.3, 13, 0},  {1.4, 14, 1},
                        // 20 pictures at 2 s are the limit.
                        {2.0, 15, 2},  {2.0, 16, 3},  {2.0, 17, 4},  {2.0, 18, 5},  {2.0, 19, 6}, {2.0, 20, 7},
                        {2.0, 20, 7}};
  for (const Pull& p : pulls) {
    SCOPED_TRACE("t=" + std::to_string(p.t));
    clockNow = p.t;
    Image* image = v->stream(64, 48);
    EXPECT_EQ(image, v->decoded);
    EXPECT_EQ(v->framesShown, p.framesShown);
    EXPECT_EQ(pixelsOf(image) == (p.shows < 0 ? black : refFrame(p.shows)), true);
  }
}

TEST_F(MpegLayer, ScalesToTheAskedSize) {
  load("s.plg\nv = mpeg in=clip.m2v;\n");
  auto* v = dynamic_cast<MPEG*>(get("v"));
  for (double t : {0.1, 0.2, 0.3, 0.4}) {
    clockNow = t;
    v->stream(64, 48);
  }
  const Bytes shown = pixelsOf(v->decoded);
  clockNow = 0.4;  // 4 pictures in 0.4 s: none due
  Image* half = v->stream(32, 24);
  ASSERT_NE(half, v->decoded);
  ASSERT_EQ(half->width, 32);
  ASSERT_EQ(half->height, 24);
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x) ASSERT_EQ(half->pixels[y * 32 + x], shown[size_t(y * 2 * 64 + x * 2)]);
  EXPECT_EQ(v->stream(64, 48), v->decoded);
  Image* wide = v->stream(100, 10);
  EXPECT_EQ(wide->width, 100);
  EXPECT_EQ(wide->height, 10);
}

}  // namespace
