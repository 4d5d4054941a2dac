#include "stream/text_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace morvela {

TextStream::TextStream(Sink* sink, LineEnds line_ends, size_t capacity)
    : TextStream(sink, line_ends, nullptr, capacity) {}

TextStream::TextStream(Sink* sink, LineEnds line_ends, char* buffer,
                       size_t capacity, Writes writes)
    : sink_(sink), crlf_(line_ends == LineEnds::kCrLf), buffer_(buffer) {
  const bool behind = writes == Writes::kBehind;
  const size_t half =
      std::max(behind ? capacity / 2 : capacity, 2 * kMaxReserve);
  capacity_ = behind ? 2 * half : half;
  if (buffer_ == nullptr) {
    owned_.reset(new (std::nothrow) char[capacity_]);
    buffer_ = owned_.get();
  }
  if (buffer_ == nullptr) return;
  // Without a helper the stream writes inline, over the first half.
  if (behind) behind_.reset(new (std::nothrow) WriteBehind(sink));
  begin_ = pos_ = buffer_;
  end_ = begin_ + half;
}

void TextStream::FlushBuffer() { WriteOut(false); }

void TextStream::WriteOut(bool last) {
  size_t size = pos_ - begin_;
  if (!error_ && size > 0) {
    if (behind_ == nullptr) {
      error_ = !sink_->Write(begin_, size);
    } else if (last) {
      error_ = !behind_->WriteNow(begin_, size);
    } else if (behind_->Submit(begin_, size)) {
      // This half may still be in flight: fill the other.
      size_t half = end_ - begin_;
      begin_ = begin_ == buffer_ ? buffer_ + half : buffer_;
      end_ = begin_ + half;
    } else {
      error_ = true;
    }
  }
  pos_ = begin_;
}

bool TextStream::Flush() {
  WriteOut(true);
  if (behind_ != nullptr && !behind_->Wait()) error_ = true;
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
