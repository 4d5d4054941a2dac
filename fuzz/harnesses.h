// The fuzz harnesses, shared by the libFuzzer targets and the regression
// test that replays fuzz/regressions and the seeds. Each aborts the process
// when an invariant fails.

#ifndef MORVELA_FUZZ_HARNESSES_H_
#define MORVELA_FUZZ_HARNESSES_H_

#include <cstddef>
#include <cstdint>

namespace morvela {

// Converts `data` as a recording through all four steps, from memory into a
// checking sink: the result must be a defined code and every LF of the
// report must follow a CR.
void FuzzConversion(const uint8_t* data, size_t size);

// Formats the double made of the first 8 bytes with 6 and 9 decimals and
// compares both formatters with the exact reference.
void FuzzFixedPoint(const uint8_t* data, size_t size);

}  // namespace morvela

#endif  // MORVELA_FUZZ_HARNESSES_H_
