#include "recorder/sample_decoding.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "format/number_format.h"

namespace morvela {

SamplePlan PlanSamples(std::string_view type_name, uint32_t size) {
  DataType type = FindDataType(type_name);
  uint32_t width = type == DataType::kUnknown ? 8 : InfoOf(type).width;
  if (type != DataType::kUnknown && InfoOf(type).is_floating && size < width) {
    type = DataType::kUnknown;
  }
  uint32_t kept = std::min(size, width);
  bool full_width = type != DataType::kUnknown && kept == width;
  return {type, kept, uint64_t{size} - kept, full_width};
}

double ReportedTimeOffset(uint64_t row, uint32_t pretrigger,
                          uint32_t sample_time) {
  const double rounded = TimeOffset(row, pretrigger, sample_time);
  // Below 1e6 s the arithmetic is within 3e-10 of the exact microseconds,
  // whose nine decimals the report then prints; their product fits in 53
  // bits, and one division gives the nearest double.
  if (std::fabs(rounded) < 1e6) {
    const int64_t micros =
        (static_cast<int64_t>(row) - static_cast<int64_t>(pretrigger)) *
        static_cast<int64_t>(sample_time);
    return static_cast<double>(micros) / 1e6;
  }
  char text[kMaxFixedChars];
  const char* end = FormatFixedDecimals<9>(rounded, false, text);
  double value = rounded;
  std::from_chars(text, end, value);
  return value;
}

}  // namespace morvela
