// The PNG reader: signature, chunk loop and chunk handlers.  Input goes
// through one 8 KiB buffer whether it comes from a stream or from memory;
// the zlib stream of the picture is inflated straight out of that buffer,
// one IDAT chunk's bytes after another.
#include "codecs/inflate.h"
#include "codecs/png_private.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr size_t kReadBuffer = 8192;
constexpr uint8_t kSignature[8] = {137, 'P', 'N', 'G', '\r', '\n', 26, '\n'};
// Some files carry a 128-byte header of their own before the signature.
constexpr size_t kForeignHeader = 128;
// Keywords are 1 to 79 bytes and a terminator (PNG section 11.3.4).
constexpr size_t kMaxKeyword = 80;
constexpr char kExtraFileName[] = "pngextra.tmp";

// The keywords whose texts we keep, in PngText order.
constexpr const char* kKeptKeywords[kPngTextCount] = {"Author", "Copyright", "Software", "Source", "Title"};

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
bool isLetter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

struct PngDecoder {
  // Kept from picture to picture.
  InfDecoder* inflater = nullptr;
  uint8_t* rows = nullptr;  // decompressed rows, with filter bytes
  size_t rowsCapacity = 0;

  // The input of one picture.
  FILE* file = nullptr;
  const uint8_t* memory = nullptr;
  size_t memoryLeft = 0;
  uint8_t buffer[kReadBuffer];
  size_t pos = 0, end = 0;
  bool atEnd = false;  // the input gave no more bytes

  // The chunk being read.
  uint32_t chunkLeft = 0;  // data bytes not yet taken
  uint32_t crc = 0;        // register over type and data so far
  uint32_t lastCrc = 0;    // computed for the last finished chunk (never compared)
  bool crcDone = false;    // its CRC field was read already (by the IDAT source)
  bool pending = false;    // the IDAT source read the next chunk's header
  uint8_t pendingHeader[8] = {};

  // Progress through the picture.
  bool sawHeader = false;
  bool sawImageData = false;
};

namespace {

// ---------------------------------------------------------------------------
// Input.
bool fillBuffer(PngDecoder& d) {
  if (d.atEnd) return false;
  size_t n;
  if (d.file) {
    n = std::fread(d.buffer, 1, kReadBuffer, d.file);
  } else {
    n = std::min(d.memoryLeft, kReadBuffer);
    if (n) std::memcpy(d.buffer, d.memory, n);
    d.memory += n;
    d.memoryLeft -= n;
  }
  d.pos = 0;
  d.end = n;
  d.atEnd = n == 0;
  return n > 0;
}

size_t readBytes(PngDecoder& d, uint8_t* dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    if (d.pos == d.end && !fillBuffer(d)) break;
    const size_t k = std::min(n - got, d.end - d.pos);
    std::memcpy(dst + got, d.buffer + d.pos, k);
    d.pos += k;
    got += k;
  }
  return got;
}

// Takes n bytes (at most chunkLeft) of the current chunk's data.
bool chunkRead(PngDecoder& d, void* dst, size_t n) {
  const size_t got = readBytes(d, static_cast<uint8_t*>(dst), n);
  d.crc = png_CrcUpdate(d.crc, static_cast<uint8_t*>(dst), got);
  d.chunkLeft -= uint32_t(got);
  return got == n;
}

bool chunkSkip(PngDecoder& d) {
  while (d.chunkLeft > 0) {
    if (d.pos == d.end && !fillBuffer(d)) return false;
    const size_t k = std::min<size_t>(d.chunkLeft, d.end - d.pos);
    d.crc = png_CrcUpdate(d.crc, d.buffer + d.pos, k);
    d.pos += k;
    d.chunkLeft -= uint32_t(k);
  }
  return true;
}

// The rest of the chunk, however long it claims to be: memory grows only as
// bytes actually arrive.
bool chunkReadRest(PngDecoder& d, std::string& out) {
  out.clear();
  while (d.chunkLeft > 0) {
    const size_t k = std::min<size_t>(d.chunkLeft, kReadBuffer);
    const size_t at = out.size();
    out.resize(at + k);
    if (!chunkRead(d, &out[at], k)) return false;
  }
  return true;
}

void startChunk(PngDecoder& d, const uint8_t* header) {
  d.chunkLeft = be32(header);
  d.crc = png_CrcUpdate(~0u, header + 4, 4);
  d.crcDone = false;
}

