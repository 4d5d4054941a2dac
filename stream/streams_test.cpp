#include <gtest/gtest.h>

#include <string>

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

TEST(TextStreamTest, StoresEveryLfAsCrLfAcrossBufferBoundaries) {
  StringSink sink;
  TextStream report(&sink, LineEnds::kCrLf, 1);
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    std::string piece = "name\n" + std::to_string(i) + (i % 7 ? "" : "\n\n");
    ASSERT_TRUE(report.Write(piece));
    for (char c : piece)
      expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
  }
  ASSERT_TRUE(report.NewLine());
  char* w = report.Reserve(3);
  report.Commit(std::copy_n("a;b", 3, w));
  ASSERT_TRUE(report.Flush());
  EXPECT_EQ(sink.text(), expected + "\r\na;b");

  StringSink console_sink;
  TextStream console(&console_sink, LineEnds::kAsWritten);
  console.Write("a\nb");
  console.NewLine();
  console.Flush();
  EXPECT_EQ(console_sink.text(), "a\nb\n");
}

TEST(TextStreamTest, FailedSinkWriteIsStickyAndStopsOutput) {
  testing::BudgetSink sink(400000);
  TextStream report(&sink, LineEnds::kCrLf, 0);
  std::string line(1000, 'x');
  int failed_at = -1;
  for (int i = 0; i < 1000; ++i) {
    if (!report.WriteNoLf(line)) {
      failed_at = i;
      break;
    }
  }
  // The write that needed the refused flush is the one that fails.
  ASSERT_GT(failed_at, 0);
  EXPECT_TRUE(report.error());
  EXPECT_FALSE(report.Write("more\n"));
  EXPECT_FALSE(report.NewLine());
  EXPECT_FALSE(report.Flush());
  EXPECT_LE(sink.text().size(), 400000u);
  EXPECT_EQ(sink.text().find_first_not_of('x'), std::string::npos);

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

}  // namespace
}  // namespace morvela
