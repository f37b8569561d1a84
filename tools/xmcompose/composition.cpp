#include "tools/xmcompose/composition.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tools/xmcompose/synth.h"

namespace composition {
namespace {

// The engine flashes on the beat rows, so kick and snare get channels of their
// own and play nothing else: what is heard matches what is seen.
enum Channel : int {
  kKick = 0,
  kSnare = 1,
  kHat = 2,
  kBass = 3,
  kPad = 4,  // two banks of three voices, so one chord can release while the next swells
  kLead = 10,
  kLeadEcho = 11,
  kArp = 12,
  kArpEcho = 13,
  kBell = 14,
  kFx = 15,
  kChannels = 16,
};
constexpr int kPadVoices = 3;

// Instrument numbers as the patterns see them; `module()` builds them in this order.
enum Instrument : int { iKick = 1, iSnare, iClosedHat, iOpenHat, iBass, iPad, iLead, iPluck, iBell, iRiser };

constexpr int kBarRows = 16;
constexpr int kTotalRows = kOrders * kRows;
constexpr int kDrumNote = 60;  // drums sound as recorded on C-4

// ---------------------------------------------------------------------------
// The beat the engine flashes to.

enum class Beat { None, Full, LateStart, FirstHalf, HalfPickup };

constexpr Beat kBeat[kOrders] = {
    Beat::None,      Beat::None,      Beat::None,       Beat::None,       // intro
    Beat::Full,      Beat::Full,      Beat::Full,       Beat::Full,       // komin
    Beat::LateStart, Beat::None,                                          //   break, breakdown
    Beat::Full,      Beat::Full,      Beat::Full,       Beat::FirstHalf,  // schody
    Beat::Full,      Beat::Full,      Beat::Full,                         // valec
    Beat::HalfPickup, Beat::LateStart, Beat::None,                        //   half, late, breakdown
    Beat::Full,      Beat::LateStart, Beat::Full,       Beat::FirstHalf,  // hodiny
    Beat::Full,      Beat::Full,      Beat::Full,       Beat::FirstHalf,  // zena
    Beat::None,      Beat::None,      Beat::None,       Beat::None,       // end
};

std::vector<int> beatRows(int order) {
  static const int kAccents[] = {7, 8, 19, 20, 39, 40, 55, 56};
  std::vector<int> rows;
  if (order < 0 || order >= kOrders) return rows;
  const Beat beat = kBeat[order];
  for (int r : kAccents) {
    switch (beat) {
      case Beat::Full: rows.push_back(r); break;
      case Beat::LateStart:
        if (r >= 20) rows.push_back(r);
        break;
      case Beat::FirstHalf:
        if (r < kRows / 2) rows.push_back(r);
        break;
      case Beat::HalfPickup:
        if (r < kRows / 2 || r == 56) rows.push_back(r);
        break;
      case Beat::None: break;
    }
  }
  return rows;
}

// Hats keep time only where the beat is playing.
struct Window {
  int from, to;
};

Window hatWindow(int order) {
  switch (kBeat[order]) {
    case Beat::Full: return {0, kRows};
    case Beat::LateStart: return {kBarRows, kRows};
    case Beat::FirstHalf:
    case Beat::HalfPickup: return {0, kRows / 2};
    case Beat::None: break;
  }
  return {0, 0};
}

// ---------------------------------------------------------------------------
// Harmony and melody tables are written as text so they read like a lead sheet.

int letterClass(char letter) {
  static const int kClass[7] = {9, 11, 0, 2, 4, 5, 7};  // A..G
  if (letter < 'A' || letter > 'G') throw std::logic_error(std::string("bad note letter ") + letter);
  return kClass[letter - 'A'];
}

// "C#5", "Bb4", "A4" -> MIDI number (C4 = 60).
int parsePitch(const std::string& s) {
  if (s.size() < 2) throw std::logic_error("bad pitch " + s);
  int pc = letterClass(s[0]);
  size_t i = 1;
  if (s[i] == '#') ++pc, ++i;
  else if (s[i] == 'b') --pc, ++i;
  if (i + 1 != s.size() || s[i] < '0' || s[i] > '8') throw std::logic_error("bad pitch " + s);
  return 12 * (s[i] - '0' + 1) + pc;
}

struct Chord {
  int root = 0;
  int bass = 0;
  std::vector<int> tones;  // pitch classes: root, third, fifth, then colour tones
  bool operator==(const Chord& o) const { return root == o.root && bass == o.bass && tones == o.tones; }
};

Chord parseChord(const std::string& name) {
  Chord c;
  size_t i = 1;
  c.root = letterClass(name.at(0));
  if (i < name.size() && name[i] == '#') ++c.root, ++i;
  else if (i < name.size() && name[i] == 'b') --c.root, ++i;
  std::string quality = name.substr(i);
  c.bass = c.root;
  const size_t slash = quality.find('/');
  if (slash != std::string::npos) {
    c.bass = letterClass(quality.at(slash + 1));
    quality = quality.substr(0, slash);
  }
  std::vector<int> intervals;
  if (quality.empty()) intervals = {0, 4, 7};
  else if (quality == "m") intervals = {0, 3, 7};
  else if (quality == "maj7") intervals = {0, 4, 7, 11};
  else if (quality == "m7") intervals = {0, 3, 7, 10};
  else if (quality == "madd9") intervals = {0, 3, 7, 2};
  else throw std::logic_error("unknown chord " + name);
  for (int iv : intervals) c.tones.push_back((c.root + iv + 24) % 12);
  c.root = (c.root + 12) % 12;
  c.bass = (c.bass + 12) % 12;
  return c;
}

std::vector<std::string> words(const char* text) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = text;; ++p) {
    if (*p == ' ' || *p == '\0') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
      if (*p == '\0') break;
    } else {
      cur += *p;
    }
  }
  return out;
}

