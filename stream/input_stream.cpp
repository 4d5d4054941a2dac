#include "stream/input_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace morvela {

InputStream::InputStream(Source* source, size_t capacity)
    : source_(source),
      capacity_(std::max<size_t>(capacity, 64)),
      owned_(new (std::nothrow) char[capacity_]) {
  pos_ = end_ = owned_.get();
}

bool InputStream::Refill() {
  if (exhausted_) return false;
  if (pos_ != owned_.get()) {
    size_t kept = available();
    std::memmove(owned_.get(), pos_, kept);
    pos_ = owned_.get();
    end_ = pos_ + kept;
  }
  size_t room = capacity_ - available();
  if (room == 0) return true;
  ptrdiff_t n = source_->Read(end_, room);
  if (n <= 0) {
    exhausted_ = true;
    return false;
  }
  end_ += n;
  return true;
}

size_t InputStream::Fill(size_t size) {
  size = std::min(size, capacity_);
  while (available() < size && Refill()) {
  }
  return available();
}

bool InputStream::ReadItem(void* out, size_t size) {
  if (size == 0) return false;
  auto* dst = static_cast<char*>(out);
  for (;;) {
    size_t n = std::min(size, available());
    std::memcpy(dst, pos_, n);
    pos_ += n;
    dst += n;
    size -= n;
    if (size == 0) return true;
    if (!Refill()) return false;
  }
}

bool InputStream::Skip(uint64_t size) {
  for (;;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(size, available()));
    pos_ += n;
    size -= n;
    if (size == 0) return true;
    if (!Refill()) return false;
  }
}

}  // namespace morvela
