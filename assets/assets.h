// Assets and display: the packed archive, the 8-bit image record, the display
// with its palette fade, and the keyboard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct BITMAP;

// ---------------------------------------------------------------------------
// Archive "velmorin.dat": int32 count, then count 20-byte entries (int32
// offset, 16-byte zero-terminated lower-case name), then the entries' data.
constexpr int kDatEntrySize = 20;
constexpr int kDatNameSize = 16;  // 15 characters and the terminator

struct DatEntry {
  int32_t offset = 0;
  char name[kDatNameSize + 1] = {};  // always terminated in memory
};

enum class DatStatus { Ok, CantOpen, BadCount, ShortDirectory };
const char* dat_StatusText(DatStatus s);

// Reads a directory from the first bytes of an archive of fileSize bytes.
// Rejects a negative count and a directory that would run past the file.
DatStatus dat_ParseDirectory(const uint8_t* head, size_t headSize, uint64_t fileSize,
                             std::vector<DatEntry>& out);

int dat_Open(const char* path);      // 1 when opened and its directory read, else 0
FILE* dat_Find(const char* name);    // stream at the entry's first byte, or nullptr
int32_t dat_Offset(const char* name);  // the entry's offset, or 0
const std::vector<DatEntry>& dat_Directory();
const char* dat_Path();  // the archive dat_Open opened, for readers that open it themselves

// ---------------------------------------------------------------------------
// Images: width x height bytes of grey level, rows one after another, owned by
// an 8-bit Allegro memory bitmap.
struct Image {
  int width = 0;
  int height = 0;
  uint8_t* pixels = nullptr;
  BITMAP* bitmap = nullptr;
};

// Makes Allegro usable without a display (memory bitmaps only).  The live
// program initialises Allegro itself; tests, tools and fuzzers call this.
void img_InitHeadless();

Image* img_Create(int width, int height);  // contents undefined
int img_Destroy(Image* image);
void img_Scale(const Image* source, Image* target);  // nearest neighbour
int img_Blit(const Image* source, Image* target, int sx, int sy, int dx, int dy, int w, int h);
// Writes width x height grey bytes as an 8-bit grey PNG; written beside its
// name and renamed, so the file is never seen half-written.
bool img_WritePng(const char* path, const uint8_t* grey, int width, int height);

// ---------------------------------------------------------------------------
// Display.  gfx_Present turns the fade into a palette and hands the palette
// and the rectangle to the display sink; the sink is a seam that tests and
// capture replace.
enum class GfxMode { Closed = 0, Windowed = 1, Fullscreen = 2 };

struct GfxRgb {
  uint8_t r, g, b;  // 0..63, Allegro's 6-bit range
};
using GfxPalette = GfxRgb[256];

struct GfxSink {
  virtual ~GfxSink() = default;
  virtual void setPalette(const GfxPalette& palette) = 0;
  // Copies the rectangle (sx, sy, w, h) of image to (dx, dy) of the display.
  virtual void blit(const Image* image, int sx, int sy, int dx, int dy, int w, int h) = 0;
};

struct GfxState {
  GfxMode mode = GfxMode::Closed;
  GfxPalette palette = {};
  int lastFade = 0;
  GfxSink* sink = nullptr;  // nullptr: the screen sink
  int lastX = 0, lastY = 0;  // where the last present put its rectangle
};
extern GfxState GFX;

void gfx_GreyRamp(GfxPalette& palette);
// Opens the display (once).  Returns 1; 0 when no mode could be set at all.
int gfx_Init(bool fullscreen, int width, int height);
int gfx_Present(Image* image, int fade, int x, int y, int w, int h);
int gfx_Close();
// Installs a sink and a mode without opening anything (tests, capture).
void gfx_Attach(GfxSink* sink, GfxMode mode);
// The platform's own screen: Allegro's natively, the page's canvas on the web.
GfxSink& gfx_ScreenSink();
// Writes a line of text on the display over the last presented picture, in
// the brightest grey; used after a present, never into a graph's images.
void gfx_Overlay(const char* text);

// ---------------------------------------------------------------------------
// Keyboard.  key_Escape consumes one buffered key and tells whether it was
// Escape; any other key it takes is left in keyPressed (an Allegro scancode)
// for the live program's own keys.  It also refreshes the held-key table
// that KeyB reads, indexed by character code.
bool key_Escape();
extern uint8_t keyState[256];
extern int keyPressed;  // scancode of the last other key taken, 0 when none
