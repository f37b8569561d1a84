// The MPEG-2 decoder's boundary and headers: the source (an archive file at
// an offset, or memory) behind the bit reader, start codes, the sequence,
// group and picture headers with their extensions, frame stores and
// reordering, and open / next frame / close.
#include "codecs/mpeg2_private.h"

#include <algorithm>
#include <cstdio>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

void defaultFatal(const char* text) {
  std::fputs(text, stderr);
  std::exit(1);
}
mpg_FatalHandler fatalHandler = defaultFatal;

void defaultMessage(MpgDiagnostic kind, const char* text) {
  std::fputs(text, kind == MpgDiagnostic::CodeFault ? stderr : stdout);
}
mpg_MessageHandler messageHandler = defaultMessage;

// Frame stores beyond this are refused as a damaged header rather than
// allocated: the largest level codes 1920 x 1152.
constexpr int kMaxDimension = 4096;

}  // namespace

mpg_MessageHandler mpg_SetMessageHandler(mpg_MessageHandler handler) {
  const mpg_MessageHandler previous = messageHandler;
  messageHandler = handler ? handler : defaultMessage;
  return previous;
}

mpg_FatalHandler mpg_SetFatalHandler(mpg_FatalHandler handler) {
  const mpg_FatalHandler previous = fatalHandler;
  fatalHandler = handler ? handler : defaultFatal;
  return previous;
}

