// Where script errors come from, and the warnings about parameters that no
// class reads.
#include "testutil.h"

#include <cctype>
#include <vector>

namespace {

// What a call printed on stderr, and the message of the fatal error it
// raised ("" when none).
struct Outcome {
  std::string error;
  std::string err;
};

struct ScriptCheck : ScriptFixture {
  template <class F>
  static Outcome run(F f) {
    Outcome o;
    testing::internal::CaptureStderr();
    try {
      f();
    } catch (const FatalError& e) {
      o.error = e.what();
    }
    o.err = testing::internal::GetCapturedStderr();
    return o;
  }
};

TEST_F(ScriptCheck, ErrorsShowTheInnermostDeclarationBeingBuilt) {
  // An error deep in a graph, inside an include: the line of the included
  // section in the file, as written (not as the reader took it apart).
  load("inc.plg -- shared\n"
       "# a comment\n"
       "bad: oscilator amp=1,add=nowhere;\n"
       "}\n"
       "s.plg\n"
       "<inc.plg>\n"
       "output: window in=mid;\n"
       "mid: window x=bad;\n"
       "odd: quux k=1;\n");
  Outcome o = run([&] { get("output"); });
  EXPECT_EQ(o.error, "plg_Get(): label 'nowhere' doesn't exists");
  EXPECT_EQ(o.err, "velmorin.plg:3: bad: oscilator amp=1,add=nowhere;\n");

  // An unknown type is about its own declaration.
  o = run([&] { get("odd"); });
  EXPECT_EQ(o.error, "plg_Get(): plugin 'quux' doesn't exists");
  EXPECT_EQ(o.err, "velmorin.plg:9: odd: quux k=1;\n");

  // The errors above unwound through the constructions: with nothing being
  // built now, there is no place to show.
  o = run([&] { get("nope"); });
  EXPECT_EQ(o.error, "plg_Get(): label 'nope' doesn't exists");
  EXPECT_EQ(o.err, "");

  // The name the text was given; the line is shown without its CR LF.
  plg_SetText("s.plg\r\nw: window x=zz;\r\n", "shows/test.plg");
  plg_FreeList(list);
  list = nullptr;
  list = plg_Load("s.plg", nullptr);
  plg_Bind(list);
  o = run([&] { get("w"); });
  EXPECT_EQ(o.err, "shows/test.plg:2: w: window x=zz;\n");

  // Reading sections builds nothing: an include cycle shows the include
  // that closes it.
  o = run([&] { load("a.plg\n<s.plg>\n}\ns.plg\nx: constant;\n<a.plg>\n}\n"); });
  EXPECT_EQ(o.error, "plg_Load(): section 's.plg' includes itself");
  EXPECT_EQ(o.err, "velmorin.plg:2: <s.plg>\n");
}

TEST_F(ScriptCheck, ErrorsOfRunningGraphsShowTheObjectAtFault) {
  load("s.plg\n"
       "osc = oscilator fce=7;\n"
       "output: window x=osc;\n"
       "w: window in=5;\n");
  PlugIn* output = get("output");
  Outcome o = run([&] { output->stream(8, 8); });
  EXPECT_EQ(o.error, "unsupported function");
  EXPECT_EQ(o.err, "velmorin.plg:2: osc = oscilator fce=7;\n");

  // An implicit object has no declaration: the object that asked it is shown.
  PlugIn* w = get("w");
  o = run([&] { w->stream(8, 8); });
  EXPECT_EQ(o.error, "stream request on value plugin");
  EXPECT_EQ(o.err, "velmorin.plg:4: w: window in=5;\n");

  // Errors of the image store during a request: the innermost declared
  // object asking, here the window whose implicit layer is too large.
  load("s.plg\nbig: screen xres=9000,yres=9000,in=l;\nl = window;\n");
  PlugIn* big = get("big");
  o = run([&] { big->stream(0, 0); });
  EXPECT_EQ(o.error, "image of 9000x9000 is too large");
  EXPECT_EQ(o.err, "velmorin.plg:3: l = window;\n");
}

TEST_F(ScriptCheck, TheRealEndingShowsThePlaceToo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  load("s.plg\noutput: window in=missing;\n");
  EXPECT_EXIT(
      {
        plg_SetFatalHandler(nullptr);
        get("output");
      },
      testing::ExitedWithCode(1), "velmorin\\.plg:2: output: window in=missing;");
}

TEST_F(ScriptCheck, KeysNoClassReadsAreWarnedAboutAtTheirLine) {
  load("s.plg\n"
       "output: window x=o,y=p;\n"
       "o = oscilator frq=2,amp=3;\n"
       "p = window W=5,x=1,x=2,loose;\n"
       "orphan = oscilator nonsense=1;\n");
  const Outcome o = run([&] { get("output"); });
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.err,
            "velmorin.plg:3: warning: oscilator has no parameter 'frq'\n"
            "velmorin.plg:4: warning: window has no parameter 'W'\n"
            "velmorin.plg:4: warning: window reads only the first 'x'\n"
            "velmorin.plg:4: warning: 'loose' is not key=value\n");
  // Warnings never stop the show: the object is built from what it reads.
  auto* osc = dynamic_cast<Oscilator*>(get("o"));
  ASSERT_NE(osc, nullptr);
  EXPECT_FLOAT_EQ(osc->freq->value(), 1);
  EXPECT_FLOAT_EQ(osc->amp->value(), 3);
}

