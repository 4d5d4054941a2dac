#include "tools/synth_signal.h"

#include <cmath>
#include <limits>
#include <numbers>
#include <type_traits>

#include "recorder/sample_decoding.h"

namespace morvela {

SynthSignal::SynthSignal(DataType type, double noise, uint64_t seed,
                         double scale)
    : noise_(noise), scale_(scale), state_(seed) {
  // Integers span their type's range; the floating types carry a signal of
  // +-10 units.
  WithNativeType(type, [&](auto native) {
    using T = typename decltype(native)::type;
    integral_ = std::is_integral_v<T>;
    const double lo = integral_ ? std::numeric_limits<T>::lowest() : -10.0;
    const double hi = integral_ ? std::numeric_limits<T>::max() : 10.0;
    center_ = (lo + hi) / 2;
    // Sine and noise together stay inside the range.
    amplitude_ = (hi - lo) / 2 * 0.9 / (1 + noise_);
  });
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
  return integral_ ? std::nearbyint(v) : v * scale_;
}

}  // namespace morvela
