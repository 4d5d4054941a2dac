// Sources and sinks in memory, for the tests and the fuzz harnesses.

#ifndef MORVELA_TESTS_MEMORY_STREAMS_H_
#define MORVELA_TESTS_MEMORY_STREAMS_H_

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "stream/sink.h"
#include "stream/source.h"

namespace morvela {

// Appends to a string.
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

#endif  // MORVELA_TESTS_MEMORY_STREAMS_H_
