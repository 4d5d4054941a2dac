#include "recorder/recording_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace morvela {
namespace {

using testing::Padded;

using namespace std::string_literals;

// A header written out by hand: `type` fields of `size` bytes, `inputs`
// inputs (bytes 00 00 00 NN), `samples` samples (00 00 00 SS), 2 before the
// trigger, 100 us apart.
std::string Header(const std::string& type, char size, char inputs,
                   char samples) {
  return "KIV\0\0\0\0\0"s + Padded("R", 64) + "\0\0\0\0\0\0\0\0"s +
         Padded("A", 64) + Padded("1", 64) + Padded(type, 16) + "\0\0\0"s +
         inputs + "\0\0\0"s + samples + "\0\0\0\2"s + "\0\0\0"s + size +
         "\0\0\0\x64"s + "\0\0\0\0"s;
}

std::string Inputs(int count) {
  std::string table;
  for (int i = 0; i < count; ++i) {
    table += Padded("in" + std::to_string(i), 64) + Padded("V", 32);
  }
  return table;
}

class RecordingReaderTest : public testing::ScratchDirTest {
 protected:
  std::unique_ptr<RecordingReader> Open(const std::string& bytes,
                                        ConvertResult expected = Success) {
    testing::WriteFile(dir_ / "rec.dat", bytes);
    std::unique_ptr<RecordingReader> reader;
    int os_error = -1;
    EXPECT_EQ(
        RecordingReader::Open((dir_ / "rec.dat").c_str(), &reader, &os_error),
        expected);
    EXPECT_EQ(os_error, 0);
    return reader;
  }
};

template <typename T>
std::vector<T> ReadAll(const RecordingReader& r, std::vector<uint32_t> columns,
                       uint64_t start, uint64_t stop,
                       ConvertResult expected = Success) {
  std::vector<T> out((stop - start) * columns.size());
  EXPECT_EQ(r.Read(start, stop, columns, out.data()), expected);
  return out;
}

TEST_F(RecordingReaderTest, DecodesRowsAndInputsFromTheirStoredBytes) {
  // Two inputs, two rows: values written out by hand.
  auto r = Open(Header("short", 2, 2, 2) + Inputs(2) +
                "\x00\x0c\xff\xfd\x7f\xff\x80\x00"s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->header().Nsamples, 2u);
  EXPECT_EQ(TextField(r->inputs()[1].Name), "in1");
  EXPECT_EQ(ReadAll<int16_t>(*r, {0, 1}, 0, 2),
            (std::vector<int16_t>{12, -3, 32767, -32768}));
  EXPECT_EQ(ReadAll<int16_t>(*r, {1}, 1, 2), (std::vector<int16_t>{-32768}));
  EXPECT_EQ(ReadAll<int16_t>(*r, {1, 0}, 0, 2),
            (std::vector<int16_t>{-3, 12, -32768, 32767}));
  EXPECT_EQ(ReadAll<int16_t>(*r, {1, 0, 1}, 0, 1),
            (std::vector<int16_t>{-3, 12, -3}));

  // The other types, and wide and narrow fields, are checked against numpy
  // in python/tests/test_read.py.
  r = Open(Header("int", 8, 1, 1) + Inputs(1) + "\0\0\0\1\xff\xff\xff\xff"s);
  EXPECT_EQ(ReadAll<int32_t>(*r, {0}, 0, 1), std::vector<int32_t>{-1});
  r = Open(Header("short", 1, 2, 1) + Inputs(2) + "\xff\x7f"s);
  EXPECT_EQ(ReadAll<int16_t>(*r, {0, 1}, 0, 1),
            (std::vector<int16_t>{-1, 127}));
}

TEST_F(RecordingReaderTest, FailuresMirrorTheConverter) {
  // Truncated in the second row: one whole row.
  auto r = Open(Header("short", 2, 2, 3) + Inputs(2) + "\0\1\0\2\0\3"s);
  EXPECT_EQ(r->complete_rows(), 1u);
  EXPECT_EQ(r->CompleteRowsNow(), 1u);
  EXPECT_EQ(ReadAll<int16_t>(*r, {0, 1}, 0, 1), (std::vector<int16_t>{1, 2}));
  // With no inputs every row is whole; with fields of no bytes none is.
  EXPECT_EQ(Open(Header("short", 2, 0, 5))->complete_rows(), 5u);
  EXPECT_EQ(Open(Header("short", 0, 2, 5) + Inputs(2))->complete_rows(), 0u);
  ReadAll<int16_t>(*r, {0, 1}, 0, 2, InputReadError);
  // Unknown and narrow floating types, noticed at the first value.
  r = Open(Header("Short", 2, 1, 1) + Inputs(1) + "\0\1"s);
  ReadAll<int16_t>(*r, {0}, 0, 1, UnknownDataType);
  r = Open(Header("double", 4, 1, 1) + Inputs(1) + "\0\0\0\1"s);
  ReadAll<double>(*r, {0}, 0, 1, UnknownDataType);
  // An unknown type past the data is a short file first.
  r = Open(Header("Short", 2, 1, 1) + Inputs(1));
  ReadAll<int16_t>(*r, {0}, 0, 1, InputReadError);

  Open(Header("short", 2, 1, 1).substr(0, 100), InputReadError);
  Open("KIVX" + Header("short", 2, 1, 1).substr(4), NotRecorderFile);
  Open(Header("short", 2, 3, 1) + Inputs(2), InputReadError);
  std::string huge = Header("short", 2, 0, 1);
  std::memcpy(huge.data() + 224, "\xff\xff\xff\xff", 4);
  Open(huge, MemoryAllocationError);

  std::unique_ptr<RecordingReader> reader;
  int os_error = 0;
  EXPECT_EQ(
      RecordingReader::Open((dir_ / "missing.dat").c_str(), &reader, &os_error),
      InputReadError);
  EXPECT_EQ(os_error, ENOENT);
  EXPECT_EQ(RecordingReader::Open(dir_.c_str(), &reader, &os_error),
            InputReadError);
  EXPECT_EQ(os_error, EISDIR);
}

// Input after input: the same values as row after row, for every path (the
// stored rows straight in, whole rows a block, a row wider than a block).
TEST_F(RecordingReaderTest, ByInputLayoutIsTheTransposeOfByRow) {
  // 3 inputs of "int" in fields of 8 bytes; 5 rows; value = row x 3 + input.
  std::string data;
  for (int v = 0; v < 15; ++v) {
    data += std::string(4, '\xee') + "\0\0\0"s + static_cast<char>(v);
  }
  auto r = Open(Header("int", 8, 3, 5) + Inputs(3) + data);
  ASSERT_TRUE(r);
  for (std::vector<uint32_t> columns :
       {std::vector<uint32_t>{0, 1, 2}, std::vector<uint32_t>{2, 0}}) {
    std::vector<int32_t> by_input(4 * columns.size());
    ASSERT_EQ(r->Read(1, 5, columns, by_input.data(),
                      RecordingReader::Layout::kByInput),
              Success);
    for (size_t c = 0; c < columns.size(); ++c) {
      for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(by_input[c * 4 + k], (1 + k) * 3 + int(columns[c]));
      }
    }
  }
  // A row of 200,000 "short" fields is wider than a block: value by value.
  std::string wide(2 * 200000 * 2, '\0');
  wide[1] = 7;               // row 0, input 0
  wide[2 * 200000 + 3] = 9;  // row 1, input 1
  std::string header = Header("short", 2, 0, 2);
  header.replace(224, 4, "\0\x03\x0d\x40"s);  // 200000 inputs
  auto w = Open(header + Inputs(200000) + wide);
  ASSERT_TRUE(w);
  std::vector<int16_t> by_input(4);
  ASSERT_EQ(
      w->Read(0, 2, {0, 1}, by_input.data(), RecordingReader::Layout::kByInput),
      Success);
  EXPECT_EQ(by_input, (std::vector<int16_t>{7, 0, 0, 9}));
}

