#include "recorder/sample_decoding.h"

#include <algorithm>

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

double TimeOffset(uint64_t row, uint32_t pretrigger, uint32_t sample_time) {
  double steps = static_cast<double>(static_cast<int64_t>(row) -
                                     static_cast<int64_t>(pretrigger));
  return steps * sample_time * 1e-6;
}

}  // namespace morvela