// One chord per bar, four bars per pattern.
std::array<Chord, 4> parseProgression(const char* text) {
  const std::vector<std::string> names = words(text);
  if (names.size() != 4) throw std::logic_error(std::string("progression needs four bars: ") + text);
  std::array<Chord, 4> out;
  for (size_t i = 0; i < 4; ++i) out[i] = parseChord(names[i]);
  return out;
}

struct Note {
  int row;     // from the pattern's first row
  int midi;    // -1 for a rest
  int length;  // rows
};

// "E5:6 C5:6 A4:4 | ..." -- pitch:rows, "-" rests, "|" checks every bar adds up.
std::vector<Note> parsePhrase(const char* text) {
  std::vector<Note> notes;
  int row = 0, barStart = 0;
  for (const std::string& w : words(text)) {
    if (w == "|") {
      if (row - barStart != kBarRows) throw std::logic_error(std::string("bar is not 16 rows in: ") + text);
      barStart = row;
      continue;
    }
    const size_t colon = w.find(':');
    if (colon == std::string::npos) throw std::logic_error("note without length: " + w);
    const int length = std::stoi(w.substr(colon + 1));
    const std::string pitch = w.substr(0, colon);
    notes.push_back(Note{row, pitch == "-" ? -1 : parsePitch(pitch), length});
    row += length;
  }
  if (row - barStart != kBarRows || row > kRows) throw std::logic_error(std::string("phrase does not end a bar: ") + text);
  return notes;
}

// ---------------------------------------------------------------------------
// Lead sheet. The song sits in A minor; each progression fills one pattern.

const char* const kMainA = "Am Fmaj7 Dm7 Em7";
const char* const kMainB = "Am Fmaj7 C G";
const char* const kStairs = "Am G/B C D";  // the bass climbs a step per bar
const char* const kClockA = "Fmaj7 G Em7 Am";
const char* const kClockB = "Dm7 Em7 Fmaj7 E";  // E major pulls back into F: the deceptive turn
const char* const kFinal = "Dm7 Dm7 Amadd9 Amadd9";

const char* progressionOf(int order) {
  if (order == kOrders - 1) return kFinal;
  if (order >= 10 && order <= 13) return kStairs;
  if (order >= 19) return order % 2 ? kClockB : kClockA;
  return order % 2 ? kMainB : kMainA;
}