// Threads reading random row ranges and input subsets of one reader at once
// get what one thread reads: values written by hand as row x 7 + input.
TEST_F(RecordingReaderTest, ThreadsReadOneReaderAtOnce) {
  constexpr uint32_t kRows = 120000;
  constexpr uint32_t kInputs = 7;
  std::string data;
  data.reserve(kRows * kInputs * 4);
  for (uint32_t v = 0; v < kRows * kInputs; ++v) {
    data += static_cast<char>(v >> 24);
    data += static_cast<char>(v >> 16);
    data += static_cast<char>(v >> 8);
    data += static_cast<char>(v);
  }
  std::string header = Header("unsigned int", 4, kInputs, 0);
  header.replace(228, 4, "\0\x01\xd4\xc0"s);  // 120000 samples
  auto r = Open(header + Inputs(kInputs) + data);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->complete_rows(), kRows);
  struct Job {
    uint64_t start, stop;
    std::vector<uint32_t> columns;
    RecordingReader::Layout layout;
  };
  std::mt19937 rng(9);
  std::vector<Job> jobs(200);
  for (Job& job : jobs) {
    job.start = rng() % kRows;
    job.stop = job.start + rng() % (kRows - job.start + 1);
    for (uint32_t c = 0; c < kInputs; ++c) {
      if (rng() % 2) job.columns.push_back(c);
    }
    if (job.columns.empty() || rng() % 4 == 0) {
      job.columns = {0, 1, 2, 3, 4, 5, 6};  // the direct path by rows
    }
    job.layout = rng() % 3 == 0 ? RecordingReader::Layout::kByInput
                                : RecordingReader::Layout::kByRow;
  }
  std::vector<std::vector<uint32_t>> results(jobs.size());
  std::vector<std::thread> threads;
  std::atomic<bool> failed{false};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = t; i < jobs.size(); i += 6) {
        const Job& job = jobs[i];
        results[i].resize((job.stop - job.start) * job.columns.size());
        if (r->Read(job.start, job.stop, job.columns, results[i].data(),
                    job.layout) != Success) {
          failed = true;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_FALSE(failed);
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Job& job = jobs[i];
    const uint64_t rows = job.stop - job.start;
    for (uint64_t k = 0; k < rows; ++k) {
      for (size_t c = 0; c < job.columns.size(); ++c) {
        const size_t at = job.layout == RecordingReader::Layout::kByInput
                              ? c * rows + k
                              : k * job.columns.size() + c;
        ASSERT_EQ(results[i][at], (job.start + k) * kInputs + job.columns[c])
            << i;
      }
    }
  }
}

}  // namespace
}  // namespace morvela
