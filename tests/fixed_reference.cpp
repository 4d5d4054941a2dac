#include "tests/fixed_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace morvela {
namespace {

// Increments a string of decimal digits; true when it carried out of the
// first digit.
bool IncrementDigits(std::string* digits) {
  for (size_t i = digits->size(); i-- > 0;) {
    if ((*digits)[i] != '9') {
      ++(*digits)[i];
      return false;
    }
    (*digits)[i] = '0';
  }
  return true;
}

}  // namespace

// The rule applied to glibc's exact decimal expansion with string arithmetic
// only: round half-up to 17 significant digits, then half-up on the first
// dropped digit to `decimals` places.
std::string ReferenceFixed(double v, int decimals, bool force_sign) {
  std::string sign = std::signbit(v) && v != 0 ? "-" : (force_sign ? "+" : "");
  if (std::isnan(v)) return force_sign ? "+nan" : "nan";
  if (std::isinf(v)) return sign.append("inf");
  std::string fraction(decimals, '0');
  if (decimals) fraction.insert(fraction.begin(), '.');
  if (v == 0) return sign.append("0").append(fraction);
  char buffer[1000];
  std::snprintf(buffer, sizeof buffer, "%.800e", std::fabs(v));
  std::string text(buffer);
  std::string digits = text.substr(0, 1);
  digits.append(text, 2, 800);
  int exponent = std::atoi(text.c_str() + text.find('e') + 1);
  std::string d17 = digits.substr(0, 17);
  if (digits[17] >= '5' && IncrementDigits(&d17)) {
    d17 = std::string(17, '0');
    d17[0] = '1';
    ++exponent;
  }
  // Digit at decimal position p (10^p) of the 17-digit form.
  auto digit_at = [&](int p) {
    int index = exponent - p;
    return index >= 0 && index < 17 ? d17[index] : '0';
  };
  std::string kept;
  for (int p = std::max(exponent, 0); p >= -decimals; --p) kept += digit_at(p);
  if (digit_at(-decimals - 1) >= '5' && IncrementDigits(&kept)) {
    kept.insert(kept.begin(), '1');
  }
  std::string int_part = kept.substr(0, kept.size() - decimals);
  size_t first = int_part.find_first_not_of('0');
  int_part = first == std::string::npos ? "0" : int_part.substr(first);
  std::string out = sign;
  out.append(int_part);
  if (decimals) out.append(".").append(kept, kept.size() - decimals);
  return out;
}

}  // namespace morvela
