// Music layer (beat table, heard position, outputs, failures) and the
// terminal side of the message boxes.
#include "runtime/runtime.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A tiny XM with a known tempo: `orders` orders of one 64-row, one-channel
// pattern whose first row strikes a 16-byte square-wave sample.
std::vector<uint8_t> makeXm(int speed, int tempo, int orders) {
  std::vector<uint8_t> b;
  auto put = [&b](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> 8 * i));
  };
  const std::string id = "Extended Module: ";
  b.assign(id.begin(), id.end());
  b.resize(37, 0);  // song name
  b.push_back(0x1a);
  b.resize(58, 0);  // tracker name
  put(0x0104, 2);
  put(276, 4);  // header size: 20 bytes of fields + the order table
  // orders, restart, channels, patterns, instruments, linear periods, speed, tempo
  for (int v : {orders, 0, 1, 1, 1, 1, speed, tempo}) put(static_cast<uint32_t>(v), 2);
  b.resize(b.size() + 256, 0);  // every order plays pattern 0
  put(9, 4);  // pattern header: length, packing, rows, packed size
  put(0, 1);
  put(64, 2);
  put(3 + 63, 2);
  b.insert(b.end(), {0x83, 49, 1});  // C-4, instrument 1
  b.resize(b.size() + 63, 0x80);     // empty cells
  const std::size_t inst = b.size();
  put(263, 4);
  b.resize(inst + 27, 0);
  put(1, 2);   // one sample
  put(40, 4);  // sample header size
  b.resize(inst + 263, 0);
  put(16, 4);                    // length
  b.resize(b.size() + 8, 0);     // no loop
  put(48, 1);                    // volume
  b.resize(b.size() + 27, 0);    // finetune, type, pan, relative note, name
  b.insert(b.end(), {40, 0, 0, 0, 0, 0, 0, 0, 0xb0, 0, 0, 0, 0, 0, 0, 0});  // delta coded
  return b;
}

struct TempFile {
  std::string path;
  TempFile(const std::string& name, const std::vector<uint8_t>& bytes)
      : path(::testing::TempDir() + "music_test_" + std::to_string(getpid()) + "_" + name) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
  }
  ~TempFile() { std::remove(path.c_str()); }
};

int songRow(MusPosition p) { return p.order * 64 + p.row; }

struct MusicFixture : ::testing::Test {
  void TearDown() override {
    mus_Free();
    mus_SetOutput(MusOutput::Device);
  }
};

TEST(MusBeat, TableByOrder) {
  const std::set<int> full = {7, 8, 19, 20, 39, 40, 55, 56}, late = {20, 39, 40, 55, 56},
                      early = {7, 8, 19, 20}, gap = {7, 8, 19, 20, 56}, none;
  for (int order = 0; order < 32; ++order) {
    const std::set<int>* rows = order < 4 || order > 27 ? &none : &full;
    switch (order) {
      case 9: case 19: rows = &none; break;
      case 8: case 18: case 21: rows = &late; break;
      case 13: case 23: case 27: rows = &early; break;
      case 17: rows = &gap; break;
    }
    for (int row = -2; row < 70; ++row) {
      EXPECT_EQ(mus_BeatAt(order, row), rows->count(row) ? 1 : 0) << "order " << order << " row " << row;
    }
  }
}

