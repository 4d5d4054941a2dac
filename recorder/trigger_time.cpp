#include "recorder/trigger_time.h"

#include <cmath>

namespace morvela {

bool ToLocalTime(int64_t seconds, std::tm* tm) {
  if (seconds < 0) return false;
  time_t t = static_cast<time_t>(seconds);
  if (static_cast<int64_t>(t) != seconds) return false;
  return localtime_r(&t, tm) != nullptr && int64_t{tm->tm_year} + 1900 <= 9999;
}

bool ToShownTime(double time, ShownTime* shown) {
  // 2^63 and above cannot be held as a 64-bit count.
  if (!std::isfinite(time) || time < 0 || time >= 9223372036854775808.0) {
    return false;
  }
  int64_t whole = static_cast<int64_t>(time);
  double scaled = (time - static_cast<double>(whole)) * 1e9 + 0.5;
  auto nanoseconds =
      static_cast<uint64_t>(scaled);  // NOLINT(bugprone-incorrect-roundings)
  if (nanoseconds >= 1000000000) {
    nanoseconds -= 1000000000;
    ++whole;
  }
  shown->seconds = whole;
  shown->nanoseconds = static_cast<uint32_t>(nanoseconds);
  return ToLocalTime(whole, &shown->local);
}

}  // namespace morvela
