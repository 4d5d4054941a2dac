#include "convert/time_offset.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "format/number_format.h"

namespace morvela {
namespace {

// The shortcut must write what the fixed-point rule makes of the double
// offset, on both sides of its 10^12 limit and across all counts.
TEST(TimeOffsetTest, MatchesTheRuleAppliedToTheDoubleOffset) {
  std::mt19937_64 rng(9);
  char fast[kMaxFixedChars];
  char rule[kMaxFixedChars];
  auto check = [&](uint64_t row, uint32_t pre, uint32_t st) {
    std::string a(fast, TimeOffsetFormatter(pre, st).Format(row, fast));
    std::string b(rule,
                  FormatFixedDecimals<9>(TimeOffset(row, pre, st), true, rule));
    ASSERT_EQ(a, b) << row << " " << pre << " " << st;
  };
  const uint32_t sample_times[] = {0,      1,       3,       7,          100,
                                   999999, 1000000, 1234567, 4294967295u};
  for (int i = 0; i < 2000000; ++i) {
    uint32_t st = i % 3 ? static_cast<uint32_t>(rng() >> (rng() % 64))
                        : sample_times[i % 9];
    uint32_t pre = static_cast<uint32_t>(rng() >> (32 + rng() % 32));
    uint64_t row = rng() >> (32 + rng() % 32);
    check(row, pre, st);
    if (st != 0) {
      // Right at the limit |N| = 10^12 and just past it.
      uint64_t steps = 1000000000000 / st;
      if (steps < 4294967295u) {
        check(steps, 0, st);
        check(steps + 1, 0, st);
        check(0, static_cast<uint32_t>(steps), st);
      }
    }
  }
  EXPECT_EQ(std::string(fast, TimeOffsetFormatter(100, 100).Format(0, fast)),
            "-0.010000000");
  EXPECT_EQ(std::string(fast, TimeOffsetFormatter(2, 0).Format(2, fast)),
            "+0.000000000");
}

// Offsets past the shortcut's limit, worked out by hand from the exact
// value of ((i - Npretrigger) x SampleTime) x 1e-6 in double precision:
// -44617598.47664000093936920166015625 has the 17 digits
// 44617598.476640001. Multiplying by SampleTime x 1e-6 first would give
// -44617598.476639993.
TEST(TimeOffsetTest, FarFromTheTrigger) {
  char out[kMaxFixedChars];
  auto format = [&](uint64_t row, uint32_t pre, uint32_t st) {
    return std::string(out, TimeOffsetFormatter(pre, st).Format(row, out));
  };
  EXPECT_EQ(format(0, 340774448, 130930), "-44617598.476640001");
  EXPECT_EQ(format(340774448, 340774448, 130930), "+0.000000000");
  // 4294967295 steps of 4294967295 us: the double offset is
  // 18446744065119.6171875, whose 17 digits end in ...119.617.
  EXPECT_EQ(format(4294967295u, 0, 4294967295u), "+18446744065119.617000000");
  // 10^12 us exactly is the shortcut's last step: 10^6 s.
  EXPECT_EQ(format(1000000, 0, 1000000), "+1000000.000000000");
}

}  // namespace
}  // namespace morvela
