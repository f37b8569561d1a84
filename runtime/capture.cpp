// Offline capture: the live timeline driven by a virtual clock.  Frame n is
// the show at n/fps seconds; before it is rendered, the module has been
// rendered exactly up to that moment, so switches and flashes land on the
// same frames every time and the audio is sample-exact against the frames.
#include "runtime/runtime.h"

#include "assets/assets.h"
#include "plugins/plugins.h"
#include "runtime/capture_private.h"
#include "script/script.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// What the display would show: an 8-bit screen and the palette it is seen
// through.  Entry 0 outside the presented rectangle stays black.
struct FrameSink final : GfxSink {
  int width, height;
  std::vector<uint8_t> screen;
  uint8_t grey[256] = {};  // palette entry -> 8-bit grey

  FrameSink(int w, int h) : width(w), height(h), screen(size_t(w) * size_t(h), 0) {
    GfxPalette ramp;
    gfx_GreyRamp(ramp);
    setPalette(ramp);
  }
  void setPalette(const GfxPalette& p) override {
    // 6-bit levels widen to 8 bits with the top bits repeated: 63 -> 255.
    for (int i = 0; i < 256; ++i) grey[i] = uint8_t(p[i].r << 2 | p[i].r >> 4);
  }
  void blit(const Image* image, int sx, int sy, int dx, int dy, int w, int h) override {
    Image target{width, height, screen.data(), nullptr};
    img_Blit(image, &target, sx, sy, dx, dy, w, h);
  }
  // The frame as seen: grey levels, row after row.
  void picture(std::vector<uint8_t>& out) const {
    out.resize(screen.size());
    for (size_t i = 0; i < screen.size(); ++i) out[i] = grey[screen[i]];
  }
};

const char kNoFfmpeg[] =
    "--capture needs ffmpeg on PATH (Debian package 'ffmpeg': apt-get install ffmpeg); "
    "--frames DIR writes PNG frames and audio.wav without it";

std::string cannotWrite(const std::string& path, int error) {
  return "cannot write " + path + ": " + std::strerror(error);
}

bool onPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Capture;

// What the virtual clock and the timeline's callbacks, plain functions all,
// reach of the capture under way.
struct CaptureState {
  double virtualNow = 0;  // the show time of the frame being made
  Capture* run = nullptr;
};
CaptureState CAP;

double virtualClock() { return CAP.virtualNow; }

struct Capture {
  const CaptureOptions& opt;
  SceneSet scenes;
  FrameSink sink;
  WavWriter wav;
  std::string wavPath;
  FILE* video = nullptr;  // ffmpeg's standard input
  std::string videoPart;  // what ffmpeg writes
  LineLog log;            // frames.tsv beside the frames: what each one shows
  std::string logPath;
  std::vector<uint8_t> picture;
  std::vector<uint8_t> enlarged;  // the picture at --scale, when above 1
  std::vector<int16_t> audio;
  std::string failure;  // the first failure, said at the end; stops the capture
  int64_t frame = 0;
  int64_t audioFrames = 0;  // written to the WAV
  bool playing = false;
  double expectedFrames = 0;  // of what is being captured
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  double lastReport = -1;
  bool tty = isatty(2);
  // Time spent drawing each scene's frames, for the summary that tells an
  // author which scene is the slow one.
  struct SceneTime {
    int64_t frames = 0;
    double total = 0, worst = 0;
  } sceneTimes[kSceneCount];
  std::vector<float> benchTimes[kSceneCount];  // --bench: every frame's time

  Capture(const CaptureOptions& o) : opt(o), sink(640, o.window ? 300 : 480) {}

  double now() const { return double(frame) / opt.fps; }
  bool failed() const { return !failure.empty(); }
  void fail(const std::string& why) {
    if (failure.empty()) failure = why;
  }

  // Renders the module (or the title's silence) up to the current frame.
  void advanceAudio() {
    const int64_t target = (frame * kMusRate + opt.fps / 2) / opt.fps;
    const int count = int(target - audioFrames);
    if (count <= 0) return;
    audio.assign(size_t(count) * 2, 0);
    if (playing) mus_Render(audio.data(), count);  // past the end: silence
    if (wav.fd >= 0 && !wav.write(audio.data(), count)) fail(cannotWrite(wavPath, errno));
    audioFrames = target;
  }