namespace mpg {

void mpg_Message(MpgDiagnostic kind, const char* format, ...) {
  char text[128];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  messageHandler(kind, text);
}

void mpg_Fatal(Decoder& d, const char* text) {
  fatalHandler(text);
  // A handler that returns (tests) ends the clip instead.
  d.ended = true;
}

// ---------------------------------------------------------------------------
// Source and bit reader.

namespace {

void resetBits(Decoder& d) {
  d.bits = Bits{};
  d.sourceEnded = false;
  d.bytesRead = 0;
  d.padPhase = 0;
  d.pendingCode = -1;
  if (d.memory) {
    d.bits.p = d.memory;
    d.bits.end = d.memory + d.memorySize;
    d.bytesRead = d.memorySize;
    d.sourceEnded = true;
  } else {
    d.bits.p = d.bits.end = d.buffer;
  }
}

// The next byte once the buffer is empty: more of the file, else the zero
// padding to a multiple of four, else sequence end codes forever.
int slowByte(Decoder& d) {
  if (!d.sourceEnded && d.fd >= 0) {
    const ssize_t n = ::read(d.fd, d.buffer, 2048);
    if (n > 0) {
      d.bytesRead += uint64_t(n);
      d.bits.p = d.buffer + 1;
      d.bits.end = d.buffer + n;
      return d.buffer[0];
    }
  }
  d.sourceEnded = true;
  d.bits.p = d.bits.end = d.buffer;
  const int padding = int((4 - d.bytesRead % 4) % 4);
  const int k = d.padPhase++;
  if (d.padPhase > 1 << 20) d.padPhase = padding + 4;  // the pattern repeats; keep the count bounded
  if (k < padding) return 0;
  static const uint8_t kEnd[4] = {0, 0, 1, kSequenceEndCode};
  return kEnd[(k - padding) & 3];
}

inline int nextByte(Decoder& d) { return d.bits.p < d.bits.end ? *d.bits.p++ : slowByte(d); }

}  // namespace

void bits_RefillSlow(Decoder& d) {
  Bits& b = d.bits;
  while (b.count < 56) {  // ends with 56..63: below 64, so a whole-word top-up can shift by it
    b.cache |= uint64_t(nextByte(d)) << (56 - b.count);
    b.count += 8;
  }
}

int bits_NextStartCode(Decoder& d) {
  bits_Skip(d, d.bits.count & 7);
  for (;;) {
    bits_Need(d);
    if (bits_Show(d, 24) == 1) {
      const int code = int(bits_Show(d, 32) & 0xFF);
      bits_Skip(d, 32);
      return code;
    }
    bits_Skip(d, 8);
  }
}

// ---------------------------------------------------------------------------
// Headers.

namespace {

void readMatrix(Decoder& d, uint8_t* matrix) {
  for (int i = 0; i < 64; ++i) {
    const int v = int(bits_Get(d, 8));
    // A zero weight is forbidden; taking 1 keeps the arithmetic sane.
    matrix[kZigzag[i]] = uint8_t(v ? v : 1);
  }
}

void sequenceHeader(Decoder& d) {
  const int width = int(bits_Get(d, 12));
  const int height = int(bits_Get(d, 12));
  bits_Get(d, 4);   // aspect_ratio_information
  bits_Get(d, 4);   // frame_rate_code
  bits_Get(d, 18);  // bit_rate_value
  bits_Get(d, 1);   // marker
  bits_Get(d, 10);  // vbv_buffer_size_value
  bits_Get(d, 1);   // constrained_parameters_flag
  if (bits_Get(d, 1))
    readMatrix(d, d.intraMatrix);
  else
    std::memcpy(d.intraMatrix, kDefaultIntraMatrix, 64);
  if (bits_Get(d, 1))
    readMatrix(d, d.nonIntraMatrix);
  else
    std::memset(d.nonIntraMatrix, 16, 64);
  d.horizontalSize = width;
  d.verticalSize = height;
  d.haveSequence = true;
  d.mpeg2 = false;
  d.progressiveSequence = 1;
  d.chromaFormat = 1;
  d.scalableMode = -1;
  // MPEG-1 pictures keep these; a picture coding extension overrides them.
  d.intraDcPrecision = 0;
  d.pictureStructure = kFramePicture;
  d.framePredFrameDct = 1;
  d.concealment = 0;
  d.qScaleType = 0;
  d.intraVlcFormat = 0;
  d.alternateScan = 0;
  d.progressiveFrame = 1;
  d.topFieldFirst = 0;
}

void sequenceExtension(Decoder& d) {
  bits_Get(d, 8);  // profile_and_level_indication
  d.progressiveSequence = int(bits_Get(d, 1));
  d.chromaFormat = int(bits_Get(d, 2));
  if (d.chromaFormat == 0) d.chromaFormat = 1;  // reserved: read as 4:2:0
  d.horizontalSize = (d.horizontalSize & 0xFFF) | int(bits_Get(d, 2) << 12);
  d.verticalSize = (d.verticalSize & 0xFFF) | int(bits_Get(d, 2) << 12);
  bits_Get(d, 12);  // bit_rate_extension
  bits_Get(d, 1);   // marker
  bits_Get(d, 8);   // vbv_buffer_size_extension
  bits_Get(d, 1);   // low_delay
  bits_Get(d, 2);   // frame_rate_extension_n
  bits_Get(d, 5);   // frame_rate_extension_d
  d.mpeg2 = true;
}

void sequenceDisplayExtension(Decoder& d) {
  bits_Get(d, 3);  // video_format
  if (bits_Get(d, 1)) bits_Get(d, 24);  // colour primaries, transfer, matrix
  bits_Get(d, 14);  // display_horizontal_size
  bits_Get(d, 1);
  bits_Get(d, 14);  // display_vertical_size
}

void quantMatrixExtension(Decoder& d) {
  if (bits_Get(d, 1)) readMatrix(d, d.intraMatrix);
  if (bits_Get(d, 1)) readMatrix(d, d.nonIntraMatrix);
  uint8_t chroma[64];  // chrominance is not reconstructed
  if (bits_Get(d, 1)) readMatrix(d, chroma);
  if (bits_Get(d, 1)) readMatrix(d, chroma);
}

enum ScalableMode { kDataPartitioning = 0, kSpatial = 1, kSnr = 2, kTemporal = 3 };

void sequenceScalableExtension(Decoder& d) {
  d.scalableMode = int(bits_Get(d, 2));
  bits_Get(d, 4);  // layer_id
  if (d.scalableMode == kSpatial) {
    bits_Get(d, 14);  // lower_layer_prediction_horizontal_size
    bits_Get(d, 1);
    bits_Get(d, 14);  // lower_layer_prediction_vertical_size
    bits_Get(d, 20);  // the four subsampling factors
  } else if (d.scalableMode == kTemporal) {
    mpg_Fatal(d, "temporal scalability not implemented\n");
  }
}

void pictureDisplayExtension(Decoder& d) {
  int offsets;
  if (d.progressiveSequence)
    offsets = d.repeatFirstField ? (d.topFieldFirst ? 3 : 2) : 1;
  else if (d.pictureStructure != kFramePicture)
    offsets = 1;
  else
    offsets = d.repeatFirstField ? 3 : 2;
  for (int i = 0; i < offsets; ++i) bits_Get(d, 16 + 1 + 16 + 1);
}

void pictureCodingExtension(Decoder& d) {
  d.fCode[0][0] = int(bits_Get(d, 4));
  d.fCode[0][1] = int(bits_Get(d, 4));
  d.fCode[1][0] = int(bits_Get(d, 4));
  d.fCode[1][1] = int(bits_Get(d, 4));
  d.intraDcPrecision = int(bits_Get(d, 2));
  d.pictureStructure = int(bits_Get(d, 2));
  d.topFieldFirst = int(bits_Get(d, 1));
  d.framePredFrameDct = int(bits_Get(d, 1));
  d.concealment = int(bits_Get(d, 1));
  d.qScaleType = int(bits_Get(d, 1));
  d.intraVlcFormat = int(bits_Get(d, 1));
  d.alternateScan = int(bits_Get(d, 1));
  d.repeatFirstField = int(bits_Get(d, 1));
  bits_Get(d, 1);  // chroma_420_type
  d.progressiveFrame = int(bits_Get(d, 1));
  if (bits_Get(d, 1)) bits_Get(d, 1 + 3 + 1 + 7 + 8);  // composite display
}

void pictureSpatialScalableExtension(Decoder& d) {
  bits_Get(d, 10);  // lower_layer_temporal_reference
  bits_Get(d, 1);
  bits_Get(d, 15);  // lower_layer_horizontal_offset
  bits_Get(d, 1);
  bits_Get(d, 15);  // lower_layer_vertical_offset
  bits_Get(d, 2);   // spatial_temporal_weight_code_table_index
  bits_Get(d, 2);   // lower_layer_progressive_frame, lower_layer_deinterlaced_field_select
}

enum ExtensionId {
  kSequenceExtension = 1,
  kSequenceDisplay = 2,
  kQuantMatrix = 3,
  kCopyright = 4,
  kSequenceScalable = 5,
  kPictureDisplay = 7,
  kPictureCoding = 8,
  kPictureSpatialScalable = 9,
  kPictureTemporalScalable = 10,
  kCameraParameters = 11,
  kItuT = 12,
};

// The extensions and user data after a header; leaves the next other start
// code pending.
void extensionsAndUserData(Decoder& d) {
  for (;;) {
    const int code = bits_NextStartCode(d);
    if (code == kUserDataCode) continue;  // skipped up to the next start code
    if (code != kExtensionCode) {
      d.pendingCode = code;
      return;
    }
    const int id = int(bits_Get(d, 4));
    switch (id) {
      case kSequenceExtension: sequenceExtension(d); break;
      case kSequenceDisplay: sequenceDisplayExtension(d); break;
      case kQuantMatrix: quantMatrixExtension(d); break;
      case kSequenceScalable: sequenceScalableExtension(d); break;
      case kPictureDisplay: pictureDisplayExtension(d); break;
      case kPictureCoding: pictureCodingExtension(d); break;
      case kPictureSpatialScalable: pictureSpatialScalableExtension(d); break;
      case kPictureTemporalScalable: mpg_Fatal(d, "temporal scalability not supported\n"); break;
      case kCopyright:
      case kCameraParameters:
      case kItuT: break;  // nothing in them changes the pictures
      default: mpg_Message(MpgDiagnostic::CodeFault, "reserved extension start code ID %d\n", id); break;
    }
    if (d.ended) return;
  }
}

void groupHeader(Decoder& d) {
  bits_Get(d, 25);  // time_code
  bits_Get(d, 2);   // closed_gop, broken_link
}

void pictureHeader(Decoder& d) {
  bits_Get(d, 10);  // temporal_reference
  d.pictureType = int(bits_Get(d, 3));
  bits_Get(d, 16);  // vbv_delay
  if (d.pictureType == kPredicted || d.pictureType == kBidirectional) {
    d.fullPel[0] = int(bits_Get(d, 1));
    d.fCode[0][0] = d.fCode[0][1] = int(bits_Get(d, 3));
  }
  if (d.pictureType == kBidirectional) {
    d.fullPel[1] = int(bits_Get(d, 1));
    d.fCode[1][0] = d.fCode[1][1] = int(bits_Get(d, 3));
  }
  while (bits_Get(d, 1)) bits_Get(d, 8);  // extra_information_picture
  if (!d.mpeg2) {
    d.pictureStructure = kFramePicture;
    d.framePredFrameDct = 1;
  } else {
    d.fullPel[0] = d.fullPel[1] = 0;
  }
}

// ---------------------------------------------------------------------------
// Frame stores: allocated when the coded size changes, reused otherwise.

void freeStores(Decoder& d) {
  for (uint8_t*& s : d.stores) {
    std::free(s);
    s = nullptr;
  }
  d.forward = d.backward = d.current = nullptr;
  d.codedWidth = d.codedHeight = 0;
}

bool prepareStores(Decoder& d) {
  const int w = (d.horizontalSize + 15) / 16 * 16;
  const int h = d.progressiveSequence ? (d.verticalSize + 15) / 16 * 16 : (d.verticalSize + 31) / 32 * 32;
  if (w == d.codedWidth && h == d.codedHeight && d.stores[0]) return true;
  freeStores(d);
  for (uint8_t*& s : d.stores) {
    s = static_cast<uint8_t*>(std::calloc(size_t(w) * size_t(h), 1));
    if (!s) {
      freeStores(d);
      mpg_Fatal(d, "malloc failed\n");
      return false;
    }
  }
  d.codedWidth = w;
  d.codedHeight = h;
  d.mbWidth = w / 16;
  d.mbHeight = h / 16;
  d.forward = d.stores[0];
  d.backward = d.stores[1];
  d.references = 0;
  d.fieldPending = false;
  return true;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Rows copied 128 bytes a step with AVX2, where the processor has it: the
// library's copy, called per row, takes about twice the instructions.
__attribute__((target("avx2"))) void copyRowsAvx2(uint8_t* out, size_t outStride, const uint8_t* in, size_t inStride,
                                                  size_t w, int h) {
  for (int y = 0; y < h; ++y, out += outStride, in += inStride) {
    size_t x = 0;
    for (; x + 128 <= w; x += 128)
      for (size_t k = 0; k < 128; k += 32)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x + k),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x + k)));
    for (; x + 32 <= w; x += 32)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x)));
    if (x < w) std::memcpy(out + x, in + x, w - x);
  }
}
const bool kCopyAvx2 = __builtin_cpu_supports("avx2");
#endif

