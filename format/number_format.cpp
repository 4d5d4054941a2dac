#include "format/number_format.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "format/decimal17.h"
#include "format/digits.h"

namespace morvela {
namespace {

using digits::WriteFixedDigits;
using digits::WriteUnsigned;

__extension__ typedef unsigned __int128 uint128;

// 10^n for n < 20 and 5^q for q <= 27, the largest power of five below 2^63.
template <uint64_t kBase, int kCount>
constexpr auto kPowers = [] {
  std::array<uint64_t, kCount> table{};
  uint64_t p = 1;
  for (auto& entry : table) {
    entry = p;
    p *= kBase;
  }
  return table;
}();
constexpr const auto& kPow10 = kPowers<10, 20>;
constexpr const auto& kPow5 = kPowers<5, 28>;

// A magnitude as m x 2^k with m > 0.
struct Binary {
  uint64_t m;  // cppcheck-suppress unusedStructMember
  int k;       // cppcheck-suppress unusedStructMember
};

Binary Decompose(double magnitude) {
  uint64_t bits = std::bit_cast<uint64_t>(magnitude);
  uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  int biased = static_cast<int>((bits >> 52) & 0x7ff);
  if (biased == 0) return {fraction, -1074};
  return {fraction | (uint64_t{1} << 52), biased - 1075};
}

int BitLength(uint64_t m) { return 64 - std::countl_zero(m); }

// An unsigned integer of up to 1280 bits, enough for m x 10^341 (the
// smallest subnormal scaled to 18 digits) and for m x 2^971. Only
// multiplication and floor division by small factors: floor divisions
// compose, floor(floor(x / a) / b) = floor(x / (a b)).
class BigUint {
 public:
  explicit BigUint(uint64_t v) {
    words_[0] = static_cast<uint32_t>(v);
    words_[1] = static_cast<uint32_t>(v >> 32);
    size_ = words_[1] ? 2 : 1;
  }

  void MulSmall(uint32_t factor) {
    uint64_t carry = 0;
    for (int i = 0; i < size_; ++i) {
      uint64_t p = uint64_t{words_[i]} * factor + carry;
      words_[i] = static_cast<uint32_t>(p);
      carry = p >> 32;
    }
    if (carry) words_[size_++] = static_cast<uint32_t>(carry);
  }

  void DivSmall(uint32_t divisor) {
    uint64_t rem = 0;
    for (int i = size_ - 1; i >= 0; --i) {
      uint64_t cur = (rem << 32) | words_[i];
      words_[i] = static_cast<uint32_t>(cur / divisor);
      rem = cur % divisor;
    }
    Trim();
  }

  // The value, which must fit 64 bits.
  uint64_t ToU64() const {
    return size_ > 1 ? (uint64_t{words_[1]} << 32) | words_[0] : words_[0];
  }

 private:
  void Trim() {
    while (size_ > 1 && words_[size_ - 1] == 0) --size_;
  }

