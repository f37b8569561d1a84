// Reading scripts: sections, comments, includes, declarations, the registry
// and the parameter readers.
#include "testutil.h"

#include <cstring>
#include <vector>

namespace {

std::vector<std::string> labels(const Declaration* d) {
  std::vector<std::string> out;
  for (; d; d = d->next) out.push_back(d->label);
  return out;
}

using Script = ScriptFixture;

TEST_F(Script, SectionsAreFoundByPrefixAndEndAtBraceOrEndOfFile) {
  struct Case {
    const char* text;
    const char* section;
    std::vector<std::string> labels;  // newest first
  } cases[] = {
      // The first line that begins with the name wins, whichever section it is.
      {"s.plgx\na: constant;\n}\ns.plg\nb: constant;\n}\n", "s.plg", {"a"}},
      {"s.plg header text is ignored\na: constant;\nb: constant;\n}\nc: constant;\n", "s.plg", {"b", "a"}},
      // No closing brace: the section runs to the end of the file, last line included.
      {"s.plg\na: constant;\nb: constant;", "s.plg", {"b", "a"}},
      // Comments only in column 1, even with a ";" in them; blank and free text ignored.
      {"s.plg\n# c: constant;\n  # d: constant;\nfree text\n\n", "s.plg", {"#"}},
      // A declaration over two lines is two lines: only the one with ";" counts.
      {"s.plg\na: constant\nk=1;\n", "s.plg", {"k"}},
      // A missing section contributes nothing.
      {"t.plg\na: constant;\n", "s.plg", {}},
      // CR LF line ends read like LF.
      {"s.plg\r\na: constant k=2;\r\n}\r\nb: constant;\r\n", "s.plg", {"a"}},
  };
  for (const Case& c : cases) {
    load(c.text, c.section);
    EXPECT_EQ(labels(list), c.labels) << c.text;
  }
}

TEST_F(Script, IncludesJoinAtTheirPlaceAndLaterDeclarationsShadowThem) {
  load("inc.plg\nx: constant k=1;\ny: constant k=2;\n}\n"
       "s.plg\na: constant;\n<inc.plg>\nx: constant k=3;\n}\n");
  EXPECT_EQ(labels(list), (std::vector<std::string>{"x", "y", "x", "a"}));
  EXPECT_FLOAT_EQ(get("x")->value(), 3);  // the newest declaration wins
  EXPECT_FLOAT_EQ(get("y")->value(), 2);
  for (Declaration* d = list; d; d = d->next) EXPECT_EQ(d->scene, list);

  // At the very end of a file without a line end the last two characters of
  // the include line are still removed: "<inc.plg>" names "inc.pl".
  load("inc.pl\nq: constant;\n}\ns.plg\n<inc.plg>");
  EXPECT_EQ(labels(list), std::vector<std::string>{"q"});
}

TEST_F(Script, IncludeCyclesAreScriptErrors) {
  EXPECT_EQ(errorOf([&] { load("s.plg\n<s.plg>\n}\n"); }), "plg_Load(): section 's.plg' includes itself");
  EXPECT_EQ(errorOf([&] { load("a.plg\n<s.plg>\n}\ns.plg\n<a.plg>\n}\n"); }),
            "plg_Load(): section 's.plg' includes itself");
  // The same section included twice in a row is no cycle.
  load("a.plg\nx: constant;\n}\ns.plg\n<a.plg>\n<a.plg>\n}\n");
  EXPECT_EQ(labels(list).size(), 2u);
}

TEST_F(Script, LongLinesAreCutAt255Characters) {
  // The rest of a long line is read as a line of its own: here it holds the ";".
  std::string text = "s.plg\n" + std::string(300, 'x') + "\nb: constant;\n";
  load(text);
  EXPECT_EQ(labels(list), std::vector<std::string>{"b"});
  text = "s.plg\nlong: constant k=1" + std::string(260, ' ') + ";\n";
  load(text);
  // The first 255 characters hold no ";"; the cut tail does and declares an
  // empty label on the same line.
  ASSERT_EQ(labels(list), std::vector<std::string>{""});
  EXPECT_EQ(list->line, 2);
}

TEST(Declare, LinesSplitIntoLabelTypeParamsAndMode) {
  struct Case {
    const char* line;
    const char* label;
    const char* type;
    const char* params;
    DeclMode mode;
  } cases[] = {
      {"out: screen in=mix,xres=640;\n", "out", "screen", " in=mix xres=640", DeclMode::Instanced},
      {"mix = mixer(in=a,tex=b);\n", "mix", "mixer", " in=a tex=b", DeclMode::Shared},
      // Without a marker the first "=" of the parameters becomes it.
      {"out screen in=mix;\n", "out", "screen", " in", DeclMode::Shared},
      // Later markers stay as they are.
      {"a:b:c x=1;\r\n", "a", "b:c", " x=1", DeclMode::Instanced},
      {"lonely;", "lonely", "", " ", DeclMode::None},
      // Words after the third are dropped.
      {"a: keyb inc=1 dec=2;", "a", "keyb", " inc=1", DeclMode::Instanced},
  };
  for (const Case& c : cases) {
    std::vector<char> buf(c.line, c.line + std::strlen(c.line) + 1);
    Declaration* d = plg_Declare(buf.data(), nullptr);
    EXPECT_EQ(d->label, c.label) << c.line;
    EXPECT_EQ(d->type, c.type) << c.line;
    EXPECT_EQ(d->params, c.params) << c.line;
    EXPECT_EQ(d->mode, c.mode) << c.line;
    plg_FreeList(d);
  }
}

TEST_F(Script, RegistryResolvesLabelsAndTypeWords) {
  load("s.plg\nc: constant k=1;\nC: Constant k=2;\nq: quux;\nshared = oscilator;\ninst: oscilator;\n");
  EXPECT_EQ(errorOf([&] { get("nope"); }), "plg_Get(): label 'nope' doesn't exists");
  EXPECT_EQ(errorOf([&] { get("C"); }), "plg_Get(): plugin 'Constant' doesn't exists");
  EXPECT_EQ(errorOf([&] { get("q"); }), "plg_Get(): plugin 'quux' doesn't exists");
  EXPECT_EQ(get("shared"), get("shared"));
  PlugIn* first = get("inst");
  PlugIn* second = get("inst");
  EXPECT_NE(first, second);
  EXPECT_EQ(second->next, first);  // instances chain through next
  EXPECT_NE(dynamic_cast<Constant*>(get("c")), nullptr);
}

TEST_F(Script, SelfReferencesShareOrFail) {
  load("s.plg\nw = window in=w;\nv: window in=u;\nu: window in=v;\n"
       "p: window in=q;\nq: window in=r;\nr: window in=p;\n"
       "s = window in=m;\nm: window in=n;\nn: window in=m;\n");
  // A shared declaration under construction hands out its own object.
  auto* w = dynamic_cast<Window*>(get("w"));
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->in, w);
  // Instanced declarations in a cycle would recurse without end, however
  // long the cycle, and also when a shared one led into it.
  EXPECT_EQ(errorOf([&] { get("v"); }), "plg_Get(): label 'v' refers to itself");
  EXPECT_EQ(errorOf([&] { get("p"); }), "plg_Get(): label 'p' refers to itself");
  EXPECT_EQ(errorOf([&] { get("s"); }), "plg_Get(): label 'm' refers to itself");
}

