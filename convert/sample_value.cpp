#include "convert/sample_value.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace morvela {

SamplePlan PlanSamples(std::string_view type_name, uint32_t size) {
  DataType type = FindDataType(type_name);
  uint32_t width = type == DataType::kUnknown ? 8 : InfoOf(type).width;
  if (type != DataType::kUnknown && InfoOf(type).is_floating && size < width) {
    type = DataType::kUnknown;
  }
  uint32_t kept = std::min(size, width);
  return {type, kept, uint64_t{size} - kept};
}

bool SmallIntTable::Build(DataType type) {
  const DataTypeInfo& info = InfoOf(type);
  uint32_t count = uint32_t{1} << (8 * info.width);
  entries_.reset(new (std::nothrow) Entry[count]);
  if (!entries_) return false;
  SamplePlan plan{type, info.width, 0};
  for (uint32_t raw = 0; raw < count; ++raw) {
    unsigned char stored[8] = {};
    if (info.width == 1) {
      stored[0] = static_cast<unsigned char>(raw);
    } else {
      stored[0] = static_cast<unsigned char>(raw >> 8);
      stored[1] = static_cast<unsigned char>(raw);
    }
    Entry& e = entries_[raw];
    char* end = RenderSampleValue(plan, stored, e.text);
    *end++ = ';';
    e.length = static_cast<uint8_t>(end - e.text);
  }
  return true;
}

char* RenderSampleValue(const SamplePlan& plan, const unsigned char* p,
                        char* out) {
  const DataTypeInfo& info = InfoOf(plan.type);
  if (plan.value_bytes == 0) return out;
  if (plan.value_bytes < info.width) {
    // A narrower integer field: sign- or zero-extend it.
    uint32_t bits = plan.value_bytes * 8;
    uint64_t raw = LoadBigEndian(p, plan.value_bytes);
    if (!info.is_signed) return FormatUnsigned(raw, out);
    uint64_t sign = uint64_t{1} << (bits - 1);
    return FormatSigned(static_cast<int64_t>((raw ^ sign) - sign), out);
  }
  switch (plan.type) {
    case DataType::kChar:
      return RenderFullWidth<DataType::kChar>(p, out);
    case DataType::kUnsignedChar:
      return RenderFullWidth<DataType::kUnsignedChar>(p, out);
    case DataType::kShort:
      return RenderFullWidth<DataType::kShort>(p, out);
    case DataType::kUnsignedShort:
      return RenderFullWidth<DataType::kUnsignedShort>(p, out);
    case DataType::kInt:
      return RenderFullWidth<DataType::kInt>(p, out);
    case DataType::kUnsignedInt:
      return RenderFullWidth<DataType::kUnsignedInt>(p, out);
    case DataType::kFloat:
      return RenderFullWidth<DataType::kFloat>(p, out);
    case DataType::kDouble:
      return RenderFullWidth<DataType::kDouble>(p, out);
    case DataType::kUnknown:
      break;
  }
  return out;
}

}  // namespace morvela
