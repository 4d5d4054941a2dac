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

}  // namespace morvela
