// Rebuilding the scenes from a changed script while the show runs.
#include "testutil.h"

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

std::string scriptWith(const std::string& scene3) {
  std::string s = "common.plg\noutput: screen in=w;\nw = window;\n}\n";
  for (int i = 0; i < kSceneCount; ++i)
    s += std::string(kSceneSections[i]) + "\n" + (i == 3 ? scene3 : "<common.plg>\n") + "}\n";
  return s;
}

struct Reload : ScriptFixture {
  std::string path;
  SceneSet scenes;

  void SetUp() override {
    ScriptFixture::SetUp();
    char name[] = "/tmp/velmorin-reload-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path = name;
  }
  void TearDown() override {
    shw_Free(scenes);
    std::remove(path.c_str());
    ScriptFixture::TearDown();
  }
  void write(const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  int xres(int scene) { return dynamic_cast<Screen*>(scenes.outputs[scene])->xres; }
};

TEST_F(Reload, AGoodScriptReplacesTheGraphsAndABrokenOneLeavesThemRunning) {
  write(scriptWith("<common.plg>\n"));
  plg_SetFile(path.c_str());
  shw_Build(scenes);
  EXPECT_EQ(xres(3), 320);

  write(scriptWith("output: screen xres=160,in=w;\nw = window;\n"));
  ASSERT_TRUE(shw_Reload(scenes, path.c_str()));
  EXPECT_EQ(xres(3), 160);
  EXPECT_EQ(xres(4), 320);
  PlugIn* const kept = scenes.outputs[3];

  // A broken script: the usual error line, and the running graphs stay.
  write(scriptWith("output: screen xres=200,in=nowhere;\n"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(shw_Reload(scenes, path.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "-> Error: plg_Get(): label 'nowhere' doesn't exists !\n");
  EXPECT_EQ(scenes.outputs[3], kept);
  EXPECT_EQ(xres(3), 160);
  scenes.outputs[3]->stream(0, 0);  // still renders

  // An error while a new graph warms up is no different.
  write(scriptWith("output: screen in=w;\nw = window x=v;\nv = oscilator fce=9;\n"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(shw_Reload(scenes, path.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "-> Error: unsupported function !\n");
  EXPECT_EQ(scenes.outputs[3], kept);

  // The fatal path in force before the reload is in force after it.
  EXPECT_EQ(errorOf([&] { plg_Error(nullptr, "still %s", "mine"); }), "still mine");

  // A script that cannot be read leaves everything as it is.
  std::remove(path.c_str());
  EXPECT_FALSE(shw_Reload(scenes, path.c_str()));
  EXPECT_EQ(scenes.outputs[3], kept);
}

}  // namespace
