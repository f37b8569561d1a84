#include "tools/xmcompose/synth.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <utility>

namespace synth {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 44100.0;
constexpr double kC4Rate = 8363.0;  // playback rate of C-4 with no relative note or finetune

// Fixed seeds keep every build byte-identical.
class Noise {
 public:
  explicit Noise(std::uint32_t seed) : state_(seed ? seed : 1u) {}
  double next() {  // uniform in [-1, 1)
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<double>(state_) / 2147483648.0 - 1.0;
  }

 private:
  std::uint32_t state_;
};

// One-pole sections are always stable, so cutoffs can sweep freely.
struct OnePole {
  double y = 0;
  double lowpass(double x, double cutoffHz, double rate) {
    const double a = 1.0 - std::exp(-2.0 * kPi * cutoffHz / rate);
    y += a * (x - y);
    return y;
  }
  double highpass(double x, double cutoffHz, double rate) { return x - lowpass(x, cutoffHz, rate); }
};

int frames(double seconds, double rate = kRate) { return static_cast<int>(std::lround(seconds * rate)); }

// Short ramps at both ends so a one-shot neither clicks on start nor on cut.
void fadeEdges(std::vector<double>& s, double rate, double inSeconds, double outSeconds) {
  const int in = std::max(1, frames(inSeconds, rate));
  const int out = std::max(1, frames(outSeconds, rate));
  const int n = static_cast<int>(s.size());
  for (int i = 0; i < std::min(in, n); ++i) s[static_cast<size_t>(i)] *= double(i) / in;
  for (int i = 0; i < std::min(out, n); ++i) s[static_cast<size_t>(n - 1 - i)] *= double(i) / out;
}

// A band-limited tone made of partials that all complete whole cycles within
// the loop, so the loop seam cannot click or drift. `cycles` lists one entry
// per detuned layer: that layer's fundamental completes that many cycles per
// loop. Before `attackFrames` the partial levels may move; inside the loop
// they hold their attack-end values.
using PartialLevel = std::function<double(int harmonic, double hz, double seconds)>;

struct LoopedTone {
  std::vector<double> signal;
  int loopStart = 0;
  int loopLength = 0;
  double hz = 0;  // mean fundamental of the layers
};

LoopedTone additiveLoop(int attackFrames, int loopFrames, const std::vector<int>& cycles, const PartialLevel& level,
                        double maxHz, Noise& phases) {
  LoopedTone tone;
  tone.loopStart = attackFrames;
  tone.loopLength = loopFrames;
  tone.signal.assign(static_cast<size_t>(attackFrames + loopFrames), 0.0);
  const double attackEnd = attackFrames / kRate;
  double hzSum = 0;
  for (int c : cycles) {
    const double f = c * kRate / loopFrames;
    hzSum += f;
    for (int h = 1; h * f < maxHz; ++h) {
      const double phase = kPi * phases.next();
      const double step = 2.0 * kPi * h * f / kRate;
      const double frozen = level(h, f, attackEnd);
      for (size_t i = 0; i < tone.signal.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double a = static_cast<int>(i) < attackFrames ? level(h, f, t) : frozen;
        tone.signal[i] += a * std::sin(step * static_cast<double>(i) + phase);
      }
    }
  }
  tone.hz = hzSum / static_cast<double>(cycles.size());
  return tone;
}

// A second-order roll-off: keeps the sawtooth warm instead of buzzy.
double rollOff(double hz, double cutoff) { return 1.0 / std::sqrt(1.0 + std::pow(hz / cutoff, 4.0)); }

xm::Instrument oneShot(const char* name, std::vector<double> signal, double rate, double peak, double hz = kMiddleC) {
  xm::Instrument ins;
  ins.name = name;
  ins.sample.data = toPcm(signal, peak);
  const Tuning t = tuningFor(hz, rate);
  ins.sample.relativeNote = t.relativeNote;
  ins.sample.finetune = t.finetune;
  return ins;
}

xm::Instrument looped(const char* name, const LoopedTone& tone, double peak) {
  xm::Instrument ins;
  ins.name = name;
  ins.sample.data = toPcm(tone.signal, peak);
  ins.sample.loop = xm::LoopType::Forward;
  ins.sample.loopStart = static_cast<std::uint32_t>(tone.loopStart);
  ins.sample.loopLength = static_cast<std::uint32_t>(tone.loopLength);
  const Tuning t = tuningFor(tone.hz, kRate);
  ins.sample.relativeNote = t.relativeNote;
  ins.sample.finetune = t.finetune;
  return ins;
}

// Envelope points are in ticks: 20 ms each at 125 BPM.
xm::Envelope envelope(std::vector<xm::EnvelopePoint> points, int sustain) {
  xm::Envelope e;
  e.points = std::move(points);
  e.sustain = sustain;
  return e;
}

std::vector<double> hatNoise(double seconds, double decay, std::uint32_t seed) {
  // Detuned square partials give the metallic ring that plain noise lacks.
  static const double kRing[] = {327.0, 487.0, 591.0, 836.0, 864.0, 1280.0};
  Noise noise(seed);
  OnePole hp1, hp2, lp;
  std::vector<double> s(static_cast<size_t>(frames(seconds)));
  for (size_t i = 0; i < s.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    double metal = 0;
    for (double f : kRing) metal += std::sin(2 * kPi * f * t) >= 0 ? 1.0 : -1.0;
    const double raw = 0.6 * noise.next() + 0.1 * metal;
    const double bright = hp2.highpass(hp1.highpass(raw, 6500, kRate), 6500, kRate);
    s[i] = lp.lowpass(bright, 14000, kRate) * std::exp(-t / decay);
  }
  fadeEdges(s, kRate, 0.0005, 0.005);
  return s;
}

}  // namespace