// The IDAT source for the inflater: hands over the data of the current
// chunk as it stands in the read buffer; at the end of a chunk reads its CRC
// and the next header, and goes on if that is another IDAT.  Each window is
// counted as taken (and its CRC run) when handed over: whatever the stream
// leaves of it belongs to nothing.
bool pullImageData(InfSource* source) {
  PngDecoder& d = *static_cast<PngDecoder*>(source->user);
  for (;;) {
    if (d.chunkLeft == 0) {
      uint8_t crcField[4], header[8];
      if (readBytes(d, crcField, 4) != 4) return false;
      d.lastCrc = ~d.crc;
      d.crcDone = true;
      if (readBytes(d, header, 8) != 8) return false;
      if (std::memcmp(header + 4, "IDAT", 4) != 0) {
        d.pending = true;
        std::memcpy(d.pendingHeader, header, 8);
        return false;
      }
      startChunk(d, header);
      continue;
    }
    if (d.pos == d.end && !fillBuffer(d)) return false;
    const size_t n = std::min<size_t>(d.chunkLeft, d.end - d.pos);
    source->next = d.buffer + d.pos;
    source->end = source->next + n;
    d.crc = png_CrcUpdate(d.crc, source->next, n);
    d.pos += n;
    d.chunkLeft -= uint32_t(n);
    return true;
  }
}

bool ensureRows(PngDecoder& d, size_t size) {
  if (d.rowsCapacity >= size) return true;
  std::free(d.rows);
  d.rows = static_cast<uint8_t*>(std::malloc(size));
  d.rowsCapacity = d.rows ? size : 0;
  return d.rows != nullptr;
}

void setText(PngInfo& info, int which, const uint8_t* text, size_t size) {
  char* copy = static_cast<char*>(std::malloc(size + 1));
  if (!copy) return;  // the texts are extras: a picture without them still shows
  std::memcpy(copy, text, size);
  copy[size] = 0;
  std::free(info.texts[which]);
  info.texts[which] = copy;
}

// ---------------------------------------------------------------------------
// Chunk handlers.  Each takes what it needs of the chunk's data; the chunk
// loop skips the rest and reads the CRC field.
using ChunkReader = PngStatus (*)(PngDecoder& d, PngInfo& info);

PngStatus readHeader(PngDecoder& d, PngInfo& info) {
  if (d.sawHeader || d.chunkLeft < 13) return PngStatus::Malformed;
  uint8_t b[13];
  if (!chunkRead(d, b, 13)) return PngStatus::ShortRead;
  const uint32_t width = be32(b), height = be32(b + 4);
  const int depth = b[8], colourType = b[9];
  if (width > 0x7fffffffu || height > 0x7fffffffu) return PngStatus::Malformed;
  if (b[10] != 0 || b[11] != 0 || b[12] > 1) return PngStatus::Malformed;  // compression, filter, interlace
  if (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16) return PngStatus::Malformed;
  switch (colourType) {
    case 0: break;                                                       // grey: any depth
    case 3: if (depth == 16) return PngStatus::Malformed; break;         // palette: up to 8
    case 2: case 4: case 6: if (depth < 8) return PngStatus::Malformed; break;  // 8 or 16
    default: return PngStatus::Malformed;
  }
  info.width = int32_t(width);
  info.height = int32_t(height);
  info.bitDepth = depth;
  info.palette = colourType & 1;
  info.colour = (colourType >> 1) & 1;
  info.alpha = (colourType >> 2) & 1;
  info.channels = (info.colour && !info.palette ? 3 : 1) + info.alpha;
  info.interlace = b[12];
  d.sawHeader = true;
  return PngStatus::Ok;
}

PngStatus readPalette(PngDecoder& d, PngInfo& info) {
  if (!info.palette || info.paletteCount > 0) return PngStatus::Ok;
  const int count = int(std::min<uint32_t>(d.chunkLeft / 3, 256));
  if (count == 0) return PngStatus::Malformed;
  if (!chunkRead(d, info.paletteRgb, size_t(count) * 3)) return PngStatus::ShortRead;
  info.paletteCount = count;
  return PngStatus::Ok;
}