TEST_F(ScriptCheck, TheDefaultShowBuildsWithoutAWord) {
  ASSERT_EQ(dat_Open(VELMORIN_SHOW_DIR "/velmorin.dat"), 1);  // its pictures
  plg_SetFile(VELMORIN_SOURCE_DIR "/show/velmorin.plg");
  const Outcome o = run([&] {
    for (const char* section : kSceneSections) {
      Declaration* scene = plg_Load(section, nullptr);
      plg_Bind(scene);
      PlugIn* output = plg_Get(scene, "output");
      plg_FreeList(scene);
      EXPECT_NE(output, nullptr) << section;
    }
  });
  plg_SetText("");  // later tests must not read the file by surprise
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.err, "");
}

TEST_F(ScriptCheck, ATextParameterEndsTheScan) {
  const ParamInfo table[] = {
      {" n=", ParamKind::Number, "0", "a number"},
      {" y=", ParamKind::Text, "", "the rest"},
      {nullptr, ParamKind::Number, nullptr, nullptr},
  };
  // After y= come a repeated key, an unknown one and a bare word: all the
  // text's, none warned about.
  char line[] = "p: path n=1,zz=2,y=0,0,n=3,frq=4,bare;\n";
  Declaration* d = plg_Declare(line, nullptr);
  d->line = 7;
  Outcome o = run([&] { EXPECT_EQ(plg_CheckParams(d, table), 1); });
  EXPECT_EQ(o.err, "velmorin.plg:7: warning: path has no parameter 'zz'\n");
  // Checked once.
  o = run([&] { EXPECT_EQ(plg_CheckParams(d, table), 0); });
  EXPECT_EQ(o.err, "");
  plg_FreeList(d);
}

TEST_F(ScriptCheck, ALineIsWarnedAboutOnce) {
  load("s.plg\noutput: window x=o,y=o;\no: oscilator frq=2;\n");
  Outcome o = run([&] { get("output"); });
  ASSERT_NE(list->object, nullptr);
  ASSERT_NE(list->object->next, nullptr);  // two oscilators were built
  EXPECT_EQ(o.err, "velmorin.plg:3: warning: oscilator has no parameter 'frq'\n");

  // Two scenes including the same section declare its lines twice.
  const std::string text = "common.plg\nc = constant q=1;\n}\na.plg\n<common.plg>\n}\nb.plg\n<common.plg>\n}\n";
  load(text);
  o = run([&] {
    for (const char* scene : {"a.plg", "b.plg"}) {
      Declaration* l = plg_Load(scene, nullptr);
      plg_Bind(l);
      plg_Get(l, "c");
      plg_FreeList(l);
    }
  });
  EXPECT_EQ(o.err, "velmorin.plg:2: warning: constant has no parameter 'q'\n");
  // A new text is checked anew.
  load(text, "a.plg");
  o = run([&] { get("c"); });
  EXPECT_EQ(o.err, "velmorin.plg:2: warning: constant has no parameter 'q'\n");
}

}  // namespace
