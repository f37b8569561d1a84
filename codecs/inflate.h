// The inflater's streaming side, private to codecs/: input arrives as a run of
// windows that a callback hands over (the PNG reader gives the data of one
// IDAT chunk after another), output goes straight into one caller buffer.
#pragma once

#include "codecs/codecs.h"

struct InfSource {
  const uint8_t* next = nullptr;  // the current window
  const uint8_t* end = nullptr;
  // Called once the window is used up: installs the next non-empty window and
  // returns true, or returns false when the input has ended.  Past the end
  // the inflater reads zero bits and fails at the next block boundary if it
  // used any of them.  May be null when the first window is all there is.
  bool (*pull)(InfSource* source) = nullptr;
  void* user = nullptr;
};

// Inflates one zlib stream into out[0, outCapacity).  On return source->next
// is where the inflater stopped taking bytes; it may have taken up to eight
// bytes (and windows) beyond the trailer into its bit buffer.
InfResult inf_Stream(InfDecoder* decoder, InfSource* source, uint8_t* out, size_t outCapacity);

// Makes decoders created afterwards, and the checksum, keep to the code every
// processor of the architecture runs, without the paths chosen at run time
// for BMI or AVX2 (what a build for another processor runs), so that tests
// can compare both.
void inf_UsePlainCode(bool plain);
