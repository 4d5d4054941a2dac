// Converts one recorder file into the text report, in four steps that must
// run in this order, each only after every earlier one returned Success:
// WriteRunInfo, ConvertHeader, ConvertInputs, ConvertSamples. The input is
// read strictly front to back. The converter owns neither stream.

#ifndef MORVELA_CONVERT_RECORDER_FILE_CONVERTER_H_
#define MORVELA_CONVERT_RECORDER_FILE_CONVERTER_H_

#include <cstdint>
#include <string_view>

#include "convert/sample_value.h"
#include "recorder/convert_result.h"
#include "recorder/recorder_file.h"
#include "stream/input_stream.h"
#include "stream/sink.h"
#include "stream/text_stream.h"
#include "version.h"

namespace morvela {

// The project's version, and a fourth number that counts nothing.
inline constexpr std::string_view VersionBanner =
    "Morvela " MORVELA_VERSION ".0";
inline constexpr std::string_view FieldSeparator = ";";

class RecorderFileConverter {
 public:
  // Seconds since 1970-01-01 00:00:00 UTC.
  using Clock = int64_t (*)();
  static int64_t SystemClock();

  // `console` receives the summary and the time-conversion message; it must
  // remain live while the converter is in use.
  explicit RecorderFileConverter(TextStream* console,
                                 Clock clock = &SystemClock);
  RecorderFileConverter(const RecorderFileConverter&) = delete;
  RecorderFileConverter& operator=(const RecorderFileConverter&) = delete;

  // The banner line and "Run date and file: " with the current local time and
  // `report_path`. Success or OutputWriteError.
  ConvertResult WriteRunInfo(TextStream& report, std::string_view report_path);

  // Reads and decodes the 248-byte header, prints the console summary and
  // writes the header section. Success, InputReadError, OutputWriteError or
  // NotRecorderFile.
  ConvertResult ConvertHeader(InputStream& input, TextStream& report);

  // Reads the input table and writes the names and units. Success,
  // InputReadError, OutputWriteError or MemoryAllocationError (also for a
  // table larger than the machine's memory, whatever an allocation would
  // promise).
  ConvertResult ConvertInputs(InputStream& input, TextStream& report);

  // Streams the sample block into the sample table. Success, InputReadError,
  // OutputWriteError or UnknownDataType.
  ConvertResult ConvertSamples(InputStream& input, TextStream& report);

  // Writes `time` (seconds since the epoch) as local "DD-MM-YYYY hh:mm:ss",
  // with ".nnnnnnnnn" when `with_fraction`. A negative or non-finite time, or
  // one whose local year is past 9999, is replaced by the current time after a
  // message on the console. Success or OutputWriteError.
  ConvertResult WriteTimeStamp(TextStream& out, double time,
                               bool with_fraction);

 private:
  // Prints the header summary on the console and flushes it, so that it
  // stands there before the long part of the run. The console's failures
  // are not the conversion's: the report decides the result. Only valid
  // after ConvertHeader accepted the header.
  void PrintSummary();

  // One numbered column name per input ("NameInput00;NameInput01\n").
  // Success or OutputWriteError; writes nothing when there are no inputs.
  ConvertResult WriteColumnNames(TextStream& report,
                                 std::string_view prefix) const;

  TextStream* console_;
  Clock clock_;
  RecorderHeader header_;
};

// Runs the four steps in their order, each only while every earlier one
// returned Success, with `report_path` for WriteRunInfo. Returns the first
// result that is not Success, or Success.
ConvertResult RunConverterSteps(RecorderFileConverter& converter,
                                InputStream& input, TextStream& report,
                                std::string_view report_path);

// Runs the four steps from `input` into a report written to `sink` with
// CR LF line ends, the summary on `console`. Returns the first result that
// is not Success; OutputWriteError whenever a byte of the report did not
// reach the sink, whatever the steps returned; Success otherwise.
ConvertResult ConvertRecording(InputStream& input, Sink& sink,
                               std::string_view report_path,
                               TextStream& console);

}  // namespace morvela

#endif  // MORVELA_CONVERT_RECORDER_FILE_CONVERTER_H_
