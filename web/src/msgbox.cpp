// Messages on the web: errors go to the page (and its console); nothing is
// asked, the page has its own buttons.
#include "runtime/runtime.h"

#include <emscripten.h>

EM_JS(void, page_error, (const char* text), { Module.page.error(UTF8ToString(text)); });

bool msg_Ask(const char*, const char*) { return false; }
void msg_Error(const char* text) { page_error(text); }