// A cycle through a shared declaration ends there: the instanced labels on
// it are built a second time, and that second round meets the shared object.
TEST_F(Script, CyclesThroughASharedDeclarationBuildTwice) {
  load("s.plg\nz: zoomer tex=lp;\nlp = loop in=z;\noutput: screen in=z;\n"
       "a: window in=b;\nb: window in=c;\nc = window in=a;\n");
  auto* out = dynamic_cast<Screen*>(get("output"));
  ASSERT_NE(out, nullptr);
  auto* z1 = dynamic_cast<Zoomer*>(out->in);
  ASSERT_NE(z1, nullptr);
  auto* lp = dynamic_cast<Loop*>(z1->tex);
  ASSERT_NE(lp, nullptr);
  auto* z2 = dynamic_cast<Zoomer*>(lp->in);
  ASSERT_NE(z2, nullptr);
  EXPECT_NE(z2, z1);
  EXPECT_EQ(z2->tex, lp);

  auto* a1 = dynamic_cast<Window*>(get("a"));
  ASSERT_NE(a1, nullptr);
  auto* b1 = dynamic_cast<Window*>(a1->in);
  ASSERT_NE(b1, nullptr);
  auto* c = dynamic_cast<Window*>(b1->in);
  ASSERT_NE(c, nullptr);
  auto* a2 = dynamic_cast<Window*>(c->in);
  ASSERT_NE(a2, nullptr);
  EXPECT_NE(a2, a1);
  auto* b2 = dynamic_cast<Window*>(a2->in);
  ASSERT_NE(b2, nullptr);
  EXPECT_NE(b2, b1);
  EXPECT_EQ(b2->in, c);
}

