// Start-up questions and fatal errors: an SDL message box when a display is
// there, the terminal when it is not (SDL returns < 0 once X11, Wayland and
// its zenity helper have all failed).
#include "runtime/runtime.h"

#include <SDL.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

enum AskButton { kAskNo = 0, kAskYes = 1 };

enum class Answer { Yes, No, Unclear };

Answer parseAnswer(const char* line) {
  char word[8] = {};
  std::size_t n = 0;
  for (const char* p = line; *p; ++p) {
    if (std::isspace(static_cast<unsigned char>(*p))) continue;
    if (n + 1 >= sizeof word) return Answer::Unclear;
    word[n++] = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  }
  if (!std::strcmp(word, "y") || !std::strcmp(word, "yes")) return Answer::Yes;
  if (!std::strcmp(word, "n") || !std::strcmp(word, "no")) return Answer::No;
  return Answer::Unclear;
}

// Asks on the terminal until a y or n arrives; end of input is No, and so is
// a stdin that is not a terminal (a script or a service must not hang here).
bool askTerminal(const char* text) {
  const std::size_t len = std::strlen(text);
  std::fputs(text, stderr);
  if (len == 0 || text[len - 1] != '\n') std::fputc('\n', stderr);
  if (!isatty(STDIN_FILENO)) {
    std::fputs("(no terminal to answer on: no)\n", stderr);
    return false;
  }
  char line[64];
  for (;;) {
    std::fputs("[y/n] ", stderr);
    std::fflush(stderr);
    if (!std::fgets(line, sizeof line, stdin)) {
      std::fputc('\n', stderr);
      return false;
    }
    if (!std::strchr(line, '\n') && !std::feof(stdin)) {
      // Longer than any answer: drop the rest of the line and ask again.
      int c;
      while ((c = std::getchar()) != '\n' && c != EOF) {
      }
      continue;
    }
    const Answer a = parseAnswer(line);
    if (a != Answer::Unclear) return a == Answer::Yes;
  }
}

}  // namespace

bool msg_Ask(const char* text, const char* title) {
  const SDL_MessageBoxButtonData buttons[] = {
      {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, kAskYes, "Yes"},
      {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, kAskNo, "No"},
  };
  const SDL_MessageBoxData box = {
      SDL_MESSAGEBOX_INFORMATION | SDL_MESSAGEBOX_BUTTONS_LEFT_TO_RIGHT,
      nullptr, title, text, SDL_arraysize(buttons), buttons, nullptr,
  };
  int pressed = -1;
  if (SDL_ShowMessageBox(&box, &pressed) < 0) return askTerminal(text);
  return pressed == kAskYes;  // -1: the window was closed, taken as No
}

void msg_Error(const char* text) {
  if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_WARNING, "Error", text, nullptr) < 0) {
    std::fprintf(stderr, "Error: %s\n", text);
  }
}