  void render(int scene) {
    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = opt.bench ? cap_ThreadMs() : 0;
    scenes.outputs[scene]->stream(256, 256);
    if (opt.bench) benchTimes[scene].push_back(float(cap_ThreadMs() - cpu0));
    else sink.picture(picture);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    SceneTime& t = sceneTimes[scene];
    ++t.frames;
    t.total += ms;
    t.worst = std::max(t.worst, ms);
    emit(scene);
  }

  void sceneSummary() const {
    if (opt.quiet) return;
    std::fprintf(stderr, "scene       frames  mean ms  max ms\n");
    for (int i = 0; i < kSceneCount; ++i) {
      const SceneTime& t = sceneTimes[i];
      if (t.frames)
        std::fprintf(stderr, "%-10s %7lld %8.2f %7.2f\n", kSceneSections[i], (long long)t.frames,
                     t.total / double(t.frames), t.worst);
    }
  }

  // The final fade stops one step short of black; the display then closes.
  // A capture shows that as one black frame at the end.
  void closingFrame(int scene) {
    picture.assign(picture.size(), 0);
    TML.fade = -256;
    emit(scene);
  }

  int outWidth() const { return sink.width * opt.scale; }
  int outHeight() const { return sink.height * opt.scale; }

  void emit(int scene) {
    if (failed()) return;
    const std::vector<uint8_t>* out = &picture;
    if (opt.scale > 1) {
      enlarged.resize(size_t(outWidth()) * size_t(outHeight()));
      gfx_Enlarge(picture.data(), size_t(sink.width), sink.width, sink.height, opt.scale, enlarged.data(),
                  size_t(outWidth()));
      out = &enlarged;
    }
    if (!opt.framesDir.empty()) {
      // A frame counts once its picture and its row are both on disk; the
      // sound written so far ends where it does.
      char name[32];
      std::snprintf(name, sizeof name, "/frame_%06lld.png", (long long)frame);
      const std::string path = opt.framesDir + name;
      if (!img_WritePng(path.c_str(), out->data(), outWidth(), outHeight())) {
        fail(cannotWrite(path, errno));
        return;
      }
      const MusPosition p = mus_Position();
      char row[128];
      std::snprintf(row, sizeof row, "%lld\t%.4f\t%d\t%d\t%s\t%d\n", (long long)frame, now(),
                    playing ? p.order : -1, playing ? p.row : -1, kSceneSections[scene], TML.fade);
      if (!log.append(row)) {
        fail(cannotWrite(logPath, errno));
        std::remove(path.c_str());
        return;
      }
    }
    if (video && std::fwrite(out->data(), 1, out->size(), video) != out->size()) {
      fail("ffmpeg stopped taking pictures for " + videoPart + " (its reason is above)");
      return;
    }
    ++frame;
    CAP.virtualNow = now();
    advanceAudio();
    progress(false);
  }

  void progress(bool last) {
    if (opt.quiet) return;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // A terminal gets the line in place several times a second; a log gets a
    // line every ten seconds of work.
    if (!last && wall - lastReport < (tty ? 0.25 : 10)) return;
    lastReport = wall;
    const MusPosition p = mus_Position();
    const double fps = wall > 0 ? double(frame) / wall : 0;
    const double done = std::min(double(frame) / std::max(expectedFrames, 1.0), 1.0);
    // A pass of a bench counts the passes still to come as well.
    const int later = opt.pass > 0 ? std::max(opt.passes - opt.pass, 0) : 0;
    const double left = fps > 0 ? (expectedFrames * (1 + later) - double(frame)) / fps : 0;
    char which[32] = "";
    if (opt.pass > 0) std::snprintf(which, sizeof which, "pass %d/%d  ", opt.pass, opt.passes);
    std::fprintf(stderr, "%s%sframe %lld  %02d:%02d  %3.0f%%  %.1f fps  %.0f s left%s", tty ? "\r" : "", which,
                 (long long)frame, playing ? p.order : 0, playing ? p.row : 0, done * 100, fps,
                 std::max(left, 0.0), tty && !last ? "  " : "\n");
    std::fflush(stderr);
  }
};

