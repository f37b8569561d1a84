// Parameter readers and the fatal error paths of scripts and plugins.
#include "script/script.h"

#include "script/script_private.h"

#include "assets/assets.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct ReaderState {
  char key[4096];     // the lower-cased key of the current lookup
  char string[256];   // what lst_String returns, overwritten by every call
  plg_FatalHandler fatal = nullptr;
  lst_ReadHook readHook = nullptr;
};
ReaderState LST;

// An image the display layer cannot make is a script error: the size came
// from a script, or the script asks for too many.
const bool kImageFailures = (img_SetFailHandler([](const char* message) { plg_Error(nullptr, "%s", message); }), true);

// Finds key in the parameter text; returns the text just after it, or null.
const char* findKey(const Declaration* decl, const char* key) {
  if (LST.readHook) LST.readHook(decl, key);
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
  decl->implicit = HOOKS.builders.constant(v, decl->implicit);
  return decl->implicit;
}

}  // namespace

ScriptHooks HOOKS;

void plg_SetBuilders(const PlugBuilders& builders) { HOOKS.builders = builders; }
void plg_SetExits(const ScriptExits& exits) { HOOKS.exits = exits; }

// Objects are built before any request and requests never build, so the
// two places do not interleave.
const Declaration* plg_ErrorPlace() {
  const Declaration* d = HOOKS.builders.requesting ? HOOKS.builders.requesting() : nullptr;
  return d ? d : plg_Building();
}

void plg_Fatal(const char* message, bool pluginError, const Declaration* where) {
  // Before either ending: a test or fuzz handler unwinds, the real one exits.
  if (where) plg_Note(where->line, "%s", where->text.c_str());
  if (LST.fatal) {
    LST.fatal(message, pluginError);
    std::abort();  // a handler must not return
  }
  if (HOOKS.exits.stopMusic) HOOKS.exits.stopMusic();
  if (pluginError) {
    gfx_Close();
    std::printf("\n\n");
  }
  std::printf("-> Error: %s !\n", message);
  std::fflush(stdout);
  std::exit(1);
}

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
  return HOOKS.builders.get(decl->scene, label);
}

PlugIn* lst_Value(Declaration* decl, const char* key, float def) {
  PlugIn* p = lst_Ref(decl, key);
  return p ? p : implicitConstant(decl, def);
}

PlugIn* lst_Stream(Declaration* decl, const char* key) {
  PlugIn* p = lst_Ref(decl, key);
  if (p) return p;
  decl->implicit = HOOKS.builders.layer(decl->implicit);
  return decl->implicit;
}

const char* lst_Parse(Declaration* decl, const char* key) {
  const char* at = findKey(decl, key);
  if (!at) plg_Error(decl, "lst_Parse(): parameter%s is compulsory", key);
  return at;
}

const ParamInfo& ParamReader::take(ParamKind kind) {
  const ParamInfo* row = row_;
  if (!row || !row->key || row->kind != kind) {
    std::fprintf(stderr, "velmorin: %s reads its parameters out of step with its table (at %s)\n",
                 decl_ ? decl_->type.c_str() : "?", row && row->key ? row->key : "the end");
    std::abort();
  }
  ++row_;
  return *row;
}

namespace {

// The default of a Number or Value row, which the table writes as a number.
float numericDefault(const Declaration* decl, const ParamInfo& row) {
  char* end = nullptr;
  const float v = std::strtof(row.def, &end);
  if (end == row.def || *end) {
    std::fprintf(stderr, "velmorin: %s: the default of%s is no number\n", decl ? decl->type.c_str() : "?", row.key);
    std::abort();
  }
  return v;
}

}  // namespace

float ParamReader::number() {
  const ParamInfo& row = take(ParamKind::Number);
  return lst_Float(decl_, row.key, numericDefault(decl_, row));
}

float ParamReader::number(float computed) { return lst_Float(decl_, take(ParamKind::Number).key, computed); }

std::string ParamReader::word() { return lst_String(decl_, take(ParamKind::Word).key); }

PlugIn* ParamReader::value() {
  const ParamInfo& row = take(ParamKind::Value);
  return lst_Value(decl_, row.key, numericDefault(decl_, row));
}

PlugIn* ParamReader::image() { return lst_Stream(decl_, take(ParamKind::Image).key); }

const char* ParamReader::text() { return lst_Parse(decl_, take(ParamKind::Text).key); }

plg_FatalHandler plg_SetFatalHandler(plg_FatalHandler handler) {
  const plg_FatalHandler previous = LST.fatal;
  LST.fatal = handler;
  return previous;
}

void plg_Error(const void*, const char* format, ...) {
  char message[256];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  plg_Fatal(message, false, plg_ErrorPlace());
}

void plg_Trace(const char*, ...) {}

void plg_Note(int line, const char* format, ...) {
  std::fprintf(stderr, "%s:%d: ", plg_FileName(), line);
  va_list ap;
  va_start(ap, format);
  std::vfprintf(stderr, format, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void lst_SetReadHook(lst_ReadHook hook) { LST.readHook = hook; }
