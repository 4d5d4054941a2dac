#include "stream/write_behind.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "stream/text_stream.h"
#include "tests/test_util.h"

namespace morvela {
namespace {

// Records what reaches it, failing the test if two writes ever overlap.
class ExclusiveSink : public Sink {
 public:
  bool Write(const char* data, size_t size) override {
    EXPECT_FALSE(busy_.exchange(true)) << "two writes at once";
    text_.append(data, size);
    if (std::this_thread::get_id() != caller_) ++from_helper_;
    busy_.store(false);
    return true;
  }
  const std::string& text() const { return text_; }
  int from_helper() const { return from_helper_; }

 private:
  std::atomic<bool> busy_{false};
  std::thread::id caller_ = std::this_thread::get_id();
  std::string text_;
  int from_helper_ = 0;
};

std::string CrLf(const std::string& text) {
  std::string out;
  for (char c : text) c == '\n' ? out += "\r\n" : out += c;
  return out;
}

TEST(WriteBehindTest, StreamKeepsEveryByteInOrder) {
  ExclusiveSink sink;
  std::string expected;
  {
    // The smallest halves, so that some 160 buffers go out.
    TextStream report(&sink, LineEnds::kCrLf, nullptr, 0, Writes::kBehind);
    ASSERT_TRUE(report.ok());
    std::mt19937 random(7);
    while (expected.size() < 20'000'000) {
      std::string piece(random() % 3000, 'a' + random() % 26);
      if (random() % 2) piece += '\n';
      if (random() % 4 == 0) {
        char* w = report.Reserve(piece.size());
        report.Commit(std::copy(piece.begin(), piece.end(), w));
        expected += piece;
      } else {
        ASSERT_TRUE(report.Write(piece));
        expected += CrLf(piece);
      }
    }
    ASSERT_TRUE(report.Flush());
  }
  ASSERT_EQ(sink.text().size(), expected.size());
  EXPECT_TRUE(sink.text() == expected);
  if (WriteBehind::HasSpareCpu()) EXPECT_GT(sink.from_helper(), 0);

  // Dropped while a write may be in flight: the buffer outlives the write.
  ExclusiveSink unflushed;
  {
    TextStream report(&unflushed, LineEnds::kCrLf, nullptr, 0, Writes::kBehind);
    for (int i = 0; i < 1000; ++i) report.Write(std::string(1000, 'z'));
  }
  EXPECT_EQ(unflushed.text(), std::string(unflushed.text().size(), 'z'));
}

TEST(WriteBehindTest, NothingReachesTheSinkAfterARefusal) {
  for (size_t budget : {0, 1, 200'000, 5'000'000}) {
    testing::BudgetSink sink(budget);
    TextStream report(&sink, LineEnds::kCrLf, nullptr, 0, Writes::kBehind);
    std::string line(999, 'x');
    line += '\n';
    std::string expected;
    int accepted = 0;
    for (int i = 0; i < 10'000 && report.Write(line); ++i) {
      expected += CrLf(line);
      ++accepted;
    }
    EXPECT_TRUE(report.error());
    EXPECT_FALSE(report.Write("more"));
    EXPECT_FALSE(report.Flush());
    // A whole number of buffers, all from the start, within the budget.
    EXPECT_LE(sink.text().size(), budget);
    EXPECT_EQ(sink.text(), expected.substr(0, sink.text().size()));
    EXPECT_LT(accepted, 10'000) << budget;
  }
}

// A clock that only moves when the test says so.
std::atomic<uint64_t> fake_now{1};
uint64_t FakeNow() { return fake_now.load(); }

// Filling a buffer costs `fill`, writing it in the caller `here_cost`; the
// helper's writes cost the caller nothing, but the buffer filled after one
// costs `refill_cost` more.
struct Costs {
  uint64_t fill;
  uint64_t here_cost;
  uint64_t refill_cost;
};

class CostlySink : public Sink {
 public:
  bool Write(const char*, size_t) override {
    if (std::this_thread::get_id() == caller_) fake_now += here_cost;
    return true;
  }
  std::atomic<uint64_t> here_cost{0};

 private:
  std::thread::id caller_ = std::this_thread::get_id();
};

// Submits `buffers` buffers at `costs`; returns the share the helper took.
double HelperShare(WriteBehind& writer, CostlySink& sink, const Costs& costs,
                   int buffers) {
  static char halves[2][4096];
  sink.here_cost = costs.here_cost;
  const uint64_t before = writer.handed_off();
  for (int i = 0; i < buffers; ++i) {
    uint64_t handed = writer.handed_off();
    EXPECT_TRUE(writer.Submit(halves[i % 2], sizeof halves[0]));
    // The next buffer's filling.
    fake_now += costs.fill;
    if (writer.handed_off() > handed) fake_now += costs.refill_cost;
  }
  EXPECT_TRUE(writer.Wait());
  return static_cast<double>(writer.handed_off() - before) / buffers;
}

TEST(WriteBehindTest, SettlesOnTheModeThatCostsTheCallerLess) {
  if (!WriteBehind::HasSpareCpu()) GTEST_SKIP() << "one core: no helper";
  // Writing costs as much as filling: the helper halves the time.
  const Costs helper_wins{100, 100, 0};
  // Memory that crosses cores costs more than the write: stay home.
  const Costs home_wins{100, 20, 60};
  {
    CostlySink sink;
    WriteBehind writer(&sink, &FakeNow);
    EXPECT_GT(HelperShare(writer, sink, helper_wins, 3000), 0.9);
    // The machine changes mid-run; the writer follows.
    HelperShare(writer, sink, home_wins, 1000);
    EXPECT_LT(HelperShare(writer, sink, home_wins, 3000), 0.1);
  }
  {
    CostlySink sink;
    WriteBehind writer(&sink, &FakeNow);
    EXPECT_LT(HelperShare(writer, sink, home_wins, 3000), 0.1);
    HelperShare(writer, sink, helper_wins, 1000);
    EXPECT_GT(HelperShare(writer, sink, helper_wins, 3000), 0.9);
  }
}

}  // namespace
}  // namespace morvela
