#include "tools/synth_signal.h"

#include <gtest/gtest.h>

namespace morvela {
namespace {

TEST(SynthSignalTest, StaysInRangeAndRepeatsForASeed) {
  struct Range {
    DataType type;
    double lo, hi;
  };
  for (Range r : {Range{DataType::kChar, -128, 127},
                  Range{DataType::kUnsignedShort, 0, 65535},
                  Range{DataType::kUnsignedInt, 0, 4294967295.0},
                  Range{DataType::kDouble, -10, 10}}) {
    SynthSignal a(r.type, 0.5, 42), b(r.type, 0.5, 42), c(r.type, 0.5, 43);
    bool differs = false;
    for (uint32_t i = 0; i < 2000; ++i) {
      for (uint32_t j = 0; j < 3; ++j) {
        double v = a.Next(i, j);
        ASSERT_GE(v, r.lo);
        ASSERT_LE(v, r.hi);
        ASSERT_EQ(v, b.Next(i, j));
        differs |= v != c.Next(i, j);
      }
    }
    EXPECT_TRUE(differs);
  }
}

}  // namespace
}  // namespace morvela
