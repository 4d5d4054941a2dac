#include "stream/page_buffer.h"

#include <sys/mman.h>

#include <cstdint>

namespace morvela {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

}  // namespace

PageBuffer::PageBuffer(size_t size) {
  size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
  // One huge page more, to align the start.
  size_t length = rounded + kHugePage;
  void* mapping = ::mmap(nullptr, length, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return;
  mapping_ = mapping;
  mapping_size_ = length;
  auto* base = static_cast<char*>(mapping);
  size_t misalignment = reinterpret_cast<uintptr_t>(base) % kHugePage;
  data_ = base + (misalignment == 0 ? 0 : kHugePage - misalignment);
#ifdef MADV_HUGEPAGE
  // Advice only: without huge pages the buffer works the same.
  ::madvise(data_, rounded, MADV_HUGEPAGE);
#endif
}

PageBuffer::~PageBuffer() {
  if (mapping_ != nullptr) ::munmap(mapping_, mapping_size_);
}

}  // namespace morvela
