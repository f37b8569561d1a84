// Declaration lines and the registry that turns labels into objects.
#include "script/script.h"

#include "effects/effects.h"
#include "plugins/plugins.h"
#include "scene3d/scene3d.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct BuildGuard;
struct RegistryState {
  // The declarations whose objects are being built, innermost last: where a
  // script error comes from.
  std::vector<const Declaration*> building;
  std::vector<BuildGuard*> guards;  // the same, with what each build keeps aside
};
RegistryState REG;

template <class T>
PlugIn* make(Declaration* decl, PlugIn* next) {
  return new T(decl, next);
}

// The keyword table, in matching order.  Type words are compared with the
// keywords lowered, so scripts write them in lower case.
const PlugInfo kRegistry[] = {
    {"loop", PlugKind::Stream, make<Loop>, kLoopParams},
    {"Mapper", PlugKind::Stream, make<Mapper>, kMapperParams},
    {"Object", PlugKind::Stream, make<Object>, kObjectParams},
    {"Texture", PlugKind::Stream, make<Texture>, kTextureParams},
    {"Screen", PlugKind::Stream, make<Screen>, kScreenParams},
    {"Mirror", PlugKind::Stream, make<Mirror>, kMirrorParams},
    {"Zoomer", PlugKind::Stream, make<Zoomer>, kZoomerParams},
    {"Oscilator", PlugKind::Value, make<Oscilator>, kOscilatorParams},
    {"Constant", PlugKind::Value, make<Constant>, kConstantParams},
    {"Window", PlugKind::Stream, make<Window>, kWindowParams},
    {"Mixer", PlugKind::Stream, make<Mixer>, kMixerParams},
    {"Voxel", PlugKind::Stream, make<Voxel>, kVoxelParams},
    {"Path", PlugKind::Value, make<Path>, kPathParams},
    {"KeyB", PlugKind::Value, make<KeyB>, kKeyBParams},
    {"Warper", PlugKind::Stream, make<Warper>, kWarperParams},
    {"Light", PlugKind::Stream, make<Light>, kLightParams},
    {"Plazma", PlugKind::Stream, make<Plazma>, kPlazmaParams},
    {"Text", PlugKind::Stream, make<Text>, kTextParams},
    {"Scene", PlugKind::Stream, make<Scene>, kSceneParams},
    {"MPEG", PlugKind::Stream, make<MPEG>, kMpegParams},
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

// Counts constructions of a declaration under way and keeps it on the
// building stack, also when one ends in an error that unwinds (tests).
// An instanced declaration built again inside its own construction (through
// a shared one) finishes first; such objects wait here until the outer one
// is finished, so that no object's chain runs through one still under
// construction.  If the outer construction fails instead, they go with it.
struct BuildGuard {
  Declaration* d;
  std::vector<PlugIn*> inner;
  explicit BuildGuard(Declaration* decl) : d(decl) {
    REG.building.push_back(d);
    REG.guards.push_back(this);
    ++d->building;
  }
  ~BuildGuard() {
    for (PlugIn* p : inner) {
      p->next = nullptr;
      if (d->object == p) d->object = nullptr;
      delete p;
    }
    --d->building;
    REG.guards.pop_back();
    REG.building.pop_back();
  }
  BuildGuard(const BuildGuard&) = delete;
  BuildGuard& operator=(const BuildGuard&) = delete;
};

// Whether a shared declaration is being built since the newest construction
// of `d` began.
bool cycleIsShared(const Declaration* d) {
  for (auto it = REG.building.rbegin(); it != REG.building.rend() && *it != d; ++it)
    if ((*it)->mode == DeclMode::Shared) return true;
  return false;
}

const ParamInfo* findParam(const ParamInfo* params, const std::string& name) {
  for (const ParamInfo* p = params; p && p->key; ++p)
    if (plg_ParamName(p->key) == name) return p;
  return nullptr;
}

}  // namespace

const PlugInfo* plg_Registry() { return kRegistry; }

std::string plg_ParamName(const char* key) {
  std::string name;
  for (const char* c = key; *c; ++c)
    if (*c != ' ' && *c != '=') name += *c >= 'A' && *c <= 'Z' ? char(*c - 'A' + 'a') : *c;
  return name;
}

int plg_CheckParams(Declaration* decl, const ParamInfo* params) {
  if (decl->checked) return 0;
  decl->checked = true;
  if (!plg_FirstCheckOf(decl)) return 0;
  const std::string& text = decl->params;
  std::vector<std::string> seen;
  int warnings = 0;
  for (size_t pos = 0; pos < text.size();) {
    if (text[pos] == ' ') {
      ++pos;
      continue;
    }
    const size_t end = std::min(text.find(' ', pos), text.size());
    const std::string item = text.substr(pos, end - pos);
    pos = end;
    const size_t eq = item.find('=');
    if (eq == std::string::npos) {
      plg_Note(decl->line, "warning: '%s' is not key=value", item.c_str());
      ++warnings;
      continue;
    }
    const std::string key = item.substr(0, eq);
    const ParamInfo* p = findParam(params, key);
    if (!p) {
      plg_Note(decl->line, "warning: %s has no parameter '%s'", decl->type.c_str(), key.c_str());
      ++warnings;
    } else if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
      plg_Note(decl->line, "warning: %s reads only the first '%s'", decl->type.c_str(), key.c_str());
      ++warnings;
    } else if (p->kind == ParamKind::Text) {
      break;  // the reader hands it everything after its key
    } else {
      seen.push_back(key);
    }
  }
  return warnings;
}

const Declaration* plg_Building() { return REG.building.empty() ? nullptr : REG.building.back(); }

Declaration* plg_Declare(char* line, Declaration* list) {
  Declaration* d = new Declaration;
  d->next = list;
  size_t length = std::strlen(line);
  while (length && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
  d->text.assign(line, length);
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
  // returned above.  An instanced one met again is built anew when the way
  // back to it passes a shared declaration, which ends the cycle the next
  // time round; a cycle of instanced declarations alone never ends.
  if (d->building && !cycleIsShared(d)) plg_Error(nullptr, "plg_Get(): label '%s' refers to itself", label);

  BuildGuard* outer = nullptr;
  for (auto it = REG.guards.rbegin(); it != REG.guards.rend() && !outer; ++it)
    if ((*it)->d == d) outer = *it;
  PlugIn* const underConstruction = outer ? d->object : nullptr;

  // From here on errors are about this declaration, an unknown type too.
  BuildGuard guard(d);
  const PlugInfo* info = nullptr;
  for (const PlugInfo* r = kRegistry; r->keyword && !info; ++r)
    if (equalsLowered(r->keyword, d->type)) info = r;
  if (!info) plg_Error(nullptr, "plg_Get(): plugin '%s' doesn't exists", d->type.c_str());

  plg_CheckParams(d, info->params);
  PlugIn* object = info->make(d, outer ? nullptr : d->object);
  if (outer) {
    // Kept aside, with what was kept aside while it was built, until the
    // outer construction is finished.
    outer->inner.insert(outer->inner.end(), guard.inner.begin(), guard.inner.end());
    outer->inner.push_back(object);
    guard.inner.clear();
    d->object = underConstruction;
    return object;
  }
  // The chain: this object, those finished inside its construction, the
  // older ones.
  PlugIn* tail = object;
  for (PlugIn* p : guard.inner) {
    p->next = tail->next;
    tail->next = p;
    tail = p;
  }
  guard.inner.clear();
  d->object = object;
  return object;
}
