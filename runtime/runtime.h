// Demo runtime: clock, timeline, music and the start-up message boxes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Clock.  tmr_Seconds() is the seconds since tmr_Start(), from a steady clock.
// The source is a seam: tests and offline capture install their own.
using tmr_Source = double (*)();

void tmr_Start();                    // takes the start stamp
double tmr_Seconds();                // seconds since the start stamp
void tmr_SetSource(tmr_Source src);  // nullptr restores the steady clock

// ---------------------------------------------------------------------------
// Timeline state shared with the time-dependent plugins and the Screen.
struct TimelineState {
  float speed = 1.0f;  // set once, never changed by the show
  float t0 = 0.0f;     // phase origin in seconds, reset at every scene change
  int fade = 0;        // screen fade: -256 black, 0 plain, +255 white
};
extern TimelineState TML;

// Scene-relative show clock: tmr_Seconds() * speed - t0, as a float.
float tml_ShowTime();

constexpr int kSceneCount = 8;
constexpr int kEndMarkerOrder = 31;
extern const char* const kSceneSections[kSceneCount];
extern const int kSwitchOrders[kSceneCount + 1];  // [8] is the end marker

// Everything the timeline touches outside itself; the live program fills it
// with the real clock, music, keyboard and scene graphs, tests with fakes.
struct TimelineIO {
  void* ctx = nullptr;
  double (*now)(void* ctx) = nullptr;        // clock sample in seconds
  bool (*escape)(void* ctx) = nullptr;       // the stop test (Escape, close)
  int (*order)(void* ctx) = nullptr;         // module order being heard
  int (*beat)(void* ctx) = nullptr;          // 0 or 1 from the beat table
  void (*play)(void* ctx, int order) = nullptr;  // start the music at an order
  void (*render)(void* ctx, int scene) = nullptr;  // one frame of a scene
  void (*sceneSwitch)(void* ctx, int scene) = nullptr;  // optional
  // -1 plays the title first; an order skips the title and starts the
  // music there, in the scene that order belongs to.
  int startOrder = -1;
};

enum class TimelineEnd { Escaped, Finished };

// Runs the title phases, the scenes and the final fade.  Writes TML.t0 and
// TML.fade as it goes; returns how it ended.
TimelineEnd tml_Run(const TimelineIO& io);
// The scene an order belongs to: the last whose switch order is not above it.
int tml_SceneAt(int order);

// ---------------------------------------------------------------------------
// The show's scene graphs: each scene's label list and its "output" object.
struct Declaration;
struct PlugIn;
struct SceneSet {
  Declaration* lists[kSceneCount] = {};
  PlugIn* outputs[kSceneCount] = {};
};
// Reads every scene section, builds its graph from "output" and warms it up.
// Script errors go through the fatal path; the set is complete on return.
void shw_Build(SceneSet& set);
void shw_Free(SceneSet& set);
// Builds the scenes anew from the script file.  On success the old graphs
// are destroyed and replaced; a script error is reported as usual but leaves
// the old graphs running and returns false.
bool shw_Reload(SceneSet& live, const char* path);

// ---------------------------------------------------------------------------
// Offline capture: the show rendered in virtual time, frame n at n/fps, with
// the module rendered in step.  Writes numbered PNG frames and audio.wav to a
// folder, or a video through ffmpeg.  Returns the process exit code.
struct CaptureOptions {
  int fps = 60;
  bool window = false;    // the 640x300 window instead of the 640x480 screen
  std::string framesDir;  // --frames
  std::string video;      // --capture
  int startOrder = -1;
  int maxFrames = -1;     // stop after this many frames (tests)
  bool quiet = false;     // no progress line
  bool bench = false;     // --bench: no outputs; frame times per scene on stdout
};
int cap_Run(const CaptureOptions& options);

// --bench's figures: per scene its frames and the mean, 99th percentile
// (nearest rank) and worst milliseconds per frame, then the show's rate.
struct FrameStats {
  int64_t frames = 0;
  double mean = 0, p99 = 0, worst = 0;
};
FrameStats cap_FrameStats(std::vector<float> ms);
// The calling thread's CPU time in milliseconds: what --bench times frames
// with, so that other programs running on the machine do not count.
double cap_ThreadMs();
void cap_PrintBench(std::FILE* out, const std::vector<float> (&ms)[kSceneCount], double wallSeconds);

// ---------------------------------------------------------------------------
// Music.  An XM module played by libopenmpt; the position reported is the
// one being heard now, not the one being rendered.
//   Device: SDL2 audio output at 44100 Hz.
//   Null:   no sound; a thread of our own consumes the module in real time.
//   Manual: no thread; mus_Render pulls frames and what is rendered counts as
//           heard at once (tests, offline capture).
enum class MusOutput { Device, Null, Manual };
constexpr int kMusRate = 44100;

void mus_SetOutput(MusOutput out);  // before mus_Load; Device by default
int mus_Load(const char* file);     // 1, or shows an "Error" box and exits 0
int mus_Play();                     // from order 0
int mus_PlayAt(int order);          // from the first row of an order
int mus_Order();                    // order being heard now
int mus_Beat();                     // 0 or 1: beat table at the heard position
int mus_Free();                     // safe to call more than once

struct MusPosition {
  int order = 0;
  int row = 0;
};
MusPosition mus_Position();              // order and row being heard now
int mus_BeatAt(int order, int row);      // the beat table, per order
double mus_LatencySeconds();             // output latency being compensated
double mus_TimeAtOrder(int order);       // seconds from the start to an order; before play only
// Manual output only: renders up to `frames` interleaved stereo frames and
// returns how many were written (fewer at the module's end).
int mus_Render(int16_t* out, int frames);

// ---------------------------------------------------------------------------
// Message boxes: a real box when a display is there, the terminal otherwise.
// msg_Ask returns true for Yes.  Without a box, a terminal on stdin is asked
// for y/n; with no terminal either the answer is No.
bool msg_Ask(const char* text, const char* title);
void msg_Error(const char* text);  // title "Error", exclamation icon
