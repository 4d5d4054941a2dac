// Rendering one stored sample value by the run's plan (decoded as
// recorder/sample_decoding.h says).

#ifndef MORVELA_CONVERT_SAMPLE_VALUE_H_
#define MORVELA_CONVERT_SAMPLE_VALUE_H_

#include <bit>
#include <cstdint>
#include <memory>
#include <string_view>

#include "format/number_format.h"
#include "recorder/recorder_file.h"
#include "recorder/sample_decoding.h"

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

// Renders a value of a known type whose field is at least as wide as the
// type; `p` points at the value's `width` stored bytes.
template <DataType kType>
inline char* RenderFullWidth(const unsigned char* p, char* out) {
  constexpr DataTypeInfo kInfo = InfoOf(kType);
  if constexpr (kType == DataType::kFloat) {
    return FormatFloatFixed6(LoadFloat(p), out);
  } else if constexpr (kType == DataType::kDouble) {
    return FormatFixedDecimals<6>(LoadDouble(p), false, out);
  } else if constexpr (kInfo.is_signed) {
    return FormatSigned(LoadInteger(p, kInfo.width, true), out);
  } else {
    return FormatUnsigned(LoadBigEndian(p, kInfo.width), out);
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