// Copies a frame store's luminance into the caller's buffer, as much of it
// as both hold.
void writeFrame(Decoder& d, const uint8_t* store, uint8_t* out) {
  if (!out || !store) return;
  const int w = std::min({d.outWidth, d.horizontalSize, d.codedWidth});
  const int h = std::min({d.outHeight, d.verticalSize, d.codedHeight});
#if defined(__x86_64__) && defined(__GNUC__)
  if (kCopyAvx2) return copyRowsAvx2(out, size_t(d.outWidth), store, size_t(d.codedWidth), size_t(w), h);
#endif
  for (int y = 0; y < h; ++y)
    std::memcpy(out + size_t(y) * size_t(d.outWidth), store + size_t(y) * size_t(d.codedWidth), size_t(w));
}

bool usableSequence(const Decoder& d) {
  return d.haveSequence && d.horizontalSize > 0 && d.verticalSize > 0 && d.horizontalSize <= kMaxDimension &&
         d.verticalSize <= kMaxDimension;
}

enum class Picture { Skipped, FieldDone, FrameDone };

// Decodes the slices of one picture whose header was read.
Picture decodePicture(Decoder& d) {
  if (!usableSequence(d) || d.pictureType < kIntra || d.pictureType > kDcOnly || !prepareStores(d)) {
    // Skip its slices.
    int code = d.pendingCode >= 0 ? d.pendingCode : bits_NextStartCode(d);
    while (code >= kSliceFirst && code <= kSliceLast) code = bits_NextStartCode(d);
    d.pendingCode = code;
    return Picture::Skipped;
  }
  const bool field = d.pictureStructure != kFramePicture;
  if (field && d.fieldPending && d.pictureStructure == d.pendingStructure) {
    // A first field again: its predecessor lost its partner.
    mpg_Message(MpgDiagnostic::PictureFault, "odd number of field pictures\n");
    d.fieldPending = false;
  }
  if (!field && d.fieldPending) {
    mpg_Message(MpgDiagnostic::PictureFault, "odd number of field pictures\n");
    d.fieldPending = false;
  }
  d.secondField = field && d.fieldPending;
  if (!d.secondField) {
    if (d.pictureType == kBidirectional) {
      d.current = d.stores[0] != d.forward && d.stores[0] != d.backward
                      ? d.stores[0]
                      : (d.stores[1] != d.forward && d.stores[1] != d.backward ? d.stores[1] : d.stores[2]);
    } else {
      // The older reference has been shown; its store takes the new one.
      uint8_t* spare = d.forward;
      d.forward = d.backward;
      d.backward = spare;
      d.current = spare;
    }
  }
  d.macroblocksDecoded = 0;
  slice_StartPicture(d);
  int code = d.pendingCode >= 0 ? d.pendingCode : bits_NextStartCode(d);
  while (code >= kSliceFirst && code <= kSliceLast && !d.ended) {
    slice_Decode(d, code);
    code = bits_NextStartCode(d);
  }
  d.pendingCode = code;
  const int total = d.mbWidth * (field ? d.mbHeight / 2 : d.mbHeight);
  if (d.macroblocksDecoded < total) mpg_Message(MpgDiagnostic::PictureFault, "Premature end of picture\n");
  if (field && !d.secondField) {
    d.fieldPending = true;
    d.pendingStructure = d.pictureStructure;
    return Picture::FieldDone;
  }
  d.fieldPending = false;
  return Picture::FrameDone;
}

