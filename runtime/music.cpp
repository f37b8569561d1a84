// Music: the XM module rendered by libopenmpt and sent to SDL2 audio, to a
// silent real-time pump, or pulled by hand.  Every rendered chunk is tagged
// with the order/row libopenmpt reports after it; the position the show sees
// is the tag of the sample leaving the speakers, not of the one just rendered.
#include "runtime/runtime.h"

#include <SDL.h>
#include <libopenmpt/libopenmpt.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One chunk never spans more than one tick (the shortest XM tick, tempo 255,
// is 432 frames), so a tag is at most 128 frames (2.9 ms) early.
constexpr int kChunkFrames = 128;
// Requested callback buffer: 23 ms, short enough for the beat flashes.
constexpr int kDeviceFrames = 1024;
// The ring must reach back over the whole output latency plus one callback's
// worth of chunks; 512 tags are 1.5 s, against ~50 ms for the worst driver.
constexpr int kRingTags = 512;
// Null output: the pump wakes every 5 ms and keeps this far ahead of the
// clock, so a late wake-up does not stall the position.
constexpr auto kPumpPeriod = std::chrono::milliseconds(5);
constexpr int kPumpLeadFrames = 512;

enum class MusStatus { Ok, NoDevice, BadModule };
const char* const kStatusText[] = {
    "",
    "Can't initialize sound device!",
    "Can't play %s!",
};

struct Tag {
  int64_t start;  // absolute frame index of the chunk's first sample
  int order;
  int row;
};

// Frames a driver still holds beyond the buffer handed to the callback.
// dummy and disk sleep one buffer after each callback, so the buffer just
// filled is the one heard next; the others (ALSA asks for two periods of
// `samples` frames, PulseAudio targets one buffer past the fill) keep one more.
struct DriverQueue {
  const char* driver;
  int extraBuffers;
};
const DriverQueue kDriverQueues[] = {{"dummy", 0}, {"disk", 0}};
constexpr int kDefaultExtraBuffers = 1;

struct MusState {
  // Chosen before mus_Load.
  MusOutput output = MusOutput::Device;

  // Owned between mus_Load and mus_Free; `life` serialises load, play,
  // manual rendering and free.  The audio thread and the pump never take it,
  // so mus_Free may wait for them while holding it.
  std::mutex life;
  std::ostream quiet{nullptr};  // module log sink; outlives `mod`, which keeps a reference
  std::unique_ptr<openmpt::module> mod;
  bool sdlAudio = false;
  SDL_AudioDeviceID device = 0;
  int deviceFrames = 0;
  int64_t driverQueued = 0;
  std::thread pump;
  std::atomic<bool> pumpStop{false};

  // Renderer side: only the thread that renders (audio callback, pump or
  // mus_Render caller) touches these while playing.
  bool ended = false;
  int16_t scratch[kChunkFrames * 2] = {};
  Clock::time_point playStart;

  // What has been rendered and what is being heard: written by the renderer,
  // read by mus_Position, all under `timeLock`.
  std::mutex timeLock;
  Tag ring[kRingTags] = {};
  int64_t tagCount = 0;
  int64_t rendered = 0;
  bool playing = false;
  bool anchored = false;       // a clock anchor exists (Device, Null)
  int64_t anchorFrame = 0;     // frame leaving the speakers at anchorTime
  Clock::time_point anchorTime;
  int64_t anchorSpan = 0;      // how far past the anchor the clock may run
  int64_t lastHeard = 0;       // keeps the position from going backwards
  MusPosition start;           // where play began, until a chunk is heard

  // A program that exits with the music running must not leave the audio
  // thread inside a freed module, nor a joinable pump thread.
  ~MusState() { mus_Free(); }
};
MusState MUS;

void resetTimeline(bool playing) {
  std::lock_guard<std::mutex> lock(MUS.timeLock);
  MUS.tagCount = 0;
  MUS.rendered = 0;
  MUS.playing = playing;
  MUS.anchored = false;
  MUS.anchorFrame = 0;
  MUS.anchorSpan = 0;
  MUS.lastHeard = 0;
  MUS.start = MusPosition{};
}

