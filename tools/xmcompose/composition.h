// The show's score: harmony, melodies and arrangement, rendered into patterns.
#pragma once

#include "tools/xmcompose/xm_writer.h"

namespace composition {

constexpr int kOrders = 32;
constexpr int kRows = 64;
constexpr int kSpeed = 6;
constexpr int kTempo = 125;

// Throws std::logic_error if a score table is malformed.
xm::Module compose();

}  // namespace composition
