// Keyboard: the Escape test and the held-key table, indexed by the character
// codes that scripts write.
#include "assets/assets.h"

#include <allegro.h>

#include <cstring>

KeyState KEY;

bool key_Escape() {
  if (keyboard_needs_poll()) poll_keyboard();
  std::memset(KEY.held, 0, sizeof KEY.held);
  for (int sc = 1; sc < KEY_MAX; ++sc) {
    if (!key[sc]) continue;
    const int c = scancode_to_ascii(sc);
    if (c > 0 && c < 256) KEY.held[c] = 1;
  }
  if (!keypressed()) return false;
  const int scancode = readkey() >> 8;
  if (scancode == KEY_ESC) return true;
  KEY.pressed = scancode;
  return false;
}