// Renders up to `frames` in tagged chunks; a null `out` discards the audio.
// Returns the frames rendered, fewer once the module has ended.
int renderFrames(int16_t* out, int frames) {
  int done = 0;
  while (done < frames && !MUS.ended) {
    const int want = std::min(kChunkFrames, frames - done);
    int16_t* dst = out ? out + 2 * done : MUS.scratch;
    std::size_t got = 0;
    int order = 0, row = 0;
    try {
      got = MUS.mod->read_interleaved_stereo(kMusRate, static_cast<std::size_t>(want), dst);
      order = MUS.mod->get_current_order();
      row = MUS.mod->get_current_row();
    } catch (...) {
      got = 0;  // a renderer failure ends the music; never unwind into SDL
    }
    if (got == 0) {
      MUS.ended = true;
      break;
    }
    std::lock_guard<std::mutex> lock(MUS.timeLock);
    if (got < static_cast<std::size_t>(want) && MUS.tagCount > 0) {
      // The song ended inside this chunk and libopenmpt already reports its
      // wrapped start; the chunk lies within the final tick (a tick is longer
      // than a chunk), so it carries on the previous chunk's row.
      const Tag& prev = MUS.ring[(MUS.tagCount - 1) % kRingTags];
      order = prev.order;
      row = prev.row;
    }
    MUS.ring[MUS.tagCount % kRingTags] = Tag{MUS.rendered, order, row};
    ++MUS.tagCount;
    MUS.rendered += static_cast<int64_t>(got);
    done += static_cast<int>(got);
  }
  return done;
}

void SDLCALL deviceCallback(void*, Uint8* stream, int len) {
  const int frames = len / static_cast<int>(2 * sizeof(int16_t));
  {
    // Everything rendered before this call, less what the driver still
    // holds, has been heard; the buffer filled now plays over the next period.
    std::lock_guard<std::mutex> lock(MUS.timeLock);
    MUS.anchorFrame = MUS.rendered - MUS.driverQueued;
    MUS.anchorTime = Clock::now();
    MUS.anchorSpan = frames;
    MUS.anchored = true;
  }
  const int got = renderFrames(reinterpret_cast<int16_t*>(stream), frames);
  std::memset(stream + got * 2 * sizeof(int16_t), 0,
              static_cast<std::size_t>(len) - got * 2 * sizeof(int16_t));
}

void pumpLoop() {
  while (!MUS.pumpStop.load(std::memory_order_relaxed)) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - MUS.playStart).count();
    const int64_t target = static_cast<int64_t>(elapsed * kMusRate) + kPumpLeadFrames;
    while (!MUS.ended && MUS.rendered < target) {
      renderFrames(nullptr, static_cast<int>(std::min<int64_t>(kChunkFrames, target - MUS.rendered)));
    }
    std::this_thread::sleep_for(kPumpPeriod);
  }
}

// Stops whatever consumes the module, so the caller may touch it.
void haltOutput() {
  if (MUS.device) SDL_PauseAudioDevice(MUS.device, 1);  // waits out a running callback
  if (MUS.pump.joinable()) {
    MUS.pumpStop = true;
    MUS.pump.join();  // at most one pump period
  }
}

MusStatus openDevice() {
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return MusStatus::NoDevice;
  MUS.sdlAudio = true;
  SDL_AudioSpec want{}, have{};
  want.freq = kMusRate;
  want.format = AUDIO_S16SYS;
  want.channels = 2;
  want.samples = kDeviceFrames;
  want.callback = deviceCallback;
  // No allowed changes: SDL converts if the hardware differs, so the callback
  // always sees 44.1 kHz stereo S16 and frame counts stay in module frames.
  MUS.device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (!MUS.device) return MusStatus::NoDevice;
  MUS.deviceFrames = have.samples;
  int extra = kDefaultExtraBuffers;
  const char* driver = SDL_GetCurrentAudioDriver();
  for (const DriverQueue& q : kDriverQueues) {
    if (driver && std::strcmp(driver, q.driver) == 0) extra = q.extraBuffers;
  }
  MUS.driverQueued = static_cast<int64_t>(extra) * have.samples;
  return MusStatus::Ok;
}

