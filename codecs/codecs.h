// Codecs: the PNG decoder (png_*), the zlib/deflate inflater under it
// (inf_*), the MPEG-2 and MPEG-1 video decoder (mpg_*), and SHA-256 for
// checking decoded pictures (sha256_*).  Nothing here knows the engine's
// other folders: decoders read files, streams or memory and write bytes.
//
// The PNG decoder fills a PngInfo record from a file or a block of memory;
// the archive's texture loader (assets/) turns that record into an 8-bit
// grey Image.  The decoders keep all their state in a context the caller
// owns, so two pictures can be decoded at the same time on different
// contexts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Results of the PNG decoder and of the inflater share one numbering: the
// decoder passes the inflater's failures on unchanged.
enum class PngStatus : int {
  Ok = 0,
  // The inflater (RFC 1951 block and code faults).
  StoredLengthMismatch = 1,  // stored block whose length does not match its complement
  BadBlockType = 2,          // block type 3
  CodeOversubscribed = 3,    // code lengths describe more codes than fit
  CodeIncomplete = 4,        // code lengths leave codes unused
  BadLengthRepeat = 5,       // a repeat with nothing to repeat, or past the last length
  TooManyCodes = 6,          // more than 286 literal/length or 30 distance codes
  NoEndOfBlock = 7,          // literal/length code without the end-of-block symbol
  BadSymbol = 8,             // a code with no symbol, or symbol 286, 287, 30, 31
  DistanceTooFar = 9,        // a match reaching before the start of the output
  InputEnded = 10,           // stream cut short (the standalone inflater only)
  // The PNG decoder.
  OutOfMemory = -3,    // also: decompressed data larger than its buffer
  ShortRead = -4,      // end of file before IEND
  Malformed = -6,
  Unusable = -7,       // IEND reached but the picture cannot be used
  NoImageData = -9,    // IEND before any IDAT
  BadZlibHeader = -10,
};
const char* png_StatusText(PngStatus s);

// ---------------------------------------------------------------------------
// The image information record.  Integers are as the chunks store them; the
// flags are 0 or 1.  png_Decode* zero it before filling it.
enum PngText { kPngAuthor, kPngCopyright, kPngSoftware, kPngSource, kPngTitle, kPngTextCount };

struct PngInfo {
  // IHDR
  int32_t width, height;
  int32_t channels;   // 1..4: grey or palette index 1, colour 3, plus 1 for alpha
  int32_t bitDepth;   // 1, 2, 4, 8 or 16
  int32_t colour, alpha, palette;  // colour-type bits 2, 4 and 1
  int32_t interlace;  // 0 none, 1 Adam7
  // PLTE and tRNS
  int32_t paletteCount;  // 0..256
  uint8_t paletteRgb[256][3];
  int32_t transparency;        // a tRNS chunk was met
  uint16_t transparent[3];     // grey level, or R, G, B
  uint8_t paletteAlpha[256];   // entries past those in tRNS are 255
  // Placement and colour chunks, as stored.
  int32_t offsetX, offsetY;                // oFFs
  int32_t pixelsPerUnitX, pixelsPerUnitY;  // pHYs
  double scaleWidth, scaleHeight;          // sCAL, parsed from its two texts
  double gamma;                            // gAMA x 0.00001
  int32_t chromaticities[8];               // cHRM: white x, y, red x, y, green x, y, blue x, y
  uint8_t physUnit, offsetUnit, scaleUnit;
  // Texts stored under the five keywords we keep, else null (indexed by PngText).
  char* texts[kPngTextCount];
  // Set to "pngextra.tmp" when a chunk we pass over but should keep was met.
  char extraFileName[16];
  // Rows top to bottom, no filter bytes: at depth 8 one byte a sample, at 16
  // two bytes big-endian, at 1, 2, 4 one byte a sample scaled to 0..255.
  // Samples in file order; null until the picture data was read.
  uint8_t* pixels;
  size_t pixelBytes;  // width * height * bytes per pixel
};

// Bytes one pixel takes in PngInfo::pixels.
inline int png_PixelBytes(const PngInfo& info) { return info.channels * (info.bitDepth == 16 ? 2 : 1); }

// Frees the pixels and texts of a record and zeroes it.  Safe on a zeroed
// record and on one a failed decode left.
void png_FreeInfo(PngInfo* info);

// ---------------------------------------------------------------------------
// The decoder context: read buffer, inflater and decompression buffer, kept
// between pictures so that a second decode allocates little.
struct PngDecoder;
PngDecoder* png_CreateDecoder();  // nullptr when out of memory
void png_DestroyDecoder(PngDecoder* decoder);

// Decode a whole file from the stream's position or from memory.  Input is
// read ahead in 8 KiB blocks, so a stream ends up past the picture's last
// byte.  On failure the record keeps the fields read so far but no pixels or
// texts.  The record must be zeroed or freed before (it is zeroed again).
PngStatus png_DecodeFile(PngDecoder* decoder, FILE* file, PngInfo* info);
PngStatus png_DecodeMemory(PngDecoder* decoder, const uint8_t* data, size_t size, PngInfo* info);

