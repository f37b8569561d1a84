// The pictures of the whole default show, pinned: every frame at 2 fps in
// both layouts, hashed per scene.  Any change of the engine that alters one
// pixel of the show fails here and names the scene; a change meant to alter
// the pictures updates the digests below on purpose.
#include "codecs/codecs.h"
#include "frames.h"
#include "testutil.h"

#include <cstdlib>
#include <map>
#include <unistd.h>

namespace {

struct SceneDigest {
  const char* scene;
  int frames;
  const char* sha256;  // of the scene's frames, grey levels row after row
};

// Captures the show into a temporary folder and hashes each scene's frames in
// the order they were shown.  Each scene's pixels are read back with libpng,
// so the digests do not depend on how our PNG writer compresses.
std::map<std::string, std::pair<int, std::string>> captureDigests(bool window) {
  char dir[] = "/tmp/velmorin-pin-XXXXXX";
  EXPECT_NE(mkdtemp(dir), nullptr);
  CaptureOptions o;
  o.fps = 2;
  o.window = window;
  o.framesDir = dir;
  o.quiet = true;
  // The voxel landscape comes from std::rand: start where a fresh process does.
  std::srand(1);
  EXPECT_EQ(cap_Run(o), 0);

  std::map<std::string, std::vector<uint8_t>> pixels;
  std::map<std::string, int> counts;
  for (const FrameLog& l : readFrameLog(dir)) {
    const Grey g = readPng(frameName(dir, l.frame));
    EXPECT_EQ(g.width, 640);
    EXPECT_EQ(g.height, window ? 300 : 480);
    std::vector<uint8_t>& p = pixels[l.scene];
    p.insert(p.end(), g.pixels.begin(), g.pixels.end());
    ++counts[l.scene];
  }
  std::system((std::string("rm -rf '") + dir + "'").c_str());
  std::map<std::string, std::pair<int, std::string>> out;
  for (const auto& [scene, p] : pixels) out[scene] = {counts[scene], sha256_Hex(p.data(), p.size())};
  return out;
}

void expectDigests(bool window, const std::vector<SceneDigest>& want) {
  char buf[4096];
  const std::string cwd = getcwd(buf, sizeof buf) ? buf : ".";
  ASSERT_EQ(chdir(VELMORIN_SHOW_DIR), 0);
  plg_SetFile("velmorin.plg");
  const auto got = captureDigests(window);
  ASSERT_EQ(chdir(cwd.c_str()), 0);

  EXPECT_EQ(got.size(), want.size());
  for (const SceneDigest& d : want) {
    const auto it = got.find(d.scene);
    ASSERT_NE(it, got.end()) << d.scene;
    EXPECT_EQ(it->second.first, d.frames) << d.scene;
    EXPECT_EQ(it->second.second, d.sha256) << d.scene;
  }
}

const std::vector<SceneDigest> kScreen = {
    {"tolvek.plg", 28, "94a1aff692e5798f0ecd421ccb76ecd14fe8ec89dc82b3454a27c55107008822"},
    {"intro.plg", 62, "983ab021e8c480d3792cef9c376ea67c5db01dd39b9f3e430d40fad135aa1e2a"},
    {"komin3d.plg", 92, "702222edf810c9be87dd69cfeea5f48875e5a7efdb5625ed6e5f4cc8b91449d1"},
    {"schody.plg", 62, "eab5bb0f16031536f320a775e5b4a563c32b25141970f9fdf660a9507d668954"},
    {"valec3d.plg", 92, "ac5322bf2f08bf4bcee86fba1cee8a584e8058b2b0a67408b3c2f65722de54ed"},
    {"hodiny.plg", 61, "63cafa118ee378d15db6e370517c02e74f0852f47f9e68d80719fc8cedb2d013"},
    {"zena.plg", 62, "50ef43f9b478fa339852368e67edfc73a000ea86aeeadcf2b77c5418433bf539"},
    {"end.plg", 55, "b49baeab6a79e2b40a43b95f3bc85b91fa04289f2c3e53055ebaab9b31dea810"},
};

const std::vector<SceneDigest> kWindow = {
    {"tolvek.plg", 28, "6cba788c4bcf0c94a4e06c2038a756558022319729dcab093c5b828068527f4f"},
    {"intro.plg", 62, "7af55b1d4302c01e4afeadd62709a4cbdbc6f3bf6fc21dbc9eda8e2b05aa1c25"},
    {"komin3d.plg", 92, "75e5d88431e40b9ae1d34eecf7446fecfe75a5d0f9b1235310f496a6e71916c3"},
    {"schody.plg", 62, "cf5aadc27628f084933a7813024c7b77132915198cc5dae1fe4274fa1bc40010"},
    {"valec3d.plg", 92, "b95f2b2fe1e09fd22f09da6f848fb9cab570e172f6bff98ad077385e75085ed1"},
    {"hodiny.plg", 61, "6c7a4e5ad01de6abeb16b5d2a3ba2117cd9ebf9834e3a6d0c587150858a1b45e"},
    {"zena.plg", 62, "249961bb17ef57dce3eb2032cf0e6169fe817b8b350e2fafae65749fe2c29c45"},
    {"end.plg", 55, "4d098e76586974bcbef62c4faf2cb6d119a83e19a8ccb5331b055854439729ff"},
};

TEST(ShowFrames, ScreenLayoutIsUnchanged) { expectDigests(false, kScreen); }
TEST(ShowFrames, WindowLayoutIsUnchanged) { expectDigests(true, kWindow); }

}  // namespace
