// Declaration lines and the registry that turns labels into objects.
#include "script/script.h"

#include "plugins/plugins.h"

#include <cstdio>

namespace {

template <class T>
PlugIn* make(Declaration* decl, PlugIn* next) {
  return new T(decl, next);
}

// The keyword table, in matching order.  Type words are compared with the
// keywords lowered, so scripts write them in lower case.
const PlugInfo kRegistry[] = {
    {"Screen", PlugKind::Stream, make<Screen>, kScreenParams},
    {"Oscilator", PlugKind::Value, make<Oscilator>, kOscilatorParams},
    {"Constant", PlugKind::Value, make<Constant>, kConstantParams},
    {"Window", PlugKind::Stream, make<Window>, kWindowParams},
    {"KeyB", PlugKind::Value, make<KeyB>, kKeyBParams},
    {nullptr, PlugKind::Value, nullptr, nullptr},
};

bool equalsLowered(const char* keyword, const std::string& word) {
  size_t i = 0;
  for (; keyword[i]; ++i) {
    char c = keyword[i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (i >= word.size() || word[i] != c) return false;
  }
  return i == word.size();
}

// Counts constructions of a declaration under way, also when one ends in an
// error that unwinds (tests).
struct BuildGuard {
  Declaration* d;
  explicit BuildGuard(Declaration* decl) : d(decl) { ++d->building; }
  ~BuildGuard() { --d->building; }
};

}  // namespace

const PlugInfo* plg_Registry() { return kRegistry; }

Declaration* plg_Declare(char* line, Declaration* list) {
  Declaration* d = new Declaration;
  d->next = list;
  int mode = 0;
  for (char* p = line; *p; ++p) {
    if (mode == 0 && (*p == ':' || *p == '=')) {
      mode = *p == ':' ? 1 : 2;
      *p = ' ';
    }
    if (*p == '\n' || *p == ';' || *p == '\r' || *p == '(' || *p == ')') *p = ' ';
  }
  char label[256] = "", type[256] = "", word[256] = "";
  std::sscanf(line, "%255s %255s %255s", label, type, word);
  d->mode = DeclMode(mode);
  d->label = label;
  d->type = type;
  d->params = std::string(" ") + word;
  for (char& c : d->params)
    if (c == ',') c = ' ';
  return d;
}

PlugIn* plg_Get(Declaration* list, const char* label) {
  Declaration* d = list;
  while (d && d->label != label) d = d->next;
  if (!d) plg_Error(nullptr, "plg_Get(): label '%s' doesn't exists", label);
  if (d->mode == DeclMode::Shared && d->object) return d->object;
  // A shared declaration under construction has its object set already and
  // returned above; any other one met again refers to itself.
  if (d->building) plg_Error(nullptr, "plg_Get(): label '%s' refers to itself", label);

  const PlugInfo* info = nullptr;
  for (const PlugInfo* r = kRegistry; r->keyword && !info; ++r)
    if (equalsLowered(r->keyword, d->type)) info = r;
  if (!info) plg_Error(nullptr, "plg_Get(): plugin '%s' doesn't exists", d->type.c_str());

  BuildGuard guard(d);
  PlugIn* object = info->make(d, d->object);
  d->object = object;
  return object;
}
