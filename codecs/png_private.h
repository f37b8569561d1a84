// Shared inside codecs/ only: the PNG reader (png_read.cpp) hands the
// decompressed rows to the pixel stage (png_pixels.cpp).
#pragma once

#include "codecs/codecs.h"

// The decompressed rows of a non-interlaced picture, or of each Adam7 pass,
// must fit this buffer; more decompressed data is refused as out of memory.
constexpr size_t kPngRowBuffer = size_t(1) << 20;

// Where one Adam7 pass (or the whole picture) lies: pixels (x0 + dx i,
// y0 + dy j) for i < width, j < height; each row holds a filter byte and
// rowBytes bytes of packed samples.  An empty pass has no rows at all.
struct PngPass {
  uint32_t x0, y0, dx, dy;
  uint32_t width, height;
  uint64_t rowBytes;
  uint64_t size;  // height * (1 + rowBytes), 0 for an empty pass
};

// Fills one pass for a plain picture, seven for Adam7; returns the count.
int png_Passes(const PngInfo& info, PngPass passes[7]);

// Undoes the row filters of the passes laid out one after another in raw
// (in place) and writes the record's pixels.  OutOfMemory when the pixel
// buffer cannot be had; a picture of no pixels gets no buffer.
PngStatus png_Reconstruct(PngInfo* info, uint8_t* raw, const PngPass* passes, int passCount);

// Turns the vector paths of the pixel stage (and the CRC's, as
// png_CrcUseClmul) on or off (on at start); returns whether they now run:
// false where the build has none.  For tests and timing: both paths give
// the same pixels.
bool png_UseSimd(bool on);
// Within those, the AVX2 and AVX-512 ones (on at start where the processor
// has them); off, SSE2 or plain code takes their place.
bool png_UseAvx2(bool on);

// Runs the CRC-32 register of a chunk (kept inverted, starting at ~0) over
// n bytes.  png_CrcUseClmul turns the carry-less multiplication path on or
// off (on at start where the processor has it); returns whether it runs.
uint32_t png_CrcUpdate(uint32_t crc, const uint8_t* p, size_t n);
bool png_CrcUseClmul(bool on);
