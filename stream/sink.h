// Where written bytes go. Tests and the fuzzer inject their own sinks.

#ifndef MORVELA_STREAM_SINK_H_
#define MORVELA_STREAM_SINK_H_

#include <cstddef>

namespace morvela {

class Sink {
 public:
  virtual ~Sink() = default;
  // Writes all `size` bytes; false when they could not all be written.
  virtual bool Write(const char* data, size_t size) = 0;
};

}  // namespace morvela

#endif  // MORVELA_STREAM_SINK_H_
