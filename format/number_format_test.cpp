#include "format/number_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "format/decimal17.h"
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

TEST(FormatFixedTest, WorkedValues) {
  EXPECT_EQ(Fixed(0.0078125), "0.007813");
  EXPECT_EQ(Fixed(std::bit_cast<float>(0x60AD78ECu)),
            "100000002004087730000.000000");
  EXPECT_EQ(Fixed(1000000000000000.25), "1000000000000000.300000");
  EXPECT_EQ(Fixed(-0.0001, 9, true), "-0.000100000");
  EXPECT_EQ(Fixed(0.0001, 9, true), "+0.000100000");
  EXPECT_EQ(Fixed(9.9999996), "10.000000");
  EXPECT_EQ(Fixed(9.9999995), "9.999999");  // stored as 9.99999949999...
  EXPECT_EQ(Fixed(std::numeric_limits<double>::max()),
            "17976931348623157" + std::string(292, '0') + ".000000");
}

TEST(FormatFixedTest, ZerosAndSigns) {
  EXPECT_EQ(Fixed(0.0), "0.000000");
  EXPECT_EQ(Fixed(-0.0), "0.000000");
  EXPECT_EQ(Fixed(-0.0, 9, true), "+0.000000000");
  EXPECT_EQ(Fixed(0.0, 9, true), "+0.000000000");
  // A negative value that only rounds to zero keeps its sign.
  EXPECT_EQ(Fixed(-1e-7), "-0.000000");
  EXPECT_EQ(Fixed(-4.9e-324, 9, true), "-0.000000000");
  EXPECT_EQ(Fixed(4.9e-324), "0.000000");
  EXPECT_EQ(Fixed(5.0000001e-7), "0.000001");
  EXPECT_EQ(Fixed(5e-7), "0.000000");  // stored as 4.99999999999999977e-7
  EXPECT_EQ(Fixed(4.99e-7), "0.000000");
}

TEST(FormatFixedTest, NonFinite) {
  double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(Fixed(inf), "inf");
  EXPECT_EQ(Fixed(-inf), "-inf");
  EXPECT_EQ(Fixed(std::nan("")), "nan");
  EXPECT_EQ(Fixed(-std::nan("")), "nan");
}

// Uniformly random bit patterns cover every magnitude, subnormals included,
// and so mostly the arbitrary-precision path.
TEST(FormatFixedTest, MatchesExactReferenceOnRandomBitPatterns) {
  std::mt19937_64 rng(20261206);
  for (int i = 0; i < 300000; ++i) {
    double v = FromBits(rng());
    int decimals = i % 2 ? 6 : 9;
    ASSERT_EQ(Fixed(v, decimals, i % 3 == 0),
              ReferenceFixed(v, decimals, i % 3 == 0))
        << std::hexfloat << v;
  }
}

// Sample values and time offsets: the 128-bit path from 1e-10 to 2^128.
TEST(FormatFixedTest, MatchesExactReferenceOnTypicalMagnitudes) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 600000; ++i) {
    uint64_t exponent = 1023 - 40 + rng() % 170;
    uint64_t bits = (rng() >> 12) | (exponent << 52) | (rng() & (1ull << 63));
    double v = FromBits(bits);
    int decimals = i % 2 ? 6 : 9;
    ASSERT_EQ(Fixed(v, decimals), ReferenceFixed(v, decimals, false))
        << std::hexfloat << v;
  }
}

// Exact decimal ties at both rounding steps: short binary fractions (ties at
// the 6th or 9th decimal) and large numbers with a quarter or a half (ties at
// the 18th significant digit).
TEST(FormatFixedTest, MatchesExactReferenceOnTies) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 200000; ++i) {
    double v = std::ldexp(static_cast<double>(rng() % (1u << 24)),
                          -static_cast<int>(rng() % 34));
    if (i % 2)
      v = static_cast<double>((rng() >> 12) | (1ull << 50)) +
          0.25 * (rng() % 4);
    int decimals = i % 3 ? 6 : 9;
    // Within an ulp of a half-way point of the last decimal, where the
    // 17-digit form can land on the tie.
    if (i % 4 == 1)
      v = (static_cast<double>(rng() % 100000000) + 0.5) / kPow10Of(decimals);
    if (i % 5 == 0) v = -v;
    ASSERT_EQ(Fixed(v, decimals, true), ReferenceFixed(v, decimals, true))
        << std::hexfloat << v;
  }
}