Tuning tuningFor(double hz, double rate) {
  const double semis = 12.0 * std::log2(kMiddleC * rate / (kC4Rate * hz));
  const double whole = std::round(semis);
  if (whole < -96 || whole > 95) throw std::invalid_argument("sample pitch outside the playable range");
  const int fine = static_cast<int>(std::lround((semis - whole) * 128.0));
  return Tuning{static_cast<std::int8_t>(whole), static_cast<std::int8_t>(std::clamp(fine, -128, 127))};
}

std::vector<std::int16_t> toPcm(const std::vector<double>& signal, double peak) {
  double max = 0;
  for (double v : signal) max = std::max(max, std::fabs(v));
  const double scale = max > 0 ? peak * 32767.0 / max : 0.0;
  std::vector<std::int16_t> pcm(signal.size());
  for (size_t i = 0; i < signal.size(); ++i)
    pcm[i] = static_cast<std::int16_t>(std::clamp(std::lround(signal[i] * scale), -32767L, 32767L));
  return pcm;
}

xm::Instrument kick() {
  Noise noise(0x6b1c);
  std::vector<double> s(static_cast<size_t>(frames(0.55)));
  double phase = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double hz = 46.0 + 115.0 * std::exp(-t / 0.045) + 260.0 * std::exp(-t / 0.005);
    phase += 2 * kPi * hz / kRate;
    const double body = std::sin(phase) * std::exp(-t / 0.26);
    const double click = 0.25 * noise.next() * std::exp(-t / 0.0025);
    s[i] = std::tanh(1.6 * (body + click));
  }
  fadeEdges(s, kRate, 0.0003, 0.02);
  return oneShot("kick", s, kRate, 0.95);
}

xm::Instrument snare() {
  Noise noise(0x5a4e);
  OnePole hp, lp;
  std::vector<double> s(static_cast<size_t>(frames(0.5)));
  for (size_t i = 0; i < s.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double tone = 0.55 * std::sin(2 * kPi * 182 * t) * std::exp(-t / 0.045) +
                        0.3 * std::sin(2 * kPi * 331 * t) * std::exp(-t / 0.03);
    const double hiss = lp.lowpass(hp.highpass(noise.next(), 1100, kRate), 9000, kRate);
    // A second, slower decay stands in for the room the dry hit lacks.
    const double body = hiss * (0.8 * std::exp(-t / 0.1) + 0.2 * std::exp(-t / 0.25));
    s[i] = std::tanh(2.4 * (tone + body));
  }
  fadeEdges(s, kRate, 0.0003, 0.02);
  return oneShot("snare", s, kRate, 0.9);
}

xm::Instrument closedHat() {
  xm::Instrument ins = oneShot("closed hat", hatNoise(0.16, 0.03, 0x4a7), kRate, 0.85);
  ins.sample.panning = 156;
  return ins;
}

xm::Instrument openHat() {
  xm::Instrument ins = oneShot("open hat", hatNoise(0.7, 0.22, 0x0e2), kRate, 0.85);
  ins.sample.panning = 156;
  return ins;
}

xm::Instrument bass() {
  Noise phases(0xba55);
  // One cycle of A1 per loop; the plucked brightness closes within the attack.
  const PartialLevel level = [](int h, double hz, double t) {
    const double shape = (h % 2 ? 1.0 : 0.6) / h;
    const double cutoff = 380.0 + 2400.0 * std::exp(-t / 0.07);
    return shape * rollOff(h * hz, cutoff);
  };
  const LoopedTone tone = additiveLoop(frames(0.35), 802, {1}, level, 6000, phases);
  xm::Instrument ins = looped("bass", tone, 0.9);
  ins.volumeEnvelope = envelope({{0, 64}, {4, 58}, {30, 46}}, 2);
  ins.fadeout = 1800;
  return ins;
}

