// Rendering one stored sample value by the run's plan (decoded as
// recorder/sample_decoding.h says).

#ifndef MORVELA_CONVERT_SAMPLE_VALUE_H_
#define MORVELA_CONVERT_SAMPLE_VALUE_H_

#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>

#include "format/number_format.h"
#include "recorder/recorder_file.h"
#include "recorder/sample_decoding.h"

namespace morvela {

// The widest text of a value of native type T, from its formatter.
template <typename T>
constexpr int MaxValueChars() {
  if constexpr (std::is_same_v<T, double>) {
    return kMaxFixedChars;
  } else if constexpr (std::is_same_v<T, float>) {
    return kMaxFloatFixed6Chars;
  } else {
    return kMaxIntegerChars;
  }
}

// Room that `RenderSampleValue` needs at most.
inline constexpr int kMaxSampleChars = kMaxFixedChars;
static_assert(kMaxSampleChars >= MaxValueChars<float>() &&
              kMaxSampleChars >= MaxValueChars<int32_t>());

// Renders a value of native type T stored big-endian in the sizeof(T) bytes
// at `p`: "%f" for float and double, "%d" or "%u" for the integers.
template <typename T>
inline char* RenderFullWidth(const unsigned char* p, char* out) {
  const T value = LoadBigEndian<T>(p);
  if constexpr (std::is_same_v<T, float>) {
    return FormatFloatFixed6(value, out);
  } else if constexpr (std::is_same_v<T, double>) {
    return FormatFixedDecimals<6>(value, false, out);
  } else if constexpr (std::is_signed_v<T>) {
    return FormatSigned(value, out);
  } else {
    return FormatUnsigned(value, out);
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

  // Renders all 256 or 65536 values of T, a one- or two-byte integer type.
  // False when the 512 KiB cannot be had.
  template <typename T>
  bool Build() {
    static_assert(std::is_integral_v<T> && sizeof(T) <= 2);
    return Build(sizeof(T), std::is_signed_v<T>);
  }
  // The entries in the order of the stored bytes read as an unsigned
  // big-endian number.
  const Entry* entries() const { return entries_.get(); }

 private:
  bool Build(uint32_t width, bool is_signed);

  std::unique_ptr<Entry[]> entries_;
};

// Renders a value by `plan`, which must name a known type; `p` points at the
// `plan.value_bytes` kept bytes.
char* RenderSampleValue(const SamplePlan& plan, const unsigned char* p,
                        char* out);

}  // namespace morvela

#endif  // MORVELA_CONVERT_SAMPLE_VALUE_H_