PngStatus readTransparency(PngDecoder& d, PngInfo& info) {
  info.transparency = 1;
  uint8_t b[6];
  if (info.palette) {
    const size_t n = std::min<uint32_t>(d.chunkLeft, 256);
    std::memset(info.paletteAlpha, 255, sizeof info.paletteAlpha);
    if (!chunkRead(d, info.paletteAlpha, n)) return PngStatus::ShortRead;
  } else if (info.colour) {
    if (d.chunkLeft < 6) return PngStatus::Malformed;
    if (!chunkRead(d, b, 6)) return PngStatus::ShortRead;
    for (int i = 0; i < 3; ++i) info.transparent[i] = be16(b + 2 * i);
  } else {
    if (d.chunkLeft < 2) return PngStatus::Malformed;
    if (!chunkRead(d, b, 2)) return PngStatus::ShortRead;
    info.transparent[0] = be16(b);
  }
  return PngStatus::Ok;
}

// The fixed-size chunks: at least `size` bytes, else malformed.
PngStatus readFixed(PngDecoder& d, uint8_t* b, uint32_t size) {
  if (d.chunkLeft < size) return PngStatus::Malformed;
  return chunkRead(d, b, size) ? PngStatus::Ok : PngStatus::ShortRead;
}

PngStatus readGamma(PngDecoder& d, PngInfo& info) {
  uint8_t b[4];
  const PngStatus st = readFixed(d, b, 4);
  if (st == PngStatus::Ok) info.gamma = be32(b) * 0.00001;
  return st;
}

PngStatus readChromaticities(PngDecoder& d, PngInfo& info) {
  uint8_t b[32];
  const PngStatus st = readFixed(d, b, 32);
  if (st == PngStatus::Ok)
    for (int i = 0; i < 8; ++i) info.chromaticities[i] = int32_t(be32(b + 4 * i));
  return st;
}

PngStatus readPhysical(PngDecoder& d, PngInfo& info) {
  uint8_t b[9];
  const PngStatus st = readFixed(d, b, 9);
  if (st == PngStatus::Ok) {
    info.pixelsPerUnitX = int32_t(be32(b));
    info.pixelsPerUnitY = int32_t(be32(b + 4));
    info.physUnit = b[8];
  }
  return st;
}

PngStatus readOffset(PngDecoder& d, PngInfo& info) {
  uint8_t b[9];
  const PngStatus st = readFixed(d, b, 9);
  if (st == PngStatus::Ok) {
    info.offsetX = int32_t(be32(b));
    info.offsetY = int32_t(be32(b + 4));
    info.offsetUnit = b[8];
  }
  return st;
}

// sCAL: a unit byte, then width and height as decimal texts, each ended by
// a zero byte or the chunk.  Longer than any sensible number is cut.
PngStatus readScale(PngDecoder& d, PngInfo& info) {
  char b[256];
  const size_t n = std::min<uint32_t>(d.chunkLeft, sizeof b - 1);
  if (!chunkRead(d, b, n)) return PngStatus::ShortRead;
  b[n] = 0;
  if (n == 0) return PngStatus::Ok;
  info.scaleUnit = uint8_t(b[0]);
  const char* width = b + 1;
  const size_t widthLength = std::strlen(width);
  info.scaleWidth = std::strtod(width, nullptr);
  if (1 + widthLength < n) info.scaleHeight = std::strtod(width + widthLength + 1, nullptr);
  return PngStatus::Ok;
}

// Reads a keyword and its terminator; *which is its PngText, or -1 when it
// is not one we keep (or has no terminator where a keyword must end).
PngStatus readKeyword(PngDecoder& d, int* which) {
  *which = -1;
  char key[kMaxKeyword];
  for (size_t n = 0; n < kMaxKeyword && d.chunkLeft > 0; ++n) {
    if (!chunkRead(d, &key[n], 1)) return PngStatus::ShortRead;
    if (key[n] != 0) continue;
    for (int i = 0; i < kPngTextCount; ++i)
      if (std::strcmp(key, kKeptKeywords[i]) == 0) *which = i;
    break;
  }
  return PngStatus::Ok;
}