// Motif over kMainA / kMainB.
const char* const kKominA = "A4:2 C5:2 E5:8 D5:4 | C5:6 A4:2 -:4 C5:2 D5:2 | F5:8 E5:4 D5:4 | E5:12 -:4";
const char* const kKominB = "A4:2 C5:2 E5:8 G5:4 | A5:6 G5:2 -:4 E5:2 F5:2 | E5:8 D5:4 C5:4 | D5:12 -:4";
// Rising and falling steps over kStairs.
const char* const kStairsUp = "A4:3 B4:3 C5:2 E5:8 | B4:3 C5:3 D5:2 G5:8 | C5:3 D5:3 E5:2 G5:8 | D5:3 E5:3 F#5:2 A5:8";
const char* const kStairsDown =
    "E5:3 D5:3 C5:2 A4:8 | D5:3 C5:3 B4:2 G4:8 | G5:3 E5:3 D5:2 C5:8 | A5:3 F#5:3 E5:2 D5:4 -:4";
// The main theme over kClockA / kClockB.
const char* const kThemeA = "E5:6 C5:6 A4:4 | D5:6 B4:6 G4:4 | B4:6 E5:6 G5:4 | A5:8 -:4 G5:2 F5:2";
const char* const kThemeB = "A5:6 G5:6 F5:4 | E5:6 D5:4 E5:2 G5:4 | C5:6 E5:6 A5:4 | G#5:6 E5:6 B4:4";
// Bell counter-lines over kMainA / kMainB.
const char* const kCounterA = "C6:10 B5:6 | A5:16 | F5:10 E5:6 | G5:16";
const char* const kCounterB = "C6:10 B5:6 | A5:16 | G5:10 E5:6 | D5:16";

const char* komin(int order) { return order % 2 ? kKominB : kKominA; }
const char* theme(int order) { return order % 2 ? kThemeB : kThemeA; }

// ---------------------------------------------------------------------------

int xmNote(int midi) {
  const int n = midi - 11;  // MIDI 60 is C-4, note 49
  if (n < 1 || n > xm::kMaxNote) throw std::logic_error("note outside the module's range");
  return n;
}

class Score {
 public:
  Score() : cells_(static_cast<size_t>(kChannels * kTotalRows)) {}

  xm::Cell& at(int channel, int row) { return cells_[static_cast<size_t>(row * kChannels + channel)]; }
  const xm::Cell& at(int channel, int row) const { return cells_[static_cast<size_t>(row * kChannels + channel)]; }

  // A note replaces whatever the row held, including a pending key-off.
  void note(int channel, int row, int midi, int instrument, int volume) {
    if (row < 0 || row >= kTotalRows) return;
    xm::Cell& c = at(channel, row);
    c.note = static_cast<std::uint8_t>(xmNote(midi));
    c.instrument = static_cast<std::uint8_t>(instrument);
    c.volume = xm::volumeColumn(volume);
  }
  void keyOff(int channel, int row) {
    if (row < 0 || row >= kTotalRows) return;
    xm::Cell& c = at(channel, row);
    if (c.note == 0) c.note = xm::kKeyOff;
  }
  void volume(int channel, int row, int volume) {
    if (row < 0 || row >= kTotalRows) return;
    xm::Cell& c = at(channel, row);
    if (c.volume == 0) c.volume = xm::volumeColumn(volume);
  }

  xm::Pattern pattern(int order) const {
    xm::Pattern p(kRows, kChannels);
    for (int r = 0; r < kRows; ++r)
      for (int ch = 0; ch < kChannels; ++ch) p.at(r, ch) = at(ch, order * kRows + r);
    return p;
  }

 private:
  std::vector<xm::Cell> cells_;
};

int scaled(int volume, double factor) { return static_cast<int>(std::lround(volume * factor)); }

class Composer {
 public:
  Composer() {
    for (int o = 0; o < kOrders; ++o) chords_[static_cast<size_t>(o)] = parseProgression(progressionOf(o));
  }

