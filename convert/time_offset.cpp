#include "convert/time_offset.h"

#include <cstdint>
#include <cstring>

#include "format/digits.h"
#include "format/number_format.h"

namespace morvela {

// Why the shortcut below is exact. Let N = (row - pretrigger) x sample_time,
// an integer; the offset's true value is N / 10^6, which has no digit past
// the sixth decimal. While |N| < 2^53 the product N is exact in double, and
// x = fl(N x fl(1e-6)) differs from N / 10^6 by at most (2^-52 + 2^-106)
// |N| / 10^6 < 2.3e-16 |N| / 10^6. Rounding x to 17 significant digits adds
// at most half a unit of the 17th digit, 0.5e-16 |x|. So the 17-digit form
// is N / 10^6 + e with |e| < 2.9e-16 |N| / 10^6, and in units of the ninth
// decimal N x 1000 + e x 10^9 with |e x 10^9| < 2.9e-13 |N| < 0.5 for
// |N| <= 10^12. N x 1000 being an integer, rounding half-up to nine
// decimals gives it back exactly: the digits of N / 10^6 and "000". The
// sign is N's (N = 0 gives x = +-0, written "+"). Offsets up to 10^6 s
// take this path; longer ones are formatted from x.
TimeOffsetFormatter::TimeOffsetFormatter(uint32_t pretrigger,
                                         uint32_t sample_time)
    : pretrigger_(pretrigger),
      sample_time_(sample_time),
      max_steps_(sample_time == 0 ? UINT64_MAX
                                  : uint64_t{1000000000000} / sample_time) {}

char* TimeOffsetFormatter::Format(uint64_t row, char* out) const {
  int64_t steps = static_cast<int64_t>(row) - int64_t{pretrigger_};
  uint64_t magnitude = steps < 0 ? 0 - static_cast<uint64_t>(steps)
                                 : static_cast<uint64_t>(steps);
  if (magnitude > max_steps_) {
    return FormatFixedDecimals<9>(TimeOffset(row, pretrigger_, sample_time_),
                                  true, out);
  }
  uint64_t n = magnitude * sample_time_;
  *out++ = n != 0 && steps < 0 ? '-' : '+';
  out = digits::WriteUnsigned(n / 1000000, out);
  *out++ = '.';
  out = digits::WriteFixedDigits<6>(n % 1000000, out);
  std::memcpy(out, "000", 3);
  return out + 3;
}

}  // namespace morvela