PngStatus readText(PngDecoder& d, PngInfo& info) {
  int which;
  PngStatus st = readKeyword(d, &which);
  if (st != PngStatus::Ok || which < 0) return st;
  std::string text;
  if (!chunkReadRest(d, text)) return PngStatus::ShortRead;
  setText(info, which, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return PngStatus::Ok;
}

PngStatus readCompressedText(PngDecoder& d, PngInfo& info) {
  int which;
  PngStatus st = readKeyword(d, &which);
  if (st != PngStatus::Ok || which < 0) return st;
  uint8_t method = 0;
  if (d.chunkLeft > 0 && !chunkRead(d, &method, 1)) return PngStatus::ShortRead;
  if (method != 0) return PngStatus::Malformed;
  std::string packed;
  if (!chunkReadRest(d, packed)) return PngStatus::ShortRead;
  // The row buffer is free outside IDAT: the rows are turned into pixels
  // before the IDAT handler returns.
  if (!ensureRows(d, kPngRowBuffer)) return PngStatus::OutOfMemory;
  const InfResult r = inf_Zlib(d.inflater, reinterpret_cast<const uint8_t*>(packed.data()), packed.size(),
                               d.rows, kPngRowBuffer);
  if (r.status == PngStatus::InputEnded) return PngStatus::Malformed;
  if (r.status != PngStatus::Ok) return r.status;
  setText(info, which, d.rows, r.produced);
  return PngStatus::Ok;
}

PngStatus keepExtra(PngDecoder&, PngInfo& info) {
  std::memcpy(info.extraFileName, kExtraFileName, sizeof kExtraFileName);
  return PngStatus::Ok;
}

PngStatus passOver(PngDecoder&, PngInfo&) { return PngStatus::Ok; }

PngStatus readImageData(PngDecoder& d, PngInfo& info) {
  if (!d.sawHeader) return PngStatus::Malformed;
  if (d.sawImageData) return PngStatus::Ok;  // the stream ended in an earlier IDAT
  d.sawImageData = true;
  if (info.palette && info.paletteCount == 0) {  // no PLTE: the indices are grey levels
    info.palette = 0;
    info.colour = 0;
    info.channels = 1;
  }

  // Each pass has a buffer of its own; here they lie one after another in
  // one block, and data past the last pass goes where its buffer would go on.
  PngPass passes[7];
  const int passCount = png_Passes(info, passes);
  uint64_t total = 0, last = 0;
  for (int i = 0; i < passCount; ++i) {
    if (passes[i].size > kPngRowBuffer) return PngStatus::OutOfMemory;
    total += passes[i].size;
    if (passes[i].size) last = passes[i].size;
  }
  const size_t capacity = size_t(total + (kPngRowBuffer - last));
  if (!ensureRows(d, capacity)) return PngStatus::OutOfMemory;

  InfSource source;
  source.pull = pullImageData;
  source.user = &d;
  const InfResult r = inf_Stream(d.inflater, &source, d.rows, capacity);
  if (r.status == PngStatus::InputEnded) return d.atEnd ? PngStatus::ShortRead : PngStatus::Malformed;
  if (r.status != PngStatus::Ok) return r.status;
  if (r.produced == 0) return PngStatus::Ok;  // no pixel data: IEND will say so
  // A stream that stops short leaves the missing rows black (filter None).
  if (r.produced < total) std::memset(d.rows + r.produced, 0, size_t(total - r.produced));
  return png_Reconstruct(&info, d.rows, passes, passCount);
}

struct ChunkHandler {
  char type[5];
  ChunkReader read;
};

const ChunkHandler kHandlers[] = {
    {"IHDR", readHeader},       {"PLTE", readPalette}, {"IDAT", readImageData},
    {"IEND", passOver},         {"tRNS", readTransparency}, {"gAMA", readGamma},
    {"cHRM", readChromaticities}, {"pHYs", readPhysical}, {"oFFs", readOffset},
    {"sCAL", readScale},        {"tEXt", readText},    {"zTXt", readCompressedText},
    {"sBIT", keepExtra},        {"bKGD", passOver},    {"hIST", passOver},
    {"tIME", passOver},
};

ChunkReader handlerFor(const uint8_t* type) {
  for (const ChunkHandler& h : kHandlers)
    if (std::memcmp(h.type, type, 4) == 0) return h.read;
  // Other chunks: a lower-case last letter marks one that is safe to copy,
  // which we note as kept; the rest are passed over.
  return (type[3] & 0x20) ? keepExtra : passOver;
}

PngStatus decode(PngDecoder& d, PngInfo& info) {
  uint8_t head[kForeignHeader];
  if (readBytes(d, head, 8) != 8) return PngStatus::ShortRead;
  if (std::memcmp(head, kSignature, 8) != 0) {
    if (readBytes(d, head, kForeignHeader) != kForeignHeader) return PngStatus::ShortRead;
    // The signature at file offset 128, i.e. the last 8 of the 128 bytes after the first 8.
    if (std::memcmp(head + kForeignHeader - 8, kSignature, 8) != 0) return PngStatus::Malformed;
  }

  for (;;) {
    uint8_t header[8];
    if (d.pending) {
      std::memcpy(header, d.pendingHeader, 8);
      d.pending = false;
    } else if (readBytes(d, header, 8) != 8) {
      return PngStatus::ShortRead;
    }
    for (int i = 4; i < 8; ++i)
      if (!isLetter(header[i])) return PngStatus::Malformed;
    startChunk(d, header);
    const PngStatus st = handlerFor(header + 4)(d, info);
    if (st != PngStatus::Ok) return st;
    if (!d.crcDone) {
      uint8_t crcField[4];
      if (!chunkSkip(d) || readBytes(d, crcField, 4) != 4) return PngStatus::ShortRead;
      d.lastCrc = ~d.crc;  // a damaged CRC does not stop a picture from showing
    }
    if (std::memcmp(header + 4, "IEND", 4) == 0) break;
  }

  if (!d.sawImageData) return PngStatus::NoImageData;
  if (info.width == 0 || info.height == 0 || info.channels < 1 || info.channels > 4 ||
      (info.palette && (info.paletteCount < 1 || info.paletteCount > 256)) || !info.pixels)
    return PngStatus::Unusable;
  uint8_t after;
  (void)readBytes(d, &after, 1);
  return PngStatus::Ok;
}

PngStatus decodeFrom(PngDecoder* d, FILE* file, const uint8_t* data, size_t size, PngInfo* info) {
  std::memset(info, 0, sizeof *info);
  d->file = file;
  d->memory = data;
  d->memoryLeft = size;
  d->pos = d->end = 0;
  d->atEnd = false;
  d->chunkLeft = 0;
  d->crcDone = false;
  d->pending = false;
  d->sawHeader = false;
  d->sawImageData = false;
  const PngStatus st = decode(*d, *info);
  if (st != PngStatus::Ok) {
    std::free(info->pixels);
    info->pixels = nullptr;
    info->pixelBytes = 0;
    for (char*& t : info->texts) {
      std::free(t);
      t = nullptr;
    }
  }
  d->file = nullptr;
  d->memory = nullptr;
  return st;
}

}  // namespace

