// The show's music as the engine hears it: the module xmcompose wrote into the
// build's show folder, loaded and rendered with libopenmpt.
#include <gtest/gtest.h>

#include <libopenmpt/libopenmpt.hpp>
#include <libopenmpt/libopenmpt_ext.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kShowOrders = 32;
constexpr int kRows = 64;
constexpr int kRate = 48000;
constexpr double kPatternSeconds = kRows * 6 * 2.5 / 125.0;  // speed 6 at 125 BPM

const std::vector<char>& moduleBytes() {
  static const std::vector<char> bytes = [] {
    std::ifstream in(std::string(VELMORIN_SHOW_DIR) + "/velmorin.xm", std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
  }();
  return bytes;
}

std::unique_ptr<openmpt::module_ext> load() { return std::make_unique<openmpt::module_ext>(moduleBytes()); }

// Pattern data numbers instruments from 1; 0 if absent.
int instrumentNumber(const openmpt::module& m, const std::string& name) {
  const std::vector<std::string> names = m.get_instrument_names();
  const auto it = std::find(names.begin(), names.end(), name);
  return it == names.end() ? 0 : static_cast<int>(it - names.begin()) + 1;
}

double decibels(double power) { return 10.0 * std::log10(power + 1e-20); }

TEST(ShowMusicStructure, PlaysThirtyTwoFullPatternsInStepWithTheShow) {
  const auto m = load();
  ASSERT_GE(m->get_num_orders(), kShowOrders);
  EXPECT_EQ(m->get_current_speed(), 6);
  EXPECT_EQ(m->get_current_tempo(), 125);
  for (int order = 0; order < kShowOrders; ++order) {
    const int pattern = m->get_order_pattern(order);
    ASSERT_LT(pattern, m->get_num_patterns()) << "order " << order;
    EXPECT_EQ(m->get_pattern_num_rows(pattern), kRows) << "order " << order;
    // A stray speed change or jump would move every later scene switch.
    EXPECT_NEAR(m->set_position_order_row(order, 0), order * kPatternSeconds, 0.01) << "order " << order;
  }
  const double seconds = m->get_duration_seconds();
  EXPECT_GE(seconds, 180.0);
  EXPECT_LE(seconds, 300.0);
}

// ---------------------------------------------------------------------------
// The engine flashes on these rows; kick and snare must match them exactly.

const std::vector<int> kFull = {7, 8, 19, 20, 39, 40, 55, 56};
const std::vector<int> kLate = {20, 39, 40, 55, 56};
const std::vector<int> kFirstHalf = {7, 8, 19, 20};

struct BeatSpan {
  int first, last;
  std::vector<int> rows;
};

const BeatSpan kBeatTable[] = {
    {0, 3, {}},                   // intro
    {4, 7, kFull},                // the groove arrives
    {8, 8, kLate},                // a break
    {9, 9, {}},                   // breakdown
    {10, 12, kFull},
    {13, 13, kFirstHalf},         // stops at mid-pattern
    {14, 16, kFull},
    {17, 17, {7, 8, 19, 20, 56}}, // half, then a pickup
    {18, 18, kLate},
    {19, 19, {}},                 // breakdown
    {20, 20, kFull},
    {21, 21, kLate},
    {22, 22, kFull},
    {23, 23, kFirstHalf},
    {24, 26, kFull},              // climax
    {27, 27, kFirstHalf},         // last hits
    {28, 31, {}},                 // outro
};

struct Hit {
  int order, row, channel, volume;
  bool drum;  // kick or snare
};

// Every note the song plays, with the instrument a tracker would use for it:
// a note without an instrument number reuses the channel's last one.
std::vector<Hit> allNotes(const openmpt::module& m, int kick, int snare) {
  std::vector<Hit> hits;
  std::vector<int> instrument(static_cast<size_t>(m.get_num_channels()), 0);
  for (int order = 0; order < kShowOrders; ++order) {
    const int p = m.get_order_pattern(order);
    for (int row = 0; row < kRows; ++row)
      for (int ch = 0; ch < m.get_num_channels(); ++ch) {
        const int note = m.get_pattern_row_channel_command(p, row, ch, openmpt::module::command_note);
        const int ins = m.get_pattern_row_channel_command(p, row, ch, openmpt::module::command_instrument);
        if (ins != 0) instrument[static_cast<size_t>(ch)] = ins;
        if (note < 1 || note > 120) continue;  // empty, key-off or cut
        const int current = instrument[static_cast<size_t>(ch)];
        const bool volumeSet = m.get_pattern_row_channel_command(p, row, ch, openmpt::module::command_volumeffect) == 1;
        const int volume = volumeSet ? m.get_pattern_row_channel_command(p, row, ch, openmpt::module::command_volume) : 64;
        hits.push_back(Hit{order, row, ch, volume, current == kick || current == snare});
      }
  }
  return hits;
}

TEST(ShowMusicBeat, KickAndSnareLandOnlyOnTheFlashRows) {
  const auto m = load();
  const int kick = instrumentNumber(*m, "kick");
  const int snare = instrumentNumber(*m, "snare");
  ASSERT_GT(kick, 0);
  ASSERT_GT(snare, 0);
  const std::vector<Hit> notes = allNotes(*m, kick, snare);

  std::set<int> drumChannels;
  for (const Hit& h : notes)
    if (h.drum) drumChannels.insert(h.channel);
  ASSERT_GE(drumChannels.size(), 1u);
  EXPECT_LE(drumChannels.size(), 2u) << "accents spread over too many channels to find";

  for (const BeatSpan& span : kBeatTable) {
    const std::set<int> expected(span.rows.begin(), span.rows.end());
    for (int order = span.first; order <= span.last; ++order) {
      std::set<int> heard;
      for (const Hit& h : notes)
        if (h.order == order && h.drum) heard.insert(h.row);
      EXPECT_EQ(heard, expected) << "order " << order;
    }
  }
  for (const Hit& h : notes) {
    if (drumChannels.count(h.channel) == 0) continue;
    EXPECT_TRUE(h.drum) << "a non-drum note shares drum channel " << h.channel << " at order " << h.order << " row "
                        << h.row;
  }
}

TEST(ShowMusicBeat, EachAccentPairIsAHitFollowedByAQuieterEcho) {
  const auto m = load();
  const std::vector<Hit> notes = allNotes(*m, instrumentNumber(*m, "kick"), instrumentNumber(*m, "snare"));
  auto loudest = [&](int order, int row) {
    int v = -1;
    for (const Hit& h : notes)
      if (h.drum && h.order == order && h.row == row) v = std::max(v, h.volume);
    return v;
  };
  int pairs = 0;
  for (int order = 0; order < kShowOrders; ++order)
    for (int row = 0; row + 1 < kRows; ++row) {
      const int hit = loudest(order, row), echo = loudest(order, row + 1);
      if (hit < 0 || echo < 0) continue;
      ++pairs;
      EXPECT_GT(hit, echo) << "order " << order << " rows " << row << "/" << row + 1;
    }
  EXPECT_GT(pairs, 0);
}

TEST(ShowMusicScore, EveryNoteStaysInTheKeyOfAMinor) {
  // A natural minor, plus the F# of the D major and the G# of the E major
  // chords; drums and the riser sound on C, which the key holds.
  const std::set<int> kKey = {9, 11, 0, 2, 4, 5, 7, 6, 8};
  const auto m = load();
  for (int order = 0; order < kShowOrders; ++order) {
    const int p = m->get_order_pattern(order);
    for (int row = 0; row < kRows; ++row)
      for (int ch = 0; ch < m->get_num_channels(); ++ch) {
        const int note = m->get_pattern_row_channel_command(p, row, ch, openmpt::module::command_note);
        if (note < 1 || note > 120) continue;
        EXPECT_EQ(kKey.count((note - 1) % 12), 1u)
            << m->format_pattern_row_channel_command(p, row, ch, openmpt::module::command_note) << " at order "
            << order << " row " << row << " channel " << ch;
      }
  }
}

// ---------------------------------------------------------------------------
// Tuning: a wrong relative note or finetune puts an instrument out of key
// with the rest, which no pattern check can see.

// Picks the shortest period whose normalised difference dips clearly, so a
// strong second harmonic cannot pass for the fundamental.
double fundamentalHz(const std::vector<float>& x) {
  const int maxLag = kRate / 40;
  const int n = static_cast<int>(x.size()) - maxLag;
  std::vector<double> d(static_cast<size_t>(maxLag), 0.0), norm(static_cast<size_t>(maxLag), 1.0);
  double running = 0;
  for (int lag = 1; lag < maxLag; ++lag) {
    double s = 0;
    for (int i = 0; i < n; ++i) {
      const double e = x[static_cast<size_t>(i)] - x[static_cast<size_t>(i + lag)];
      s += e * e;
    }
    running += s;
    norm[static_cast<size_t>(lag)] = s * lag / running;
  }
  for (int lag = 2; lag + 1 < maxLag; ++lag) {
    if (norm[static_cast<size_t>(lag)] >= 0.2) continue;
    while (lag + 2 < maxLag && norm[static_cast<size_t>(lag + 1)] < norm[static_cast<size_t>(lag)]) ++lag;
    const double a = norm[static_cast<size_t>(lag - 1)], b = norm[static_cast<size_t>(lag)],
                 c = norm[static_cast<size_t>(lag + 1)];
    return kRate / (lag + 0.5 * (a - c) / (a - 2 * b + c));
  }
  return 0;
}

struct Pitch {
  const char* instrument;
  int note;  // libopenmpt counts like MIDI: 69 is the A above middle C
  double hz;
};

TEST(ShowMusicTuning, EveryTonalInstrumentPlaysInTune) {
  const Pitch kPitches[] = {
      {"bass", 33, 55.0},  {"bass", 45, 110.0}, {"pad", 57, 220.0},   {"pad", 69, 440.0},
      {"lead", 69, 440.0}, {"lead", 76, 659.26}, {"pluck", 64, 329.63}, {"bell", 81, 880.0},
  };
  for (const Pitch& p : kPitches) {
    const auto m = load();
    const int ins = instrumentNumber(*m, p.instrument) - 1;
    ASSERT_GE(ins, 0) << p.instrument;
    auto* live = static_cast<openmpt::ext::interactive*>(m->get_interface(openmpt::ext::interactive_id));
    ASSERT_NE(live, nullptr);
    for (int ch = 0; ch < m->get_num_channels(); ++ch) live->set_channel_mute_status(ch, true);
    live->play_note(ins, p.note, 1.0, 0.0);
    std::vector<float> sound(static_cast<size_t>(kRate / 2));
    m->read(kRate, sound.size(), sound.data());
    // Past the attack, before the vibrato has fully swept in.
    const std::vector<float> steady(sound.begin() + kRate / 5, sound.begin() + kRate / 5 + 4800);
    const double hz = fundamentalHz(steady);
    ASSERT_GT(hz, 0) << p.instrument << " note " << p.note << " has no pitch";
    EXPECT_NEAR(1200.0 * std::log2(hz / p.hz), 0.0, 15.0) << p.instrument << " note " << p.note << ": " << hz << " Hz";
  }
}

// ---------------------------------------------------------------------------
// Levels, from one render of the whole song.

constexpr int kBars = kShowOrders * 4;

struct Levels {
  std::vector<double> peak = std::vector<double>(kBars, 0.0);
  std::vector<double> energy = std::vector<double>(kBars, 0.0);
  std::vector<double> samples = std::vector<double>(kBars, 0.0);

  double rmsDb(int firstBar, int lastBar) const {
    double e = 0, n = 0;
    for (int b = firstBar; b <= lastBar; ++b) e += energy[static_cast<size_t>(b)], n += samples[static_cast<size_t>(b)];
    return decibels(n > 0 ? e / n : 0);
  }
  double peakOf(int firstBar, int lastBar) const {
    return *std::max_element(peak.begin() + firstBar, peak.begin() + lastBar + 1);
  }
};

const Levels& levels() {
  static const Levels measured = [] {
    Levels l;
    const auto m = load();
    std::vector<float> chunk(2 * 256);
    for (;;) {
      // Small chunks keep each one inside a single row.
      const int order = m->get_current_order(), row = m->get_current_row();
      const size_t frames = m->read_interleaved_stereo(kRate, chunk.size() / 2, chunk.data());
      if (frames == 0 || order < 0 || order >= kShowOrders) break;
      const size_t bar = static_cast<size_t>(order * 4 + row / 16);
      for (size_t i = 0; i < 2 * frames; ++i) {
        const double v = chunk[i];
        l.peak[bar] = std::max(l.peak[bar], std::fabs(v));
        l.energy[bar] += v * v;
      }
      l.samples[bar] += static_cast<double>(2 * frames);
    }
    return l;
  }();
  return measured;
}

struct Section {
  const char* name;
  int first, last;  // orders
  double minRmsDb;
};

const Section kSections[] = {
    {"intro", 0, 3, -33}, {"komin", 4, 9, -30},   {"schody", 10, 13, -30}, {"valec", 14, 19, -30},
    {"hodiny", 20, 23, -30}, {"zena", 24, 27, -28}, {"end", 28, 31, -34},
};

TEST(ShowMusicLevels, EverySectionIsAudibleAndNeverClips) {
  const Levels& l = levels();
  for (const Section& s : kSections) {
    const double rms = l.rmsDb(s.first * 4, s.last * 4 + 3);
    const double peak = l.peakOf(s.first * 4, s.last * 4 + 3);
    // The engine converts to 16 bits: keep a decibel of headroom.
    EXPECT_LT(peak, 0.89) << s.name;
    EXPECT_GT(rms, s.minRmsDb) << s.name;
  }
}

TEST(ShowMusicLevels, NoBarFallsSilentBeforeTheLastOne) {
  const Levels& l = levels();
  for (int bar = 0; bar < kBars - 1; ++bar)
    EXPECT_GT(l.rmsDb(bar, bar), -45.0) << "order " << bar / 4 << " bar " << bar % 4;
}

TEST(ShowMusicLevels, BuildsToTheClimaxAndSettlesAtTheEnd) {
  const Levels& l = levels();
  const double intro = l.rmsDb(0, 15), climax = l.rmsDb(24 * 4, 27 * 4 + 3), last = l.rmsDb(31 * 4, 31 * 4 + 3);
  EXPECT_GT(climax, intro + 3.0);
  EXPECT_LT(last, climax - 6.0);
  // The final bar is the tail: it fades to near silence instead of being cut.
  EXPECT_LT(l.rmsDb(kBars - 1, kBars - 1), l.rmsDb(31 * 4, 31 * 4 + 2));
  EXPECT_LT(l.rmsDb(kBars - 1, kBars - 1), -36.0);
}

}  // namespace
