// Digit writers shared by the number formatters: two digits at a time from
// a table, for callers that know their value's size.

#ifndef MORVELA_FORMAT_DIGITS_H_
#define MORVELA_FORMAT_DIGITS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// "%u" of `v`: at most kMaxIntegerChars digits. Most integer parts of
// samples and offsets are below 100 and take the early returns.
inline char* WriteUnsigned(uint64_t v, char* out) {
  if (v < 10) {
    *out = static_cast<char>('0' + v);
    return out + 1;
  }
  if (v < 100) {
    WriteTwoDigits(static_cast<uint32_t>(v), out);
    return out + 2;
  }
  // At least 100 from here; below 10^10 the count does not branch.
  int length = 3 + (v >= 1000) + (v >= 10000) + (v >= 100000) + (v >= 1000000) +
               (v >= 10000000) + (v >= 100000000) + (v >= 1000000000);
  for (uint64_t bound = 10000000000; length < 20 && v >= bound; bound *= 10) {
    ++length;
  }
  char* p = out + length;
  while (v >= 100) {
    p -= 2;
    WriteTwoDigits(static_cast<uint32_t>(v % 100), p);
    v /= 100;
  }
  if (v >= 10) {
    WriteTwoDigits(static_cast<uint32_t>(v), p - 2);
  } else {
    p[-1] = static_cast<char>('0' + v);
  }
  return out + length;
}

}  // namespace morvela::digits

#endif  // MORVELA_FORMAT_DIGITS_H_
