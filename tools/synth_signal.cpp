#include "tools/synth_signal.h"

#include <cmath>
#include <numbers>

namespace morvela {

SynthSignal::SynthSignal(DataType type, double noise, uint64_t seed)
    : noise_(noise), integral_(true), state_(seed) {
  double lo = 0;
  double hi = 0;
  switch (type) {
    case DataType::kChar:
      lo = -128, hi = 127;
      break;
    case DataType::kUnsignedChar:
      lo = 0, hi = 255;
      break;
    case DataType::kShort:
      lo = -32768, hi = 32767;
      break;
    case DataType::kUnsignedShort:
      lo = 0, hi = 65535;
      break;
    case DataType::kInt:
      lo = -2147483648.0, hi = 2147483647.0;
      break;
    case DataType::kUnsignedInt:
      lo = 0, hi = 4294967295.0;
      break;
    default:
      // Floating types: a signal of +-10 units.
      lo = -10, hi = 10;
      integral_ = false;
      break;
  }
  center_ = (lo + hi) / 2;
  // Sine and noise together stay inside the range.
  amplitude_ = (hi - lo) / 2 * 0.9 / (1 + noise_);
}

double SynthSignal::NextUniform() {
  // splitmix64: small, fast and the same on every host.
  uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
}

double SynthSignal::Next(uint32_t sample, uint32_t input) {
  double phase =
      2 * std::numbers::pi * ((input + 1.0) * sample / 1000.0 + input / 8.0);
  double v = center_ + amplitude_ * (std::sin(phase) + noise_ * NextUniform());
  return integral_ ? std::nearbyint(v) : v;
}

}  // namespace morvela
