#include "convert/recorder_file_converter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/memory_streams.h"
#include "tests/test_util.h"
#include "tools/recorder_writer.h"

namespace morvela {
namespace {

using testing::Holds;
using testing::Padded;

using namespace std::string_literals;

// 06-12-2026 04:35:24 UTC.
int64_t FixedClock() { return 1796531724; }

void SetTimeZone(const char* tz) {
  setenv("TZ", tz, 1);
  tzset();
}

struct Conversion {
  ConvertResult result;  // as the run ends: a failed last flush is -2
  ConvertResult steps;   // the steps' own result, before the last flush
  std::string report;
  std::string console;
  size_t bytes_read;  // what the steps took from the source
};

// Counts the bytes a source hands out.
class CountingSource : public Source {
 public:
  explicit CountingSource(Source* source) : source_(source) {}
  ptrdiff_t Read(char* buffer, size_t size) override {
    ptrdiff_t n = source_->Read(buffer, size);
    if (n > 0) count_ += static_cast<size_t>(n);
    return n;
  }
  size_t count() const { return count_; }

 private:
  Source* source_;
  size_t count_ = 0;
};

struct Streams {
  size_t input_capacity = 4096;
  size_t report_capacity = 1;  // every byte reaches the sink at once
};

// Runs the four steps as the front end does, from memory into `sink`.
Conversion Convert(const std::string& file, Sink* sink, Streams s = {}) {
  StringSink console_sink;
  MemorySource memory(file);
  CountingSource source(&memory);
  InputStream input(&source, s.input_capacity);
  TextStream report(sink, LineEnds::kCrLf, s.report_capacity);
  TextStream console(&console_sink, LineEnds::kAsWritten);
  RecorderFileConverter converter(&console, &FixedClock);
  ConvertResult steps = RunConverterSteps(converter, input, report, "rec.txt");
  ConvertResult r = report.Flush() ? steps : OutputWriteError;
  console.Flush();
  return {r, steps, "", console_sink.text(), source.count()};
}

// The same into a sink that accepts `report_budget` bytes.
Conversion Convert(const std::string& file, size_t report_budget = SIZE_MAX,
                   Streams s = {}) {
  testing::BudgetSink sink(report_budget);
  Conversion c = Convert(file, &sink, s);
  c.report = sink.text();
  return c;
}

RecordingSpec WorkedSpec() {
  RecordingSpec spec;
  spec.trigger_time = 1110792413.25;
  spec.nsamples = 3;
  spec.npretrigger = 1;
  spec.inputs = {{"U1", "V"}, {"I1", "A"}};
  return spec;
}

const char kWorkedReport[] =
    "Morvela 1.0.1.0\r\n"
    "Run date and file: 06-12-2026 04:35:24 rec.txt\r\n"
    "RecName;ApplName;ApplVersion\r\n"
    "Test;Rec;2.1\r\n"
    "TriggerTime;SampleTime;Nsamples;Npretrigger;Nposttrigger;Ninputs;"
    "DataTypeName;DataTypeSize\r\n"
    "14-03-2005 09:26:53.250000000;0.000100;3;1;2;2;short;2\r\n"
    "NameInput00;NameInput01\r\n"
    "U1;I1\r\n"
    "UnitInput00;UnitInput01\r\n"
    "V;A\r\n"
    "TimeOffset;SamplesInput00;SamplesInput01\r\n"
    "-0.000100000;12;-3\r\n"
    "+0.000000000;15;-4\r\n"
    "+0.000100000;18;-5";

const char kWorkedSummary[] =
    "Block name:                    Test\n"
    "Application name:              Rec\n"
    "Application version:           2.1\n"
    "Number of Samples:             3\n"
    "Number of pre-trigger Samples: 1\n"
    "Number of Inputs:              2\n"
    "Trigger Time:                  14-03-2005 09:26:53.250000000\n"
    "Data Sample Time [s]:          0.000100\n"
    "Data type name:                short\n"
    "Data type size [Bytes]:        2\n"
    "\n";

const std::vector<double> kWorkedValues = {12, -3, 15, -4, 18, -5};

// Everything after the input table section: the sample table.
std::string SampleSection(const std::string& report) {
  size_t at = report.find("TimeOffset");
  return at == std::string::npos ? "<none>" : report.substr(at);
}

class ConverterTest : public ::testing::Test {
 protected:
  void SetUp() override { SetTimeZone("UTC"); }
};

// The worked example's recording written out byte by byte, so that no
// encoder shares the decoder's mistakes.
TEST_F(ConverterTest, WorkedExampleFromLiteralBytes) {
  std::string file = "KIV\0\0\0\0\0"s + Padded("Test", 64) +
                     "\x41\xd0\x8d\x56\x37\x50\x00\x00"s +  // 1110792413.25
                     Padded("Rec", 64) + Padded("2.1", 64) +
                     Padded("short", 16) +
                     "\0\0\0\2"s    // Ninputs
                     "\0\0\0\3"s    // Nsamples
                     "\0\0\0\1"s    // Npretrigger
                     "\0\0\0\2"s    // DataTypeSize
                     "\0\0\0\x64"s  // SampleTime 100
                     "\0\0\0\0"s +  // Reserved
                     Padded("U1", 64) +
                     Padded("V", 32) + Padded("I1", 64) + Padded("A", 32) +
                     "\0\x0c\xff\xfd\0\x0f\xff\xfc\0\x12\xff\xfb"s;
  Conversion c = Convert(file);
  EXPECT_EQ(c.result, Success);
  EXPECT_EQ(c.report, kWorkedReport);
  EXPECT_EQ(c.console, kWorkedSummary);
  // The writer that the other tests use makes the same bytes.
  EXPECT_EQ(EncodeRecording(WorkedSpec(), kWorkedValues), file);
  // Only the first four bytes of the magic are checked.
  std::string odd = file;
  odd.replace(4, 4, "\xff\x01zz", 4);
  EXPECT_EQ(Convert(odd).report, kWorkedReport);
  odd[3] = 'X';
  EXPECT_EQ(Convert(odd).result, NotRecorderFile);

  SetTimeZone("CET-1");  // one hour east, no daylight saving
  c = Convert(file);
  EXPECT_NE(c.report.find("\r\n14-03-2005 10:26:53.250000000;"),
            std::string::npos);
  EXPECT_NE(c.report.find("06-12-2026 05:35:24 rec.txt"), std::string::npos);
  EXPECT_NE(
      c.console.find(
          "Trigger Time:                  14-03-2005 10:26:53.250000000\n"),
      std::string::npos);
}

TEST_F(ConverterTest, HeaderAndInputTables) {
  RecordingSpec spec = WorkedSpec();
  spec.npretrigger = 5;  // Nposttrigger wraps as an unsigned 32-bit count
  spec.sample_time = 2500000;
  spec.trigger_time = 0;
  spec.inputs.clear();
  Conversion c = Convert(EncodeRecording(spec, {}));
  EXPECT_EQ(c.result, Success);
  EXPECT_TRUE(Holds(c.report,
                    "\r\n01-01-1970 00:00:00.000000000;2.500000;3;5;"
                    "4294967294;0;short;2\r\n\r\n\r\nTimeOffset;"));
  // Fields without a NUL end at their width; LF inside is stored as CR LF.
  spec.rec_name = std::string(70, 'R');
  spec.appl_name = "two\nlines";
  spec.sample_time = 1;
  c = Convert(EncodeRecording(spec, {}));
  EXPECT_TRUE(
      Holds(c.report, "\r\n" + std::string(64, 'R') + ";two\r\nlines;2.1\r\n"));
  EXPECT_TRUE(Holds(c.report, ";0.000001;"));
  EXPECT_TRUE(Holds(c.console, "Block name:                    " +
                                   std::string(64, 'R') + "\n"));

  // The input tables.
  spec = WorkedSpec();
  spec.nsamples = 0;
  spec.inputs = {{"U;1", "V"}};
  c = Convert(EncodeRecording(spec, {}));
  EXPECT_EQ(c.result, Success);
  EXPECT_TRUE(c.report.ends_with(
      ";short;2\r\nNameInput00\r\nU;1\r\nUnitInput00\r\nV\r\n"
      "TimeOffset;SamplesInput00\r\n"));
  spec.inputs.assign(12, {"n", "u"});
  EXPECT_TRUE(Holds(Convert(EncodeRecording(spec, {})).report,
                    "NameInput00;NameInput01;NameInput02;NameInput03;"
                    "NameInput04;NameInput05;NameInput06;NameInput07;"
                    "NameInput08;NameInput09;NameInput10;NameInput11\r\n"));
  // A table that ends in its third of four entries.
  spec.inputs.resize(4);
  std::string file = EncodeRecording(spec, {});
  c = Convert(file.substr(0, kHeaderSize + 2 * 96 + 50));
  EXPECT_EQ(c.result, InputReadError);
  EXPECT_TRUE(c.report.ends_with(";4;short;2")) << c.report;
}

TEST_F(ConverterTest, TimeStamps) {
  StringSink sink, console_sink;
  TextStream out(&sink, LineEnds::kAsWritten);
  TextStream console(&console_sink, LineEnds::kAsWritten);
  RecorderFileConverter converter(&console, &FixedClock);
  // What a stamp shows, or "fallback" where it fell back to the clock (the
  // console then says so once; the table's clock reads UTC).
  const std::string kFailed =
      "Time conversion failed: Operating now with local system time!";
  auto shown = [&](double t, bool fraction = true) {
    sink = StringSink();
    console_sink = StringSink();
    converter.WriteTimeStamp(out, t, fraction);
    out.Flush();
    console.Flush();
    if (console_sink.text().empty()) return sink.text();
    EXPECT_EQ(console_sink.text(), kFailed);
    if (fraction) {
      EXPECT_EQ(sink.text(), "06-12-2026 04:35:24.000000000");
    }
    return std::string("fallback");
  };
  // Which times fall back (by the local year) is checked through the
  // package's trigger times in python/tests/test_read.py; here, the text.
  const double last = 253402300799;  // 31-12-9999 23:59:59 UTC
  const struct {
    double time;
    const char* text;
  } kCases[] = {
      {1.9999999996, "01-01-1970 00:00:02.000000000"},  // carries
      {-0.0, "01-01-1970 00:00:00.000000000"},
      {last + 0.5, "31-12-9999 23:59:59.500000000"},
      {last + 1.5, "fallback"},
  };
  for (const auto& c : kCases) EXPECT_EQ(shown(c.time), c.text) << c.time;
  EXPECT_EQ(shown(last, false), "31-12-9999 23:59:59");

  // A trigger time that falls back is said in the summary and at its end;
  // the clock reads local time (here one hour east).
  SetTimeZone("XXX-1");
  RecordingSpec spec = WorkedSpec();
  spec.trigger_time = -10;
  Conversion c = Convert(EncodeRecording(spec, kWorkedValues));
  EXPECT_EQ(c.result, Success);
  EXPECT_TRUE(Holds(c.report, "\r\n06-12-2026 05:35:24.000000000;0.000100;"));
  EXPECT_TRUE(Holds(c.console, "Trigger Time:                  " + kFailed +
                                   "06-12-2026 05:35:24.000000000\n"));
  EXPECT_TRUE(c.console.ends_with("\n\n" + kFailed));
}

// The text of every type's values, in fields of every width, is checked
// against numpy and an exact decimal reference in python/tests/test_read.py.

// The worked recording changed one way at a time: where the sample table
// ends when the type is unknown or the bytes run out.
TEST_F(ConverterTest, SampleTables) {
  const std::string kTwo = "TimeOffset;SamplesInput00;SamplesInput01\r\n";
  const struct {
    const char* type;
    uint32_t size;
    uint32_t samples;
    uint32_t sample_time;
    size_t inputs;
    size_t cut;  // bytes cut off the end
    ConvertResult result;
    std::string table;  // empty: only the result counts
  } kCases[] = {
      {"short", 2, 3, 0, 2, 0, Success,
       kTwo + "+0.000000000;12;-3\r\n+0.000000000;15;-4\r\n+0.000000000;18;-5"},
      // No inputs: the offsets alone, each with its separator.
      {"short", 2, 3, 100, 0, 0, Success,
       "TimeOffset;-0.000100000;\r\n+0.000000000;\r\n+0.000100000;"},
      // An unknown type is noticed at the first value, and never without
      // one; a float narrower than a float is unknown.
      {"Short", 2, 3, 100, 2, 0, UnknownDataType, kTwo + "-0.000100000;;\r\n"},
      {"shorts", 2, 3, 100, 2, 0, UnknownDataType, kTwo + "-0.000100000;;\r\n"},
      {"Short", 2, 3, 100, 2, 10, InputReadError, ""},  // a row runs out first
      {"Short", 2, 0, 100, 2, 0, Success, ""},
      {"Short", 2, 3, 100, 0, 0, Success, ""},
      {"double", 4, 3, 100, 2, 0, UnknownDataType, ""},
      // A short block ends with the row it ran out in.
      {"short", 2, 3, 100, 2, 5, InputReadError,
       kTwo + "-0.000100000;12;-3\r\n+0.000000000;15;\r\n"},
      {"short", 0, 3, 100, 2, 0, InputReadError, kTwo + "-0.000100000;;\r\n"},
      // A huge field on a short file is a read error, promptly.
      {"short", 0xFFFFFFFF, 0xFFFFFFFF, 100, 2, 0, InputReadError, ""},
  };
  for (const auto& c : kCases) {
    RecordingSpec spec = WorkedSpec();
    spec.data_type_name = c.type;
    spec.data_type_size = c.size;
    spec.nsamples = c.samples;
    spec.sample_time = c.sample_time;
    spec.inputs.resize(c.inputs);
    const bool values = c.size <= 8 && c.inputs == 2 && c.samples == 3;
    std::string file =
        EncodeRecording(spec, values ? kWorkedValues : std::vector<double>());
    if (c.size > 8) file += "abc";
    Conversion got = Convert(file.substr(0, file.size() - c.cut));
    EXPECT_EQ(got.result, c.result) << c.type << " " << c.size;
    if (!c.table.empty()) {
      EXPECT_EQ(SampleSection(got.report), c.table);
    }
    if (c.result == Success && c.samples > 0) {
      EXPECT_FALSE(got.report.ends_with("\r\n"));  // no line end after rows
    }
  }
}

// Every truncation of a valid recording ends with its code and the report
// holds exactly the part before the failure, never a success.
TEST_F(ConverterTest, EveryTruncationIsAReadError) {
  std::string file = EncodeRecording(WorkedSpec(), kWorkedValues);
  std::string full = Convert(file).report;
  for (size_t length = 0; length < file.size(); ++length) {
    Conversion c = Convert(file.substr(0, length));
    ASSERT_EQ(c.result, InputReadError) << length;
    // The row that ran out keeps its separators but not its values.
    size_t kept = c.report.rfind("\r\n", c.report.size() - 3);
    ASSERT_EQ(full.compare(0, kept, c.report, 0, kept), 0) << length;
  }
}

// Rows wider than the input buffer go value by value; the report must be
// the one the whole-row loop writes.
TEST_F(ConverterTest, ValueByValueRowsEqualWholeRows) {
  struct Case {
    const char* type;
    uint32_t size;
    int inputs;
  };
  for (const Case& t :
       {Case{"double", 8, 600}, Case{"float", 4, 2000}, Case{"short", 1, 5000},
        Case{"short", 2, 5000}, Case{"unsigned short", 2, 5000},
        Case{"char", 1, 5000}, Case{"unsigned int", 4, 6000},
        Case{"int", 8, 600}, Case{"unsigned char", 3, 2000}}) {
    RecordingSpec spec = WorkedSpec();
    spec.data_type_name = t.type;
    spec.data_type_size = t.size;
    spec.nsamples = 3;
    spec.inputs.assign(t.inputs, {"n", "u"});
    std::vector<double> values;
    for (int i = 0; i < 3 * t.inputs; ++i) values.push_back(i % 200 - 99.75);
    std::string file = EncodeRecording(spec, values);
    // A report buffer too small for a row's offset, not for a value: 6000
    // inputs of unsigned int are a row reserved value by value.
    Conversion whole = Convert(
        file, SIZE_MAX, {.input_capacity = 1 << 20, .report_capacity = 100});
    Conversion by_value = Convert(file, SIZE_MAX, {.input_capacity = 64});
    ASSERT_EQ(whole.result, Success) << t.type;
    EXPECT_EQ(by_value.result, Success) << t.type;
    EXPECT_EQ(by_value.report, whole.report) << t.type;
    EXPECT_FALSE(whole.report.ends_with("\r\n")) << t.type;
  }
}

// Refuses the `fail_at`-th write only, then accepts again.
class FailOnceSink : public Sink {
 public:
  explicit FailOnceSink(int fail_at) : fail_at_(fail_at) {}
  bool Write(const char* data, size_t size) override {
    if (++writes_ == fail_at_) return false;
    text_.append(data, size);
    return true;
  }
  const std::string& text() const { return text_; }