TEST(FormatFixedTest, FastPathAgreesWithArbitraryPrecision) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 2000000; ++i) {
    double v = std::fabs(FromBits(
        i % 2 ? rng() : (rng() >> 12) | ((1023 - 40 + rng() % 170) << 52)));
    if (v == 0 || !std::isfinite(v)) continue;
    Decimal17 fast = ToDecimal17(v), exact = ToDecimal17Exact(v);
    ASSERT_EQ(fast.digits, exact.digits) << std::hexfloat << v;
    ASSERT_EQ(fast.exponent, exact.exponent) << std::hexfloat << v;
  }
}

// Values that round to zero, or nearly: subnormals, magnitudes near 1e-300,
// and the neighbourhood of half a unit of the last decimal, where the
// shortcut for tiny magnitudes ends.
TEST(FormatFixedTest, TinyMagnitudesMatchTheReference) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> near_half(0.35, 0.65);
  for (int i = 0; i < 100000; ++i) {
    const int decimals = i % 2 ? 6 : 9;
    double v;
    switch (i % 4) {
      case 0:
        v = FromBits(rng() & ((uint64_t{1} << 52) - 1));  // subnormal
        break;
      case 1:
        v = std::ldexp(1.0 + static_cast<double>(rng() % 1000) / 1000,
                       -997 - static_cast<int>(rng() % 8));  // about 1e-300
        break;
      default:
        v = near_half(rng) / kPow10Of(decimals);
        if (i % 8 == 2)
          v = std::nextafter(0.5 / kPow10Of(decimals), rng() % 2 ? 0.0 : 1.0);
        break;
    }
    if (i % 3 == 0) v = -v;
    ASSERT_EQ(Fixed(v, decimals, i % 5 == 0),
              ReferenceFixed(v, decimals, i % 5 == 0))
        << std::hexfloat << v << " " << decimals;
    if (decimals == 6) {
      char out[kMaxFixedChars];
      const float f = static_cast<float>(v);
      ASSERT_EQ(std::string(out, FormatFloatFixed6(f, out)),
                ReferenceFixed(f, 6, false))
          << std::hexfloat << f;
    }
  }
}

// The decimal exponent of every power of two a double can hold, against the
// C library's exact expansion: "%.1100e" prints all its digits, so the
// exponent is not moved by rounding.
TEST(FormatFixedTest, FloorLog10Pow2OverEveryBinaryExponent) {
  std::vector<char> text(1200);
  for (int e = -1074; e <= 1023; ++e) {
    std::snprintf(text.data(), text.size(), "%.1100e", std::ldexp(1.0, e));
    const char* exponent = std::strchr(text.data(), 'e');
    ASSERT_NE(exponent, nullptr);
    ASSERT_EQ(FloorLog10Pow2(e), std::atoi(exponent + 1)) << e;
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

TEST(FormatIntegerTest, MatchesPrintf) {
  std::mt19937_64 rng(5);
  char ours[32], theirs[32];
  for (int i = 0; i < 200000; ++i) {
    uint64_t u = rng() >> (rng() % 64);
    int64_t s = static_cast<int64_t>(rng()) >> (rng() % 64);
    int width = static_cast<int>(rng() % 12);
    *FormatUnsigned(u, ours) = 0;
    std::snprintf(theirs, sizeof theirs, "%" PRIu64, u);
    ASSERT_STREQ(ours, theirs);
    *FormatSigned(s, ours) = 0;
    std::snprintf(theirs, sizeof theirs, "%" PRId64, s);
    ASSERT_STREQ(ours, theirs);
    *FormatZeroPadded(u, width, ours) = 0;
    std::snprintf(theirs, sizeof theirs, "%0*" PRIu64, width, u);
    ASSERT_STREQ(ours, theirs);
  }
  *FormatSigned(INT64_MIN, ours) = 0;
  EXPECT_STREQ(ours, "-9223372036854775808");
}

}  // namespace
}  // namespace morvela