// Reads headers and pictures until a frame is complete: 1 when one was
// written to out, 2 when it is held back (the first reference), 0 at the
// sequence end.
int decodeFrame(Decoder& d, uint8_t* out) {
  for (;;) {
    if (d.ended) return 0;
    int code = d.pendingCode;
    d.pendingCode = -1;
    if (code < 0) code = bits_NextStartCode(d);
    switch (code) {
      case kSequenceHeaderCode:
        sequenceHeader(d);
        extensionsAndUserData(d);
        break;
      case kGroupCode:
        groupHeader(d);
        extensionsAndUserData(d);
        break;
      case kPictureCode: {
        pictureHeader(d);
        extensionsAndUserData(d);
        if (d.ended) return 0;
        if (decodePicture(d) != Picture::FrameDone || d.ended) break;
        ++d.framesOut;
        if (d.pictureType == kBidirectional) {
          if (!d.probing) writeFrame(d, d.current, out);
          return 1;
        }
        const bool hadReference = d.references > 0;
        ++d.references;
        if (!hadReference) return 2;
        if (!d.probing) writeFrame(d, d.forward, out);
        return 1;
      }
      case kSequenceEndCode:
        d.ended = true;
        return 0;
      case kUserDataCode:
        break;
      default:
        mpg_Message(MpgDiagnostic::CodeFault, "Unexpected startcode %08x (ignored)\n", 0x100 | code);
        break;
    }
  }
}

