// Instants as the report shows them: whole seconds and nanoseconds in local
// calendar time, or the current time where an instant cannot be shown.

#ifndef MORVELA_RECORDER_TRIGGER_TIME_H_
#define MORVELA_RECORDER_TRIGGER_TIME_H_

#include <cstdint>
#include <ctime>

namespace morvela {

struct ShownTime {
  int64_t seconds;       // since 1970-01-01 00:00:00 UTC
  uint32_t nanoseconds;  // below 10^9
  std::tm local;         // `seconds` in local calendar time
};

// The local calendar time of `seconds` since the epoch; false when it cannot
// be had or its year does not fit four digits (past 9999).
bool ToLocalTime(int64_t seconds, std::tm* tm);

// `time` (seconds since the epoch, fraction included) as the report shows
// it: the whole seconds truncated, the fraction rounded half up to whole
// nanoseconds, a fraction that rounds to a full second carried into the
// seconds. False where the report shows the current time instead: a
// negative or non-finite time, 2^63 seconds or more, or a local year past
// 9999.
bool ToShownTime(double time, ShownTime* shown);

}  // namespace morvela

#endif  // MORVELA_RECORDER_TRIGGER_TIME_H_
