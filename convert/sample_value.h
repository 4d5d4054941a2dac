// Decoding and rendering one stored sample value, planned once per run.
//
// A value is stored big-endian in `DataTypeSize` bytes. When the field is at
// least as wide as its type, the value is its last `width` bytes. An integer
// field narrower than its type is read as a narrower integer of the same
// signedness; a narrower "float" or "double" field cannot be decoded and is
// treated as an unknown type.

#ifndef MORVELA_CONVERT_SAMPLE_VALUE_H_
#define MORVELA_CONVERT_SAMPLE_VALUE_H_

#include <bit>
#include <cstdint>
#include <memory>
#include <string_view>

#include "format/number_format.h"
#include "recorder/recorder_file.h"

namespace morvela {

// The widest text of a value of a known `type`, from its formatter.
constexpr int MaxValueChars(DataType type) {
  return type == DataType::kDouble  ? kMaxFixedChars
         : type == DataType::kFloat ? kMaxFloatFixed6Chars
                                    : kMaxIntegerChars;
}

// Room that `RenderSampleValue` needs at most.
inline constexpr int kMaxSampleChars = kMaxFixedChars;
static_assert(kMaxSampleChars >= MaxValueChars(DataType::kFloat) &&
              kMaxSampleChars >= MaxValueChars(DataType::kInt));

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

// Renders a value of a known type whose field is at least as wide as the
// type; `p` points at the value's `width` stored bytes.
template <DataType kType>
inline char* RenderFullWidth(const unsigned char* p, char* out) {
  if constexpr (kType == DataType::kChar) {
    return FormatSigned(static_cast<int8_t>(p[0]), out);
  } else if constexpr (kType == DataType::kUnsignedChar) {
    return FormatUnsigned(p[0], out);
  } else if constexpr (kType == DataType::kShort) {
    return FormatSigned(static_cast<int16_t>(LoadBigEndian(p, 2)), out);
  } else if constexpr (kType == DataType::kUnsignedShort) {
    return FormatUnsigned(LoadBigEndian(p, 2), out);
  } else if constexpr (kType == DataType::kInt) {
    return FormatSigned(static_cast<int32_t>(LoadBigEndian(p, 4)), out);
  } else if constexpr (kType == DataType::kUnsignedInt) {
    return FormatUnsigned(LoadBigEndian(p, 4), out);
  } else if constexpr (kType == DataType::kFloat) {
    float f = std::bit_cast<float>(static_cast<uint32_t>(LoadBigEndian(p, 4)));
    return FormatFloatFixed6(f, out);
  } else {
    static_assert(kType == DataType::kDouble);
    return FormatFixedDecimals<6>(std::bit_cast<double>(LoadBigEndian(p, 8)),
                                  false, out);
  }
}

// "text;" of every value of a one- or two-byte integer type, rendered once
// per run so that each sample costs one 8-byte copy.
class SmallIntTable {
 public:
  // "-32768;" is the widest text; an entry is copied whole.
  struct Entry {
    char text[7];
    uint8_t length;
  };
  static_assert(sizeof(Entry) == 8);

  // Renders all 256 or 65536 values of `type`, which must be one of the four
  // one- and two-byte integer types. False when the 512 KiB cannot be had.
  bool Build(DataType type);
  // The entry of the value stored as `raw` (big-endian bytes read as an
  // unsigned number).
  const Entry& operator[](uint32_t raw) const { return entries_[raw]; }
  const Entry* entries() const { return entries_.get(); }

 private:
  std::unique_ptr<Entry[]> entries_;
};

// Renders a value by `plan`, which must name a known type; `p` points at the
// `plan.value_bytes` kept bytes.
char* RenderSampleValue(const SamplePlan& plan, const unsigned char* p,
                        char* out);

}  // namespace morvela

#endif  // MORVELA_CONVERT_SAMPLE_VALUE_H_
