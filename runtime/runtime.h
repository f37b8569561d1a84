// Demo runtime: clock, timeline, the show's scene graphs, capture, music,
// the start-up message boxes, signals and exit codes.  The top of the
// program: nothing below runtime/ includes this header.
#pragma once

#include "plugins/plugins.h"

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
// Timeline.  It writes the show clock's origin and the fade (TML, in
// plugins.h, where the plugins read them).
constexpr int kSceneCount = 8;
constexpr int kEndMarkerOrder = 31;
extern const char* const kSceneSections[kSceneCount];
extern const int kSwitchOrders[kSceneCount + 1];  // [8] is the end marker

// What an author's keys ask of the running show (rehearsal, with --watch).
enum class TmlCommand { None, Pause, NextOrder, PrevOrder, NextScene, PrevScene, Restart };
enum class TmlEvent { Paused, Resumed, Jumped };

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
  // Optional: told of every scene change and every scene entered anew by a
  // rehearsal jump, before its first frame; the program closes the open
  // video clip here.
  void (*sceneSwitch)(void* ctx, int scene) = nullptr;
  // -1 plays the title first; an order skips the title and starts the
  // music there, in the scene that order belongs to.
  int startOrder = -1;

  // Rehearsal, all optional.  `command` is asked once a frame.  A jump plays
  // the music from the new order through `play`.  While paused the timeline
  // renders nothing and calls `idle` instead (keep the picture up, read keys,
  // wait a little); without `idle` a pause is ignored.
  TmlCommand (*command)(void* ctx) = nullptr;
  void (*pause)(void* ctx, bool paused) = nullptr;     // stop or go on with the music
  void (*idle)(void* ctx) = nullptr;
  // Seconds from the module's start to an order, so that a jump into the
  // middle of a scene shows it as it looks there; without it the scene's
  // animation starts over.
  double (*orderTime)(void* ctx, int order) = nullptr;
  // Told of every pause, resume and jump: the order jumped to (the heard one
  // for a pause, -1 in the title) and the scene now shown.
  void (*report)(void* ctx, TmlEvent event, int order, int scene) = nullptr;
};

enum class TimelineEnd { Escaped, Finished };

// Runs the title phases, the scenes and the final fade.  Writes TML.t0 and
// TML.fade as it goes; returns how it ended.
TimelineEnd tml_Run(const TimelineIO& io);
// The scene an order belongs to: the last whose switch order is not above it.
int tml_SceneAt(int order);
// The order a rehearsal jump lands on, from the order heard in `scene` (0 for
// the title, kSceneCount for the final fade).  -1 means the title again; an
// order at or past the end marker starts the final fade.
int tml_JumpTarget(TmlCommand command, int order, int scene);

// Frame pacing: after each frame, how long to sleep so that frames start at
// most `rate` times a second.  A late frame is not made up for by a burst,
// so a switch or a flash waits at most one frame.
struct FramePacer {
  double interval = 0;  // seconds per frame; 0 is unlimited
  double next = -1;     // when the next frame is due; < 0 before the first
  void setRate(double rate) { interval = rate > 0 ? 1.0 / rate : 0; next = -1; }
  double delay(double now);
};
void tmr_Sleep(double seconds);

// Rehearsal keys: Space pauses, Right/Left step an order, Page Down/Up a
// scene, Home restarts the scene.  Takes an Allegro scancode.
TmlCommand tml_CommandForKey(int scancode);
// "order 6 row 0 (komin3d)", "paused at order ...", "title (tolvek)".
std::string tml_Describe(TmlEvent event, int order, int row, int scene);

// ---------------------------------------------------------------------------
// The show's scene graphs: each scene's label list and its "output" object.
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
// The timeline's sceneSwitch: the next scene's clips start from their first
// picture, on the one shared decoder.
void shw_SceneSwitch(void* ctx, int scene);

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
  int scale = 1;          // each frame enlarged by whole pixels
  bool quiet = false;     // no progress line
  bool bench = false;     // --bench: no outputs; frame times per scene on stdout
  int passes = 3;         // --bench: the show drawn this many times, each in a
                          // fresh process; a frame counts its fastest drawing
  int pass = 0;           // the pass this run is, when one of several
  int timesFd = -1;       // a pass: where its frame times go instead of stdout
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
// Folds one pass's frame times into each frame's fastest so far; false when
// the pass drew a different number of frames (those beyond the shorter count
// keep the times they have).
bool cap_KeepFastest(std::vector<float>& fastest, const std::vector<float>& pass);
// --bench of several passes: each one a child process running cap_Run, its
// frame times sent back through a pipe.  Returns the exit code.
int cap_BenchPasses(const CaptureOptions& options);
// A pass's frame times on a pipe, and read back; false on a short write or
// bytes that are not such a record.
bool cap_SendTimes(int fd, const std::vector<float> (&ms)[kSceneCount]);
bool cap_TakeTimes(const std::string& bytes, std::vector<float> (&ms)[kSceneCount]);
// `drawn`: the frames of every pass, for the rate of the whole run.
void cap_PrintBench(std::FILE* out, const std::vector<float> (&ms)[kSceneCount], int64_t drawn,
                    double wallSeconds);

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
int mus_Load(const char* file);     // 1, or shows an "Error" box and exits kExitStartup
int mus_Play();                     // from order 0
int mus_PlayAt(int order);          // from the first row of an order
int mus_Order();                    // order being heard now
int mus_Beat();                     // 0 or 1: beat table at the heard position
int mus_Free();                     // safe to call more than once
// Stops the music where it is heard and goes on from there; the position
// stands still meanwhile.  A play (mus_PlayAt) also ends a pause.
int mus_Pause(bool paused);

struct MusPosition {
  int order = 0;
  int row = 0;
};
MusPosition mus_Position();              // order and row being heard now
int mus_BeatAt(int order, int row);      // the beat table, per order
double mus_LatencySeconds();             // output latency being compensated
double mus_TimeAtOrder(int order);       // seconds from the start to an order; before play only
int mus_LastOrder();                     // the module's last order, -1 without one
// Whether a --start-order (-1: none) lies in the module; says the range when not.
bool mus_StartOrderFits(int order);
// Manual output only: renders up to `frames` interleaved stereo frames and
// returns how many were written (fewer at the module's end).
int mus_Render(int16_t* out, int frames);

// ---------------------------------------------------------------------------
// Message boxes: a real box when a display is there, the terminal otherwise.
// msg_Ask returns true for Yes.  Without a box, a terminal on stdin is asked
// for y/n; with no terminal either the answer is No.
bool msg_Ask(const char* text, const char* title);
void msg_Error(const char* text);  // title "Error", exclamation icon

// ---------------------------------------------------------------------------
// Exit codes.  0: the show ended, or Escape or the close button ended it.
constexpr int kExitScript = 1;   // a script or plugin error
constexpr int kExitUsage = 2;    // a wrong option
constexpr int kExitStartup = 3;  // a start-up failure (a missing file, no sound
                                 // device, no display, no ffmpeg) or an output
                                 // that cannot be written
// A signal ends the program with 128 + its number (130 Ctrl-C, 143 SIGTERM).

// Signals.  SIGINT and SIGTERM end the program at once, unless deferred: then
// the first one only shows in sig_Pending, for a loop that ends cleanly.
void sig_Install();              // before any SDL call, and again after Allegro's
void sig_Defer(bool on);
int sig_Pending();               // the signal received, or 0
void sig_SetBoxGroup(int group); // a box's process group, ended with the program
