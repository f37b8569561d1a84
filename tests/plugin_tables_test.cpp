// Every plugin of the registry, built with its parameters left out, against
// the committed reference docs/plugins.md: the constructor reads each row of
// its table in order, and what a left-out parameter becomes is the default
// the reference promises.
#include "testutil.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

namespace {

struct DocRow {
  std::string kind, def;
};
// keyword -> key -> row, and each keyword's keys in the reference's order.
struct Reference {
  std::map<std::string, std::map<std::string, DocRow>> rows;
  std::map<std::string, std::vector<std::string>> order;
};

std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

Reference readReference() {
  Reference ref;
  std::ifstream in(std::string(VELMORIN_SOURCE_DIR) + "/docs/plugins.md");
  std::string line, keyword;
  while (std::getline(in, line)) {
    if (line.rfind("## ", 0) == 0) keyword = line.substr(3);
    if (line.rfind("| `", 0) != 0 || keyword.empty()) continue;
    // | `key` | kind | default | meaning |
    std::vector<std::string> cells;
    std::stringstream ss(line.substr(1));
    for (std::string c; std::getline(ss, c, '|');) cells.push_back(trim(c));
    if (cells.size() < 3) continue;
    const std::string key = cells[0].substr(1, cells[0].size() - 2);
    ref.rows[keyword][key] = {cells[1], cells[2]};
    ref.order[keyword].push_back(key);
  }
  return ref;
}

// What each read of the declaration under test did: the key, and the
// implicit object the read made (null when the script gave the parameter).
struct Read {
  std::string key;
  PlugIn* implicit = nullptr;
};
std::vector<Read> reads;
Declaration* watched = nullptr;
PlugIn* lastImplicit = nullptr;

void settle() {
  if (watched->implicit != lastImplicit && !reads.empty()) reads.back().implicit = watched->implicit;
  lastImplicit = watched->implicit;
}

void onRead(const Declaration* decl, const char* key) {
  if (decl != watched) return;
  settle();
  // A number written in the script is looked up twice; one read is one key.
  if (reads.empty() || reads.back().key != key) reads.push_back({key, nullptr});
}

// What the assets of the default show let each plugin be built with; every
// other parameter is left out.
const std::map<std::string, std::string> kGiven = {
    {"texture", "in=clouds.png"},
    {"mpeg", "in=zena.m2v"},
    {"text", "str=a,font=titlefont.fnt"},
    {"object", "obj=sphere.msh"},
    {"scene", "b3d=komin3d.b3d,key=komin3d.key,idx=1"},
    {"path", "num=3,y=0,1,2"},
};

struct PluginTables : ScriptFixture {
  std::string cwd;
  void SetUp() override {
    ScriptFixture::SetUp();
    char buf[4096];
    cwd = getcwd(buf, sizeof buf) ? buf : ".";
    ASSERT_EQ(chdir(VELMORIN_SHOW_DIR), 0);
    ASSERT_EQ(dat_Open("velmorin.dat"), 1);
  }
  void TearDown() override {
    lst_SetReadHook(nullptr);
    plg_SetText("");
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    ScriptFixture::TearDown();
  }
};

TEST_F(PluginTables, LeftOutParametersBecomeTheDefaultsOfTheReference) {
  const Reference ref = readReference();
  ASSERT_FALSE(ref.rows.empty());
  for (const PlugInfo* r = plg_Registry(); r->keyword; ++r) {
    const std::string word = plg_ParamName(r->keyword);
    const auto given = kGiven.count(word) ? kGiven.at(word) : std::string();
    load("s.plg\nt: " + word + " " + given + ";\n");
    reads.clear();
    watched = list;
    lastImplicit = list->implicit;
    lst_SetReadHook(onRead);
    PlugIn* object = get("t");
    settle();
    lst_SetReadHook(nullptr);

    // Every row of the table is read, once, in the table's order, and the
    // reference lists the same keys in the same order.
    std::vector<std::string> table, read, documented = ref.order.count(word) ? ref.order.at(word) : std::vector<std::string>();
    for (const ParamInfo* p = r->params; p->key; ++p) table.push_back(plg_ParamName(p->key));
    for (const Read& x : reads) read.push_back(plg_ParamName(x.key.c_str()));
    EXPECT_EQ(read, table) << word;
    EXPECT_EQ(documented, table) << word;

    for (const Read& x : reads) {
      const std::string key = plg_ParamName(x.key.c_str());
      if (given.find(key + "=") == 0 || given.find("," + key + "=") != std::string::npos) continue;
      const auto row = ref.rows.find(word);
      ASSERT_NE(row, ref.rows.end()) << word;
      const auto doc = row->second.find(key);
      ASSERT_NE(doc, row->second.end()) << word << " " << key;
      const std::string where = word + " " + key;
      if (doc->second.kind == "value") {
        // An implicit Constant of the documented number.
        ASSERT_NE(dynamic_cast<Constant*>(x.implicit), nullptr) << where;
        EXPECT_EQ(x.implicit->value(), std::strtof(doc->second.def.c_str(), nullptr)) << where;
      } else if (doc->second.kind == "image") {
        EXPECT_EQ(doc->second.def, "empty layer") << where;
        EXPECT_NE(dynamic_cast<Layer*>(x.implicit), nullptr) << where;
      } else {
        EXPECT_EQ(x.implicit, nullptr) << where;  // numbers and words make no object
      }
    }

    // The numbers read once into fields.
    if (word == "constant") {
      EXPECT_EQ(object->value(), std::strtof(ref.rows.at(word).at("k").def.c_str(), nullptr));
    }
    if (auto* s = dynamic_cast<Screen*>(object)) {
      const auto& doc = ref.rows.at(word);
      auto num = [&](const char* k) { return std::atoi(doc.at(k).def.c_str()); };
      EXPECT_EQ(s->xres, num("xres"));
      EXPECT_EQ(s->yres, num("yres"));
      EXPECT_EQ(s->x, num("x"));
      EXPECT_EQ(s->y, num("y"));
      EXPECT_EQ(doc.at("w").def, "xres");
      EXPECT_EQ(doc.at("h").def, "yres");
      EXPECT_EQ(s->w, s->xres);
      EXPECT_EQ(s->h, s->yres);
    }
  }
}

}  // namespace
