#include "stream/text_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace morvela {

TextStream::TextStream(Sink* sink, LineEnds line_ends, size_t capacity)
    : TextStream(sink, line_ends, nullptr, capacity) {}

TextStream::TextStream(Sink* sink, LineEnds line_ends, char* buffer,
                       size_t capacity)
    : sink_(sink),
      crlf_(line_ends == LineEnds::kCrLf),
      buffer_(buffer),
      capacity_(std::max(capacity, 2 * kMaxReserve)) {
  if (buffer_ == nullptr) {
    owned_.reset(new (std::nothrow) char[capacity_]);
    buffer_ = owned_.get();
  }
  pos_ = buffer_;
  end_ = pos_ ? pos_ + capacity_ : nullptr;
}

void TextStream::FlushBuffer() {
  size_t size = pos_ - begin();
  if (!error_ && size > 0) {
    if (!sink_->Write(begin(), size)) error_ = true;
  }
  pos_ = begin();
}

bool TextStream::Flush() {
  FlushBuffer();
  return !error_;
}

void TextStream::Append(const char* data, size_t size) {
  while (size > 0) {
    if (pos_ == end_) FlushBuffer();
    size_t n = std::min(size, static_cast<size_t>(end_ - pos_));
    std::memcpy(pos_, data, n);
    pos_ += n;
    data += n;
    size -= n;
  }
}

bool TextStream::WriteNoLf(std::string_view text) {
  Append(text.data(), text.size());
  return !error_;
}

bool TextStream::Write(std::string_view text) {
  if (!crlf_) return WriteNoLf(text);
  for (;;) {
    size_t lf = text.find('\n');
    if (lf == std::string_view::npos) break;
    Append(text.data(), lf);
    Append("\r\n", 2);
    text.remove_prefix(lf + 1);
  }
  Append(text.data(), text.size());
  return !error_;
}

bool TextStream::Write(char c) { return Write(std::string_view(&c, 1)); }

bool TextStream::NewLine() {
  return crlf_ ? WriteNoLf("\r\n") : WriteNoLf("\n");
}

}  // namespace morvela
