#include "convert/sample_value.h"

#include <gtest/gtest.h>

#include <string>

namespace morvela {
namespace {

// Every entry of the four tables against the plain formatter of the value
// its stored bytes mean.
template <typename T>
void CheckEveryEntry(DataType type) {
  const DataTypeInfo& info = InfoOf(type);
  SmallIntTable table;
  ASSERT_TRUE(table.Build<T>());
  const uint32_t count = uint32_t{1} << (8 * info.width);
  {
    for (uint32_t raw = 0; raw < count; ++raw) {
      int64_t value = raw;
      if (info.is_signed && raw >= count / 2) value -= count;
      char expected[kMaxIntegerChars + 1];
      char* end = FormatSigned(value, expected);
      *end++ = ';';
      const SmallIntTable::Entry& e = table.entries()[raw];
      ASSERT_EQ(std::string(e.text, e.length), std::string(expected, end))
          << info.name << " " << raw;
    }
  }
}

TEST(SmallIntTableTest, EveryEntryOfEveryType) {
  CheckEveryEntry<int8_t>(DataType::kChar);
  CheckEveryEntry<uint8_t>(DataType::kUnsignedChar);
  CheckEveryEntry<int16_t>(DataType::kShort);
  CheckEveryEntry<uint16_t>(DataType::kUnsignedShort);
}

}  // namespace
}  // namespace morvela
