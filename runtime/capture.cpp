// Offline capture: the live timeline driven by a virtual clock.  Frame n is
// the show at n/fps seconds; before it is rendered, the module has been
// rendered exactly up to that moment, so switches and flashes land on the
// same frames every time and the audio is sample-exact against the frames.
#include "runtime/runtime.h"

#include "assets/assets.h"
#include "plugins/plugins.h"
#include "script/script.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
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

enum class CapStatus { Ok, NoFfmpeg, CantCreate, CantWrite, FfmpegFailed };
const char* const kCapStatusText[] = {
    "ok",
    ("--capture needs ffmpeg on PATH (Debian package 'ffmpeg': apt-get install ffmpeg); "
     "--frames DIR writes PNG frames and audio.wav without it"),
    "cannot create the output",
    "cannot write the output",
    "ffmpeg failed",
};

// 16-bit stereo WAV whose sizes are filled in when it is closed.
struct WavWriter {
  FILE* f = nullptr;
  uint32_t frames = 0;

  bool open(const std::string& path) {
    f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    uint8_t header[44] = {};
    return std::fwrite(header, 1, sizeof header, f) == sizeof header;
  }
  bool write(const int16_t* samples, int count) {
    frames += uint32_t(count);
    // Little-endian on every machine we build for; the header says so too.
    return std::fwrite(samples, 4, size_t(count), f) == size_t(count);
  }
  bool close() {
    if (!f) return true;
    const uint32_t data = frames * 4;
    uint8_t h[44];
    auto le32 = [&](int at, uint32_t v) { for (int i = 0; i < 4; ++i) h[at + i] = uint8_t(v >> (8 * i)); };
    auto le16 = [&](int at, uint32_t v) { h[at] = uint8_t(v); h[at + 1] = uint8_t(v >> 8); };
    std::memcpy(h, "RIFF", 4);
    le32(4, 36 + data);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    le32(16, 16);
    le16(20, 1);  // PCM
    le16(22, 2);
    le32(24, kMusRate);
    le32(28, kMusRate * 4);
    le16(32, 4);
    le16(34, 16);
    std::memcpy(h + 36, "data", 4);
    le32(40, data);
    const bool ok = std::fseek(f, 0, SEEK_SET) == 0 && std::fwrite(h, 1, sizeof h, f) == sizeof h;
    const bool closed = std::fclose(f) == 0;
    f = nullptr;
    return ok && closed;
  }
};

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

std::atomic<bool> interrupted{false};
void onInterrupt(int) { interrupted = true; }

double virtualNow = 0;
double virtualClock() { return virtualNow; }

struct Capture {
  const CaptureOptions& opt;
  SceneSet scenes;
  FrameSink sink;
  WavWriter wav;
  FILE* video = nullptr;  // ffmpeg's standard input
  FILE* log = nullptr;    // frames.tsv beside the frames: what each one shows
  std::vector<uint8_t> picture;
  std::vector<int16_t> audio;
  CapStatus status = CapStatus::Ok;
  int64_t frame = 0;
  int64_t audioFrames = 0;  // written to the WAV
  bool playing = false;
  double expectedSeconds = 0;
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

  // Renders the module (or the title's silence) up to the current frame.
  void advanceAudio() {
    const int64_t target = (frame * kMusRate + opt.fps / 2) / opt.fps;
    const int count = int(target - audioFrames);
    if (count <= 0) return;
    audio.assign(size_t(count) * 2, 0);
    if (playing) mus_Render(audio.data(), count);  // past the end: silence
    if (wav.f && !wav.write(audio.data(), count)) status = CapStatus::CantWrite;
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

  void emit(int scene) {
    if (!opt.framesDir.empty()) {
      char name[32];
      std::snprintf(name, sizeof name, "/frame_%06lld.png", (long long)frame);
      if (!img_WritePng((opt.framesDir + name).c_str(), picture.data(), sink.width, sink.height)) status = CapStatus::CantWrite;
      const MusPosition p = mus_Position();
      if (log && std::fprintf(log, "%lld\t%.4f\t%d\t%d\t%s\t%d\n", (long long)frame, now(), playing ? p.order : -1,
                              playing ? p.row : -1, kSceneSections[scene], TML.fade) < 0)
        status = CapStatus::CantWrite;
    }
    if (video && std::fwrite(picture.data(), 1, picture.size(), video) != picture.size())
      status = CapStatus::FfmpegFailed;
    ++frame;
    virtualNow = now();
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
    const double done = std::min(now() / std::max(expectedSeconds, 1e-9), 1.0);
    const double left = fps > 0 ? (expectedSeconds * opt.fps - double(frame)) / fps : 0;
    std::fprintf(stderr, "%sframe %lld  %02d:%02d  %3.0f%%  %.1f fps  %.0f s left%s", tty ? "\r" : "",
                 (long long)frame, playing ? p.order : 0, playing ? p.row : 0, done * 100, fps,
                 std::max(left, 0.0), tty && !last ? "  " : "\n");
    std::fflush(stderr);
  }
};

Capture* CAP = nullptr;  // the capture under way, for the timeline's callbacks

TimelineIO captureIO() {
  TimelineIO io;
  io.now = [](void*) { return tmr_Seconds(); };
  io.escape = [](void*) { return interrupted.load() || CAP->status != CapStatus::Ok ||
                                 (CAP->opt.maxFrames >= 0 && CAP->frame >= CAP->opt.maxFrames); };
  io.order = [](void*) { return mus_Order(); };
  io.beat = [](void*) { return mus_Beat(); };
  io.play = [](void*, int order) {
    mus_PlayAt(order);
    CAP->playing = true;
  };
  io.render = [](void*, int scene) { CAP->render(scene); };
  io.startOrder = CAP->opt.startOrder;
  return io;
}

CapStatus openOutputs(Capture& c, std::string& videoPart, std::string& audioPath) {
  const CaptureOptions& o = c.opt;
  if (!o.video.empty()) {
    // Pictures go to ffmpeg as they are made; the sound is joined in a
    // second, copying step once the WAV is complete.
    const size_t dot = o.video.find_last_of('.');
    const std::string ext = dot == std::string::npos || o.video.find('/', dot) != std::string::npos
                                ? ".mp4" : o.video.substr(dot);
    videoPart = o.video + ".part" + ext;
    audioPath = o.video + ".part.wav";
    const std::string cmd = "ffmpeg -y -loglevel error -f rawvideo -pix_fmt gray -s " +
                            std::to_string(c.sink.width) + "x" + std::to_string(c.sink.height) + " -r " +
                            std::to_string(o.fps) + " -i - -pix_fmt yuv420p " + quoted(videoPart);
    c.video = popen(cmd.c_str(), "w");
    if (!c.video) return CapStatus::FfmpegFailed;
  } else {
    if (mkdir(o.framesDir.c_str(), 0777) != 0 && errno != EEXIST) return CapStatus::CantCreate;
    audioPath = o.framesDir + "/audio.wav";
    c.log = std::fopen((o.framesDir + "/frames.tsv").c_str(), "w");
    if (!c.log) return CapStatus::CantCreate;
    std::fputs("frame\tseconds\torder\trow\tscene\tfade\n", c.log);
  }
  return c.wav.open(audioPath) ? CapStatus::Ok : CapStatus::CantCreate;
}

}  // namespace