MusStatus openModule(const char* file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  if (!in) return MusStatus::BadModule;
  std::vector<char> data(size_t(std::max<std::streamoff>(in.tellg(), 0)));
  in.seekg(0);
  if (!in.read(data.data(), std::streamsize(data.size()))) return MusStatus::BadModule;
  // libopenmpt's load warnings would only repeat what the error box says.
  try {
    // Scanning for subsongs plays the whole module through once; we only ever
    // play the first song, so skip it and keep start-up short.
    // Seeking rebuilds the notes already sounding at the target, so a show
    // started mid-module sounds as if it had played there.
    // No dither: its noise is random, and a capture must repeat to the byte.
    const std::map<std::string, std::string> ctls = {{"load.skip_subsongs_init", "1"},
                                                     {"seek.sync_samples", "1"},
                                                     {"dither", "0"}};
    MUS.mod = std::make_unique<openmpt::module>(data, MUS.quiet, ctls);
    MUS.mod->set_repeat_count(0);
    MUS.mod->ctl_set_text("play.at_end", "stop");  // silence at the end, no fade tail
    // Our module is mixed with headroom (peaks near -5 dBFS); +3 dB brings it
    // to a listening level and still leaves 2 dB before clipping.
    MUS.mod->set_render_param(openmpt::module::RENDER_MASTERGAIN_MILLIBEL, 300);
  } catch (...) {
    MUS.mod.reset();
    return MusStatus::BadModule;
  }
  return MusStatus::Ok;
}

}  // namespace

void mus_SetOutput(MusOutput out) { MUS.output = out; }

int mus_Load(const char* file) {
  mus_Free();
  MusStatus status = MusStatus::Ok;
  {
    std::lock_guard<std::mutex> lock(MUS.life);
    if (MUS.output == MusOutput::Device) status = openDevice();
    if (status == MusStatus::Ok) status = openModule(file);
    MUS.ended = false;
  }
  if (status != MusStatus::Ok) {
    // Outside `life`: exit() runs MUS's destructor, which frees again.
    const char* fmt = kStatusText[static_cast<int>(status)];
    std::vector<char> text(std::strlen(fmt) + std::strlen(file) + 1);
    std::snprintf(text.data(), text.size(), fmt, file);
    msg_Error(text.data());
    mus_Free();
    std::exit(kExitStartup);
  }
  return 1;
}

int mus_Play() { return mus_PlayAt(0); }


// Null output: starts the thread that consumes the module in real time, as
// if playing had begun `frame` frames before `now`, with the heard position
// running on from that frame.
static void startPump(Clock::time_point now, int64_t frame) {
  {
    std::lock_guard<std::mutex> time(MUS.timeLock);
    MUS.playStart = now - std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(double(frame) / kMusRate));
    MUS.anchorFrame = frame;
    MUS.anchorTime = now;
    MUS.anchorSpan = INT64_MAX;
    MUS.anchored = true;
  }
  MUS.pumpStop = false;
  MUS.pump = std::thread(pumpLoop);
}

int mus_PlayAt(int order) {
  std::lock_guard<std::mutex> lock(MUS.life);
  if (!MUS.mod) return 0;
  haltOutput();
  try {
    MUS.mod->set_position_order_row(std::max(order, 0), 0);
  } catch (...) {
    return 0;
  }
  MUS.ended = false;
  resetTimeline(true);
  {
    std::lock_guard<std::mutex> time(MUS.timeLock);
    MUS.start = MusPosition{MUS.mod->get_current_order(), MUS.mod->get_current_row()};
  }
  switch (MUS.output) {
    case MusOutput::Device:
      SDL_PauseAudioDevice(MUS.device, 0);
      break;
    case MusOutput::Null:
      startPump(Clock::now(), 0);
      break;
    case MusOutput::Manual:
      break;
  }
  return 1;
}

