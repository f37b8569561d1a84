// Parameter readers and the fatal error paths of scripts and plugins.
#include "script/script.h"

#include "assets/assets.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct ReaderState {
  char key[4096];     // the lower-cased key of the current lookup
  char string[256];   // what lst_String returns, overwritten by every call
  plg_FatalHandler fatal = nullptr;
};
ReaderState LST;

// Finds key in the parameter text; returns the text just after it, or null.
const char* findKey(const Declaration* decl, const char* key) {
  size_t i = 0;
  for (; key[i] && i < sizeof LST.key - 1; ++i) {
    char c = key[i];
    LST.key[i] = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
  }
  LST.key[i] = 0;
  const char* at = std::strstr(decl->params.c_str(), LST.key);
  return at ? at + i : nullptr;
}

// The value word after a key: up to the next space, at most 255 characters.
void valueWord(const char* at, char (&out)[256]) {
  size_t n = 0;
  while (at[n] && at[n] != ' ' && n < sizeof out - 1) {
    out[n] = at[n];
    ++n;
  }
  out[n] = 0;
}

PlugIn* implicitConstant(Declaration* decl, float v) {
  decl->implicit = new Constant(v, decl->implicit);
  return decl->implicit;
}

[[noreturn]] void finish(const char* message, bool pluginError) {
  if (LST.fatal) {
    LST.fatal(message, pluginError);
    std::abort();  // a handler must not return
  }
  mus_Free();
  if (pluginError) {
    gfx_Close();
    std::printf("\n\n");
  }
  std::printf("-> Error: %s !\n", message);
  std::fflush(stdout);
  std::exit(1);
}

}  // namespace

float lst_Float(Declaration* decl, const char* key, float def) {
  const char* at = findKey(decl, key);
  if (!at) return def;
  char word[256];
  valueWord(at, word);
  float v;
  // A word that is no number keeps the default.
  return std::sscanf(word, "%f", &v) == 1 ? v : def;
}

const char* lst_String(Declaration* decl, const char* key) {
  const char* at = findKey(decl, key);
  if (!at) {
    LST.string[0] = 0;
    return LST.string;
  }
  valueWord(at, LST.string);
  return LST.string;
}

PlugIn* lst_Ref(Declaration* decl, const char* key) {
  const char* at = findKey(decl, key);
  if (!at) return nullptr;
  const char c = *at;
  if (c == '+' || c == '-' || (c >= '0' && c <= '9')) return implicitConstant(decl, lst_Float(decl, key, 0));
  // Copied: building the referenced object runs the readers again.
  char label[256];
  valueWord(at, label);
  return plg_Get(decl->scene, label);
}

PlugIn* lst_Value(Declaration* decl, const char* key, float def) {
  PlugIn* p = lst_Ref(decl, key);
  return p ? p : implicitConstant(decl, def);
}

PlugIn* lst_Stream(Declaration* decl, const char* key) {
  PlugIn* p = lst_Ref(decl, key);
  if (p) return p;
  decl->implicit = new Layer(nullptr, decl->implicit);
  return decl->implicit;
}

const char* lst_Parse(Declaration* decl, const char* key) {
  const char* at = findKey(decl, key);
  if (!at) plg_Error(decl, "lst_Parse(): parameter%s is compulsory", key);
  return at;
}

void plg_SetFatalHandler(plg_FatalHandler handler) { LST.fatal = handler; }

void plg_Error(const void*, const char* format, ...) {
  char message[256];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  finish(message, false);
}

void reportPluginError(const PlugIn* object, const char* message) {
  const Declaration* d = object->declaration;
  if (d) plg_Trace(" -> %s:%s(%s) ", d->label.c_str(), d->type.c_str(), d->params.c_str());
  finish(message, true);
}

void plg_Trace(const char*, ...) {}
