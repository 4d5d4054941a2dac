#include "stream/cache_lines.h"

#include <algorithm>
#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace morvela {

#if defined(__x86_64__)

namespace {

constexpr size_t kLine = 64;

bool HasClflushopt() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ebx >> 23 & 1) != 0;  // CPUID.(EAX=7,ECX=0):EBX bit 23
}

__attribute__((target("clflushopt"))) void FlushLines(const char* data,
                                                      size_t size) {
  if (size == 0) return;
  // Every line holds one of data, data + 64, ... or the last byte.
  const char* end = data + size;
  for (const char* p = data; p < end; p += std::min<size_t>(kLine, end - p)) {
    _mm_clflushopt(const_cast<char*>(p));
  }
  _mm_clflushopt(const_cast<char*>(end - 1));
  _mm_sfence();
}

}  // namespace

bool CanEvictCacheLines() {
  static const bool can = HasClflushopt();
  return can;
}

void EvictCacheLines(const char* data, size_t size) {
  if (CanEvictCacheLines()) FlushLines(data, size);
}

#else

bool CanEvictCacheLines() { return false; }
void EvictCacheLines(const char*, size_t) {}

#endif

}  // namespace morvela
