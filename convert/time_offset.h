// The time offset of a sample row from the trigger, "%+9.9f" of
// ((i - Npretrigger) x SampleTime) x 1e-6 computed in double precision.

#ifndef MORVELA_CONVERT_TIME_OFFSET_H_
#define MORVELA_CONVERT_TIME_OFFSET_H_

#include <cstdint>

#include "recorder/sample_decoding.h"

namespace morvela {

// Writes the offsets of one recording's rows.
class TimeOffsetFormatter {
 public:
  TimeOffsetFormatter(uint32_t pretrigger, uint32_t sample_time);

  // Writes TimeOffset(row, pretrigger, sample_time) with a sign and nine
  // decimals under the report's fixed-point rule; `out` needs room for
  // kMaxFixedChars.
  char* Format(uint64_t row, char* out) const;

 private:
  uint32_t pretrigger_;
  uint32_t sample_time_;
  uint64_t max_steps_;  // the most steps from the trigger for the shortcut
};

}  // namespace morvela

#endif  // MORVELA_CONVERT_TIME_OFFSET_H_
