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

Image* img_Create(int width, int height);  // cleared to black
// What img_Create does with a size it refuses or memory it cannot get: the
// script layer installs its error ending when the program starts.  Without
// a handler, or when it returns, the message is printed as "-> Error: %s !"
// and the process ends with exit code 1.
using img_FailHandler = void (*)(const char* message);
void img_SetFailHandler(img_FailHandler handler);
// Whole rows of width w that an image's pixels hold, at most h; 0 without an
// image.  A picture of another size than asked is walked this far only.
inline int img_RowsOf(const Image* image, int w, int h) {
  if (!image || w <= 0 || h <= 0) return 0;
  const int64_t rows = int64_t(image->width) * image->height / w;
  return rows < h ? int(rows) : h;
}
int img_Destroy(Image* image);
// A PNG entry of the archive as its luminance, or nullptr on any failure
// (nothing is printed).
Image* img_LoadTexture(const char* archiveName);
void img_Scale(const Image* source, Image* target);  // nearest neighbour
int img_Blit(const Image* source, Image* target, int sx, int sy, int dx, int dy, int w, int h);
// Writes width x height grey bytes as an 8-bit grey PNG; written beside its
// name and renamed, so the file is never seen half-written; false with errno
// set when it cannot be written.
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

// Where the picture goes on the display.  The show draws a 640x480 screen
// (640x300 in a window); the display may be the whole desktop, and the
// picture is enlarged by a whole `scale` or, with scale 0, fitted.
constexpr int kGfxScaleDefault = 0;  // full screen: largest whole; window: 1
constexpr int kGfxScaleAuto = -1;    // the largest whole scale that fits the desktop
constexpr int kGfxScaleFit = -2;     // the largest fit, not a whole number
struct GfxLayout {
  int baseW = 640, baseH = 480;        // the picture as the show draws it
  int displayW = 640, displayH = 480;  // the screen, or the window
  int originX = 0, originY = 0;        // top-left of the enlarged picture
  int pictureW = 640, pictureH = 480;  // the enlarged picture
  int scale = 1;                       // 0: fitted, not a whole number
  bool clamped = false;                // a requested scale was too large
};
// The layout for a desktop of the given size (0 x 0: not known) and a scale
// request (a whole number, or one of the kGfxScale values).
GfxLayout gfx_Layout(bool fullscreen, int desktopW, int desktopH, int request);
// Each pixel of the w x h source becomes an n x n block of dst.
void gfx_Enlarge(const uint8_t* src, size_t srcStride, int w, int h, int n, uint8_t* dst, size_t dstStride);
// Nearest-neighbour fit of the whole sw x sh source onto dw x dh; only the
// target rows rowFrom..rowTo-1 are drawn (rowTo -1: to the last).
void gfx_Fit(const uint8_t* src, size_t srcStride, int sw, int sh, uint8_t* dst, size_t dstStride, int dw, int dh,
             int rowFrom = 0, int rowTo = -1);

struct GfxState {
  GfxMode mode = GfxMode::Closed;
  GfxPalette palette = {};
  int lastFade = 0;
  GfxSink* sink = nullptr;  // nullptr: the screen sink
  int lastX = 0, lastY = 0;  // where the last present put its rectangle
  GfxLayout layout;          // how the live display enlarges the picture
  // The last present, so that a paused show can be shown again (with its
  // overlay) without rendering; cleared when the images may be gone.
  Image* lastImage = nullptr;
  int lastSx = 0, lastSy = 0, lastW = 0, lastH = 0;
};
extern GfxState GFX;

void gfx_GreyRamp(GfxPalette& palette);
// Opens the display (once).  Returns 1; 0 when no mode could be set at all.
// Full screen takes the desktop's own size and enlarges the picture as
// `scaleRequest` asks (kGfxScaleDefault keeps a window at 640x300).
int gfx_Init(bool fullscreen, int width, int height, int scaleRequest = kGfxScaleDefault);
int gfx_Present(Image* image, int fade, int x, int y, int w, int h);
int gfx_Close();
// Shows the last presented rectangle again, palette unchanged (a paused
// show); false when there is nothing to show.
bool gfx_Represent();
// The display's refresh rate in Hz as the graphics library reports it, 0 if
// it reports none.
int gfx_RefreshRate();
// Installs a sink and a mode without opening anything (tests, capture).
void gfx_Attach(GfxSink* sink, GfxMode mode);
// The platform's own screen: Allegro's natively, the page's canvas on the web.
GfxSink& gfx_ScreenSink();
// Writes a line of text on the display over the last presented picture, in
// the brightest grey; used after a present, never into a graph's images.
void gfx_Overlay(const char* text);

// ---------------------------------------------------------------------------
// Keyboard.  key_Escape consumes one buffered key and tells whether it was
// Escape; any other key it takes is left in KEY.pressed for the live
// program's own keys.  It also refreshes the held-key table that KeyB reads.
struct KeyState {
  uint8_t held[256] = {};  // 1 while the key of that character code is down
  int pressed = 0;         // Allegro scancode of the last other key taken, 0 when none
};
extern KeyState KEY;

bool key_Escape();