// Manual output, speed 6 / tempo 125: a tick is 44100 * 2.5 / 125 = 882
// frames and a row six ticks, so the row of every frame is known.
TEST_F(MusicFixture, ManualPositionFollowsTheRows) {
  constexpr int kOrders = 4, kRowFrames = 6 * 882;
  TempFile xm("manual.xm", makeXm(6, 125, kOrders));
  mus_SetOutput(MusOutput::Manual);
  ASSERT_EQ(mus_Load(xm.path.c_str()), 1);
  EXPECT_EQ(mus_LatencySeconds(), 0.0);
  std::vector<int16_t> buf(2 * kRowFrames);
  EXPECT_EQ(mus_Render(buf.data(), 100), 0) << "loaded is not playing";
  ASSERT_EQ(mus_Play(), 1);

  // Odd sizes cut through chunk, tick and row boundaries in every phase; the
  // heard row is the row of the last frame rendered, exactly.
  const int sizes[] = {1, 7, 128, 129, 1, 300, 1000, 2, 255};
  std::set<int> seen;
  long rendered = 0;
  for (int call = 0, got = 1; got > 0; ++call) {
    got = mus_Render(buf.data(), sizes[call % 9]);
    rendered += got;
    ASSERT_LT(rendered, 2L * kOrders * 64 * kRowFrames) << "the module never ended";
    ASSERT_EQ(songRow(mus_Position()), (rendered - 1) / kRowFrames) << "after " << rendered << " frames";
    ASSERT_EQ(mus_Order(), (rendered - 1) / kRowFrames / 64);
    seen.insert(songRow(mus_Position()));
  }
  EXPECT_EQ(rendered, 1L * kOrders * 64 * kRowFrames) << "silence starts at the song's end";
  EXPECT_EQ(seen.size(), 64u * kOrders);

  ASSERT_EQ(mus_Play(), 1);  // plays again from order 0
  EXPECT_EQ(songRow(mus_Position()), 0);
  EXPECT_EQ(mus_Render(buf.data(), kRowFrames), kRowFrames);
  EXPECT_EQ(mus_Render(buf.data(), 1), 1);
  EXPECT_EQ(songRow(mus_Position()), 1);
}

// The show's own module: the timeline needs every order up to the end
// marker, heard one after the other.
TEST_F(MusicFixture, ShowModuleReachesTheEndMarkerInSequence) {
  const std::string path = VELMORIN_SHOW_DIR "/velmorin.xm";
  // The test target depends on the show, so the module is always there.
  ASSERT_EQ(access(path.c_str(), R_OK), 0) << "missing: " << path;
  mus_SetOutput(MusOutput::Manual);
  ASSERT_EQ(mus_Load(path.c_str()), 1);
  ASSERT_EQ(mus_Play(), 1);
  std::vector<int16_t> buf(2 * 4096);  // less than a row at any usual speed
  MusPosition last;
  for (long rendered = 0, got; (got = mus_Render(buf.data(), 4096)) > 0; rendered += got) {
    ASSERT_LT(rendered, 600L * kMusRate) << "the module never ended";
    const MusPosition p = mus_Position();
    ASSERT_TRUE(p.order == last.order ? p.row >= last.row : p.order == last.order + 1)
        << last.order << "/" << last.row << " to " << p.order << "/" << p.row;
    last = p;
  }
  EXPECT_GE(last.order, kEndMarkerOrder);
}

