// Declaration lines, the building stack and the check of a declaration's
// keys against its class's table.
#include "script/script.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct DeclareState {
  // The declarations whose objects are being built, innermost last: where a
  // script error comes from.
  std::vector<const Declaration*> building;
};
DeclareState DECL;

const ParamInfo* findParam(const ParamInfo* params, const std::string& name) {
  for (const ParamInfo* p = params; p && p->key; ++p)
    if (plg_ParamName(p->key) == name) return p;
  return nullptr;
}

}  // namespace

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

BuildScope::BuildScope(Declaration* decl) : decl_(decl) {
  DECL.building.push_back(decl_);
  ++decl_->building;
}

BuildScope::~BuildScope() {
  --decl_->building;
  DECL.building.pop_back();
}

bool plg_CycleIsShared(const Declaration* decl) {
  for (auto it = DECL.building.rbegin(); it != DECL.building.rend() && *it != decl; ++it)
    if ((*it)->mode == DeclMode::Shared) return true;
  return false;
}

const Declaration* plg_Building() { return DECL.building.empty() ? nullptr : DECL.building.back(); }

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
