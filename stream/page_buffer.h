// Memory for the streams' buffers straight from the kernel, aligned to and
// rounded up to 2 MiB and marked for transparent huge pages: where the
// system grants them the whole buffer costs one page fault instead of one
// per 4 KiB page.

#ifndef MORVELA_STREAM_PAGE_BUFFER_H_
#define MORVELA_STREAM_PAGE_BUFFER_H_

#include <cstddef>

namespace morvela {

class PageBuffer {
 public:
  // Check `ok()`: a failed mapping is reported, never thrown.
  explicit PageBuffer(size_t size);
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  ~PageBuffer();

  bool ok() const { return data_ != nullptr; }
  // At least the size asked for; nullptr when the mapping failed.
  char* data() const { return data_; }

 private:
  void* mapping_ = nullptr;
  size_t mapping_size_ = 0;
  char* data_ = nullptr;
};

}  // namespace morvela

#endif  // MORVELA_STREAM_PAGE_BUFFER_H_
