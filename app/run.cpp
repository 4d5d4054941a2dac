#include "app/run.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "convert/recorder_file_converter.h"
#include "recorder/recorder_file.h"
#include "stream/file.h"
#include "stream/input_stream.h"

namespace morvela {
namespace {

// "\n<Which> file <path> not accessible!\nError: 0x<errno>: <text> "
void ReportOpenFailure(TextStream& console, std::string_view which,
                       std::string_view path, int error) {
  console.WriteNoLf("\n");
  console.WriteNoLf(which);
  console.WriteNoLf(" file ");
  console.Write(path);
  console.WriteNoLf(" not accessible!\nError: 0x");
  char hex[16];
  int n = 0;
  unsigned value = static_cast<unsigned>(error);
  do {
    hex[n++] = "0123456789abcdef"[value % 16];
    value /= 16;
  } while (value != 0);
  while (n > 0) console.Write(hex[--n]);
  console.WriteNoLf(": ");
  console.Write(std::strerror(error));
  console.WriteNoLf(" ");
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Why the report could not be opened.
enum class ReportRefusal {
  kNone,
  kIsTheInput,  // the report would be the input itself
  kOsError,     // the system refused; the error number is given
};

// Opens the report for writing and empties it, unless it is the input
// itself (the same name, a symbolic or a hard link): the check is made on
// the opened file, so a link swapped meanwhile cannot make it the input.
// Only a regular file is emptied; a FIFO or a device is written as it is.
// On failure `refusal` says why, and `error` holds the error number of
// kOsError.
File OpenReport(const std::string& path, const struct stat& input_stat,
                ReportRefusal* refusal, int* error) {
  *refusal = ReportRefusal::kNone;
  File report(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  struct stat st {};
  if (!report.is_open()) {
    *refusal = ReportRefusal::kOsError;
    *error = errno;
    // A read-only input is still named as the input.
    if (::stat(path.c_str(), &st) == 0 && SameFile(st, input_stat)) {
      *refusal = ReportRefusal::kIsTheInput;
    }
    return report;
  }
  const bool known = ::fstat(report.fd(), &st) == 0;
  if (known && SameFile(st, input_stat)) {
    *refusal = ReportRefusal::kIsTheInput;
    report.Close();
  } else if (!known ||
             (S_ISREG(st.st_mode) && ::ftruncate(report.fd(), 0) != 0)) {
    *refusal = ReportRefusal::kOsError;
    *error = errno;
    report.Close();
  }
  return report;
}

void WriteUsage(TextStream& console) {
  console.WriteNoLf("\n");
  console.WriteNoLf(VersionBanner);
  console.WriteNoLf(
      "\n\nQuenda Falvik data converter utility"
      "\nTranslates binary save files (.dat) to readable text files (.txt)"
      "\n\nUsage: Morvela INPUTFILE\n");
}

// Looks at the header's length and magic in the stream's buffer without
// consuming them, so that a file that is no recording is refused before a
// report is opened: a mistyped name never empties a file.
ConvertResult CheckHeader(InputStream& input) {
  if (input.Fill(kHeaderSize) < kHeaderSize) return InputReadError;
  RecorderHeader header;
  std::memcpy(&header, input.data(), sizeof header);
  return HasRecorderMagic(header) ? Success : NotRecorderFile;
}

void WriteVerdict(TextStream& console, ConvertResult result,
                  std::string_view report_path) {
  console.WriteNoLf(ResultText(result));
  if (result == Success) console.Write(report_path);
  console.WriteNoLf("\n\n");
  console.Flush();
}

}  // namespace

void OpenClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    // open() takes the lowest free descriptor: the closed one.
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      ::open("/dev/null", O_RDWR);
    }
  }
}

std::string DeriveReportPath(std::string_view input_path) {
  std::string path(input_path.substr(0, input_path.find('.')));
  path += ".txt";
  return path;
}

ConvertResult RunMorvela(int argc, const char* const* argv,
                         TextStream& console) {
  const std::string_view only = argc == 2 ? argv[1] : "";
  if (only == "--help" || only == "--version") {
    if (only == "--help") {
      WriteUsage(console);
    } else {
      console.WriteNoLf(VersionBanner);
      console.WriteNoLf("\n");
    }
    // Text that never arrived is no success (a full disk, a closed pipe).
    return console.Flush() ? Success : OutputWriteError;
  }
  if (argc != 2) {
    WriteUsage(console);
    console.Flush();
    return UsageError;
  }
  console.WriteNoLf("\n");
  console.WriteNoLf(VersionBanner);
  console.WriteNoLf("\n");
  // On the console before a file is opened: opening a FIFO waits for its
  // reader.
  console.Flush();

  const std::string input_path = argv[1];
  struct stat input_stat {};
  int open_error = 0;
  File input = OpenForReading(input_path.c_str(), &input_stat, &open_error);
  if (!input.is_open()) {
    ReportOpenFailure(console, "Input", input_path, open_error);
    console.Flush();
    return InputReadError;
  }

  const std::string report_path = DeriveReportPath(input_path);
  // The input named as its own report is said as such whatever it holds;
  // OpenReport checks the opened file again.
  struct stat report_stat {};
  const bool report_is_input = ::stat(report_path.c_str(), &report_stat) == 0 &&
                               SameFile(report_stat, input_stat);
  FdSource source(input.fd());
  InputStream input_stream(&source);
  ConvertResult result = Success;
  if (!report_is_input) {
    result =
        input_stream.ok() ? CheckHeader(input_stream) : MemoryAllocationError;
  }
  if (result != Success) {
    WriteVerdict(console, result, report_path);
    return result;
  }

  ReportRefusal refusal;
  File report = OpenReport(report_path, input_stat, &refusal, &open_error);
  if (!report.is_open()) {
    if (refusal == ReportRefusal::kIsTheInput) {
      console.WriteNoLf("\nOutput file ");
      console.Write(report_path);
      console.WriteNoLf(" is the input file!\n");
    } else {
      ReportOpenFailure(console, "Output", report_path, open_error);
    }
    console.Flush();
    return OutputWriteError;
  }

  FdSink sink(report.fd());
  result = ConvertRecording(input_stream, sink, report_path, console);
  if (!report.Close()) result = OutputWriteError;

  WriteVerdict(console, result, report_path);
  return result;
}

}  // namespace morvela
