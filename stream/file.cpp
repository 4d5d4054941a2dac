#include "stream/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace morvela {

int File::Release() {
  int released = fd_;
  fd_ = -1;
  return released;
}

bool File::Close() {
  if (fd_ < 0) return true;
  return ::close(Release()) == 0;
}

File OpenForReading(const char* path, struct stat* st, int* error,
                    int extra_flags) {
  File file(::open(path, O_RDONLY | O_CLOEXEC | extra_flags));
  if (!file.is_open()) {
    *error = errno;
  } else if (::fstat(file.fd(), st) != 0) {
    *error = errno;
    file.Close();
  } else if (S_ISDIR(st->st_mode)) {
    *error = EISDIR;
    file.Close();
  }
  return file;
}

ptrdiff_t FdSource::Read(char* buffer, size_t size) {
  for (;;) {
    ssize_t n = read_(fd_, buffer, size);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

bool FdSink::Write(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write_(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace morvela
