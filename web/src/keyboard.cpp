// Keys on the web: the page sends key presses and releases; key_Escape
// takes one press at a time, as the native keyboard buffer does.
#include "assets/assets.h"
#include "web/src/web.h"

#include <emscripten.h>

#include <cstring>
#include <deque>

KeyState KEY;

namespace {

uint8_t held[256];
std::deque<int> presses;
constexpr size_t kMaxPresses = 64;  // a page left alone must not grow it

}  // namespace

// code: a character code, or one of the kWebKey values; down: 1 or 0.
extern "C" EMSCRIPTEN_KEEPALIVE void web_Key(int code, int down) {
  if (code > 0 && code < 256) held[code] = down ? 1 : 0;
  if (down && presses.size() < kMaxPresses) presses.push_back(code);
}

void web_DropKeys() {
  presses.clear();
  KEY.pressed = 0;
}

bool key_Escape() {
  std::memcpy(KEY.held, held, sizeof KEY.held);
  if (presses.empty()) return false;
  const int code = presses.front();
  presses.pop_front();
  if (code == kWebKeyEscape) return true;
  KEY.pressed = code;
  return false;
}
