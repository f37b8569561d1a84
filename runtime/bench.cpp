// --bench: the capture's frame loop without outputs, timed frame by frame
// in the thread's CPU time, over several passes of the show.
// What it prints is the renderer's cost per scene: the drawing of each frame
// into the display's memory, not the music mixed to keep the timeline's
// position nor the bookkeeping around it.
#include "runtime/runtime.h"

#include "runtime/capture_private.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

double cap_ThreadMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

FrameStats cap_FrameStats(std::vector<float> ms) {
  FrameStats s;
  s.frames = int64_t(ms.size());
  if (ms.empty()) return s;
  double total = 0;
  for (float m : ms) total += m;
  s.mean = total / double(ms.size());
  // The 99th percentile is the smallest time that at least 99 in 100
  // frames stay within (nearest rank): of 50 frames, the worst; of 1000,
  // the 990th.
  const size_t rank = size_t(std::ceil(0.99 * double(ms.size())));
  std::nth_element(ms.begin(), ms.begin() + (rank - 1), ms.end());
  s.p99 = ms[rank - 1];
  s.worst = *std::max_element(ms.begin() + (rank - 1), ms.end());
  return s;
}

bool cap_KeepFastest(std::vector<float>& fastest, const std::vector<float>& pass) {
  const bool same = fastest.size() == pass.size();
  const size_t common = std::min(fastest.size(), pass.size());
  for (size_t i = 0; i < common; ++i) fastest[i] = std::min(fastest[i], pass[i]);
  fastest.insert(fastest.end(), pass.begin() + ptrdiff_t(common), pass.end());
  return same;
}

void cap_PrintBench(std::FILE* out, const std::vector<float> (&ms)[kSceneCount], int64_t drawn,
                    double wallSeconds) {
  std::fprintf(out, "scene       frames  mean ms   p99 ms   max ms\n");
  int64_t frames = 0;
  double drawing = 0;
  for (int i = 0; i < kSceneCount; ++i) {
    if (ms[i].empty()) continue;
    const FrameStats s = cap_FrameStats(ms[i]);
    std::fprintf(out, "%-10s %7lld %8.3f %8.3f %8.3f\n", kSceneSections[i], (long long)s.frames, s.mean, s.p99,
                 s.worst);
    frames += s.frames;
    drawing += s.mean * double(s.frames);
  }
  // Two rates: the renderer alone, and the whole run with the music mixed
  // in step and the timeline's own work.
  std::fprintf(out, "show       %7lld frames: %.0f fps drawing, %.0f fps in all\n", (long long)frames,
               drawing > 0 ? double(frames) * 1000 / drawing : 0.0,
               wallSeconds > 0 ? double(drawn) / wallSeconds : 0.0);
}

bool cap_SendTimes(int fd, const std::vector<float> (&ms)[kSceneCount]) {
  std::string bytes;
  for (const std::vector<float>& scene : ms) {
    const uint32_t n = uint32_t(scene.size());
    bytes.append(reinterpret_cast<const char*>(&n), sizeof n);
    if (n) bytes.append(reinterpret_cast<const char*>(scene.data()), scene.size() * sizeof(float));
  }
  return writeAll(fd, bytes.data(), bytes.size()) == bytes.size();
}

bool cap_TakeTimes(const std::string& bytes, std::vector<float> (&ms)[kSceneCount]) {
  size_t at = 0;
  for (std::vector<float>& scene : ms) {
    uint32_t n = 0;
    if (bytes.size() - at < sizeof n) return false;
    std::memcpy(&n, bytes.data() + at, sizeof n);
    at += sizeof n;
    if ((bytes.size() - at) / sizeof(float) < n) return false;
    scene.resize(n);
    if (n) std::memcpy(scene.data(), bytes.data() + at, size_t(n) * sizeof(float));
    at += size_t(n) * sizeof(float);
  }
  return at == bytes.size();
}

namespace {

// Runs pass `pass` in a child process; its times in `ms`.  Returns the exit
// code: the child's, or 128 + the signal that ended it or this process.
int runPass(const CaptureOptions& options, int pass, std::vector<float> (&ms)[kSceneCount]) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "velmorin: cannot start a pass: %s\n", std::strerror(errno));
    return kExitStartup;
  }
  std::fflush(nullptr);  // nothing buffered may be written twice
  const pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "velmorin: cannot start a pass: %s\n", std::strerror(errno));
    close(fds[0]);
    close(fds[1]);
    return kExitStartup;
  }
  if (pid == 0) {
    close(fds[0]);
    CaptureOptions one = options;
    one.pass = pass;
    one.timesFd = fds[1];
    const int code = cap_Run(one);
    std::fflush(nullptr);
    _exit(code);
  }
  close(fds[1]);
  std::string bytes;
  char buffer[1 << 16];
  int waited = 0;
  bool passedOn = false;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready > 0) {
      const ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n > 0) bytes.append(buffer, size_t(n));
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    } else if (ready < 0 && errno != EINTR) {
      break;
    }
    // Ctrl-C reaches the child as well, and it stops the pass the usual way;
    // a signal sent to this process alone is passed on after a moment.
    if (sig_Pending() && !passedOn && ++waited >= 3) {
      kill(pid, sig_Pending());
      passedOn = true;
    }
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : kExitStartup;
  if (sig_Pending()) {  // the child said so when it stopped early
    if (code == 0) std::fprintf(stderr, "velmorin: interrupted after pass %d\n", pass);
    return 128 + sig_Pending();
  }
  if (code == 0 && !cap_TakeTimes(bytes, ms)) {
    std::fprintf(stderr, "velmorin: pass %d sent no frame times\n", pass);
    return kExitStartup;
  }
  return code;
}

}  // namespace

int cap_BenchPasses(const CaptureOptions& options) {
  // Each pass starts as the program does, with nothing built or filled in
  // yet, so a cost the show pays once counts in every pass alike.
  sig_Install();
  sig_Defer(true);
  const auto started = std::chrono::steady_clock::now();
  std::vector<float> fastest[kSceneCount];
  int64_t drawn = 0;
  int code = 0;
  for (int pass = 1; pass <= options.passes; ++pass) {
    if (sig_Pending()) {  // between two passes: the next one is not started
      code = 128 + sig_Pending();
      break;
    }
    std::vector<float> ms[kSceneCount];
    code = runPass(options, pass, ms);
    if (code != 0) break;
    for (int i = 0; i < kSceneCount; ++i) {
      drawn += int64_t(ms[i].size());
      const size_t before = fastest[i].size();
      if (pass == 1) fastest[i] = std::move(ms[i]);
      else if (!cap_KeepFastest(fastest[i], ms[i]))
        std::fprintf(stderr, "velmorin: pass %d drew %zu frames of %s, the one before it %zu\n", pass,
                     ms[i].size(), kSceneSections[i], before);
    }
  }
  sig_Defer(false);
  if (code == 0)
    cap_PrintBench(stdout, fastest, drawn,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  return code;
}
