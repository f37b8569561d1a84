// Instruments synthesised from scratch: drums from noise and swept sines,
// tonal voices from additive partials.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/xmcompose/xm_writer.h"

namespace synth {

// Tonal voices are built so that the note C-4 sounds middle C (261.63 Hz);
// drums and effects play at their recorded rate on C-4.
constexpr double kMiddleC = 261.6255653;

struct Tuning {
  std::int8_t relativeNote;
  std::int8_t finetune;
};

// The tuning that makes C-4 play a sample recorded at `rate`, whose
// fundamental is `hz`, at middle C.
Tuning tuningFor(double hz, double rate);

// Scales to `peak` (fraction of full scale) and quantises.
std::vector<std::int16_t> toPcm(const std::vector<double>& signal, double peak);

xm::Instrument kick();
xm::Instrument snare();
xm::Instrument closedHat();
xm::Instrument openHat();
xm::Instrument bass();
xm::Instrument pad();
xm::Instrument lead();
xm::Instrument pluck();
xm::Instrument bell();
xm::Instrument riser();  // a noise swell lasting exactly 32 rows at speed 6, 125 BPM

}  // namespace synth