int cap_Run(const CaptureOptions& options) {
  CaptureOptions o = options;
  o.fps = std::clamp(o.fps, 1, 1000);
  if (!o.video.empty() && !onPath("ffmpeg")) {  // say so before any work
    std::fprintf(stderr, "velmorin: %s\n", kCapStatusText[int(CapStatus::NoFfmpeg)]);
    return 2;
  }
  img_InitHeadless();
  if (!dat_Open("velmorin.dat")) {
    std::fprintf(stderr, "velmorin: Can't load velmorin.dat!\n");
    return 1;
  }
  mus_SetOutput(MusOutput::Manual);
  mus_Load("velmorin.xm");

  Capture c(o);
  CAP = &c;
  virtualNow = 0;
  tmr_SetSource(virtualClock);
  gfx_Attach(&c.sink, o.window ? GfxMode::Windowed : GfxMode::Fullscreen);
  shw_Build(c.scenes);

  std::string videoPart, audioPath;
  if (!o.bench) c.status = openOutputs(c, videoPart, audioPath);
  if (c.status != CapStatus::Ok) {
    std::fprintf(stderr, "velmorin: %s\n", kCapStatusText[int(c.status)]);
    if (c.log) std::fclose(c.log);
    mus_Free();
    return c.status == CapStatus::NoFfmpeg ? 2 : 1;
  }
  // The length to expect, for the progress line: title, music up to the end
  // marker, final fade.
  const int from = std::max(o.startOrder, 0);
  c.expectedSeconds = (o.startOrder < 0 ? 10 + 255.0 / 64 : 0) + mus_TimeAtOrder(kEndMarkerOrder) -
                      mus_TimeAtOrder(from) + 255.0 / 64;

  auto previous = std::signal(SIGINT, onInterrupt);
  if (tml_Run(captureIO()) == TimelineEnd::Finished && !c.picture.empty()) c.closingFrame(kSceneCount - 1);
  std::signal(SIGINT, previous);
  c.progress(true);
  if (o.bench)
    cap_PrintBench(stdout, c.benchTimes,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - c.started).count());
  else
    c.sceneSummary();

  if (!c.wav.close() && c.status == CapStatus::Ok) c.status = CapStatus::CantWrite;
  if (c.log && std::fclose(c.log) != 0 && c.status == CapStatus::Ok) c.status = CapStatus::CantWrite;
  c.log = nullptr;
  if (c.video) {
    if (pclose(c.video) != 0 && c.status == CapStatus::Ok) c.status = CapStatus::FfmpegFailed;
    c.video = nullptr;
    if (c.status == CapStatus::Ok || interrupted) {
      const std::string mux = "ffmpeg -y -loglevel error -i " + quoted(videoPart) + " -i " + quoted(audioPath) +
                              " -c:v copy -shortest " + quoted(o.video);
      if (std::system(mux.c_str()) != 0) c.status = CapStatus::FfmpegFailed;
    }
    std::remove(videoPart.c_str());
    std::remove(audioPath.c_str());
  }
  mus_Free();
  tmr_SetSource(nullptr);
  gfx_Attach(nullptr, GfxMode::Closed);
  shw_Free(c.scenes);
  CAP = nullptr;
  if (c.status != CapStatus::Ok) {
    std::fprintf(stderr, "velmorin: %s\n", kCapStatusText[int(c.status)]);
    return 1;
  }
  if (interrupted) std::fprintf(stderr, "velmorin: interrupted after %lld frames\n", (long long)c.frame);
  return interrupted ? 130 : 0;
}
