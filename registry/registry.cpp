// The keyword table and plg_Get, which turns labels into objects.
#include "registry/registry.h"

#include "effects/effects.h"
#include "plugins/plugins.h"
#include "scene3d/scene3d.h"

#include <vector>

namespace {

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

// A declaration's construction under way, with what it keeps aside.  An
// instanced declaration built again inside its own construction (through a
// shared one) finishes first; such objects wait here until the outer one is
// finished, so that no object's chain runs through one still under
// construction.  If the outer construction fails instead (an error that
// unwinds, in tests), they go with it.
struct BuildGuard;
std::vector<BuildGuard*> GUARDS;  // innermost last

struct BuildGuard {
  Declaration* d;
  BuildScope scope;
  std::vector<PlugIn*> inner;
  explicit BuildGuard(Declaration* decl) : d(decl), scope(decl) { GUARDS.push_back(this); }
  ~BuildGuard() {
    for (PlugIn* p : inner) {
      p->next = nullptr;
      if (d->object == p) d->object = nullptr;
      delete p;
    }
    GUARDS.pop_back();
  }
  BuildGuard(const BuildGuard&) = delete;
  BuildGuard& operator=(const BuildGuard&) = delete;
};

PlugBuilders builders() {
  PlugBuilders b;
  b.get = plg_Get;
  b.constant = [](float value, PlugIn* next) -> PlugIn* { return new Constant(value, next); };
  b.layer = [](PlugIn* next) -> PlugIn* { return new Layer(nullptr, next); };
  b.destroy = [](PlugIn* object) { delete object; };
  b.requesting = plg_Requesting;
  return b;
}

// The script readers build what labels name through these; installed while
// the program starts, before any script is read.
const bool kInstalled = (plg_SetBuilders(builders()), true);

}  // namespace

const PlugInfo* plg_Registry() { return kRegistry; }

PlugIn* plg_Get(Declaration* list, const char* label) {
  Declaration* d = list;
  while (d && d->label != label) d = d->next;
  if (!d) plg_Error(nullptr, "plg_Get(): label '%s' doesn't exists", label);
  if (d->mode == DeclMode::Shared && d->object) return d->object;
  // A shared declaration under construction has its object set already and
  // returned above.  An instanced one met again is built anew when the way
  // back to it passes a shared declaration, which ends the cycle the next
  // time round; a cycle of instanced declarations alone never ends.
  if (d->building && !plg_CycleIsShared(d)) plg_Error(nullptr, "plg_Get(): label '%s' refers to itself", label);

  BuildGuard* outer = nullptr;
  for (auto it = GUARDS.rbegin(); it != GUARDS.rend() && !outer; ++it)
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
