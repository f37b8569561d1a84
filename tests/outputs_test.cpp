// A capture's files when the disk fills: the PNG writer, the WAV and the
// frame log under a small file-size limit, where writes fail with EFBIG.
#include "runtime/capture_private.h"
#include "testutil.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <iterator>

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | uint8_t(s[at + size_t(i)]);
  return v;
}

// A folder of its own and a file-size limit for the length of a test.
struct Outputs : ::testing::Test {
  std::string dir;
  rlimit saved{};
  void (*savedXfsz)(int) = nullptr;

  void SetUp() override {
    char name[] = "/tmp/velmorin-outputs-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir = name;
    getrlimit(RLIMIT_FSIZE, &saved);
    savedXfsz = std::signal(SIGXFSZ, SIG_IGN);
  }
  void TearDown() override {
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedXfsz);
    std::system(("rm -rf '" + dir + "'").c_str());
  }
  void limit(rlim_t bytes) {
    rlimit l = saved;
    l.rlim_cur = bytes;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &l), 0);
  }
};

TEST_F(Outputs, WavHeaderGivesTheWholeFramesOnDisk) {
  std::vector<int16_t> samples(2 * 1000);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(i * 7);
  // Room for the header, 250 frames and half of one more.
  limit(44 + 250 * 4 + 2);
  const std::string path = dir + "/audio.wav";
  WavWriter wav;
  ASSERT_TRUE(wav.open(path));
  EXPECT_TRUE(wav.write(samples.data(), 100));
  errno = 0;
  EXPECT_FALSE(wav.write(samples.data() + 200, 900));
  EXPECT_EQ(errno, EFBIG);
  EXPECT_TRUE(wav.close());
  const std::string file = readFile(path);
  ASSERT_EQ(file.size(), 44u + 250u * 4u);
  EXPECT_EQ(file.substr(0, 4), "RIFF");
  EXPECT_EQ(le32(file, 4), file.size() - 8);
  EXPECT_EQ(file.substr(36, 4), "data");
  EXPECT_EQ(le32(file, 40), 250u * 4u);
  // The frames on disk are the ones written, in order.
  EXPECT_EQ(file.compare(44, 400, reinterpret_cast<const char*>(samples.data()), 400), 0);
  EXPECT_EQ(file.compare(444, 600, reinterpret_cast<const char*>(samples.data() + 200), 600), 0);
}

TEST_F(Outputs, LogKeepsOnlyWholeLines) {
  limit(30);
  const std::string path = dir + "/frames.tsv";
  LineLog log;
  ASSERT_TRUE(log.open(path));
  EXPECT_TRUE(log.append("frame\tseconds\n"));  // 14 bytes
  EXPECT_TRUE(log.append("0\t0.0000\n"));       // 23
  errno = 0;
  EXPECT_FALSE(log.append("1\t0.1000\n"));  // would end at 32
  EXPECT_EQ(errno, EFBIG);
  EXPECT_TRUE(log.close());
  EXPECT_EQ(readFile(path), "frame\tseconds\n0\t0.0000\n");
}

TEST_F(Outputs, PngIsWholeOrAbsent) {
  // Noise does not compress: far beyond the limit.
  std::vector<uint8_t> grey(320 * 240);
  uint32_t x = 1;
  for (uint8_t& g : grey) g = uint8_t((x = x * 1664525u + 1013904223u) >> 24);
  const std::string small = dir + "/small.png", big = dir + "/big.png";
  limit(16384);
  EXPECT_TRUE(img_WritePng(small.c_str(), grey.data(), 16, 16));
  errno = 0;
  EXPECT_FALSE(img_WritePng(big.c_str(), grey.data(), 320, 240));
  EXPECT_EQ(errno, EFBIG);
  EXPECT_NE(access(big.c_str(), F_OK), 0);
  EXPECT_NE(access((big + ".part").c_str(), F_OK), 0) << "the part is left behind";
  EXPECT_EQ(readFile(small).substr(readFile(small).size() - 8, 4), "IEND");
  // A folder that is not there: the reason is the system's.
  errno = 0;
  EXPECT_FALSE(img_WritePng((dir + "/none/x.png").c_str(), grey.data(), 16, 16));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
