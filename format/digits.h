// Digit writers shared by the number formatters: two digits at a time from
// a table, for callers that know their value's size.

#ifndef MORVELA_FORMAT_DIGITS_H_
#define MORVELA_FORMAT_DIGITS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/number_format.h"

namespace morvela::digits {

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536"
    "37383940414243444546474849505152535455565758596061626364656667686970717273"
    "74757677787980818283848586878889909192939495969798990";

inline void WriteTwoDigits(uint32_t v, char* out) {
  std::memcpy(out, kDigitPairs + size_t{v} * 2, 2);
}

inline void WriteFourDigits(uint32_t v, char* out) {
  WriteTwoDigits(v / 100, out);
  WriteTwoDigits(v % 100, out + 2);
}

// Exactly kCount (6 or 9) digits of `value`, which is below 10^kCount; the
// halves are independent so that their multiplications overlap.
template <int kCount>
inline char* WriteFixedDigits(uint64_t value, char* out) {
  static_assert(kCount == 6 || kCount == 9);
  uint32_t v = static_cast<uint32_t>(value);
  if constexpr (kCount == 6) {
    WriteTwoDigits(v / 10000, out);
    WriteFourDigits(v % 10000, out + 2);
  } else {
    *out = static_cast<char>('0' + v / 100000000);
    uint32_t rest = v % 100000000;
    WriteFourDigits(rest / 10000, out + 1);
    WriteFourDigits(rest % 10000, out + 5);
  }
  return out + kCount;
}

// "%u" for the small integer parts of typical values.
inline char* WriteIntPart(uint64_t v, char* out) {
  if (v < 10) {
    *out = static_cast<char>('0' + v);
    return out + 1;
  }
  if (v < 100) {
    std::memcpy(out, kDigitPairs + v * 2, 2);
    return out + 2;
  }
  return FormatUnsigned(v, out);
}

}  // namespace morvela::digits

#endif  // MORVELA_FORMAT_DIGITS_H_
