// The exact reference for the fixed-point rule, for tests and the fuzzer:
// the C library's exact decimal expansion of a double (printf with enough
// digits prints every digit of the binary value), rounded by the rule with
// decimal string arithmetic only. Slow; never used by the converter.

#ifndef MORVELA_TESTS_FIXED_REFERENCE_H_
#define MORVELA_TESTS_FIXED_REFERENCE_H_

#include <string>

namespace morvela {

// What "%.Nf" (N = `decimals`, with "+" when `force_sign`) must print under
// the report's rule.
std::string ReferenceFixed(double value, int decimals, bool force_sign);

}  // namespace morvela

#endif  // MORVELA_TESTS_FIXED_REFERENCE_H_