const char* png_StatusText(PngStatus s) {
  switch (s) {
    case PngStatus::Ok: return "ok";
    case PngStatus::StoredLengthMismatch: return "stored block length does not match its complement";
    case PngStatus::BadBlockType: return "deflate block of type 3";
    case PngStatus::CodeOversubscribed: return "Huffman code lengths are oversubscribed";
    case PngStatus::CodeIncomplete: return "Huffman code lengths are incomplete";
    case PngStatus::BadLengthRepeat: return "code length repeat with nothing to repeat or past the end";
    case PngStatus::TooManyCodes: return "too many literal/length or distance codes";
    case PngStatus::NoEndOfBlock: return "literal/length code has no end-of-block symbol";
    case PngStatus::BadSymbol: return "invalid literal/length or distance symbol";
    case PngStatus::DistanceTooFar: return "match distance reaches before the start of the data";
    case PngStatus::InputEnded: return "compressed stream is cut short";
    case PngStatus::OutOfMemory: return "out of memory or decompressed data too large";
    case PngStatus::ShortRead: return "end of file before IEND";
    case PngStatus::Malformed: return "malformed file";
    case PngStatus::Unusable: return "picture is not usable";
    case PngStatus::NoImageData: return "IEND before any IDAT";
    case PngStatus::BadZlibHeader: return "bad zlib stream header";
  }
  return "unknown PNG status";
}

void png_FreeInfo(PngInfo* info) {
  std::free(info->pixels);
  for (char* t : info->texts) std::free(t);
  std::memset(info, 0, sizeof *info);
}

PngDecoder* png_CreateDecoder() {
  PngDecoder* d = new (std::nothrow) PngDecoder;
  if (!d) return nullptr;
  d->inflater = inf_CreateDecoder();
  if (!d->inflater) {
    delete d;
    return nullptr;
  }
  return d;
}

void png_DestroyDecoder(PngDecoder* d) {
  if (!d) return;
  inf_DestroyDecoder(d->inflater);
  std::free(d->rows);
  delete d;
}

PngStatus png_DecodeFile(PngDecoder* d, FILE* file, PngInfo* info) { return decodeFrom(d, file, nullptr, 0, info); }

PngStatus png_DecodeMemory(PngDecoder* d, const uint8_t* data, size_t size, PngInfo* info) {
  return decodeFrom(d, nullptr, data, size, info);
}
