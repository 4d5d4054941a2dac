// Where read bytes come from. Tests and the fuzzer inject their own sources.

#ifndef MORVELA_STREAM_SOURCE_H_
#define MORVELA_STREAM_SOURCE_H_

#include <cstddef>

namespace morvela {

class Source {
 public:
  virtual ~Source() = default;
  // Reads up to `size` bytes into `buffer`. Returns the count read, 0 at the
  // end of the data, or -1 on an error.
  virtual ptrdiff_t Read(char* buffer, size_t size) = 0;
};

}  // namespace morvela

#endif  // MORVELA_STREAM_SOURCE_H_
