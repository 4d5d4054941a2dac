// Decoding stored sample values: byte order, field widths and extension.
//
// A value is stored big-endian in `DataTypeSize` bytes. When the field is at
// least as wide as its type, the value is its last `width` bytes. An integer
// field narrower than its type is read as a narrower integer of the same
// signedness (sign- or zero-extended); a narrower "float" or "double" field
// cannot be decoded and counts as an unknown type.

#ifndef MORVELA_RECORDER_SAMPLE_DECODING_H_
#define MORVELA_RECORDER_SAMPLE_DECODING_H_

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "recorder/recorder_file.h"

namespace morvela {

struct SamplePlan {
  DataType type;         // kUnknown when the value cannot be decoded
  uint32_t value_bytes;  // bytes kept of each field: min(size, width)
  uint64_t skip_bytes;   // leading bytes of each field that are skipped
  bool full_width;       // a known type whose kept bytes are its width
};

// The plan for fields named `type_name` of `size` bytes. For an unknown type
// the fields are still consumed whole (at most 8 bytes kept).
SamplePlan PlanSamples(std::string_view type_name, uint32_t size);

// Reads `n` (1 to 4) big-endian bytes as an integer, sign-extended when
// `is_signed`, zero-extended otherwise.
inline int64_t LoadInteger(const unsigned char* p, uint32_t n, bool is_signed) {
  const uint64_t raw = LoadBigEndian(p, n);
  if (!is_signed || n == 0) return static_cast<int64_t>(raw);
  const uint64_t sign = uint64_t{1} << (8 * n - 1);
  return static_cast<int64_t>((raw ^ sign) - sign);
}

// The one dispatch from a data type to its native C++ type: calls `f` with
// std::type_identity<T> for T int8_t, uint8_t, int16_t, uint16_t, int32_t,
// uint32_t, float or double, and returns its result. kUnknown has no native
// type; it is given double, so callers decide on it first.
template <typename F>
decltype(auto) WithNativeType(DataType type, F&& f) {
  switch (type) {
    case DataType::kChar:
      return f(std::type_identity<int8_t>{});
    case DataType::kUnsignedChar:
      return f(std::type_identity<uint8_t>{});
    case DataType::kShort:
      return f(std::type_identity<int16_t>{});
    case DataType::kUnsignedShort:
      return f(std::type_identity<uint16_t>{});
    case DataType::kInt:
      return f(std::type_identity<int32_t>{});
    case DataType::kUnsignedInt:
      return f(std::type_identity<uint32_t>{});
    case DataType::kFloat:
      return f(std::type_identity<float>{});
    case DataType::kDouble:
    case DataType::kUnknown:
      break;
  }
  return f(std::type_identity<double>{});
}

// The time of row `row` from the trigger in seconds: the difference
// row - pretrigger, times sample_time, times 1e-6, each operation rounded to
// double. The report's TimeOffset column is this value, rounded.
inline double TimeOffset(uint64_t row, uint32_t pretrigger,
                         uint32_t sample_time) {
  const double steps = static_cast<double>(static_cast<int64_t>(row) -
                                           static_cast<int64_t>(pretrigger));
  return steps * sample_time * 1e-6;
}

// The report's TimeOffset text of row `row` read back as a double: the
// nearest double to the decimal that the report prints. Below 1e6 s that
// decimal is the exact (row - pretrigger) x sample_time microseconds.
double ReportedTimeOffset(uint64_t row, uint32_t pretrigger,
                          uint32_t sample_time);

}  // namespace morvela

#endif  // MORVELA_RECORDER_SAMPLE_DECODING_H_