 private:
  int fail_at_;
  int writes_ = 0;
  std::string text_;
};

// A refused write ends the step that made it with -2, and the input is not
// read on; a report with a hole is never a success.
TEST_F(ConverterTest, FailedWritesEndTheStepAtOnce) {
  for (const char* type : {"short", "double", "char"}) {
    RecordingSpec spec = WorkedSpec();
    spec.data_type_name = type;
    spec.data_type_size = std::string(type) == "double" ? 8 : 2;
    spec.nsamples = 40;
    std::vector<double> values(80, -4.5);
    std::string file = EncodeRecording(spec, values);
    const Streams small{.input_capacity = 64, .report_capacity = 16};
    const std::string full = Convert(file, SIZE_MAX, small).report;
    for (size_t budget = 0; budget + 16 < full.size(); ++budget) {
      Conversion c = Convert(file, budget, small);
      ASSERT_EQ(c.steps, OutputWriteError) << type << " " << budget;
      ASSERT_EQ(full.compare(0, c.report.size(), c.report), 0);
      if (budget + 300 < full.size()) {
        ASSERT_LT(c.bytes_read, file.size()) << type << " " << budget;
      }
    }
    for (int fail_at = 1; fail_at < 200; ++fail_at) {
      FailOnceSink sink(fail_at);
      Conversion c = Convert(file, &sink, small);
      ASSERT_TRUE(c.result != Success || sink.text() == full) << fail_at;
      if (sink.text() != full) {
        ASSERT_EQ(c.result, OutputWriteError) << fail_at;
      }
    }
  }
}

}  // namespace
}  // namespace morvela
