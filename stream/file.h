// Owning wrappers of file descriptors and the sources and sinks over them.

#ifndef MORVELA_STREAM_FILE_H_
#define MORVELA_STREAM_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "stream/sink.h"
#include "stream/source.h"

namespace morvela {

// Owns one file descriptor and closes it when destroyed.
class File {
 public:
  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.Release()) {}
  File& operator=(File&& other) = delete;
  ~File() { Close(); }

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int Release();
  // Closes the descriptor; false when close() reported an error.
  bool Close();

 private:
  int fd_ = -1;
};

// Opens `path` for reading, with the open(2) flags `extra_flags` added, and
// fills `st` from the opened file. A directory counts as a failed open
// (EISDIR). On failure the returned File is not open and `error` holds the
// error number.
File OpenForReading(const char* path, struct stat* st, int* error,
                    int extra_flags = 0);

// The system calls behind the sources and sinks; tests inject their own.
using ReadCall = ssize_t (*)(int fd, void* buffer, size_t size);
using WriteCall = ssize_t (*)(int fd, const void* data, size_t size);

// Reads from a descriptor it does not own; the descriptor must remain open
// while the source is in use. Interrupted reads are retried.
class FdSource : public Source {
 public:
  explicit FdSource(int fd, ReadCall read = &::read) : fd_(fd), read_(read) {}
  ptrdiff_t Read(char* buffer, size_t size) override;

 private:
  int fd_;
  ReadCall read_;
};

// Writes to a descriptor it does not own, retrying short and interrupted
// writes; the descriptor must remain open while the sink is in use.
class FdSink : public Sink {
 public:
  explicit FdSink(int fd, WriteCall write = &::write)
      : fd_(fd), write_(write) {}
  bool Write(const char* data, size_t size) override;

 private:
  int fd_;
  WriteCall write_;
};

}  // namespace morvela

#endif  // MORVELA_STREAM_FILE_H_