TimelineIO captureIO() {
  TimelineIO io;
  io.now = [](void*) { return tmr_Seconds(); };
  io.escape = [](void*) { return sig_Pending() != 0 || CAP.run->failed() ||
                                 (CAP.run->opt.maxFrames >= 0 && CAP.run->frame >= CAP.run->opt.maxFrames); };
  io.order = [](void*) { return mus_Order(); };
  io.beat = [](void*) { return mus_Beat(); };
  io.play = [](void*, int order) {
    mus_PlayAt(order);
    CAP.run->playing = true;
  };
  io.render = [](void*, int scene) { CAP.run->render(scene); };
  io.sceneSwitch = shw_SceneSwitch;
  io.startOrder = CAP.run->opt.startOrder;
  return io;
}

// Opens what the capture writes; false with c.failure set.
bool openOutputs(Capture& c) {
  const CaptureOptions& o = c.opt;
  if (!o.video.empty()) {
    // The video's own name first, so a folder that cannot be written is
    // named as the user gave it; ffmpeg replaces the empty file at the end.
    const int probe = open(o.video.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (probe < 0) {
      c.fail(cannotWrite(o.video, errno));
      return false;
    }
    close(probe);
    // Pictures go to ffmpeg as they are made; the sound is joined in a
    // second, copying step once the WAV is complete.
    const size_t dot = o.video.find_last_of('.');
    const std::string ext = dot == std::string::npos || o.video.find('/', dot) != std::string::npos
                                ? ".mp4" : o.video.substr(dot);
    c.videoPart = o.video + ".part" + ext;
    c.wavPath = o.video + ".part.wav";
    const std::string cmd = "ffmpeg -y -loglevel error -f rawvideo -pix_fmt gray -s " +
                            std::to_string(c.outWidth()) + "x" + std::to_string(c.outHeight()) + " -r " +
                            std::to_string(o.fps) + " -i - -pix_fmt yuv420p " + quoted(c.videoPart);
    c.video = popen(cmd.c_str(), "w");
    if (!c.video) {
      c.fail(std::string("cannot start ffmpeg: ") + std::strerror(errno));
      return false;
    }
  } else {
    if (mkdir(o.framesDir.c_str(), 0777) != 0 && errno != EEXIST) {
      c.fail(cannotWrite(o.framesDir, errno));
      return false;
    }
    c.wavPath = o.framesDir + "/audio.wav";
    c.logPath = o.framesDir + "/frames.tsv";
    if (!c.log.open(c.logPath) || !c.log.append("frame\tseconds\torder\trow\tscene\tfade\n")) {
      c.fail(cannotWrite(c.logPath, errno));
      return false;
    }
  }
  if (!c.wav.open(c.wavPath)) {
    c.fail(cannotWrite(c.wavPath, errno));
    return false;
  }
  return true;
}

// Closes ffmpeg's input and joins pictures and sound into the video.  What
// was captured before a failure or a signal is joined too; when that fails
// as well, the parts stay for the user.
void finishVideo(Capture& c, bool interrupted) {
  const std::string& out = c.opt.video;
  const int status = pclose(c.video);
  c.video = nullptr;
  // A signal from the terminal reaches ffmpeg as well, which then ends early.
  if (status != 0 && !interrupted) c.fail("ffmpeg could not finish " + c.videoPart + " (its reason is above)");
  const std::string mux = "ffmpeg -y -loglevel error -i " + quoted(c.videoPart) + " -i " + quoted(c.wavPath) +
                          " -c:v copy -shortest " + quoted(out);
  if (c.frame > 0 && std::system(mux.c_str()) == 0) {
    std::remove(c.videoPart.c_str());
    std::remove(c.wavPath.c_str());
    return;
  }
  std::remove(out.c_str());
  if (c.frame == 0) {
    std::remove(c.videoPart.c_str());
    std::remove(c.wavPath.c_str());
    return;
  }
  c.fail("cannot write " + out + " (ffmpeg's reason is above)");
  std::fprintf(stderr, "velmorin: the pictures captured are in %s, the sound in %s\n", c.videoPart.c_str(),
               c.wavPath.c_str());
}

}  // namespace