// One byte of luminance a pixel, (R*307 + G*600 + B*117) >> 10, from a
// decoded record into width * height bytes; grey pictures give their grey
// level, palette pictures the luminance of the entry an index names, 16-bit
// samples their high byte, alpha is ignored.
void png_Luma(const PngInfo& info, uint8_t* luma);

// Decode and convert in one go; the record is filled as by png_Decode* and
// its pixels are freed again, the texts stay (png_FreeInfo frees them).
PngStatus png_DecodeLuma(PngDecoder* decoder, const uint8_t* data, size_t size, PngInfo* info,
                         std::vector<uint8_t>* luma);
PngStatus png_DecodeLumaFile(PngDecoder* decoder, FILE* file, PngInfo* info, std::vector<uint8_t>* luma);
// The same with a decoder of its own for the one file (OutOfMemory when
// none can be made; the record is zeroed then too).  The file stays open.
PngStatus png_LoadLumaFile(FILE* file, PngInfo* info, std::vector<uint8_t>* luma);

// ---------------------------------------------------------------------------
// The inflater on its own: one zlib stream (RFC 1950 header, RFC 1951 blocks,
// Adler-32 trailer) from memory into a caller's buffer.
struct InfDecoder;
InfDecoder* inf_CreateDecoder();
void inf_DestroyDecoder(InfDecoder* decoder);

struct InfResult {
  PngStatus status;   // OutOfMemory when the output does not fit
  size_t produced;    // bytes written to the output
  bool adlerMatches;  // the trailer agrees with the output (checked, not enforced)
};
InfResult inf_Zlib(InfDecoder* decoder, const uint8_t* in, size_t inSize, uint8_t* out, size_t outCapacity);

uint32_t inf_Adler32(uint32_t adler, const uint8_t* data, size_t size);

// ---------------------------------------------------------------------------
// SHA-256 of a block of bytes as 64 lower-case hex digits.
std::string sha256_Hex(const uint8_t* data, size_t size);

// ---------------------------------------------------------------------------
// MPEG-2 video (and MPEG-1) elementary streams: pictures decoded one frame at
// a time, in display order, into width x height bytes of luminance.
//
// Open probes the clip: it decodes up to the first frame to learn the size,
// then starts again at the clip's first byte.  Next frame writes the frame
// that is due: a B frame at once, an I or P frame's predecessor reference
// when the next reference is complete; the last reference is written by the
// close, into the buffer the last Next frame call was given.  The stream runs
// from the offset to its sequence end code; past the file's end the reader
// pads and supplies end codes, so a clip without one ends too.
//
// Decoders hold all their state; the program plays its clips on one shared
// instance (mpg_Shared), which the timeline closes at every scene change.
struct MpgDecoder;
MpgDecoder* mpg_CreateDecoder();  // nullptr when out of memory
void mpg_DestroyDecoder(MpgDecoder* decoder);
MpgDecoder* mpg_Shared();

// The clip at a byte offset of a file, or in memory (which must outlive the
// open clip).  False when the file cannot be opened or no frame decodes; the
// file is closed then.
bool mpg_Open(MpgDecoder* decoder, const char* path, long offset, int* width, int* height);
bool mpg_OpenMemory(MpgDecoder* decoder, const uint8_t* data, size_t size, int* width, int* height);

enum MpgResult : int {
  kMpgEnd = 0,     // sequence end, or nothing open
  kMpgFrame = 1,   // a frame was written to the buffer
  kMpgHeld = 2,    // a frame was decoded; the first reference is written later
};
// pixels: width x height bytes, normally the open's size; of a frame of
// another size only the part both hold is written.
int mpg_NextFrame(MpgDecoder* decoder, uint8_t* pixels, int width, int height);
// Writes the last reference frame (true when it did) and closes; harmless
// when nothing is open.
bool mpg_Close(MpgDecoder* decoder);
bool mpg_IsOpen(const MpgDecoder* decoder);

// The few stream features the decoder cannot decode stop the program: the
// handler gets the text ("malloc failed\n", "temporal scalability not
// implemented\n", "temporal scalability not supported\n").  The default
// prints it on stderr and exits with code 1; a handler that returns (tests,
// fuzzing) ends the clip instead.  nullptr restores the default; returns the
// handler in force before.
using mpg_FatalHandler = void (*)(const char* text);
mpg_FatalHandler mpg_SetFatalHandler(mpg_FatalHandler handler);

// Damage the decoder steps over (decoding goes on) is told to one handler:
// faults of the coded data (start codes, coefficient codes) and faults of a
// picture's structure (macroblock codes, a picture cut short).  The default
// prints the text, the first kind on stderr and the second on stdout.
// nullptr restores the default; returns the handler in force before.
enum class MpgDiagnostic { CodeFault, PictureFault };
using mpg_MessageHandler = void (*)(MpgDiagnostic kind, const char* text);
mpg_MessageHandler mpg_SetMessageHandler(mpg_MessageHandler handler);