void closeSource(Decoder& d) {
  if (d.fd >= 0) ::close(d.fd);
  d.fd = -1;
}

bool openSource(Decoder& d) {
  if (d.memory) return true;
  d.fd = ::open(d.path.c_str(), O_RDONLY);
  if (d.fd < 0) return false;
  if (::lseek(d.fd, off_t(d.offset), SEEK_SET) < 0) {
    closeSource(d);
    return false;
  }
  return true;
}

void startClip(Decoder& d) {
  resetBits(d);
  d.ended = false;
  d.framesOut = 0;
  d.references = 0;
  d.fieldPending = false;
  d.haveSequence = false;
  d.lastBuffer = nullptr;
  std::memcpy(d.intraMatrix, kDefaultIntraMatrix, 64);
  std::memset(d.nonIntraMatrix, 16, 64);
}

bool openClip(Decoder& d, int* width, int* height) {
  if (!openSource(d)) return false;
  // Probe: decode up to the first complete frame to learn the size and to
  // see that the stream decodes at all.
  startClip(d);
  d.probing = true;
  const int status = decodeFrame(d, nullptr);
  d.probing = false;
  if (status == 0 || d.framesOut == 0) {
    closeSource(d);
    return false;
  }
  const int w = d.horizontalSize, h = d.verticalSize;
  // Back to the start for the first real frame.
  closeSource(d);
  if (!openSource(d)) return false;
  startClip(d);
  d.open = true;
  if (width) *width = w;
  if (height) *height = h;
  return true;
}

}  // namespace
}  // namespace mpg

