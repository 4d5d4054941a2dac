#include "format/number_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <random>
#include <string>

#include "tests/fixed_reference.h"

namespace morvela {
namespace {

// Both formatters: the general one and, for 6 and 9 decimals, the fast one,
// which must agree.
std::string Fixed(double v, int decimals = 6, bool force_sign = false) {
  char buffer[kMaxFixedChars];
  std::string general(buffer, FormatFixed(v, decimals, force_sign, buffer));
  if (decimals != 6 && decimals != 9) return general;
  char* end = decimals == 6 ? FormatFixedDecimals<6>(v, force_sign, buffer)
                            : FormatFixedDecimals<9>(v, force_sign, buffer);
  std::string fast(buffer, end);
  EXPECT_EQ(fast, general) << std::hexfloat << v;
  return fast;
}

double kPow10Of(int n) { return n == 6 ? 1e6 : 1e9; }

double FromBits(uint64_t bits) { return std::bit_cast<double>(bits); }

// Against the exact reference, from generators of (value, decimals, sign):
// uniformly random bit patterns (every magnitude, subnormals included:
// mostly the arbitrary-precision path); sample values and time offsets
// from 1e-10 to 2^128 (the 128-bit path); exact decimal ties at both
// rounding steps; values that round to zero, or nearly.
TEST(FormatFixedTest, MatchesTheExactReference) {
  std::mt19937_64 rng(20261206);
  std::uniform_real_distribution<double> near_half(0.35, 0.65);
  auto random_bits = [&](int i) { return FromBits(rng()) * (i % 3 ? 1 : -1); };
  auto typical = [&](int) {
    uint64_t exponent = 1023 - 40 + rng() % 170;
    return FromBits((rng() >> 12) | (exponent << 52) | (rng() & (1ull << 63)));
  };
  auto ties = [&](int i) {
    // Short binary fractions (ties at the 6th or 9th decimal), large
    // numbers with a quarter or a half (ties at the 18th digit), and within
    // an ulp of a half-way point of the last decimal.
    double v = std::ldexp(static_cast<double>(rng() % (1u << 24)),
                          -static_cast<int>(rng() % 34));
    if (i % 4 == 1)
      v = static_cast<double>((rng() >> 12) | (1ull << 50)) +
          0.25 * (rng() % 4);
    if (i % 4 == 2)
      v = (static_cast<double>(rng() % 100000000) + 0.5) /
          kPow10Of(i % 8 < 4 ? 6 : 9);
    return i % 5 == 0 ? -v : v;
  };
  auto tiny = [&](int i) {
    const int decimals = i % 8 < 4 ? 6 : 9;
    double v = near_half(rng) / kPow10Of(decimals);
    if (i % 4 == 0) v = FromBits(rng() & ((uint64_t{1} << 52) - 1));
    if (i % 4 == 1)
      v = std::ldexp(1.0 + static_cast<double>(rng() % 1000) / 1000,
                     -997 - static_cast<int>(rng() % 8));  // about 1e-300
    if (i % 8 == 2)
      v = std::nextafter(0.5 / kPow10Of(decimals), rng() % 2 ? 0.0 : 1.0);
    return i % 3 == 0 ? -v : v;
  };
  const std::function<double(int)> kGenerators[] = {random_bits, typical, ties,
                                                    tiny};
  for (const auto& generate : kGenerators) {
    for (int i = 0; i < 300000; ++i) {
      const double v = generate(i);
      const int decimals = i % 8 < 4 ? 6 : 9;
      const bool sign = i % 5 == 0;
      ASSERT_EQ(Fixed(v, decimals, sign), ReferenceFixed(v, decimals, sign))
          << std::hexfloat << v << " " << decimals;
    }
  }
}

// The float path against the double path (itself checked against the exact
// reference above) on random bit patterns and near half-way points, and
// against the reference directly on some of them.
TEST(FormatFixedTest, FloatPathAgreesWithTheDoublePath) {
  std::mt19937_64 rng(13);
  char ours[kMaxFixedChars];
  char theirs[kMaxFixedChars];
  for (int i = 0; i < 3000000; ++i) {
    float f = std::bit_cast<float>(static_cast<uint32_t>(rng()));
    if (i % 3 == 0) {
      f = static_cast<float>((static_cast<double>(rng() % 1000000000) + 0.5) /
                             std::pow(10.0, static_cast<double>(rng() % 9)));
    }
    if (std::isnan(f)) continue;
    std::string a(ours, FormatFloatFixed6(f, ours));
    ASSERT_EQ(a, std::string(theirs, FormatFixedDecimals<6>(f, false, theirs)))
        << std::hexfloat << f;
    if (i % 100 == 0) {
      ASSERT_EQ(a, ReferenceFixed(f, 6, false)) << f;
    }
  }
}

}  // namespace
}  // namespace morvela