  xm::Module build() {
    drums();
    intro();
    kominSection();
    schody();
    valec();
    hodiny();
    zena();
    ending();
    // The stairs move in dotted eighths, so a dotted-eighth echo would land
    // a step away from every note; a half-note echo lands on a chord tone.
    echo(kLead, kLeadEcho, 3, 0.42, 0, 10);
    echo(kLead, kLeadEcho, 8, 0.36, 10, 14);
    echo(kLead, kLeadEcho, 3, 0.42, 14, kOrders);
    echo(kArp, kArpEcho, 3, 0.5, 0, kOrders);
    pan();
    return module();
  }

 private:
  const Chord& chordAt(int globalBar) const {
    const int bar = std::clamp(globalBar, 0, kOrders * 4 - 1);
    return chords_[static_cast<size_t>(bar / 4)][static_cast<size_t>(bar % 4)];
  }

  void drums() {
    for (int o = 0; o < kOrders; ++o) {
      const std::vector<int> rows = beatRows(o);
      const bool climax = o >= 24 && o <= 26;
      for (int r : rows) {
        const bool kick = r % 32 < kBarRows;
        // The second row of a pair is the echo of the first, unless it stands alone.
        const bool echoed = std::find(rows.begin(), rows.end(), r - 1) != rows.end();
        const int g = o * kRows + r;
        if (kick) {
          score_.note(kKick, g, kDrumNote, iKick, echoed ? 38 : 64);
        } else {
          score_.note(kSnare, g, kDrumNote, iSnare, echoed ? 36 : 64);
          if (climax && !echoed) score_.note(kKick, g, kDrumNote, iKick, 46);
        }
      }
    }
  }

  void hats(int order, const char* bar, int volume) {
    requireBar(bar);
    const Window w = hatWindow(order);
    for (int r = w.from; r < w.to; ++r) {
      const int g = order * kRows + r;
      switch (bar[r % kBarRows]) {
        case 'x': score_.note(kHat, g, kDrumNote, iClosedHat, volume); break;
        case 'c': score_.note(kHat, g, kDrumNote, iClosedHat, scaled(volume, 0.45)); break;
        case 'o': score_.note(kHat, g, kDrumNote, iOpenHat, scaled(volume, 0.75)); break;
        case '.': break;
        default: throw std::logic_error(std::string("bad hat step in ") + bar);
      }
    }
  }

  static void requireBar(const char* bar) {
    if (std::strlen(bar) != kBarRows) throw std::logic_error(std::string("rhythm is not one bar: ") + bar);
  }

  // The bass sits between A1 and G#2 whatever the chord.
  static int bassNote(int pitchClass) { return 33 + (pitchClass - 9 + 12) % 12; }
  static int above(int midi, int pitchClass) {
    int m = midi + 1;
    while ((m % 12 + 12) % 12 != pitchClass) ++m;
    return m;
  }

  // R root, r soft root, O octave, F fifth, A approach from a semitone under
  // the next bar's bass, = hold, . silence.
  void bass(int order, const char* bar, int volume, int from = 0, int to = kRows) {
    requireBar(bar);
    bool sounding = false;
    for (int r = from; r < to; ++r) {
      const int g = order * kRows + r;
      const Chord& chord = chordAt(g / kBarRows);
      const int root = bassNote(chord.bass);
      int midi = 0, v = volume;
      switch (bar[r % kBarRows]) {
        case 'R': midi = root; break;
        case 'r': midi = root, v = scaled(volume, 0.7); break;
        case 'O': midi = root + 12, v = scaled(volume, 0.85); break;
        case 'F': midi = above(root, chord.tones[2]), v = scaled(volume, 0.8); break;
        case 'A': midi = bassNote(chordAt(g / kBarRows + 1).bass) - 1, v = scaled(volume, 0.75); break;
        case '=': continue;
        case '.':
          if (sounding) score_.keyOff(kBass, g);
          sounding = false;
          continue;
        default: throw std::logic_error(std::string("bad bass step in ") + bar);
      }
      score_.note(kBass, g, midi < 33 ? midi + 12 : midi, iBass, v);
      sounding = true;
    }
    if (sounding) score_.keyOff(kBass, order * kRows + to);
  }

