#include "tools/xmcompose/xm_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace xm {
namespace {

constexpr int kMaxChannels = 32;
constexpr int kMaxOrders = 256;
constexpr int kMaxPatterns = 256;
constexpr int kMaxInstruments = 128;
constexpr int kMaxEnvelopePoints = 12;
constexpr std::uint32_t kInstrumentHeaderSize = 263;
constexpr std::uint32_t kSampleHeaderSize = 40;

class Out {
 public:
  void u8(unsigned v) { bytes_.push_back(static_cast<std::uint8_t>(v)); }
  void u16(unsigned v) {
    u8(v & 0xFF);
    u8((v >> 8) & 0xFF);
  }
  void u32(std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  }
  // Fixed-width text, zero padded and silently shortened.
  void text(const std::string& s, size_t width) {
    for (size_t i = 0; i < width; ++i) u8(i < s.size() ? static_cast<unsigned char>(s[i]) : 0);
  }
  void zeros(size_t n) { bytes_.insert(bytes_.end(), n, 0); }
  size_t size() const { return bytes_.size(); }
  void patchU16(size_t at, unsigned v) {
    bytes_[at] = static_cast<std::uint8_t>(v & 0xFF);
    bytes_[at + 1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
  }
  std::vector<std::uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

void fail(const std::string& what) { throw std::invalid_argument(what); }

void checkCell(const Cell& c, int instruments) {
  if (c.note > kKeyOff) fail("note out of range");
  if (c.instrument > instruments) fail("cell names a missing instrument");
  if (c.volume != 0 && c.volume < 0x10) fail("volume column byte is not a command");
  if (c.volume > volumeColumn(64) && c.volume < 0x60) fail("volume above 64");
  if (c.effect > 0x21) fail("unknown effect");
}

void writePattern(Out& out, const Pattern& p, int channels, int instruments) {
  if (p.channels != channels) fail("pattern channel count differs from the module's");
  if (p.rows < 1 || p.rows > 256) fail("pattern row count out of range");
  if (p.cells.size() != static_cast<size_t>(p.rows * p.channels)) fail("pattern cell count mismatch");

  out.u32(9);  // header length
  out.u8(0);   // packing type
  out.u16(static_cast<unsigned>(p.rows));
  const size_t sizeAt = out.size();
  out.u16(0);
  const size_t dataStart = out.size();
  for (const Cell& c : p.cells) {
    checkCell(c, instruments);
    const std::uint8_t fields[5] = {c.note, c.instrument, c.volume, c.effect, c.param};
    unsigned mask = 0;
    for (int i = 0; i < 5; ++i)
      if (fields[i]) mask |= 1u << i;
    if (mask == 0x1F) {
      // A full cell is shorter unpacked; the note byte never has bit 7 set.
      for (std::uint8_t f : fields) out.u8(f);
      continue;
    }
    out.u8(0x80 | mask);
    for (int i = 0; i < 5; ++i)
      if (mask & (1u << i)) out.u8(fields[i]);
  }
  const size_t packed = out.size() - dataStart;
  if (packed > 0xFFFF) fail("packed pattern larger than 64 KiB");
  out.patchU16(sizeAt, static_cast<unsigned>(packed));
}

void writeEnvelopePoints(Out& out, const Envelope& env) {
  for (int i = 0; i < kMaxEnvelopePoints; ++i) {
    if (i < static_cast<int>(env.points.size())) {
      out.u16(env.points[static_cast<size_t>(i)].tick);
      out.u16(env.points[static_cast<size_t>(i)].value);
    } else {
      out.u16(0);
      out.u16(0);
    }
  }
}

void checkEnvelope(const Envelope& env) {
  if (env.points.size() > static_cast<size_t>(kMaxEnvelopePoints)) fail("too many envelope points");
  for (size_t i = 0; i < env.points.size(); ++i) {
    if (env.points[i].value > 64) fail("envelope value above 64");
    if (i > 0 && env.points[i].tick <= env.points[i - 1].tick) fail("envelope ticks must rise");
  }
  if (!env.points.empty() && env.points.front().tick != 0) fail("envelope must start at tick 0");
  if (env.sustain >= static_cast<int>(env.points.size())) fail("sustain point past the envelope");
}

void writeInstrument(Out& out, const Instrument& ins) {
  const Sample& s = ins.sample;
  checkEnvelope(ins.volumeEnvelope);
  if (s.data.size() > 0x3FFFFFFF) fail("sample too long");
  if (s.loop != LoopType::None) {
    if (s.loopLength == 0 || s.loopStart + s.loopLength > s.data.size()) fail("sample loop outside its data");
  }
  if (s.volume > 64) fail("sample volume above 64");
  if (ins.fadeout > 0xFFF) fail("fadeout out of range");

  out.u32(kInstrumentHeaderSize);
  out.text(ins.name, 22);
  out.u8(0);
  out.u16(1);
  out.u32(kSampleHeaderSize);
  out.zeros(96);  // every note maps to sample 0
  writeEnvelopePoints(out, ins.volumeEnvelope);
  writeEnvelopePoints(out, Envelope{});
  out.u8(static_cast<unsigned>(ins.volumeEnvelope.points.size()));
  out.u8(0);
  out.u8(ins.volumeEnvelope.sustain < 0 ? 0 : static_cast<unsigned>(ins.volumeEnvelope.sustain));
  out.u8(0);  // volume loop start
  out.u8(0);  // volume loop end
  out.u8(0);
  out.u8(0);
  out.u8(0);
  unsigned volumeType = 0;
  if (!ins.volumeEnvelope.points.empty()) volumeType |= 1;
  if (ins.volumeEnvelope.sustain >= 0) volumeType |= 2;
  out.u8(volumeType);
  out.u8(0);
  out.u8(ins.vibrato.type);
  out.u8(ins.vibrato.sweep);
  out.u8(ins.vibrato.depth);
  out.u8(ins.vibrato.rate);
  out.u16(ins.fadeout);
  out.zeros(kInstrumentHeaderSize - 241);

  // Lengths and loop points are in bytes for 16-bit data.
  const std::uint32_t frames = static_cast<std::uint32_t>(s.data.size());
  const bool looped = s.loop != LoopType::None;
  out.u32(frames * 2);
  out.u32(looped ? s.loopStart * 2 : 0);
  out.u32(looped ? s.loopLength * 2 : 0);
  out.u8(s.volume);
  out.u8(static_cast<std::uint8_t>(s.finetune));
  out.u8(static_cast<unsigned>(s.loop) | 0x10);
  out.u8(s.panning);
  out.u8(static_cast<std::uint8_t>(s.relativeNote));
  out.u8(0);
  out.text(ins.name, 22);

  std::int16_t previous = 0;
  for (std::int16_t v : s.data) {
    // Deltas wrap in 16 bits; the reader's wrap restores the original value.
    out.u16(static_cast<std::uint16_t>(static_cast<std::uint16_t>(v) - static_cast<std::uint16_t>(previous)));
    previous = v;
  }
}

}  // namespace

std::vector<std::uint8_t> serialize(const Module& m) {
  if (m.channels < 1 || m.channels > kMaxChannels) fail("channel count out of range");
  if (m.orders.empty() || m.orders.size() > static_cast<size_t>(kMaxOrders)) fail("order count out of range");
  if (m.patterns.empty() || m.patterns.size() > static_cast<size_t>(kMaxPatterns)) fail("pattern count out of range");
  if (m.instruments.size() > static_cast<size_t>(kMaxInstruments)) fail("too many instruments");
  if (m.speed < 1 || m.speed > 31 || m.tempo < 32 || m.tempo > 255) fail("speed or tempo out of range");
  if (m.restart < 0 || m.restart >= static_cast<int>(m.orders.size())) fail("restart position out of range");
  for (int o : m.orders)
    if (o < 0 || o >= static_cast<int>(m.patterns.size())) fail("order names a missing pattern");

  Out out;
  out.text("Extended Module: ", 17);
  out.text(m.name, 20);
  out.u8(0x1A);
  out.text("xmcompose", 20);
  out.u16(0x0104);
  out.u32(20 + 256);  // header size, counted from this field
  out.u16(static_cast<unsigned>(m.orders.size()));
  out.u16(static_cast<unsigned>(m.restart));
  out.u16(static_cast<unsigned>(m.channels));
  out.u16(static_cast<unsigned>(m.patterns.size()));
  out.u16(static_cast<unsigned>(m.instruments.size()));
  out.u16(m.linearFrequencies ? 1 : 0);
  out.u16(static_cast<unsigned>(m.speed));
  out.u16(static_cast<unsigned>(m.tempo));
  for (int i = 0; i < 256; ++i) out.u8(i < static_cast<int>(m.orders.size()) ? m.orders[static_cast<size_t>(i)] : 0);

  const int instrumentCount = static_cast<int>(m.instruments.size());
  for (const Pattern& p : m.patterns) writePattern(out, p, m.channels, instrumentCount);
  for (const Instrument& ins : m.instruments) writeInstrument(out, ins);
  return out.take();
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string& error) {
  const std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    error = tmp + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    error = tmp + ": write failed";
    std::remove(tmp.c_str());
    return false;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace xm
