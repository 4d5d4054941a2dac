#include "fuzz/harnesses.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "convert/recorder_file_converter.h"
#include "format/number_format.h"
#include "tests/fixed_reference.h"
#include "tests/memory_streams.h"

namespace morvela {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz invariant failed: %s\n", what);
    std::abort();
  }
}

// Checks that no LF is written without its CR, across write boundaries.
class CrLfCheckingSink : public Sink {
 public:
  bool Write(const char* data, size_t size) override {
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == '\n') Check(last_ == '\r', "bare LF in the report");
      last_ = data[i];
    }
    return true;
  }

 private:
  char last_ = 0;
};

int64_t FixedClock() { return 1796531724; }

}  // namespace

void FuzzConversion(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // Counts that only make the run long or large without reaching new code:
  // an input table far beyond the data (allocated, never filled: the unit
  // tests cover it) and endless rows without inputs.
  if (size >= kHeaderSize) {
    RecorderHeader h;
    std::memcpy(&h, data, kHeaderSize);
    DecodeHeader(&h);
    if (uint64_t{h.Ninputs} * kInputDescriptorSize > size + (1u << 20)) return;
    if (h.Ninputs == 0 && h.Nsamples > 20000) return;
  }
  MemorySource source(bytes);
  InputStream input(&source, 4096);
  CrLfCheckingSink report_sink;
  NullSink console_sink;
  TextStream report(&report_sink, LineEnds::kCrLf, 0);
  TextStream console(&console_sink, LineEnds::kAsWritten, 0);
  Check(input.ok() && report.ok() && console.ok(), "stream buffers");
  RecorderFileConverter converter(&console, &FixedClock);
  ConvertResult r = RunConverterSteps(converter, input, report, "fuzz.txt");
  Check(report.Flush(), "the report sink accepts everything");
  Check(r == Success || r == InputReadError || r == UnknownDataType ||
            r == MemoryAllocationError || r == NotRecorderFile,
        "a defined result");
}

void FuzzFixedPoint(const uint8_t* data, size_t size) {
  if (size < 8) return;
  double value;
  std::memcpy(&value, data, 8);
  bool force_sign = size > 8 && (data[8] & 1);
  char buffer[kMaxFixedChars];
  for (int decimals : {6, 9}) {
    std::string expected = ReferenceFixed(value, decimals, force_sign);
    std::string general(buffer,
                        FormatFixed(value, decimals, force_sign, buffer));
    Check(general == expected, "FormatFixed matches the reference");
    char* end = decimals == 6
                    ? FormatFixedDecimals<6>(value, force_sign, buffer)
                    : FormatFixedDecimals<9>(value, force_sign, buffer);
    Check(std::string(buffer, end) == expected,
          "FormatFixedDecimals matches the reference");
  }
}

}  // namespace morvela