// Timed outputs at speed 1 / tempo 250, where a row is one 441-frame tick
// (10 ms).  Nothing is heard before mus_Play, so the position may lag the
// clock (scheduling, the first callback) but never lead it; and the speakers
// never skip a row, while a position taken from the render side jumps a whole
// buffer (2.3 rows) at every callback.
TEST_F(MusicFixture, TimedOutputsFollowTheClock) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  TempFile xm("timed.xm", makeXm(1, 250, 8));
  for (MusOutput out : {MusOutput::Null, MusOutput::Device}) {
    SCOPED_TRACE(out == MusOutput::Null ? "null output" : "device output");
    mus_SetOutput(out);
    ASSERT_EQ(mus_Load(xm.path.c_str()), 1);
    const double startLag = out == MusOutput::Device ? mus_LatencySeconds() : 0.0;
    EXPECT_LE(startLag, 0.1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(songRow(mus_Position()), 0) << "loaded is not playing";

    const auto before = Clock::now();
    ASSERT_EQ(mus_Play(), 1);
    const auto after = Clock::now();
    auto since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
    int last = 0, changes = 0;
    for (double lastLook = 0; since(before) < 0.3;) {
      const double earliest = since(after) - startLag - 0.050;
      const int row = songRow(mus_Position());
      const double latest = since(before) + 0.005;
      EXPECT_GE((row + 1) * 441.0 / kMusRate, earliest) << "row " << row;
      EXPECT_LE((row * 441.0 - 128) / kMusRate, latest) << "row " << row;  // a tag leads by a chunk
      EXPECT_GE(row, last);
      if (latest - lastLook < 0.002) {
        EXPECT_LE(row - last, 1) << "skipped rows in under 2 ms";
      }
      changes += row != last;
      last = row;
      lastLook = latest;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    EXPECT_GE(changes, 20);
    // Closing from another thread while this one polls must not hang.
    std::thread closer([] { mus_Free(); });
    for (int i = 0; i < 1000; ++i) mus_Beat();
    closer.join();
    EXPECT_EQ(mus_Free(), 1);
    EXPECT_EQ(songRow(mus_Position()), 0);
  }
}

// Failures show the error (here on stderr: no display) and exit with the
// start-up failure code.
void loadWithoutDisplay(MusOutput out, const std::string& file, const char* driver = "dummy") {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  setenv("SDL_AUDIODRIVER", driver, 1);
  mus_SetOutput(out);
  mus_Load(file.c_str());
}

TEST(MusFailure, ExitsWithAnErrorMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(loadWithoutDisplay(MusOutput::Manual, ::testing::TempDir() + "no_such.xm"),
              ::testing::ExitedWithCode(kExitStartup), "Error: Can't play .*no_such.xm!");
  const std::string text = "this is a text file, not a module\n";
  TempFile garbage("garbage.xm", std::vector<uint8_t>(text.begin(), text.end()));
  EXPECT_EXIT(loadWithoutDisplay(MusOutput::Device, garbage.path), ::testing::ExitedWithCode(kExitStartup),
              "Error: Can't play .*garbage.xm!");
  TempFile xm("ok.xm", makeXm(6, 125, 1));
  EXPECT_EXIT(loadWithoutDisplay(MusOutput::Device, xm.path, "no_such_driver"),
              ::testing::ExitedWithCode(kExitStartup), "Error: Can't initialize sound device!");
}

// msg_Ask without a display, in a child whose stdin is a pseudo-terminal
// (or a pipe) already holding the typed input; returns exit code and stderr.
std::pair<int, std::string> askWithoutDisplay(const std::string& input, bool terminal) {
  int in[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe(err) != 0) return {-1, ""};
  if (terminal) {
    in[1] = posix_openpt(O_RDWR | O_NOCTTY);
    if (in[1] < 0 || grantpt(in[1]) != 0 || unlockpt(in[1]) != 0) return {-1, ""};
    in[0] = open(ptsname(in[1]), O_RDWR | O_NOCTTY);
  } else if (pipe(in) != 0) {
    return {-1, ""};
  }
  if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) return {-1, ""};
  const pid_t pid = fork();
  if (pid == 0) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    dup2(in[0], 0);
    dup2(err[1], 2);
    if (!terminal) close(in[1]);  // the pipe must reach end of input
    _exit(msg_Ask("Fullscreen?\n", "Fullscreen") ? 1 : 0);
  }
  close(in[0]);
  close(err[1]);
  if (!terminal) close(in[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
  int status = 0;
  waitpid(pid, &status, 0);
  close(err[0]);
  if (terminal) close(in[1]);  // only now: a hang-up would end the child's input
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TEST(MsgBox, AskFallsBackToTheTerminal) {
  struct {
    const char* input;
    bool terminal;
    int answer;  // exit code: 1 Yes, 0 No
    int prompts;
  } const cases[] = {
      {"y\n", true, 1, 1},          {"  Yes \n", true, 1, 1}, {"n\n", true, 0, 1},
      {"maybe\n\nNO\n", true, 0, 3}, {"sure\ny\n", true, 1, 2}, {"\x04", true, 0, 1},  // ^D: end of input
      {"y\n", false, 0, 0},  // not a terminal: No without reading
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "input \"" << c.input << "\" terminal " << c.terminal);
    const auto [code, err] = askWithoutDisplay(c.input, c.terminal);
    EXPECT_EQ(code, c.answer);
    EXPECT_EQ(err.rfind("Fullscreen?\n", 0), 0u) << err;
    int prompts = 0;
    for (std::size_t at = 0; (at = err.find("[y/n]", at)) != std::string::npos; ++at) ++prompts;
    EXPECT_EQ(prompts, c.prompts) << err;
  }
}

}  // namespace
