// The converter object, the run lines, the header section and the time
// stamps. The two table steps are in convert/table_conversion.cpp.

#include "convert/recorder_file_converter.h"

#include <ctime>
#include <memory>
#include <new>

#include "format/number_format.h"
#include "recorder/trigger_time.h"

namespace morvela {
namespace {

constexpr std::string_view kTimeFallbackMessage =
    "Time conversion failed: Operating now with local system time!";

// "%0Nd" of a possibly negative value.
char* FormatPaddedInt(int value, int width, char* out) {
  if (value < 0) {
    *out++ = '-';
    return FormatZeroPadded(0 - static_cast<uint64_t>(value), width - 1, out);
  }
  return FormatZeroPadded(static_cast<uint64_t>(value), width, out);
}

// The summary's and the header's numbers.
bool WriteUnsigned(TextStream& out, uint64_t value) {
  char buffer[kMaxIntegerChars];
  return out.WriteNoLf(
      std::string_view(buffer, FormatUnsigned(value, buffer) - buffer));
}

bool WriteFixed(TextStream& out, double value) {
  char buffer[kMaxFixedChars];
  return out.WriteNoLf(std::string_view(
      buffer, FormatFixedDecimals<6>(value, false, buffer) - buffer));
}

}  // namespace

int64_t RecorderFileConverter::SystemClock() {
  return static_cast<int64_t>(std::time(nullptr));
}

RecorderFileConverter::RecorderFileConverter(TextStream* console, Clock clock)
    : console_(console), clock_(clock), header_{} {}

ConvertResult RecorderFileConverter::WriteTimeStamp(TextStream& out,
                                                    double time,
                                                    bool with_fraction) {
  ShownTime shown{};
  if (!ToShownTime(time, &shown)) {
    console_->WriteNoLf(kTimeFallbackMessage);
    shown.nanoseconds = 0;
    if (!ToLocalTime(clock_(), &shown.local)) shown.local = std::tm{};
  }
  const std::tm& tm = shown.local;

  char buffer[64];
  char* p = buffer;
  p = FormatPaddedInt(tm.tm_mday, 2, p);
  *p++ = '-';
  p = FormatPaddedInt(tm.tm_mon + 1, 2, p);
  *p++ = '-';
  p = FormatPaddedInt(tm.tm_year + 1900, 4, p);
  *p++ = ' ';
  p = FormatPaddedInt(tm.tm_hour, 2, p);
  *p++ = ':';
  p = FormatPaddedInt(tm.tm_min, 2, p);
  *p++ = ':';
  p = FormatPaddedInt(tm.tm_sec, 2, p);
  if (!out.WriteNoLf(std::string_view(buffer, p - buffer))) {
    return OutputWriteError;
  }
  if (with_fraction) {
    p = buffer;
    *p++ = '.';
    p = FormatZeroPadded(shown.nanoseconds, 9, p);
    if (!out.WriteNoLf(std::string_view(buffer, p - buffer))) {
      return OutputWriteError;
    }
  }
  return Success;
}

ConvertResult RecorderFileConverter::WriteRunInfo(
    TextStream& report, std::string_view report_path) {
  if (!report.WriteNoLf(VersionBanner) || !report.NewLine() ||
      !report.WriteNoLf("Run date and file: ")) {
    return OutputWriteError;
  }
  if (WriteTimeStamp(report, static_cast<double>(clock_()), false) != Success) {
    return OutputWriteError;
  }
  if (!report.Write(' ') || !report.Write(report_path)) {
    return OutputWriteError;
  }
  return Success;
}

void RecorderFileConverter::PrintSummary() {
  TextStream& c = *console_;
  const RecorderHeader& h = header_;
  c.WriteNoLf("Block name:                    ");
  c.Write(TextField(h.RecName));
  c.WriteNoLf("\nApplication name:              ");
  c.Write(TextField(h.ApplName));
  c.WriteNoLf("\nApplication version:           ");
  c.Write(TextField(h.ApplVersion));
  c.WriteNoLf("\nNumber of Samples:             ");
  WriteUnsigned(c, h.Nsamples);
  c.WriteNoLf("\nNumber of pre-trigger Samples: ");
  WriteUnsigned(c, h.Npretrigger);
  c.WriteNoLf("\nNumber of Inputs:              ");
  WriteUnsigned(c, h.Ninputs);
  c.WriteNoLf("\nTrigger Time:                  ");
  WriteTimeStamp(c, h.TriggerTime, true);
  c.WriteNoLf("\nData Sample Time [s]:          ");
  WriteFixed(c, h.SampleTime * 1e-6);
  c.WriteNoLf("\nData type name:                ");
  c.Write(TextField(h.DataTypeName));
  c.WriteNoLf("\nData type size [Bytes]:        ");
  WriteUnsigned(c, h.DataTypeSize);
  c.WriteNoLf("\n\n");
  c.Flush();
}

ConvertResult RecorderFileConverter::ConvertHeader(InputStream& input,
                                                   TextStream& report) {
  if (!input.ReadItem(&header_, sizeof header_)) return InputReadError;
  if (!HasRecorderMagic(header_)) return NotRecorderFile;
  DecodeHeader(&header_);
  PrintSummary();

  const RecorderHeader& h = header_;
  bool ok =
      report.NewLine() && report.WriteNoLf("RecName;ApplName;ApplVersion") &&
      report.NewLine() && report.Write(TextField(h.RecName)) &&
      report.WriteNoLf(FieldSeparator) && report.Write(TextField(h.ApplName)) &&
      report.WriteNoLf(FieldSeparator) &&
      report.Write(TextField(h.ApplVersion)) && report.NewLine() &&
      report.WriteNoLf(
          "TriggerTime;SampleTime;Nsamples;Npretrigger;Nposttrigger;"
          "Ninputs;DataTypeName;DataTypeSize") &&
      report.NewLine();
  if (!ok || WriteTimeStamp(report, h.TriggerTime, true) != Success) {
    return OutputWriteError;
  }
  ok = report.WriteNoLf(FieldSeparator) &&
       WriteFixed(report, h.SampleTime * 1e-6) &&
       report.WriteNoLf(FieldSeparator) && WriteUnsigned(report, h.Nsamples) &&
       report.WriteNoLf(FieldSeparator) &&
       WriteUnsigned(report, h.Npretrigger) &&
       report.WriteNoLf(FieldSeparator) &&
       WriteUnsigned(report, PostTriggerSamples(h)) &&
       report.WriteNoLf(FieldSeparator) && WriteUnsigned(report, h.Ninputs) &&
       report.WriteNoLf(FieldSeparator) &&
       report.Write(TextField(h.DataTypeName)) &&
       report.WriteNoLf(FieldSeparator) &&
       WriteUnsigned(report, h.DataTypeSize);
  return ok ? Success : OutputWriteError;
}

ConvertResult RunConverterSteps(RecorderFileConverter& converter,
                                InputStream& input, TextStream& report,
                                std::string_view report_path) {
  ConvertResult result = converter.WriteRunInfo(report, report_path);
  if (result == Success) result = converter.ConvertHeader(input, report);
  if (result == Success) result = converter.ConvertInputs(input, report);
  if (result == Success) result = converter.ConvertSamples(input, report);
  return result;
}

ConvertResult ConvertRecording(InputStream& input, Sink& sink,
                               std::string_view report_path,
                               TextStream& console) {
  TextStream report(&sink, LineEnds::kCrLf);
  ConvertResult result = MemoryAllocationError;
  std::unique_ptr<RecorderFileConverter> converter;
  if (report.ok()) {
    converter.reset(new (std::nothrow) RecorderFileConverter(&console));
  }
  if (converter) {
    result = RunConverterSteps(*converter, input, report, report_path);
  }
  // A report that did not reach the sink is never called a success.
  if (!report.Flush()) result = OutputWriteError;
  return result;
}

}  // namespace morvela
