// Start-up questions and fatal errors: an SDL message box when a display is
// there, the terminal when it is not (SDL returns < 0 once X11, Wayland and
// its zenity helper have all failed).
#include "runtime/runtime.h"

#include <SDL.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
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

constexpr int kNoBox = -2;

// SDL's box blocks until it is answered, and may live in a helper process of
// its own.  It is shown from a child in a new process group, so that a signal
// ending the program ends the box and its helpers too.  Returns the button
// pressed, -1 when the box was closed, kNoBox when none could be shown.
int showBox(const SDL_MessageBoxData& box) {
  int result[2];
  if (pipe(result) != 0) return kNoBox;
  const pid_t pid = fork();
  if (pid < 0) {
    close(result[0]);
    close(result[1]);
    int pressed = -1;
    return SDL_ShowMessageBox(&box, &pressed) < 0 ? kNoBox : pressed;
  }
  if (pid == 0) {
    setpgid(0, 0);
    close(result[0]);
    int pressed = -1;
    if (SDL_ShowMessageBox(&box, &pressed) < 0) pressed = kNoBox;
    const ssize_t n = write(result[1], &pressed, sizeof pressed);
    _exit(n == sizeof pressed ? 0 : 1);
  }
  setpgid(pid, pid);  // either side may come first
  sig_SetBoxGroup(pid);
  close(result[1]);
  int pressed = kNoBox;
  ssize_t n;
  while ((n = read(result[0], &pressed, sizeof pressed)) < 0 && errno == EINTR) {
  }
  if (n != sizeof pressed) pressed = kNoBox;
  close(result[0]);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  sig_SetBoxGroup(0);
  return pressed;
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
  const int pressed = showBox(box);
  if (pressed == kNoBox) return askTerminal(text);
  return pressed == kAskYes;  // -1: the window was closed, taken as No
}

void msg_Error(const char* text) {
  const SDL_MessageBoxButtonData ok = {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT | SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT,
                                       0, "OK"};
  const SDL_MessageBoxData box = {SDL_MESSAGEBOX_WARNING, nullptr, "Error", text, 1, &ok, nullptr};
  // Said on the terminal too, before the box: a log of the run keeps it, and
  // a box that never shows (no display) leaves the terminal the only place.
  std::fprintf(stderr, "Error: %s\n", text);
  std::fflush(stderr);
  showBox(box);
}
