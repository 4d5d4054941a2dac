// Decoding stored sample values: byte order, field widths and extension.
//
// A value is stored big-endian in `DataTypeSize` bytes. When the field is at
// least as wide as its type, the value is its last `width` bytes. An integer
// field narrower than its type is read as a narrower integer of the same
// signedness (sign- or zero-extended); a narrower "float" or "double" field
// cannot be decoded and counts as an unknown type.

#ifndef MORVELA_RECORDER_SAMPLE_DECODING_H_
#define MORVELA_RECORDER_SAMPLE_DECODING_H_

#include <bit>
#include <cstdint>
#include <string_view>

#include "recorder/recorder_file.h"

namespace morvela {

struct SamplePlan {
  DataType type;         // kUnknown when the value cannot be decoded
  uint32_t value_bytes;  // bytes kept of each field: min(size, width)
  uint64_t skip_bytes;   // leading bytes of each field that are skipped
};

// The plan for fields named `type_name` of `size` bytes. For an unknown type
// the fields are still consumed whole (at most 8 bytes kept).
SamplePlan PlanSamples(std::string_view type_name, uint32_t size);

// Reads `n` (at most 8) bytes as a big-endian unsigned number.
inline uint64_t LoadBigEndian(const unsigned char* p, uint32_t n) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Reads `n` (1 to 4) big-endian bytes as an integer, sign-extended when
// `is_signed`, zero-extended otherwise.
inline int64_t LoadInteger(const unsigned char* p, uint32_t n, bool is_signed) {
  const uint64_t raw = LoadBigEndian(p, n);
  if (!is_signed || n == 0) return static_cast<int64_t>(raw);
  const uint64_t sign = uint64_t{1} << (8 * n - 1);
  return static_cast<int64_t>((raw ^ sign) - sign);
}

inline float LoadFloat(const unsigned char* p) {
  return std::bit_cast<float>(static_cast<uint32_t>(LoadBigEndian(p, 4)));
}

inline double LoadDouble(const unsigned char* p) {
  return std::bit_cast<double>(LoadBigEndian(p, 8));
}

// Calls `f` with a null pointer to the native type of `type` (int8_t,
// uint8_t, int16_t, uint16_t, int32_t, uint32_t, float or double; double for
// kUnknown) and returns its result.
template <typename F>
decltype(auto) WithNativeType(DataType type, F&& f) {
  switch (type) {
    case DataType::kChar:
      return f(static_cast<int8_t*>(nullptr));
    case DataType::kUnsignedChar:
      return f(static_cast<uint8_t*>(nullptr));
    case DataType::kShort:
      return f(static_cast<int16_t*>(nullptr));
    case DataType::kUnsignedShort:
      return f(static_cast<uint16_t*>(nullptr));
    case DataType::kInt:
      return f(static_cast<int32_t*>(nullptr));
    case DataType::kUnsignedInt:
      return f(static_cast<uint32_t*>(nullptr));
    case DataType::kFloat:
      return f(static_cast<float*>(nullptr));
    case DataType::kDouble:
    case DataType::kUnknown:
      break;
  }
  return f(static_cast<double*>(nullptr));
}

// The time of row `row` from the trigger in seconds: the difference
// row - pretrigger, times sample_time, times 1e-6, each operation rounded to
// double. The report's TimeOffset column is this value, rounded.
double TimeOffset(uint64_t row, uint32_t pretrigger, uint32_t sample_time);

}  // namespace morvela

#endif  // MORVELA_RECORDER_SAMPLE_DECODING_H_