using mpg::Decoder;

MpgDecoder* mpg_CreateDecoder() { return reinterpret_cast<MpgDecoder*>(new (std::nothrow) Decoder); }

void mpg_DestroyDecoder(MpgDecoder* decoder) {
  if (!decoder) return;
  Decoder& d = *reinterpret_cast<Decoder*>(decoder);
  mpg_Close(decoder);
  mpg::freeStores(d);
  delete &d;
}

MpgDecoder* mpg_Shared() {
  static MpgDecoder* shared = mpg_CreateDecoder();
  return shared;
}

bool mpg_Open(MpgDecoder* decoder, const char* path, long offset, int* width, int* height) {
  if (!decoder || !path) return false;
  Decoder& d = *reinterpret_cast<Decoder*>(decoder);
  mpg_Close(decoder);
  d.memory = nullptr;
  d.memorySize = 0;
  d.path = path;
  d.offset = offset;
  return mpg::openClip(d, width, height);
}

bool mpg_OpenMemory(MpgDecoder* decoder, const uint8_t* data, size_t size, int* width, int* height) {
  if (!decoder || (!data && size)) return false;
  Decoder& d = *reinterpret_cast<Decoder*>(decoder);
  mpg_Close(decoder);
  static const uint8_t kEmpty = 0;
  d.memory = data ? data : &kEmpty;
  d.memorySize = size;
  d.path.clear();
  return mpg::openClip(d, width, height);
}

int mpg_NextFrame(MpgDecoder* decoder, uint8_t* pixels, int width, int height) {
  if (!decoder) return 0;
  Decoder& d = *reinterpret_cast<Decoder*>(decoder);
  if (!d.open) return 0;
  d.lastBuffer = pixels;
  d.outWidth = std::max(width, 0);
  d.outHeight = std::max(height, 0);
  return mpg::decodeFrame(d, pixels);
}

bool mpg_Close(MpgDecoder* decoder) {
  if (!decoder) return false;
  Decoder& d = *reinterpret_cast<Decoder*>(decoder);
  if (!d.open) {
    mpg::closeSource(d);
    return false;
  }
  bool wrote = false;
  if (d.fieldPending) {
    mpg::mpg_Message(MpgDiagnostic::PictureFault, "last frame incomplete, not stored\n");
  } else if (d.references > 0 && d.lastBuffer) {
    mpg::writeFrame(d, d.backward, d.lastBuffer);
    wrote = true;
  }
  mpg::closeSource(d);
  d.open = false;
  d.lastBuffer = nullptr;
  d.memory = nullptr;
  return wrote;
}

bool mpg_IsOpen(const MpgDecoder* decoder) {
  return decoder && reinterpret_cast<const Decoder*>(decoder)->open;
}