  // Voice-leads to the nearest three-note voicing that keeps the third and
  // the colour tone; the bass already has the root.
  static std::array<int, 3> voicing(const Chord& c, const std::array<int, 3>& previous) {
    std::vector<int> pool;
    for (int m = 55; m <= 74; ++m)
      if (std::find(c.tones.begin(), c.tones.end(), m % 12) != c.tones.end()) pool.push_back(m);
    std::array<int, 3> best{};
    int bestCost = 1 << 30;
    const int third = c.tones[1];
    const int colour = c.tones.size() > 3 ? c.tones[3] : third;
    for (size_t i = 0; i < pool.size(); ++i)
      for (size_t j = i + 1; j < pool.size(); ++j)
        for (size_t k = j + 1; k < pool.size(); ++k) {
          const std::array<int, 3> v = {pool[i], pool[j], pool[k]};
          const std::array<int, 3> pc = {v[0] % 12, v[1] % 12, v[2] % 12};
          if (pc[0] == pc[1] || pc[1] == pc[2] || pc[0] == pc[2]) continue;
          if (std::find(pc.begin(), pc.end(), third) == pc.end()) continue;
          if (std::find(pc.begin(), pc.end(), colour) == pc.end()) continue;
          int cost = std::abs(v[0] - previous[0]) + std::abs(v[1] - previous[1]) + std::abs(v[2] - previous[2]);
          if (v[1] - v[0] < 2 || v[2] - v[1] < 2) cost += 4;  // semitone rubs turn muddy on saws
          if (cost < bestCost) bestCost = cost, best = v;
        }
    if (bestCost == 1 << 30) throw std::logic_error("no pad voicing");
    return best;
  }

  void pads(int order, int volume, int fromBar = 0, int toBar = 4) {
    for (int b = fromBar; b < toBar; ++b) {
      const int bar = order * 4 + b;
      const Chord& c = chordAt(bar);
      if (padOn_ && c == padChord_) continue;
      const int g = bar * kBarRows;
      padsOff(g);
      padBank_ ^= 1;
      padVoicing_ = voicing(c, padVoicing_);
      for (int v = 0; v < kPadVoices; ++v)
        score_.note(kPad + padBank_ * kPadVoices + v, g, padVoicing_[static_cast<size_t>(v)], iPad, volume);
      padOn_ = true;
      padChord_ = c;
    }
  }

  void padsOff(int globalRow) {
    if (!padOn_) return;
    for (int v = 0; v < kPadVoices; ++v) score_.keyOff(kPad + padBank_ * kPadVoices + v, globalRow);
    padOn_ = false;
  }

  void padFade(int order, int from, int to, int fromVolume, int toVolume) {
    for (int r = from; r <= to; ++r) {
      const int v = fromVolume + (toVolume - fromVolume) * (r - from) / std::max(1, to - from);
      for (int ch = kPad; ch < kPad + 2 * kPadVoices; ++ch) score_.volume(ch, order * kRows + r, v);
    }
  }

  // Digits index the chord tones upwards from `lowest`; downbeats are a touch louder.
  void arpeggio(int order, const char* bar, int volume, int lowest, int from = 0, int to = kRows) {
    requireBar(bar);
    for (int r = from; r < to; ++r) {
      const char step = bar[r % kBarRows];
      if (step == '.') continue;
      if (step < '0' || step > '7') throw std::logic_error(std::string("bad arpeggio step in ") + bar);
      const int g = order * kRows + r;
      const Chord& c = chordAt(g / kBarRows);
      int midi = lowest - 1;
      for (int i = 0; i <= step - '0'; ++i) {
        midi = midi + 1;
        while (std::find(c.tones.begin(), c.tones.end(), midi % 12) == c.tones.end()) ++midi;
      }
      score_.note(kArp, g, midi, iPluck, r % 4 == 0 ? volume : scaled(volume, 0.78));
    }
  }

  // Two chord tones just under E6 alternate like a clock's tick and tock.
  void ticks(int order, int volume) {
    for (int r = 0; r < kRows; r += 2) {
      const int g = order * kRows + r;
      const Chord& c = chordAt(g / kBarRows);
      int hi = 88;
      while (std::find(c.tones.begin(), c.tones.end(), hi % 12) == c.tones.end()) --hi;
      int lo = hi - 3;
      while (std::find(c.tones.begin(), c.tones.end(), lo % 12) == c.tones.end()) --lo;
      score_.note(kBell, g, (r / 2) % 2 ? lo : hi, iBell, (r % 8 == 0) ? volume : scaled(volume, 0.7));
    }
  }

