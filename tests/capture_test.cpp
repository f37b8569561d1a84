// Offline capture of the default show: repeatable to the byte, seekable, and
// with frames and sound in step.
#include "frames.h"
#include "testutil.h"

#include <libopenmpt/libopenmpt.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The presented band of a full-screen frame, rows 90..389.
bool bandIsWhite(const Grey& g) {
  for (int y = 90; y < 390; ++y)
    for (int x = 0; x < 640; ++x)
      if (g.at(x, y) != 255) return false;
  return true;
}

double bandMean(const Grey& g) {
  double sum = 0;
  for (int y = 90; y < 390; ++y)
    for (int x = 0; x < 640; ++x) sum += g.at(x, y);
  return sum / (640.0 * 300);
}

struct Capture : ::testing::Test {
  std::string cwd;
  std::vector<std::string> dirs;

  void SetUp() override {
    char buf[4096];
    cwd = getcwd(buf, sizeof buf) ? buf : ".";
    ASSERT_EQ(chdir(VELMORIN_SHOW_DIR), 0);
    plg_SetFile("velmorin.plg");
  }
  void TearDown() override {
    for (const std::string& d : dirs) std::system(("rm -rf '" + d + "'").c_str());
    ASSERT_EQ(chdir(cwd.c_str()), 0);
  }
  std::string run(CaptureOptions o) {
    char dir[] = "/tmp/velmorin-capture-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    dirs.push_back(dir);
    o.framesDir = dir;
    o.quiet = true;
    EXPECT_EQ(cap_Run(o), 0);
    return dir;
  }
};

TEST_F(Capture, TwoCapturesAreIdenticalToTheByte) {
  CaptureOptions o;
  o.fps = 8;
  o.maxFrames = 24;  // the title's first three seconds, fading in
  o.window = true;
  const std::string a = run(o), b = run(o);
  ASSERT_EQ(countFrames(a), 24);
  ASSERT_EQ(countFrames(b), 24);
  for (int n = 0; n < 24; ++n) EXPECT_EQ(readFile(frameName(a, n)), readFile(frameName(b, n))) << n;
  const std::string wav = readFile(a + "/audio.wav");
  EXPECT_EQ(wav, readFile(b + "/audio.wav"));
  // Three seconds of the title are three seconds of silence, sample-exact.
  ASSERT_EQ(wav.size(), 44u + 3u * 44100u * 4u);
  EXPECT_EQ(wav.find_first_not_of('\0', 44), std::string::npos);
  // The title fades in from black: each frame at least as bright as the last.
  EXPECT_EQ(readPng(frameName(a, 0)).at(10, 10), 0);
  const Grey first = readPng(frameName(a, 0));
  EXPECT_EQ(first.width, 640);
  EXPECT_EQ(first.height, 300);
}

TEST_F(Capture, StartingAtAnOrderOpensItsSceneWithTheFlashAndKeepsTheBarsBlack) {
  CaptureOptions o;
  o.fps = 10;
  o.startOrder = 4;
  o.maxFrames = 12;
  const std::string dir = run(o);
  const Grey f0 = readPng(frameName(dir, 0));
  ASSERT_EQ(f0.width, 640);
  ASSERT_EQ(f0.height, 480);
  // The presented band y=90..389 flashes white; the bars stay black.
  EXPECT_TRUE(bandIsWhite(f0));
  for (int x = 0; x < 640; x += 7) {
    EXPECT_EQ(f0.at(x, 89), 0);
    EXPECT_EQ(f0.at(x, 390), 0);
  }
  // The flash fades within a second: each step darker, then the picture.
  const double half = bandMean(readPng(frameName(dir, 5)));
  const double after = bandMean(readPng(frameName(dir, 11)));
  EXPECT_LT(half, 255);
  EXPECT_LT(after, half);
  // The music starts at once, from order 4.
  const std::string wav = readFile(dir + "/audio.wav");
  EXPECT_NE(wav.find_first_not_of('\0', 44), std::string::npos);
}

