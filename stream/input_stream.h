// A buffered reader over a `Source`, read strictly front to back.

#ifndef MORVELA_STREAM_INPUT_STREAM_H_
#define MORVELA_STREAM_INPUT_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "stream/source.h"

namespace morvela {

class InputStream {
 public:
  static constexpr size_t kDefaultCapacity = 256 * 1024;

  // `source` must remain live while the stream is in use. Check `ok()`: the
  // buffer is allocated without throwing.
  explicit InputStream(Source* source, size_t capacity = kDefaultCapacity);
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  bool ok() const { return owned_ != nullptr; }

  // Reads exactly `size` bytes into `out`. When fewer arrive, the bytes that
  // did arrive are consumed and false is returned; a 0-byte item never
  // arrives.
  bool ReadItem(void* out, size_t size);

  // Consumes `size` bytes without keeping them; false when fewer arrive.
  bool Skip(uint64_t size);

  // Hot path: makes at least `size` bytes (at most `capacity()`) available at
  // `data()` when the source still holds them, and returns how many are.
  size_t Fill(size_t size);
  const char* data() const { return pos_; }
  size_t available() const { return static_cast<size_t>(end_ - pos_); }
  void Consume(size_t size) { pos_ += size; }
  size_t capacity() const { return capacity_; }

 private:
  // Reads more from the source behind the buffered bytes; false at the end
  // of the data or on an error, after which the source is not read again.
  bool Refill();

  Source* source_;
  size_t capacity_;
  std::unique_ptr<char[]> owned_;  // nullptr when it could not be had
  char* pos_ = nullptr;
  char* end_ = nullptr;
  bool exhausted_ = false;
};

}  // namespace morvela

#endif  // MORVELA_STREAM_INPUT_STREAM_H_
