// The script file: sections, comments, includes and declaration lines.
#include "script/script.h"

#include "script/script_private.h"

#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

namespace {

struct ScriptState {
  std::string path = "velmorin.plg";  // read from, and named in messages
  std::string text;  // line ends normalised to "\n"
  bool loaded = false;
  std::vector<size_t> activeSections;  // header offsets being read, for include cycles
  // Lines of this text already checked: every scene that includes a section
  // declares its lines anew, and one warning a line is enough.
  std::set<std::pair<int, std::string>> checkedLines;
};
ScriptState PLG;

// A reader of the text as fgets() into a 256-byte buffer would see it: at most
// 255 characters a line, the rest of a longer line comes as the next line.
struct LineReader {
  const std::string& text;
  size_t pos = 0;
  int lineNo = 1;  // physical line of the text the next call returns from
  char buf[256] = {};

  bool next(size_t* start = nullptr) {
    if (pos >= text.size()) return false;
    if (start) *start = pos;
    size_t n = 0;
    while (n < sizeof buf - 1 && pos < text.size()) {
      const char c = text[pos++];
      buf[n++] = c;
      if (c == '\n') break;
    }
    buf[n] = 0;
    return true;
  }
  // Line number of the line just returned; a cut line keeps its number.
  int line() const { return lineNo; }
  void advance() {
    const size_t n = std::strlen(buf);
    if (n && buf[n - 1] == '\n') ++lineNo;
  }
};

std::string normaliseLineEnds(std::string s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i)
    if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
  return out;
}

void ensureText() {
  if (PLG.loaded) return;
  std::ifstream in(PLG.path, std::ios::binary);
  if (!in) {
    const char* text = "Can't load velmorin.plg!";
    if (HOOKS.exits.cantLoad) HOOKS.exits.cantLoad(text);
    std::fprintf(stderr, "%s\n", text);
    std::exit(3);  // the program's code for a start-up failure
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  PLG.text = normaliseLineEnds(ss.str());
  PLG.loaded = true;
}

struct SectionGuard {
  explicit SectionGuard(size_t at) { PLG.activeSections.push_back(at); }
  ~SectionGuard() { PLG.activeSections.pop_back(); }
};

void loadSection(const char* name, Declaration*& list, int includeLine, const char* includeText);

}  // namespace

void plg_SetFile(const char* path) {
  PLG.path = path;
  PLG.text.clear();
  PLG.loaded = false;
  PLG.checkedLines.clear();
}

void plg_SetText(const std::string& text, const char* name) {
  PLG.path = name;
  PLG.text = normaliseLineEnds(text);
  PLG.loaded = true;
  PLG.checkedLines.clear();
}

bool plg_FirstCheckOf(const Declaration* decl) { return PLG.checkedLines.emplace(decl->line, decl->text).second; }

const char* plg_FileName() { return PLG.path.c_str(); }

namespace {

// Reads a section onto the front of list; includes read onto the same list.
// includeText is the buffer of the "<name>" line that asked for the section
// (null at the top), for the location of an include cycle.
void loadSection(const char* name, Declaration*& list, int includeLine, const char* includeText) {
  LineReader r{PLG.text};
  const size_t nameLen = std::strlen(name);
  size_t header = 0;
  bool found = false;
  while (r.next(&header)) {
    r.advance();
    if (std::strncmp(r.buf, name, nameLen) == 0) {
      found = true;
      break;
    }
  }
  if (!found) return;
  // A section that includes itself, directly or through others, would read
  // forever; that is a script error.
  if (std::find(PLG.activeSections.begin(), PLG.activeSections.end(), header) != PLG.activeSections.end()) {
    // No declaration is being built while sections are read: the include
    // that closes the cycle is the place to show.
    if (includeText) {
      size_t length = std::strlen(includeText);
      while (length && (includeText[length - 1] == '\n' || includeText[length - 1] == '\r')) --length;
      plg_Note(includeLine, "%.*s", int(length), includeText);
    }
    plg_Error(nullptr, "plg_Load(): section '%s' includes itself", name);
  }
  SectionGuard guard(header);

  while (r.next()) {
    const int lineNo = r.line();
    r.advance();
    char* line = r.buf;
    if (line[0] == '}') break;
    if (line[0] == '#') continue;
    if (line[0] == '<') {
      // "<name>" and the line end: the last two characters close the name.
      const size_t len = std::strlen(line);
      const std::string included = len >= 3 ? std::string(line + 1, len - 3) : std::string();
      loadSection(included.c_str(), list, lineNo, line);
      continue;
    }
    if (std::strchr(line, ';')) {
      list = plg_Declare(line, list);
      list->line = lineNo;
    }
  }
}

}  // namespace

Declaration* plg_Load(const char* name, Declaration* list) {
  ensureText();
  Declaration* head = list;
  try {
    loadSection(name, head, 0, nullptr);
  } catch (...) {
    // Only tests and fuzzing unwind out of a script error: free what this
    // call declared so that nothing leaks past it.
    while (head != list) {
      Declaration* next = head->next;
      head->next = nullptr;
      plg_FreeList(head);
      head = next;
    }
    throw;
  }
  return head;
}

void plg_Bind(Declaration* list) {
  for (Declaration* d = list; d; d = d->next) d->scene = list;
}

void plg_FreeList(Declaration* list) {
  while (list) {
    Declaration* next = list->next;
    // Objects exist only where the registry built them, so it is installed.
    if (list->object) HOOKS.builders.destroy(list->object);
    if (list->implicit) HOOKS.builders.destroy(list->implicit);
    delete list;
    list = next;
  }
}