xm::Instrument pad() {
  Noise phases(0x9ad);
  // Three saws one hertz apart around middle C beat slowly against each other;
  // a one-second loop holds whole cycles of all three.
  const PartialLevel level = [](int h, double hz, double) { return rollOff(h * hz, 1900) / h; };
  const LoopedTone tone = additiveLoop(0, 44100, {261, 262, 263}, level, 7000, phases);
  xm::Instrument ins = looped("pad", tone, 0.9);
  ins.volumeEnvelope = envelope({{0, 0}, {28, 64}, {70, 54}}, 2);
  ins.fadeout = 600;
  return ins;
}

xm::Instrument lead() {
  Noise phases(0x1ead);
  const PartialLevel level = [](int h, double hz, double t) {
    const double shape = (h % 2 ? 1.0 : 0.45) / h;
    return shape * rollOff(h * hz, 2600.0 + 3000.0 * std::exp(-t / 0.05));
  };
  const LoopedTone tone = additiveLoop(frames(0.12), 44100, {523, 524}, level, 9000, phases);
  xm::Instrument ins = looped("lead", tone, 0.9);
  ins.volumeEnvelope = envelope({{0, 0}, {2, 64}, {22, 50}}, 2);
  ins.fadeout = 1100;
  // A late, shallow vibrato: long notes come alive, short ones stay clean.
  ins.vibrato = xm::AutoVibrato{0, 40, 5, 26};
  return ins;
}

xm::Instrument pluck() {
  std::vector<double> s(static_cast<size_t>(frames(0.9)));
  const double f = kMiddleC;
  for (int h = 1; h * f < 7000; ++h) {
    const double step = 2 * kPi * h * f / kRate;
    const double rate = 2.2 + 0.9 * h;  // upper partials die first, as on a string
    for (size_t i = 0; i < s.size(); ++i) {
      const double t = static_cast<double>(i) / kRate;
      s[i] += std::sin(step * static_cast<double>(i)) * std::exp(-t * rate) / h;
    }
  }
  fadeEdges(s, kRate, 0.001, 0.03);
  xm::Instrument ins = oneShot("pluck", s, kRate, 0.9);
  ins.sample.panning = 100;
  return ins;
}

xm::Instrument bell() {
  struct Partial {
    double ratio, amp, decay;
  };
  // The inharmonic partials fade fast, leaving a clean tone under the strike.
  static const Partial kPartials[] = {
      {1.0, 1.0, 1.6}, {2.0, 0.32, 0.8}, {3.0, 0.1, 0.45}, {4.21, 0.14, 0.22}, {7.13, 0.07, 0.07},
  };
  const double f = 2 * kMiddleC;
  std::vector<double> s(static_cast<size_t>(frames(2.4)));
  for (const Partial& p : kPartials) {
    const double step = 2 * kPi * p.ratio * f / kRate;
    for (size_t i = 0; i < s.size(); ++i) {
      const double t = static_cast<double>(i) / kRate;
      s[i] += p.amp * std::sin(step * static_cast<double>(i)) * std::exp(-t / p.decay);
    }
  }
  fadeEdges(s, kRate, 0.002, 0.05);
  xm::Instrument ins = oneShot("bell", s, kRate, 0.9, f);
  ins.sample.panning = 168;
  // Without an envelope a key-off silences at once; this lets a rest
  // release the ring over a second and a half instead of chopping it.
  ins.volumeEnvelope = envelope({{0, 64}, {1, 64}}, 1);
  ins.fadeout = 400;
  return ins;
}

xm::Instrument riser() {
  // Lower rate: a noise swell needs no top octave and halves the file size.
  constexpr double kRiserRate = 22050.0;
  constexpr double kSeconds = 32 * 6 * 2.5 / 125.0;
  Noise noise(0x715e);
  OnePole hp1, hp2, lp1, lp2;
  std::vector<double> s(static_cast<size_t>(frames(kSeconds, kRiserRate)));
  for (size_t i = 0; i < s.size(); ++i) {
    const double x = static_cast<double>(i) / static_cast<double>(s.size());
    const double centre = 220.0 * std::pow(5000.0 / 220.0, x);
    double v = hp2.highpass(hp1.highpass(noise.next(), centre / 1.6, kRiserRate), centre / 1.6, kRiserRate);
    v = lp2.lowpass(lp1.lowpass(v, centre * 1.6, kRiserRate), centre * 1.6, kRiserRate);
    s[i] = v * x * x;
  }
  fadeEdges(s, kRiserRate, 0.01, 0.03);
  return oneShot("riser", s, kRiserRate, 0.8);
}

}  // namespace synth
