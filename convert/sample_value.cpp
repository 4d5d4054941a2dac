#include "convert/sample_value.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace morvela {

namespace {

// A decimal counter for rendering consecutive integers: the magnitude's
// digits, right-aligned, counted up or down by one per step.
class DecimalCounter {
 public:
  explicit DecimalCounter(uint32_t start) {
    char* end = FormatUnsigned(start, digits_);
    length_ = static_cast<int>(end - digits_);
  }
  void Increment() {
    int i = length_ - 1;
    while (i >= 0 && digits_[i] == '9') digits_[i--] = '0';
    if (i >= 0) {
      ++digits_[i];
    } else {
      std::memmove(digits_ + 1, digits_, length_++);
      digits_[0] = '1';
    }
  }
  void Decrement() {  // the counter must be above zero
    int i = length_ - 1;
    while (digits_[i] == '0') digits_[i--] = '9';
    --digits_[i];
    if (digits_[0] == '0' && length_ > 1)
      std::memmove(digits_, digits_ + 1, --length_);
  }
  // Writes "[-]digits;" and returns the count of bytes.
  uint8_t Write(bool negative, char* out) const {
    *out = '-';
    out += negative;
    std::memcpy(out, digits_, length_);
    out[length_] = ';';
    return static_cast<uint8_t>(negative + length_ + 1);
  }

 private:
  char digits_[kMaxIntegerChars];
  int length_;
};

}  // namespace

bool SmallIntTable::Build(uint32_t width, bool is_signed) {
  const uint32_t count = uint32_t{1} << (8 * width);
  entries_.reset(new (std::nothrow) Entry[count]);
  if (!entries_) return false;
  // Stored values 0 up to the sign bit are 0, 1, 2, ...; above it the signed
  // types count -2^(n-1), ..., -1 (two's complement), the unsigned ones on.
  const uint32_t half = is_signed ? count >> 1 : count;
  DecimalCounter up(0);
  for (uint32_t raw = 0; raw < half; ++raw, up.Increment()) {
    entries_[raw].length = up.Write(false, entries_[raw].text);
  }
  DecimalCounter down(count >> 1);
  for (uint32_t raw = half; raw < count; ++raw, down.Decrement()) {
    entries_[raw].length = down.Write(true, entries_[raw].text);
  }
  return true;
}

char* RenderSampleValue(const SamplePlan& plan, const unsigned char* p,
                        char* out) {
  const DataTypeInfo& info = InfoOf(plan.type);
  if (plan.value_bytes == 0) return out;
  if (plan.value_bytes < info.width) {
    // A narrower integer field: sign- or zero-extend it.
    return FormatSigned(LoadInteger(p, plan.value_bytes, info.is_signed), out);
  }
  return WithNativeType(plan.type, [&](auto type) {
    return RenderFullWidth<typename decltype(type)::type>(p, out);
  });
}

}  // namespace morvela
