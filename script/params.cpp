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
  lst_ReadHook readHook = nullptr;
};
ReaderState LST;

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
  decl->implicit = new Constant(v, decl->implicit);
  return decl->implicit;
}

// Where an error comes from: the innermost request under way that has a
// declaration, else the innermost declaration being built.  Objects are built
// before any request and requests never build, so the two do not interleave.
const Declaration* currentPlace() {
  const Declaration* d = plg_Requesting();
  return d ? d : plg_Building();
}

[[noreturn]] void finish(const char* message, bool pluginError, const Declaration* where) {
  // Before either ending: a test or fuzz handler unwinds, the real one exits.
  if (where) plg_Note(where->line, "%s", where->text.c_str());
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
  finish(message, false, currentPlace());
}

void reportPluginError(const PlugIn* object, const char* message) {
  const Declaration* d = object->declaration;
  if (d) plg_Trace(" -> %s:%s(%s) ", d->label.c_str(), d->type.c_str(), d->params.c_str());
  // Implicit objects have no declaration of their own: the declared object
  // that asked them is the closest place.
  finish(message, true, d ? d : currentPlace());
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