  void melody(int channel, int instrument, int order, const char* phrase, int volume, int transpose = 0,
              int from = 0, int to = kRows) {
    for (const Note& n : parsePhrase(phrase)) {
      if (n.row < from || n.row >= to) continue;
      const int g = order * kRows + n.row;
      if (n.midi < 0) {
        score_.keyOff(channel, g);
        continue;
      }
      score_.note(channel, g, n.midi + transpose, instrument, n.length <= 2 ? scaled(volume, 0.88) : volume);
      score_.keyOff(channel, g + n.length);
    }
  }

  void riser(int order, int volume) { score_.note(kFx, order * kRows + kRows / 2, kDrumNote, iRiser, volume); }

  // ---- sections ----------------------------------------------------------

  void intro() {
    for (int o = 0; o < 4; ++o) pads(o, 26 + 2 * o);
    melody(kBell, iBell, 0, "A5:16 | E5:16 | -:16 | B4:16", 22);
    melody(kBell, iBell, 1, "C6:16 | A5:16 | G5:16 | D5:16", 22);
    for (int o = 1; o < 4; ++o) bass(o, "R===============", 36 + 4 * o);
    arpeggio(2, "0...1...2...1...", 26, 64);
    arpeggio(3, "0.1.2.3.2.1.2.3.", 28, 64);
    riser(3, 34);
  }

  void kominSection() {
    const char* const kBass = "R==.R..R=.r.O=.r";
    for (int o = 4; o <= 9; ++o) pads(o, 24);
    for (int o = 4; o <= 7; ++o) bass(o, kBass, 50);
    bass(8, kBass, 50, kBarRows, kRows);  // the break: bass waits out the first bar
    bass(9, "R===============", 40);
    for (int o = 4; o <= 8; ++o) {
      arpeggio(o, "0.1.2.3.2.1.2.3.", 28, 64);
      hats(o, "..x.c.x...x.c.x.", 30);
    }
    for (int o = 6; o <= 8; ++o) melody(kLead, iLead, o, komin(o), 50);
    melody(kBell, iBell, 9, komin(9), 32);
    riser(9, 36);
  }

  void schody() {
    for (int o = 10; o <= 13; ++o) {
      pads(o, 22);
      bass(o, "R.r.O.r.R.r.O.r.", 48);
      arpeggio(o, "0.1.2.3.1.2.3.4.", 24, 60);
      hats(o, "c.x.c.x.c.x.c.xo", 30);
      melody(kLead, iLead, o, o % 2 ? kStairsDown : kStairsUp, 52);
    }
    riser(13, 36);
  }

  void valec() {
    const char* const kRoll = "R.rRO.rRR.rRO.rF";
    for (int o = 14; o <= 19; ++o) pads(o, 25);
    for (int o = 14; o <= 18; ++o) {
      if (o == 17) {
        bass(o, kRoll, 50, 0, kRows / 2);
        bass(o, "R===============", 42, kRows / 2, kRows);
      } else {
        bass(o, kRoll, 50);
      }
      arpeggio(o, "0123212301232123", 22, 64);
      hats(o, "c.x.c.xcc.x.c.xo", 30);
      melody(kLead, iLead, o, komin(o), 48);
      if (o >= 15) melody(kBell, iBell, o, o % 2 ? kCounterB : kCounterA, 26);
    }
    // A soft first look at the main theme before it arrives in full.
    bass(19, "R===============", 36);
    melody(kBell, iBell, 19, theme(19), 30);
    riser(19, 36);
  }

  void hodiny() {
    for (int o = 20; o <= 23; ++o) {
      pads(o, 22);
      bass(o, "R.rrR.r.R.rrO.r.", 48);
      ticks(o, 20);
      hats(o, "c.x.c.x.c.x.c.x.", 26);
      melody(kLead, iLead, o, theme(o), 52);
      if (o >= 22) arpeggio(o, "0.2.1.2.0.2.1.2.", 20, 57);
    }
    riser(23, 38);
  }

