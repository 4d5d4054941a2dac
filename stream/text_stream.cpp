#include "stream/text_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace morvela {

TextStream::TextStream(Sink* sink, LineEnds line_ends, size_t capacity)
    : sink_(sink),
      crlf_(line_ends == LineEnds::kCrLf),
      owned_(new (std::nothrow) char[std::max<size_t>(capacity, 1)]),
      capacity_(std::max<size_t>(capacity, 1)) {
  if (capacity_ < kMaxReserve)
    spill_.reset(new (std::nothrow) char[kMaxReserve]);
  pos_ = owned_.get();
  end_ = owned_ ? owned_.get() + capacity_ : nullptr;
}

void TextStream::FlushBuffer() {
  size_t size = pos_ - owned_.get();
  if (!error_ && size > 0 && !sink_->Write(owned_.get(), size)) error_ = true;
  pos_ = owned_.get();
}

bool TextStream::Flush() {
  FlushBuffer();
  return !error_;
}

char* TextStream::ReserveSlow(size_t size) {
  FlushBuffer();
  if (static_cast<size_t>(end_ - pos_) >= size) return pos_;
  in_spill_ = true;
  return spill_.get();
}

void TextStream::CommitSpill(const char* end) {
  in_spill_ = false;
  Append(spill_.get(), end - spill_.get());
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