// Builds nested two deep, and an error met in the inner build: every object
// is owned once (the sanitizer build checks the frees).
TEST_F(Script, NestedBuildsOfOneLabelAreOwnedOnce) {
  load("s.plg\nt: zoomer in=tb,tex=ta;\nta = loop in=t;\ntb = loop in=t;\n"
       "e: zoomer tex=le,x=nosuch;\nle = loop in=e;\n");
  auto* t1 = dynamic_cast<Zoomer*>(get("t"));
  ASSERT_NE(t1, nullptr);
  auto* tb = dynamic_cast<Loop*>(t1->in);
  ASSERT_NE(tb, nullptr);
  auto* t2 = dynamic_cast<Zoomer*>(tb->in);
  ASSERT_NE(t2, nullptr);
  auto* ta = dynamic_cast<Loop*>(t2->tex);
  ASSERT_NE(ta, nullptr);
  EXPECT_EQ(t1->tex, ta);
  auto* t3 = dynamic_cast<Zoomer*>(ta->in);
  ASSERT_NE(t3, nullptr);
  EXPECT_TRUE(t1 != t2 && t2 != t3 && t1 != t3);
  EXPECT_EQ(t3->in, tb);
  EXPECT_EQ(get("t")->next, t1);  // the next build chains onto all three
  EXPECT_EQ(errorOf([&] { get("e"); }), "plg_Get(): label 'nosuch' doesn't exists");
}

TEST_F(Script, ReadersFindKeysAtItemStartsAndFirstOccurrence) {
  load("s.plg\n"
       "d: constant dx=5,x=7,x=9,word=abc,bad=1e,neg=-2.5,lbl=c,num=3lbl,half=.5;\n"
       "c: constant k=4;\n");
  Declaration* d = list->next;
  ASSERT_EQ(d->label, "d");
  EXPECT_FLOAT_EQ(lst_Float(d, " x=", 0), 7);  // not inside " dx=", first of two
  EXPECT_FLOAT_EQ(lst_Float(d, " X=", 0), 7);  // class keys are lowered
  EXPECT_FLOAT_EQ(lst_Float(d, " y=", 11), 11);
  EXPECT_FLOAT_EQ(lst_Float(d, " word=", 11), 11);  // no number: the default
  EXPECT_FLOAT_EQ(lst_Float(d, " bad=", 0), 1);
  EXPECT_STREQ(lst_String(d, " word="), "abc");
  const char* s1 = lst_String(d, " word=");
  lst_String(d, " lbl=");
  EXPECT_STREQ(s1, "c");  // one shared buffer
  EXPECT_STREQ(lst_String(d, " none="), "");
  EXPECT_STREQ(lst_Parse(d, " word="), "abc bad=1e neg=-2.5 lbl=c num=3lbl half=.5");
  EXPECT_EQ(errorOf([&] { lst_Parse(d, " y="); }), "lst_Parse(): parameter y= is compulsory");

  // Numbers versus labels: only the first character decides.
  EXPECT_EQ(lst_Ref(d, " none="), nullptr);
  EXPECT_FLOAT_EQ(lst_Ref(d, " neg=")->value(), -2.5f);
  EXPECT_FLOAT_EQ(lst_Ref(d, " num=")->value(), 3);
  EXPECT_FLOAT_EQ(lst_Ref(d, " lbl=")->value(), 4);
  EXPECT_EQ(errorOf([&] { lst_Ref(d, " half="); }), "plg_Get(): label '.5' doesn't exists");
  // Absent sources still work: a Constant of the default, an empty Layer.
  EXPECT_FLOAT_EQ(lst_Value(d, " none=", 6)->value(), 6);
  auto* layer = dynamic_cast<Layer*>(lst_Stream(d, " none="));
  ASSERT_NE(layer, nullptr);
  EXPECT_EQ(layer->image, nullptr);
  // Implicit objects belong to the declaration and carry none of their own.
  EXPECT_EQ(d->implicit, layer);
  EXPECT_EQ(layer->declaration, nullptr);
}

TEST_F(Script, UnreachedDeclarationsAreNeverBuilt) {
  load("s.plg\noutput: screen in=a;\na = window;\nbroken: quux;\norphan = window;\n");
  EXPECT_NE(get("output"), nullptr);
  for (Declaration* d = list; d; d = d->next)
    EXPECT_EQ(d->object != nullptr, d->label == "output" || d->label == "a") << d->label;
}

}  // namespace
