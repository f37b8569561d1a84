// The web build's edges: the canvas screen, the keys from the page and the
// music played by the page's worklet player.  The page's JavaScript is
// reached through `Module.page` (see page/velmorin.js).
#pragma once

#include <cstdint>

// The screen the show presents on: width x height palette indexes, seen
// through the display palette.  Entry 0 outside the presented rectangle
// stays black, as on a real screen.
struct WebScreen {
  int width = 0, height = 0;
  uint8_t* indexes = nullptr;
  uint8_t grey[256] = {};  // palette entry -> 8-bit grey, 6-bit levels widened
};
const WebScreen& web_Screen();
// The screen as seen, grey level per pixel, into out (width x height bytes).
void web_Grey(uint8_t* out);
// Turns the screen into RGBA once and hands it to the page's canvas.
void web_ShowFrame();

// Forgets the key presses not yet taken (those made before a start).
void web_DropKeys();

// Key codes the page sends: a character code for printable keys, or these.
constexpr int kWebKeyEscape = 27;
constexpr int kWebKeyF1 = 0x101;
