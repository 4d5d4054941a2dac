#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "stream/file.h"
#include "stream/input_stream.h"
#include "stream/text_stream.h"
#include "tests/memory_streams.h"
#include "tests/test_util.h"

namespace morvela {
namespace {

// Hands out at most `chunk` bytes per read, then an error or the end.
class TrickleSource : public Source {
 public:
  TrickleSource(std::string data, size_t chunk, bool fail_at_end)
      : data_(std::move(data)), chunk_(chunk), fail_at_end_(fail_at_end) {}
  ptrdiff_t Read(char* buffer, size_t size) override {
    ++reads_;
    if (pos_ == data_.size()) return fail_at_end_ ? -1 : 0;
    size_t n = std::min({size, chunk_, data_.size() - pos_});
    data_.copy(buffer, n, pos_);
    pos_ += n;
    return static_cast<ptrdiff_t>(n);
  }
  int reads() const { return reads_; }

 private:
  std::string data_;
  size_t chunk_;
  bool fail_at_end_;
  size_t pos_ = 0;
  int reads_ = 0;
};

TEST(TextStreamTest, FailedSinkWriteIsStickyAndStopsOutput) {
  testing::BudgetSink sink(400000);
  TextStream report(&sink, LineEnds::kCrLf, 0);
  int written = 0;
  while (written < 1000 && report.WriteNoLf(std::string(1000, 'x'))) ++written;
  // The write that needed the refused flush is the one that fails.
  ASSERT_TRUE(written > 0 && written < 1000);
  EXPECT_TRUE(report.error());
  EXPECT_FALSE(report.Write("more\n") || report.NewLine() || report.Flush());
  EXPECT_EQ(sink.text(), std::string(sink.text().size(), 'x'));
  // A failure that only shows when the last bytes are flushed.
  testing::BudgetSink tiny(0);
  TextStream small(&tiny, LineEnds::kCrLf);
  EXPECT_TRUE(small.Write("fits in the buffer\n"));
  EXPECT_FALSE(small.Flush());
}

TEST(InputStreamTest, ReadsItemsAcrossChunksAndReportsShortOnes) {
  std::string data;
  for (int i = 0; i < 3000; ++i) data += static_cast<char>(i * 7);
  TrickleSource source(data, 3, false);
  InputStream input(&source, 64);
  char item[1000];
  ASSERT_TRUE(input.ReadItem(item, 1000));
  EXPECT_EQ(std::string(item, 1000), data.substr(0, 1000));
  ASSERT_TRUE(input.Skip(999));
  ASSERT_EQ(input.Fill(64), 64u);
  EXPECT_EQ(input.data()[0], data[1999]);
  input.Consume(1);
  EXPECT_FALSE(input.ReadItem(item, 0));
  EXPECT_FALSE(input.ReadItem(item, 1001));  // 1000 remain
  EXPECT_FALSE(input.ReadItem(item, 1));
  int reads = source.reads();
  EXPECT_FALSE(input.Skip(1));
  EXPECT_EQ(source.reads(), reads) << "the source is not read after its end";
}

// The system calls behind FdSink and FdSource, injected: a fake descriptor
// whose calls are interrupted once, accept at most 100 bytes and hand out
// one byte at a time.
std::string fake_file;
size_t fake_pos = 0;
int fake_calls = 0;

ssize_t InterruptedThenCapped(int, const void* data, size_t size) {
  if (++fake_calls == 1) {
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

TEST(FileTest, SinkRetriesInterruptedAndShortWrites) {
  fake_file.clear();
  fake_calls = 0;
  std::string data;
  for (int i = 0; i < 1234; ++i) data += static_cast<char>('0' + i % 10);
  FdSink sink(-1, &InterruptedThenCapped);
  ASSERT_TRUE(sink.Write(data.data(), data.size()));
  EXPECT_EQ(fake_file, data);
  EXPECT_EQ(fake_calls, 1 + 13);

  FdSink full(-1, &Refused);
  EXPECT_FALSE(full.Write("x", 1));
  FdSink stuck(-1, &WritesNothing);
  EXPECT_FALSE(stuck.Write("x", 1));
}

TEST(FileTest, SourceRetriesInterruptedReadsAndTakesOneByteReads) {
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
