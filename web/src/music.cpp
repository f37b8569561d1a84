// Music on the web: the page's worklet player plays the module; the position
// it reports, taken at the moment it is heard, is the one the show follows.
#include "runtime/runtime.h"

#include <emscripten.h>

EM_JS(void, page_musicPlay, (int order), { Module.page.musicPlay(order); });
EM_JS(void, page_musicStop, (), { Module.page.musicStop(); });
EM_JS(int, page_musicPosition, (), { return Module.page.musicPosition(); });
EM_JS(double, page_musicLatency, (), { return Module.page.musicLatency(); });

void mus_SetOutput(MusOutput) {}
int mus_Load(const char*) { return 1; }  // the page has fetched the module already
int mus_Play() { return mus_PlayAt(0); }
int mus_PlayAt(int order) {
  page_musicPlay(order);
  return 1;
}

MusPosition mus_Position() {
  const int p = page_musicPosition();  // order * 256 + row
  return MusPosition{p >> 8, p & 255};
}
int mus_Order() { return mus_Position().order; }
int mus_Beat() {
  const MusPosition p = mus_Position();
  return mus_BeatAt(p.order, p.row);
}
int mus_Free() {
  page_musicStop();
  return 1;
}
double mus_LatencySeconds() { return page_musicLatency(); }
double mus_TimeAtOrder(int) { return 0; }
int mus_Render(int16_t*, int) { return 0; }
