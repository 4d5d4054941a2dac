// Number formatting for the report and the console, in the C locale.
//
// Fixed point ("%f", "%+9.9f") follows one exact rule for every finite
// double: the exact binary value is rounded half-up to 17 significant digits,
// and that 17-digit form is rounded half-up again to the requested number of
// decimals (digits past the 17th significant one are written as 0). An exact
// zero, a negative zero too, carries no minus sign; a negative value that only
// rounds to zero keeps it. Infinities and NaN are written "inf", "-inf" and
// "nan" ("+inf" when a sign is forced).
//
// Every writer takes a buffer with room for its maximum output and returns the
// end of what it wrote; nothing is terminated with NUL.

#ifndef MORVELA_FORMAT_NUMBER_FORMAT_H_
#define MORVELA_FORMAT_NUMBER_FORMAT_H_

#include <cstdint>

namespace morvela {

// The widest text of `FormatFixed` and `FormatFixedDecimals`: sign, 309
// integer digits, point and 9 decimals.
inline constexpr int kMaxFixedChars = 320;

// Writes `value` with `decimals` (0 to 9) digits after the point; with
// `force_sign` a non-negative value gets a "+".
char* FormatFixed(double value, int decimals, bool force_sign, char* out);

// The same for 6 or 9 decimals, with a fast path for the magnitudes of
// typical samples and time offsets; at most kMaxFixedChars.
template <int kDecimals>
char* FormatFixedDecimals(double value, bool force_sign, char* out);

// "%f" of a float widened to double, the same as FormatFixedDecimals<6>,
// faster for the magnitudes of typical samples.
char* FormatFloatFixed6(float value, char* out);
// Its widest text: sign, 39 integer digits, point and 6 decimals.
inline constexpr int kMaxFloatFixed6Chars = 47;

// The widest text of the integer writers: 20 digits, or a sign and 19.
inline constexpr int kMaxIntegerChars = 20;
// "%u" and "%d" of 64-bit values.
char* FormatUnsigned(uint64_t value, char* out);
char* FormatSigned(int64_t value, char* out);
// At least `width` digits, zero-padded ("%02u", "%04d", "%09u").
char* FormatZeroPadded(uint64_t value, int width, char* out);

}  // namespace morvela

#endif  // MORVELA_FORMAT_NUMBER_FORMAT_H_