MusPosition mus_Position() {
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(MUS.timeLock);
  if (MUS.tagCount == 0) return MUS.start;
  int64_t heard = MUS.rendered;  // Manual: rendered counts as heard at once
  if (MUS.output != MusOutput::Manual) {
    heard = MUS.lastHeard;
    if (MUS.anchored) {
      const double since = std::chrono::duration<double>(now - MUS.anchorTime).count();
      const int64_t run = std::min(static_cast<int64_t>(since * kMusRate), MUS.anchorSpan);
      heard = MUS.anchorFrame + run;
    }
  }
  heard = std::max(std::min(heard, MUS.rendered), MUS.lastHeard);
  MUS.lastHeard = heard;
  // The sample leaving now is `heard`; once all is heard, the last one.
  const int64_t frame = std::min(heard, MUS.rendered - 1);
  const int64_t oldest = std::max<int64_t>(0, MUS.tagCount - kRingTags);
  for (int64_t i = MUS.tagCount - 1; i > oldest; --i) {
    const Tag& t = MUS.ring[i % kRingTags];
    if (t.start <= frame) return MusPosition{t.order, t.row};
  }
  const Tag& t = MUS.ring[oldest % kRingTags];
  return MusPosition{t.order, t.row};
}

int mus_Order() { return mus_Position().order; }

int mus_Beat() {
  const MusPosition p = mus_Position();
  return mus_BeatAt(p.order, p.row);
}

int mus_Free() {
  std::lock_guard<std::mutex> lock(MUS.life);
  haltOutput();
  if (MUS.device) {
    SDL_CloseAudioDevice(MUS.device);
    MUS.device = 0;
  }
  MUS.mod.reset();
  if (MUS.sdlAudio) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    MUS.sdlAudio = false;
  }
  MUS.deviceFrames = 0;
  MUS.driverQueued = 0;
  resetTimeline(false);
  return 1;
}

double mus_LatencySeconds() {
  std::lock_guard<std::mutex> lock(MUS.life);
  switch (MUS.output) {
    case MusOutput::Device:
      return static_cast<double>(MUS.deviceFrames + MUS.driverQueued) / kMusRate;
    case MusOutput::Null:
      return static_cast<double>(kPumpLeadFrames) / kMusRate;
    case MusOutput::Manual:
      break;
  }
  return 0.0;
}

double mus_TimeAtOrder(int order) {
  std::lock_guard<std::mutex> lock(MUS.life);
  if (!MUS.mod) return 0.0;
  try {
    // Seeking reports the time of the new position; play seeks again anyway.
    if (MUS.playing) return 0.0;
    return MUS.mod->set_position_order_row(order, 0);
  } catch (...) {
    return 0.0;
  }
}

int mus_Render(int16_t* out, int frames) {
  std::lock_guard<std::mutex> lock(MUS.life);
  if (MUS.output != MusOutput::Manual || !MUS.mod || !MUS.playing || !out || frames <= 0) return 0;
  return renderFrames(out, frames);
}

int mus_Pause(bool paused) {
  std::lock_guard<std::mutex> lock(MUS.life);
  if (!MUS.mod || MUS.output == MusOutput::Manual) return 0;
  const Clock::time_point now = Clock::now();
  if (paused) {
    haltOutput();
    // Freeze the heard position where it is: the anchor moves to now and
    // may no longer run on.
    std::lock_guard<std::mutex> time(MUS.timeLock);
    if (MUS.anchored) {
      const double since = std::chrono::duration<double>(now - MUS.anchorTime).count();
      MUS.anchorFrame += std::min(static_cast<int64_t>(since * kMusRate), MUS.anchorSpan);
    }
    MUS.anchorTime = now;
    MUS.anchorSpan = 0;
    return 1;
  }
  switch (MUS.output) {
    case MusOutput::Device:
      SDL_PauseAudioDevice(MUS.device, 0);  // the next callback anchors anew
      break;
    case MusOutput::Null:
      if (MUS.pump.joinable() || !MUS.playing) break;  // already going (a play ended the pause)
      // The pump renders by the time since play: that start moves on by the
      // pause, and the anchor runs from here.
      startPump(now, MUS.anchorFrame);
      break;
    case MusOutput::Manual:
      break;
  }
  return 1;
}

int mus_LastOrder() {
  std::lock_guard<std::mutex> lock(MUS.life);
  if (!MUS.mod) return -1;
  try {
    return MUS.mod->get_num_orders() - 1;
  } catch (...) {
    return -1;
  }
}

bool mus_StartOrderFits(int order) {
  const int last = mus_LastOrder();
  if (order <= last) return true;
  std::fprintf(stderr, "velmorin: --start-order takes a whole number from 0 to %d (the module's last order), not %d\n",
               last, order);
  return false;
}