  void zena() {
    const char* const kPump = "RrOrRrOrRrOrRrOr";
    for (int o = 24; o <= 27; ++o) {
      pads(o, 27);
      if (o == 27) {
        bass(o, kPump, 50, 0, kRows / 2);
        bass(o, "R===============", 42, kRows / 2, kRows);
      } else {
        bass(o, kPump, 50);
      }
      arpeggio(o, "0123432101234321", 24, 64);
      hats(o, "cxcxcxcocxcxcxco", 30);
      melody(kLead, iLead, o, theme(o), 56);
      melody(kBell, iBell, o, theme(o), 22, 12);
    }
  }

  void ending() {
    const int padVolume[] = {26, 24, 22, 20};
    const int themeVolume[] = {30, 27, 24};
    for (int o = 28; o <= 31; ++o) {
      pads(o, padVolume[o - 28]);
      if (o < 31) {
        bass(o, "R===============", 40 - 3 * (o - 28));
        melody(kBell, iBell, o, theme(o), themeVolume[o - 28]);
        arpeggio(o, "0...1...2...3...", 18, 57);
      }
    }
    // The last pattern lets everything settle: the engine fades over it.
    bass(31, "R===============", 30, 0, 48);
    melody(kBell, iBell, 31, "A5:16 | F5:16 | E5:16 | -:16", 22);
    padFade(31, 36, 60, padVolume[3], 0);
    padsOff(31 * kRows + 60);
  }

  // ---- finishing ---------------------------------------------------------

  // A tracker-style delay: the copy trails by `delay` rows, quieter and panned
  // away. It covers orders [first, last) and is cut where they end, so the
  // next stretch can use a different delay without tails cutting its notes.
  void echo(int source, int target, int delay, double gain, int first, int last) {
    const int end = last * kRows;
    for (int g = first * kRows; g + delay < end; ++g) {
      const xm::Cell& c = score_.at(source, g);
      if (c.note == 0) continue;
      xm::Cell copy = c;
      if (c.note != xm::kKeyOff) copy.volume = xm::volumeColumn(scaled(c.volume - 0x10, gain));
      score_.at(target, g + delay) = copy;
    }
    score_.keyOff(target, end);
  }

  // Each trigger resets panning to the sample's, so pan goes on every note.
  void pan() {
    const int kPan[kChannels] = {-1, 120, -1, -1, 84, 128, 172, 84, 128, 172, -1, 200, 92, 168, -1, -1};
    for (int g = 0; g < kTotalRows; ++g)
      for (int ch = 0; ch < kChannels; ++ch) {
        xm::Cell& c = score_.at(ch, g);
        if (kPan[ch] < 0 || c.note == 0 || c.note == xm::kKeyOff || c.effect != 0 || c.param != 0) continue;
        c.effect = xm::kSetPanning;
        c.param = static_cast<std::uint8_t>(kPan[ch]);
      }
  }

  xm::Module module() const {
    xm::Module m;
    m.name = "velmorin";
    m.channels = kChannels;
    m.speed = kSpeed;
    m.tempo = kTempo;
    m.instruments = {synth::kick(), synth::snare(), synth::closedHat(), synth::openHat(), synth::bass(),
                     synth::pad(),  synth::lead(),  synth::pluck(),     synth::bell(),    synth::riser()};
    if (m.instruments.size() != iRiser) throw std::logic_error("instrument table out of step");
    for (int o = 0; o < kOrders; ++o) {
      const xm::Pattern p = score_.pattern(o);
      const auto same = std::find(m.patterns.begin(), m.patterns.end(), p);
      m.orders.push_back(static_cast<int>(same - m.patterns.begin()));
      if (same == m.patterns.end()) m.patterns.push_back(p);
    }
    return m;
  }

  Score score_;
  std::array<std::array<Chord, 4>, kOrders> chords_;
  int padBank_ = 0;
  bool padOn_ = false;
  Chord padChord_;
  std::array<int, 3> padVoicing_ = {57, 60, 64};
};

}  // namespace

xm::Module compose() { return Composer().build(); }

}  // namespace composition
