// The 17-significant-digit form behind the fixed-point rule. Internal to
// format/: number_format.cpp uses it, and its tests check it.

#ifndef MORVELA_FORMAT_DECIMAL17_H_
#define MORVELA_FORMAT_DECIMAL17_H_

#include <cstdint>

namespace morvela {

// A finite non-zero magnitude cut to 17 significant digits, rounded half-up:
// the value is `digits` x 10^`exponent` with 10^16 <= digits < 10^17.
struct Decimal17 {
  uint64_t digits;
  int exponent;
};

// `magnitude` must be finite and greater than zero. 128-bit arithmetic for
// magnitudes from about 1e-10 to 1e17, arbitrary precision elsewhere.
Decimal17 ToDecimal17(double magnitude);
// The same by arbitrary-precision arithmetic alone: what ToDecimal17's
// 128-bit path must agree with.
Decimal17 ToDecimal17Exact(double magnitude);

// floor(log10(2^e)), exact for |e| <= 1650; a double's binary exponents lie
// from -1074 to 1023.
constexpr int FloorLog10Pow2(int e) { return (e * 78913) >> 18; }

}  // namespace morvela

#endif  // MORVELA_FORMAT_DECIMAL17_H_
