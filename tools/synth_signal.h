// The deterministic test signal of morvela-synth: on input j, a sine of
// (j + 1) periods per 1000 samples, phase-shifted by input, plus seeded
// uniform noise, scaled to the data type's range.

#ifndef MORVELA_TOOLS_SYNTH_SIGNAL_H_
#define MORVELA_TOOLS_SYNTH_SIGNAL_H_

#include <cstdint>

#include "recorder/recorder_file.h"

namespace morvela {

class SynthSignal {
 public:
  // `noise` is the noise amplitude as a fraction of the sine's; the values
  // of the floating types are multiplied by `scale`.
  SynthSignal(DataType type, double noise, uint64_t seed, double scale = 1);

  // The value of input `input` at sample `sample`; always inside the type's
  // range. Must be called in row order for a given seed to repeat.
  double Next(uint32_t sample, uint32_t input);

 private:
  double NextUniform();  // in [-1, 1)

  double center_;
  double amplitude_;
  double noise_;
  double scale_;
  bool integral_ = true;
  uint64_t state_;
};

}  // namespace morvela

#endif  // MORVELA_TOOLS_SYNTH_SIGNAL_H_
