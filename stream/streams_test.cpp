#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "stream/file.h"
#include "stream/input_stream.h"

namespace morvela {
namespace {

// The system calls behind FdSink and FdSource, injected: a fake descriptor
// whose writes are interrupted every other call and accept at most 100
// bytes, and whose reads are interrupted once and hand out one byte at a
// time.
std::string fake_file;
size_t fake_pos = 0;
int fake_calls = 0;

ssize_t InterruptedThenCapped(int, const void* data, size_t size) {
  if (++fake_calls % 2 == 1) {
    errno = EINTR;
    return -1;
  }
  size = std::min<size_t>(size, 100);
  fake_file.append(static_cast<const char*>(data), size);
  return static_cast<ssize_t>(size);
}

ssize_t InterruptedThenOneByte(int, void* buffer, size_t size) {
  if (++fake_calls == 1) {
    errno = EINTR;
    return -1;
  }
  if (fake_pos == fake_file.size() || size == 0) return 0;
  static_cast<char*>(buffer)[0] = fake_file[fake_pos++];
  return 1;
}

ssize_t Refused(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}

ssize_t WritesNothing(int, const void*, size_t) { return 0; }

TEST(FileTest, RetriesInterruptedAndShortWritesAndReads) {
  fake_file.clear();
  fake_calls = 0;
  std::string data;
  for (int i = 0; i < 1234; ++i) data += static_cast<char>('0' + i % 10);
  FdSink sink(-1, &InterruptedThenCapped);
  ASSERT_TRUE(sink.Write(data.data(), data.size()));
  EXPECT_EQ(fake_file, data);
  EXPECT_EQ(fake_calls, 2 * 13);

  FdSink full(-1, &Refused);
  EXPECT_FALSE(full.Write("x", 1));
  FdSink stuck(-1, &WritesNothing);
  EXPECT_FALSE(stuck.Write("x", 1));

  fake_file = std::string(1000, 'r') + "tail";
  fake_pos = 0;
  fake_calls = 0;
  FdSource source(-1, &InterruptedThenOneByte);
  InputStream input(&source, 64);
  char item[1004];
  ASSERT_TRUE(input.ReadItem(item, 1004));
  EXPECT_EQ(std::string(item, 1004), fake_file);
  EXPECT_FALSE(input.ReadItem(item, 1));
}

}  // namespace
}  // namespace morvela
