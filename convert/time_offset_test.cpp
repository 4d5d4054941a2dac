#include "convert/time_offset.h"

#include <gtest/gtest.h>

#include <string>

#include "format/number_format.h"

namespace morvela {
namespace {

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