// The frame that shows the switch to the next scene is the first whose
// moment lies in the new order of the rendered sound.
TEST_F(Capture, TheSwitchFrameMatchesTheOrderChangeInTheSound) {
  CaptureOptions o;
  o.fps = 10;
  o.startOrder = 3;
  o.maxFrames = 85;  // order 4 begins 7.68 s in
  const std::string dir = run(o);

  int flash = -1;  // the first frame whose band is all white again
  for (int n = 1; n < 85 && flash < 0; ++n)
    if (bandIsWhite(readPng(frameName(dir, n)))) flash = n;
  ASSERT_GT(flash, 0);

  // An independent render of the module from order 3 in 4410-sample steps
  // (one frame at 10 fps): the order heard at the end of each step.
  const std::string xm = readFile("velmorin.xm");
  std::ostringstream quiet;
  openmpt::module mod(std::vector<char>(xm.begin(), xm.end()), quiet,
                      {{"seek.sync_samples", "1"}, {"play.at_end", "stop"}, {"dither", "0"}});
  mod.set_render_param(openmpt::module::RENDER_MASTERGAIN_MILLIBEL, 300);
  mod.set_position_order_row(3, 0);
  std::vector<int16_t> pcm(4410 * 2);
  std::string sound;
  int firstInOrder4 = -1;
  for (int n = 1; n <= 84; ++n) {
    // Samples in 64-frame pieces so the reported order belongs to the last one.
    for (int done = 0; done < 4410;) {
      const int piece = std::min(64, 4410 - done);
      mod.read_interleaved_stereo(44100, size_t(piece), pcm.data() + done * 2);
      done += piece;
    }
    sound.append(reinterpret_cast<const char*>(pcm.data()), pcm.size() * 2);
    if (firstInOrder4 < 0 && mod.get_current_order() == 4) firstInOrder4 = n;
  }
  EXPECT_EQ(flash, firstInOrder4);
  EXPECT_EQ(flash, 77);  // ceil((7.68 s * 44100 + 1) / 4410)
  // And the capture's sound is that render, sample for sample: aligned
  // exactly, equal up to the last bit or two that libopenmpt's mixing
  // rounds differently for other chunk sizes.
  const std::string wav = readFile(dir + "/audio.wav");
  ASSERT_GE(wav.size(), 44 + sound.size());
  const auto* got = reinterpret_cast<const int16_t*>(wav.data() + 44);
  const auto* want = reinterpret_cast<const int16_t*>(sound.data());
  size_t far = 0, exact = 0;
  for (size_t i = 0; i < sound.size() / 2; ++i) {
    far += std::abs(got[i] - want[i]) > 2;
    exact += got[i] == want[i];
  }
  EXPECT_EQ(far, 0u);
  EXPECT_GT(exact, sound.size() / 2 * 9 / 10);
}

// --bench's figures: the 99th percentile is a frame time that was seen
// (nearest rank), and at most one frame in a hundred is slower than it.
TEST(BenchStats, MeanNearestRankPercentileAndWorst) {
  std::vector<float> ms(200, 1.0f);
  ms[17] = 9.0f;  // two slow frames among 200: within the 1 per cent
  ms[150] = 5.0f;
  FrameStats s = cap_FrameStats(ms);
  EXPECT_EQ(s.frames, 200);
  EXPECT_DOUBLE_EQ(s.mean, (198 + 9 + 5) / 200.0);
  EXPECT_EQ(s.p99, 1.0);
  EXPECT_EQ(s.worst, 9.0);
  ms[90] = 7.0f;  // three slow ones are more than 1 per cent
  s = cap_FrameStats(ms);
  EXPECT_EQ(s.p99, 5.0);
  EXPECT_EQ(s.worst, 9.0);
  // Too few frames for a percentile below the worst: the worst.
  s = cap_FrameStats({2.0f, 3.0f, 0.5f});
  EXPECT_EQ(s.p99, 3.0);
  EXPECT_EQ(s.worst, 3.0);
  EXPECT_EQ(cap_FrameStats({}).frames, 0);
}

// A bench of several passes: each pass's times come back through a pipe
// whole, and a frame keeps its fastest time across the passes.
TEST(BenchStats, PassesSendTheirTimesAndAFrameKeepsItsFastest) {
  std::vector<float> sent[kSceneCount], got[kSceneCount];
  sent[1] = {0.5f, 2.5f, 0.25f};
  sent[kSceneCount - 1] = {1.0f};
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_TRUE(cap_SendTimes(fds[1], sent));
  close(fds[1]);
  std::string bytes;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) bytes.append(buffer, size_t(n));
  close(fds[0]);
  ASSERT_TRUE(cap_TakeTimes(bytes, got));
  for (int i = 0; i < kSceneCount; ++i) EXPECT_EQ(got[i], sent[i]) << i;
  // Cut anywhere, or with a byte more, the record is refused.
  for (size_t cut = 0; cut < bytes.size(); ++cut) EXPECT_FALSE(cap_TakeTimes(bytes.substr(0, cut), got)) << cut;
  EXPECT_FALSE(cap_TakeTimes(bytes + '\0', got));
  // A count far beyond the bytes there are.
  std::string huge = bytes;
  huge[4] = '\xff';
  huge[5] = '\xff';
  huge[6] = '\xff';
  EXPECT_FALSE(cap_TakeTimes(huge, got));

  std::vector<float> fastest = {1.0f, 9.0f, 1.0f};
  EXPECT_TRUE(cap_KeepFastest(fastest, {1.5f, 1.25f, 0.75f}));
  EXPECT_EQ(fastest, (std::vector<float>{1.0f, 1.25f, 0.75f}));
  // A pass of another length is reported; every frame seen keeps a time.
  EXPECT_FALSE(cap_KeepFastest(fastest, {0.5f, 2.0f, 2.0f, 3.0f}));
  EXPECT_EQ(fastest, (std::vector<float>{0.5f, 1.25f, 0.75f, 3.0f}));
  EXPECT_FALSE(cap_KeepFastest(fastest, {0.25f}));
  EXPECT_EQ(fastest, (std::vector<float>{0.25f, 1.25f, 0.75f, 3.0f}));
}

}  // namespace
