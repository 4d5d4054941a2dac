// A buffered text stream over a `Sink`. The report stream stores every LF
// written to it as CR LF on every host; the console stream writes bytes as
// they are. Errors are sticky: once the sink has refused a write, every later
// write reports failure and nothing more reaches the sink.

#ifndef MORVELA_STREAM_TEXT_STREAM_H_
#define MORVELA_STREAM_TEXT_STREAM_H_

#include <cstddef>
#include <memory>
#include <string_view>

#include "stream/sink.h"
#include "stream/write_behind.h"

namespace morvela {

enum class LineEnds { kAsWritten, kCrLf };

// kBehind splits the buffer in two halves and hands each full half to a
// `WriteBehind`, which may write it from a thread of its own while the other
// half fills.
enum class Writes { kInline, kBehind };

class TextStream {
 public:
  static constexpr size_t kDefaultCapacity = 1024 * 1024;
  // The largest `Reserve` that is always granted.
  static constexpr size_t kMaxReserve = 64 * 1024;

  // `sink` must remain live while the stream is in use. Check `ok()` after
  // construction: the buffer is allocated without throwing.
  TextStream(Sink* sink, LineEnds line_ends,
             size_t capacity = kDefaultCapacity);
  // The same over `buffer`, which must hold `capacity` (at least
  // 2 x kMaxReserve, twice that for kBehind) bytes and remain live while the
  // stream is; a null `buffer` makes the stream allocate its own.
  TextStream(Sink* sink, LineEnds line_ends, char* buffer, size_t capacity,
             Writes writes = Writes::kInline);
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;
  // Does not flush: call `Flush` and look at its result. Waits for a write
  // in flight.
  ~TextStream() = default;

  // False when the buffer could not be allocated.
  bool ok() const { return buffer_ != nullptr; }

  // Writes `text`, translating LF when the stream stores CR LF. Returns false
  // when the stream is in its error state after the write.
  bool Write(std::string_view text);
  bool Write(char c);

  // Writes `text`, which the caller guarantees holds no LF.
  bool WriteNoLf(std::string_view text);

  // The line break: "\r\n" on a CR LF stream, "\n" otherwise.
  bool NewLine();
  std::string_view line_end() const { return crlf_ ? "\r\n" : "\n"; }

  // Hot path. Returns room for at least `size` bytes (at most kMaxReserve)
  // that the caller fills and then hands back through `Commit`. Bytes written
  // this way are not translated: they must hold no LF unless meant literally.
  // In the error state the room is scratch space that is never written out.
  char* Reserve(size_t size) {
    if (static_cast<size_t>(end_ - pos_) < size) FlushBuffer();
    return pos_;
  }
  void Commit(char* end) { pos_ = end; }

  // Writes the buffered bytes to the sink and waits until they are written.
  // False when that, or any write before it, failed.
  bool Flush();

  bool error() const { return error_; }

 private:
  void FlushBuffer();
  // Writes the buffered bytes out; `last` when nothing will overlap them.
  void WriteOut(bool last);
  void Append(const char* data, size_t size);

  Sink* sink_;
  bool crlf_;
  std::unique_ptr<char[]> owned_;
  char* buffer_;
  size_t capacity_;
  // Declared after the buffer, so that a write in flight ends before the
  // buffer goes.
  std::unique_ptr<WriteBehind> behind_;
  // The half or whole of the buffer being filled.
  char* begin_ = nullptr;
  char* pos_ = nullptr;
  char* end_ = nullptr;
  bool error_ = false;
};

}  // namespace morvela

#endif  // MORVELA_STREAM_TEXT_STREAM_H_
