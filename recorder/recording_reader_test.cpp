#include "recorder/recording_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
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

// Values of every type, width and selection are checked against numpy in
// python/tests/test_read.py; here, what only this interface says.
TEST_F(RecordingReaderTest, RowsHeldInFullAndTheSystemsErrors) {
  // Truncated in the second row: one whole row.
  auto r = Open(Header("short", 2, 2, 3) + Inputs(2) + "\0\1\0\2\0\3"s);
  EXPECT_EQ(r->complete_rows(), 1u);
  EXPECT_EQ(r->CompleteRowsNow(), 1u);
  EXPECT_EQ(ReadAll<int16_t>(*r, {0, 1}, 0, 1), (std::vector<int16_t>{1, 2}));
  ReadAll<int16_t>(*r, {0, 1}, 0, 2, InputReadError);
  // With no inputs every row is whole; with fields of no bytes none is.
  EXPECT_EQ(Open(Header("short", 2, 0, 5))->complete_rows(), 5u);
  EXPECT_EQ(Open(Header("short", 0, 2, 5) + Inputs(2))->complete_rows(), 0u);
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

// Input after input: the transpose of row after row, also for a row wider
// than a block (read value by value).
TEST_F(RecordingReaderTest, ByInputLayoutIsTheTransposeOfByRow) {
  using Layout = RecordingReader::Layout;
  // 3 inputs of "int" in fields of 8 bytes; 5 rows; value = row x 3 + input.
  std::string data;
  for (int v = 0; v < 15; ++v) {
    data += std::string(4, '\xee') + "\0\0\0"s + static_cast<char>(v);
  }
  auto r = Open(Header("int", 8, 3, 5) + Inputs(3) + data);
  std::vector<int32_t> rows(8);
  ASSERT_EQ(r->Read(1, 5, {2, 0}, rows.data(), Layout::kByInput), Success);
  EXPECT_EQ(rows, (std::vector<int32_t>{5, 8, 11, 14, 3, 6, 9, 12}));
  // A row of 200,000 "short" fields is wider than a block: value by value.
  std::string wide(2 * 200000 * 2, '\0');
  wide[1] = 7;               // row 0, input 0
  wide[2 * 200000 + 3] = 9;  // row 1, input 1
  std::string header = Header("short", 2, 0, 2);
  header.replace(224, 4, "\0\x03\x0d\x40"s);  // 200000 inputs
  auto w = Open(header + Inputs(200000) + wide);
  std::vector<int16_t> by_input(4);
  ASSERT_EQ(w->Read(0, 2, {0, 1}, by_input.data(), Layout::kByInput), Success);
  EXPECT_EQ(by_input, (std::vector<int16_t>{7, 0, 0, 9}));
}

}  // namespace
}  // namespace morvela