  uint32_t words_[41];
  int size_;
};

// floor(m x 2^k x 10^q), which the callers keep below 2^64.
uint64_t FloorScaledExact(uint64_t m, int k, int q) {
  BigUint n(m);
  for (int r = q; r > 0; r -= 9) {
    n.MulSmall(static_cast<uint32_t>(kPow10[std::min(r, 9)]));
  }
  for (int r = k; r > 0; r -= 31) n.MulSmall(uint32_t{1} << std::min(r, 31));
  for (int r = -k; r > 0; r -= 31) n.DivSmall(uint32_t{1} << std::min(r, 31));
  for (int r = -q; r > 0; r -= 9) {
    n.DivSmall(static_cast<uint32_t>(kPow10[std::min(r, 9)]));
  }
  return n.ToU64();
}

// The same, exact with 128-bit arithmetic for magnitudes from about 1e-10 to
// 1e17; falls back to the arbitrary-precision path elsewhere.
uint64_t FloorScaled(uint64_t m, int k, int q) {
  if (q >= 0 && q <= 27) {
    // m x 5^q < 2^116 is exact; the power of two is a shift.
    uint128 p = uint128{m} * kPow5[q];
    int shift = k + q;
    if (shift >= 0) return static_cast<uint64_t>(p << shift);
    if (-shift >= 128) return 0;
    return static_cast<uint64_t>(p >> -shift);
  }
  return FloorScaledExact(m, k, q);
}

template <uint64_t (*Scale)(uint64_t, int, int)>
Decimal17 ToDecimal17With(double magnitude) {
  Binary b = Decompose(magnitude);
  int e2 = BitLength(b.m) - 1 + b.k;
  // The decimal exponent is e10 or e10 + 1, so t has 18 or 19 digits.
  int e10 = FloorLog10Pow2(e2);
  uint64_t t = Scale(b.m, b.k, 17 - e10);
  if (t >= kPow10[18]) {
    t /= 10;
    ++e10;
  }
  // t holds the first 18 significant digits, truncated.
  uint64_t digits = t / 10 + (t % 10 >= 5 ? 1 : 0);
  if (digits == kPow10[17]) {
    digits = kPow10[16];
    ++e10;
  }
  return {digits, e10 - 16};
}

char* WriteZeros(char* out, size_t count) {
  std::memset(out, '0', count);
  return out + count;
}

// Typical magnitudes straight from their binary fixed point. Let
// t = |value| x 10^kDecimals < 2^40, exact as F / 2^s, and g = floor(t 2^14).
// Rounding t half-up directly gives what rounding its 17-digit form first
// gives, except when t lies below a half-way point H by no more than the
// 17-digit rounding can move it, at most 0.5e-16 t < 2^-14: rounding is
// monotonic and H (kDecimals + 1 decimals, below 2^40) is exact in 17
// digits, so only a rise onto H can change the result. In g, bit 13 is the
// half and bits 0 to 12 all set say that t is within 2^-14 below it; such
// values return nullptr for the 17-digit path. Neither the rounding nor the
// sign branches: signals make both random.
template <int kDecimals>
inline char* WriteBinaryFixed(uint64_t g, bool negative, bool force_sign,
                              char* out) {
  if ((g & 0x3fff) == 0x1fff) return nullptr;
  const uint64_t kept = ((g >> 13) + 1) >> 1;
  *out = negative ? '-' : '+';
  out += negative | force_sign;
  out = WriteUnsigned(kept / kPow10[kDecimals], out);
  *out++ = '.';
  return WriteFixedDigits<kDecimals>(kept % kPow10[kDecimals], out);
}

}  // namespace

Decimal17 ToDecimal17(double magnitude) {
  return ToDecimal17With<FloorScaled>(magnitude);
}

Decimal17 ToDecimal17Exact(double magnitude) {
  return ToDecimal17With<FloorScaledExact>(magnitude);
}

char* FormatUnsigned(uint64_t value, char* out) {
  return digits::WriteUnsigned(value, out);
}

char* FormatSigned(int64_t value, char* out) {
  if (value < 0) {
    *out++ = '-';
    return FormatUnsigned(0 - static_cast<uint64_t>(value), out);
  }
  return FormatUnsigned(static_cast<uint64_t>(value), out);
}

char* FormatZeroPadded(uint64_t value, int width, char* out) {
  char digits[kMaxIntegerChars];
  int length = static_cast<int>(FormatUnsigned(value, digits) - digits);
  if (length < width) out = WriteZeros(out, width - length);
  std::memcpy(out, digits, length);
  return out + length;
}

char* FormatFloatFixed6(float value, char* out) {
  // From 2^-40 to 2^20 a float is m x 2^-s with m < 2^24 and 4 <= s <= 63:
  // F = m x 10^6 < 2^44 and g fit 64 bits.
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const int biased = static_cast<int>((bits >> 23) & 0xff);
  if (biased >= 127 - 40 && biased <= 127 + 19) {
    const int shift = 150 - biased - 14;
    const uint64_t f = ((bits & 0x7fffffu) | 0x800000u) * uint64_t{1000000};
    const uint64_t g = shift >= 0 ? f >> shift : f << -shift;
    if (char* end = WriteBinaryFixed<6>(g, bits >> 31, false, out)) return end;
  }
  return FormatFixed(value, 6, false, out);
}

template <int kDecimals>
char* FormatFixedDecimals(double value, bool force_sign, char* out) {
  // From 2^-40 to t < 2^40 a double is m x 2^-s with 33 <= s <= 92:
  // F = m x 10^kDecimals < 2^83 fits 128 bits, g 64.
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  constexpr int kMaxE2 = kDecimals == 6 ? 19 : 9;  // t < 2^40
  if (biased >= 1023 - 40 && biased <= 1023 + kMaxE2) {
    const int shift = 1075 - biased - 14;
    const uint64_t m = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    const uint64_t g =
        static_cast<uint64_t>((uint128{m} * kPow10[kDecimals]) >> shift);
    if (char* end =
            WriteBinaryFixed<kDecimals>(g, bits >> 63, force_sign, out)) {
      return end;
    }
  }
  return FormatFixed(value, kDecimals, force_sign, out);
}

template char* FormatFixedDecimals<6>(double, bool, char*);
template char* FormatFixedDecimals<9>(double, bool, char*);

char* FormatFixed(double value, int decimals, bool force_sign, char* out) {
  bool negative = std::signbit(value);
  if (std::isnan(value)) {
    if (force_sign) *out++ = '+';
    std::memcpy(out, "nan", 3);
    return out + 3;
  }
  double magnitude = std::fabs(value);
  if (magnitude == 0) negative = false;
  if (negative) {
    *out++ = '-';
  } else if (force_sign) {
    *out++ = '+';
  }
  if (std::isinf(value)) {
    std::memcpy(out, "inf", 3);
    return out + 3;
  }

  // Below 0.4 units of the last decimal the 17-digit form stays below half a
  // unit (it moves the value by 5e-17 of itself at most): the text is zeros,
  // as cheap for the tiniest subnormal as for any typical value.
  static constexpr double kRoundsToZero[10] = {0.4,  4e-2, 4e-3, 4e-4, 4e-5,
                                               4e-6, 4e-7, 4e-8, 4e-9, 4e-10};
  uint64_t int_part = 0;
  uint64_t frac_part = 0;
  if (magnitude >= kRoundsToZero[decimals]) {
    Decimal17 d = ToDecimal17(magnitude);
    if (d.exponent >= 0) {
      out = FormatUnsigned(d.digits, out);
      out = WriteZeros(out, d.exponent);
      if (decimals > 0) {
        *out++ = '.';
        out = WriteZeros(out, decimals);
      }
      return out;
    }
    int fraction_digits = -d.exponent;
    if (fraction_digits <= decimals) {
      int_part = d.digits / kPow10[fraction_digits];
      frac_part = (d.digits % kPow10[fraction_digits]) *
                  kPow10[decimals - fraction_digits];
    } else {
      // Round half-up on the first dropped digit of the 17-digit form; past
      // its 17 digits every dropped digit is 0.
      int drop = fraction_digits - decimals;
      uint64_t kept = 0;
      if (drop <= 17) {
        kept = d.digits / kPow10[drop];
        if ((d.digits / kPow10[drop - 1]) % 10 >= 5) ++kept;
      }
      int_part = kept / kPow10[decimals];
      frac_part = kept % kPow10[decimals];
    }
  }
  out = FormatUnsigned(int_part, out);
  if (decimals > 0) {
    *out++ = '.';
    out = FormatZeroPadded(frac_part, decimals, out);
  }
  return out;
}

}  // namespace morvela
