// A buffered text stream over a `Sink`. The report stream stores every LF
// written to it as CR LF on every host; the console stream writes bytes as they
// are. Errors are sticky: once the sink has refused a write, every later write
// reports failure and nothing more reaches the sink.

#ifndef MORVELA_STREAM_TEXT_STREAM_H_
#define MORVELA_STREAM_TEXT_STREAM_H_

#include <cassert>
#include <cstddef>
#include <memory>
#include <string_view>

#include "stream/sink.h"

namespace morvela {

enum class LineEnds { kAsWritten, kCrLf };

class TextStream {
 public:
  static constexpr size_t kDefaultCapacity = 1024 * 1024;
  // The largest `Reserve` that is always granted.
  static constexpr size_t kMaxReserve = 64 * 1024;
  // The most bytes `PutLineEnd` writes.
  static constexpr size_t kMaxLineEnd = 2;

  // `sink` must remain live while the stream is in use. Any capacity from 1
  // byte up works; the sink then sees writes of at most that size. Check
  // `ok()`: buffers are allocated without throwing.
  TextStream(Sink* sink, LineEnds line_ends,
             size_t capacity = kDefaultCapacity);
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;

  // False when a buffer could not be allocated.
  bool ok() const {
    return owned_ != nullptr && (capacity_ >= kMaxReserve || spill_);
  }

  // Writes `text`, translating LF when the stream stores CR LF. Returns false
  // when the stream is in its error state after the write.
  bool Write(std::string_view text);
  bool Write(char c);

  // Writes `text`, which the caller guarantees holds no LF.
  bool WriteNoLf(std::string_view text);

  // The line break: "\r\n" on a CR LF stream, "\n" otherwise.
  bool NewLine();

  // Hot path. Returns room for at least `size` bytes (at most kMaxReserve)
  // that the caller fills and then hands back through `Commit`. Bytes written
  // this way are not translated: they must hold no LF; line breaks go in
  // through `PutLineEnd`. In the error state the room is scratch space that
  // is never written out.
  char* Reserve(size_t size) {
    assert(size <= kMaxReserve);
    char* room =
        static_cast<size_t>(end_ - pos_) >= size ? pos_ : ReserveSlow(size);
    reserved_end_ = room + size;  // for the check in `Commit`
    return room;
  }
  // Ends a `Reserve`; `end` must lie within the room reserved.
  void Commit(char* end) {
    assert(end <= reserved_end_);
    if (in_spill_) [[unlikely]] {
      CommitSpill(end);
    } else {
      pos_ = end;
    }
  }
  // Writes this stream's line break into reserved room; returns its end.
  char* PutLineEnd(char* out) const {
    if (crlf_) *out++ = '\r';
    *out = '\n';
    return out + 1;
  }

  // Writes the buffered bytes to the sink. False when that, or any write
  // before it, failed. The destructor does not flush.
  bool Flush();

  bool error() const { return error_; }

 private:
  void FlushBuffer();
  void Append(const char* data, size_t size);
  char* ReserveSlow(size_t size);
  void CommitSpill(const char* end);

  Sink* sink_;
  bool crlf_;
  std::unique_ptr<char[]> owned_;  // nullptr when it could not be had
  size_t capacity_;
  char* pos_ = nullptr;
  char* end_ = nullptr;
  // Room for a `Reserve` larger than the whole buffer; only a buffer smaller
  // than kMaxReserve has one. Committed bytes are appended to the buffer.
  std::unique_ptr<char[]> spill_;
  bool in_spill_ = false;
  bool error_ = false;
  char* reserved_end_ = nullptr;
};

}  // namespace morvela

#endif  // MORVELA_STREAM_TEXT_STREAM_H_
