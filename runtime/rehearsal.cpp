// Rehearsal with --watch: the keys an author uses to move about the show,
// and the line that tells where the show is now.
#include "runtime/runtime.h"

#include <allegro.h>

#include <cstdio>
#include <cstring>

TmlCommand tml_CommandForKey(int scancode) {
  switch (scancode) {
    case KEY_SPACE: return TmlCommand::Pause;
    case KEY_RIGHT: return TmlCommand::NextOrder;
    case KEY_LEFT: return TmlCommand::PrevOrder;
    case KEY_PGDN: return TmlCommand::NextScene;
    case KEY_PGUP: return TmlCommand::PrevScene;
    case KEY_HOME: return TmlCommand::Restart;
    default: return TmlCommand::None;
  }
}

std::string tml_Describe(TmlEvent event, int order, int row, int scene) {
  const char* section = kSceneSections[scene < 0 || scene >= kSceneCount ? 0 : scene];
  const int nameLength = int(std::strlen(section)) - 4;  // without ".plg"
  const char* what = event == TmlEvent::Paused ? "paused at " : event == TmlEvent::Resumed ? "resumed at " : "";
  char line[96];
  if (order < 0)
    std::snprintf(line, sizeof line, "%stitle (%.*s)", what, nameLength, section);
  else
    std::snprintf(line, sizeof line, "%sorder %d row %d (%.*s)", what, order, row, nameLength, section);
  return line;
}
