// Where written bytes go. Tests and the fuzzer inject their own sinks.

#ifndef MORVELA_STREAM_SINK_H_
#define MORVELA_STREAM_SINK_H_

#include <cstddef>
#include <string>

namespace morvela {

class Sink {
 public:
  virtual ~Sink() = default;
  // Writes all `size` bytes; false when they could not all be written.
  virtual bool Write(const char* data, size_t size) = 0;
};

// Appends to a string; for tests.
class StringSink : public Sink {
 public:
  bool Write(const char* data, size_t size) override {
    text_.append(data, size);
    return true;
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Accepts and forgets everything.
class NullSink : public Sink {
 public:
  bool Write(const char*, size_t size) override {
    bytes_ += size;
    return true;
  }
  size_t bytes() const { return bytes_; }

 private:
  size_t bytes_ = 0;
};

}  // namespace morvela

#endif  // MORVELA_STREAM_SINK_H_
