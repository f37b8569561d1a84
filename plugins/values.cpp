// Value plugins: Constant, Oscilator and KeyB.
#include "plugins/plugins.h"

#include <cmath>
#include <cstdio>

const ParamInfo kConstantParams[] = {
    {" k=", ParamKind::Number, "0", "the number"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

const ParamInfo kOscilatorParams[] = {
    {" fce=", ParamKind::Value, "1", "function: 0 saw, 1 sine, 2 square, 3 step, 4 linear"},
    {" amp=", ParamKind::Value, "1", "amplitude (step: threshold time)"},
    {" add=", ParamKind::Value, "0", "offset added by sine and square"},
    {" freq=", ParamKind::Value, "1", "cycles per second"},
    {" phase=", ParamKind::Value, "0", "phase in radians (saw, linear: offset)"},
    {" time=", ParamKind::Value, "0", "explicit time; 0 or less follows the show clock"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

const ParamInfo kKeyBParams[] = {
    {" inc=", ParamKind::Word, "", "key that increases: 'c for a character, or a code"},
    {" dec=", ParamKind::Word, "", "key that decreases: 'c for a character, or a code"},
    {" min=", ParamKind::Value, "0", "lower limit"},
    {" start=", ParamKind::Value, "0", "initial value"},
    {" max=", ParamKind::Value, "1", "upper limit"},
    {" step=", ParamKind::Value, "0.1", "change per request while the key is held"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

Constant::Constant(Declaration* decl, PlugIn* nextObject) : Value(decl, nextObject) {
  ParamReader read(decl, kConstantParams);
  k = read.number();
}

Constant::Constant(float v, PlugIn* nextObject) : Value(nullptr, nextObject), k(v) {}

Oscilator::Oscilator(Declaration* decl, PlugIn* nextObject) : Value(decl, nextObject) {
  ParamReader read(decl, kOscilatorParams);
  fce = read.value();
  amp = read.value();
  add = read.value();
  freq = read.value();
  phase = read.value();
  time = read.value();
}

float Oscilator::onValue() {
  constexpr double kTwoPi = 6.28318530718;
  const float a = amp->value();
  const float o = add->value();
  const float tv = time->value();
  const float f = freq->value();
  const float ph = phase->value();
  const float t = tv > 0 ? tv : tml_ShowTime();  // NaN fails the test too
  switch (plg_Trunc(fce->value())) {
    case 0: return a * (t - std::trunc(t * f) / f) * f + ph;
    case 1: return float(std::sin(kTwoPi * t * f + ph) * a + o);
    case 2: return std::sin(kTwoPi * t * f + ph) > 0 ? o + a : o - a;
    case 3: return t > a ? 1.0f : 0.0f;
    case 4: return f * t + ph;
    default: reportPluginError(this, "unsupported function");
  }
}

int keyb_Code(const char* word) {
  int code = -1;
  if (word[0] == '\'') {
    code = word[1] ? (unsigned char)word[1] : -1;
  } else if (std::sscanf(word, "%d", &code) != 1) {
    code = -1;
  }
  return code >= 0 && code <= 255 ? code : -1;
}

KeyB::KeyB(Declaration* decl, PlugIn* nextObject) : Value(decl, nextObject) {
  ParamReader read(decl, kKeyBParams);
  incKey = keyb_Code(read.word().c_str());
  decKey = keyb_Code(read.word().c_str());
  min = read.value();
  start = read.value();
  max = read.value();
  step = read.value();
  current = start->value();
}

float KeyB::onValue() {
  const float hi = max->value();
  const float lo = min->value();
  const float s = step->value();
  if (incKey >= 0 && KEY.held[incKey]) current += s;
  if (decKey >= 0 && KEY.held[decKey]) current -= s;
  if (current > hi) current = hi;
  if (current < lo) current = lo;
  return current;
}
