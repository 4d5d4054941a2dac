// Replays every file of fuzz/regressions (inputs a fuzzer once found
// faulty) through both harnesses; a failure aborts the test.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzz/harnesses.h"

namespace {

TEST(FuzzRegressionTest, ReplaysEveryRecordedInput) {
  int replayed = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(MORVELA_FUZZ_REGRESSIONS)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string bytes = s.str();
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    morvela::FuzzConversion(data, bytes.size());
    morvela::FuzzFixedPoint(data, bytes.size());
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

}  // namespace
