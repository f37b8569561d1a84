// In-memory model of an extended module and its serialisation.
//
// Only what the composer needs is modelled: one sample per instrument, a
// volume envelope, auto-vibrato and 16-bit sample data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace xm {

constexpr std::uint8_t kKeyOff = 97;
constexpr int kMaxNote = 96;  // C-0 is 1, B-7 is 96

// Volume column values carry their command in the high nibble.
constexpr std::uint8_t volumeColumn(int volume) {
  return static_cast<std::uint8_t>(0x10 + (volume < 0 ? 0 : volume > 64 ? 64 : volume));
}

enum Effect : std::uint8_t {
  kVolumeSlide = 0x0A,
  kSetPanning = 0x08,
  kSetSpeed = 0x0F,
};

struct Cell {
  std::uint8_t note = 0;
  std::uint8_t instrument = 0;
  std::uint8_t volume = 0;
  std::uint8_t effect = 0;
  std::uint8_t param = 0;

  bool empty() const { return note == 0 && instrument == 0 && volume == 0 && effect == 0 && param == 0; }
  bool operator==(const Cell& o) const {
    return note == o.note && instrument == o.instrument && volume == o.volume && effect == o.effect &&
           param == o.param;
  }
};

struct Pattern {
  int rows = 64;
  int channels = 0;
  std::vector<Cell> cells;  // row-major

  Pattern() = default;
  Pattern(int rowCount, int channelCount)
      : rows(rowCount), channels(channelCount), cells(static_cast<size_t>(rowCount * channelCount)) {}
  Cell& at(int row, int channel) { return cells[static_cast<size_t>(row * channels + channel)]; }
  const Cell& at(int row, int channel) const { return cells[static_cast<size_t>(row * channels + channel)]; }
  bool operator==(const Pattern& o) const { return rows == o.rows && channels == o.channels && cells == o.cells; }
};

struct EnvelopePoint {
  std::uint16_t tick;
  std::uint8_t value;  // 0..64
};

struct Envelope {
  std::vector<EnvelopePoint> points;  // empty: envelope off
  int sustain = -1;                   // point index, or -1
};

enum class LoopType : std::uint8_t { None = 0, Forward = 1, PingPong = 2 };

struct Sample {
  std::vector<std::int16_t> data;
  std::uint32_t loopStart = 0;   // in sample frames
  std::uint32_t loopLength = 0;  // in sample frames
  LoopType loop = LoopType::None;
  std::uint8_t volume = 64;
  std::uint8_t panning = 128;
  std::int8_t relativeNote = 0;
  std::int8_t finetune = 0;
};

struct AutoVibrato {
  std::uint8_t type = 0;  // 0 sine
  std::uint8_t sweep = 0;
  std::uint8_t depth = 0;
  std::uint8_t rate = 0;
};

struct Instrument {
  std::string name;
  Sample sample;
  Envelope volumeEnvelope;
  std::uint16_t fadeout = 0;  // per tick, out of 32768
  AutoVibrato vibrato;
};

struct Module {
  std::string name;
  int channels = 0;
  int speed = 6;
  int tempo = 125;
  int restart = 0;
  bool linearFrequencies = true;
  std::vector<int> orders;
  std::vector<Pattern> patterns;
  std::vector<Instrument> instruments;
};

// Throws std::invalid_argument when the module cannot be represented.
std::vector<std::uint8_t> serialize(const Module& module);

// Writes to a temporary name first so a failed run never leaves half a file
// where the show expects a complete one.
bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error);

}  // namespace xm