int cap_Run(const CaptureOptions& options) {
  if (options.bench && options.passes > 1 && options.timesFd < 0) return cap_BenchPasses(options);
  CaptureOptions o = options;
  o.fps = std::clamp(o.fps, 1, 1000);
  o.scale = std::clamp(o.scale, 1, 16);
  if (!o.video.empty() && !onPath("ffmpeg")) {  // say so before any work
    std::fprintf(stderr, "velmorin: %s\n", kNoFfmpeg);
    return kExitStartup;
  }
  img_InitHeadless();
  sig_Install();  // over Allegro's handlers
  if (!dat_Open("velmorin.dat")) {
    std::fprintf(stderr, "velmorin: Can't load velmorin.dat!\n");
    return kExitStartup;
  }
  mus_SetOutput(MusOutput::Manual);
  mus_Load("velmorin.xm");
  if (!mus_StartOrderFits(o.startOrder)) {
    mus_Free();
    return kExitUsage;
  }

  Capture c(o);
  CAP.run = &c;
  CAP.virtualNow = 0;
  // The warm-up renders at the show clock: from zero, as in a fresh process,
  // not where an earlier capture's timeline left it.
  TML = TimelineState{};
  tmr_SetSource(virtualClock);
  gfx_Attach(&c.sink, o.window ? GfxMode::Windowed : GfxMode::Fullscreen);
  shw_Build(c.scenes);

  // A full disk or a file-size limit must fail a write, not end the
  // program; and so must an ffmpeg that has gone.
  auto previousXfsz = std::signal(SIGXFSZ, SIG_IGN);
  auto previousPipe = std::signal(SIGPIPE, SIG_IGN);
  sig_Defer(true);
  if (o.bench || openOutputs(c)) {
    // The length to expect, for the progress line: title, music up to the
    // end marker, final fade; or the duration asked for.
    const int from = std::max(o.startOrder, 0);
    const double seconds = (o.startOrder < 0 ? 10 + 255.0 / 64 : 0) + mus_TimeAtOrder(kEndMarkerOrder) -
                           mus_TimeAtOrder(from) + 255.0 / 64;
    c.expectedFrames = seconds * o.fps;
    if (o.maxFrames >= 0) c.expectedFrames = std::min(c.expectedFrames, double(o.maxFrames));
    if (tml_Run(captureIO()) == TimelineEnd::Finished && !c.picture.empty()) c.closingFrame(kSceneCount - 1);
    c.progress(true);
    if (o.bench && o.timesFd >= 0) {
      if (!cap_SendTimes(o.timesFd, c.benchTimes)) c.fail(std::string("cannot send the frame times: ") +
                                                           std::strerror(errno));
    } else if (o.bench) {
      cap_PrintBench(stdout, c.benchTimes, c.frame,
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - c.started).count());
    } else {
      c.sceneSummary();
    }
  }
  const bool interrupted = sig_Pending() != 0;

  if (c.wav.fd >= 0 && !c.wav.close()) c.fail(cannotWrite(c.wavPath, errno));
  if (!c.log.close()) c.fail(cannotWrite(c.logPath, errno));
  if (c.video) finishVideo(c, interrupted);
  mus_Free();
  sig_Defer(false);
  std::signal(SIGXFSZ, previousXfsz);
  std::signal(SIGPIPE, previousPipe);
  tmr_SetSource(nullptr);
  gfx_Attach(nullptr, GfxMode::Closed);
  shw_Free(c.scenes);
  CAP.run = nullptr;
  if (c.failed()) {
    std::fprintf(stderr, "velmorin: %s\n", c.failure.c_str());
    if (c.frame > 0 && !o.framesDir.empty())
      std::fprintf(stderr, "velmorin: the %lld frames before it and their sound are in %s\n", (long long)c.frame,
                   o.framesDir.c_str());
    return kExitStartup;
  }
  if (interrupted) {
    std::fprintf(stderr, "velmorin: interrupted after %lld frames\n", (long long)c.frame);
    return 128 + sig_Pending();
  }
  return 0;
}
