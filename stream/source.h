// Where read bytes come from. Tests and the fuzzer inject their own sources.

#ifndef MORVELA_STREAM_SOURCE_H_
#define MORVELA_STREAM_SOURCE_H_

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace morvela {

class Source {
 public:
  virtual ~Source() = default;
  // Reads up to `size` bytes into `buffer`. Returns the count read, 0 at the
  // end of the data, or -1 on an error.
  virtual ptrdiff_t Read(char* buffer, size_t size) = 0;
};

// Reads from memory that must remain live while the source is in use.
class MemorySource : public Source {
 public:
  explicit MemorySource(std::string_view data) : data_(data) {}
  ptrdiff_t Read(char* buffer, size_t size) override {
    size_t n = std::min(size, data_.size());
    if (n > 0) std::memcpy(buffer, data_.data(), n);
    data_.remove_prefix(n);
    return static_cast<ptrdiff_t>(n);
  }

 private:
  std::string_view data_;
};

}  // namespace morvela

#endif  // MORVELA_STREAM_SOURCE_H_
