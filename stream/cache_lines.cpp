#include "stream/cache_lines.h"

#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace morvela {

#if defined(__x86_64__)

namespace {

constexpr uintptr_t kLine = 64;

bool HasClflushopt() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ebx >> 23 & 1) != 0;  // CPUID.(EAX=7,ECX=0):EBX bit 23
}

__attribute__((target("clflushopt"))) void FlushLines(const char* data,
                                                      size_t size) {
  uintptr_t line = reinterpret_cast<uintptr_t>(data) & ~(kLine - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(data) + size;
  for (; line < end; line += kLine) {
    _mm_clflushopt(reinterpret_cast<void*>(line));
  }
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
