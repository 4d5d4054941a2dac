// Writes recorder files in their big-endian layout: the header, the input
// table and the sample block. Tests, the demo, the fuzz seeds, the benchmarks
// and morvela-synth all make their recordings with it.

#ifndef MORVELA_TOOLS_RECORDER_WRITER_H_
#define MORVELA_TOOLS_RECORDER_WRITER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/recorder_file.h"
#include "stream/sink.h"

namespace morvela {

struct RecordingInput {
  std::string name;
  std::string unit;
};

// What a recording's header and input table hold, in host terms.
struct RecordingSpec {
  std::string rec_name = "Test";
  std::string appl_name = "Rec";
  std::string appl_version = "2.1";
  std::string data_type_name = "short";
  double trigger_time = 0;
  uint32_t nsamples = 0;
  uint32_t npretrigger = 0;
  uint32_t data_type_size = 2;
  uint32_t sample_time = 100;
  std::vector<RecordingInput> inputs;
};

// Copies `text` into a text field, cut to its width; the rest is NUL.
void SetTextField(char* field, size_t width, std::string_view text);

// The header of `spec` in host order, `Ninputs` = the number of inputs.
RecorderHeader MakeHeader(const RecordingSpec& spec);

// The 248 stored bytes of a header given in host order.
std::string EncodeHeader(const RecorderHeader& header);

// The 96 stored bytes of one input table entry.
std::string EncodeInput(const RecordingInput& input);

// Appends one sample field of `size` bytes holding `value` as `type`:
// integers are rounded to the nearest whole number and wrap to the type's
// width, "float" is rounded to single precision. A field wider than the type
// is padded in front with the value's sign bytes; a narrower one keeps the
// value's low bytes.
void AppendSampleValue(std::string* out, DataType type, uint32_t size,
                       double value);

// The whole file: header, input table and `values` (row by row, input after
// input) in fields of the spec's type and size. An unknown type name stores
// the values as "double" fields of the given size.
std::string EncodeRecording(const RecordingSpec& spec,
                            const std::vector<double>& values);

// Streams a recording of any length to a sink.
class RecordingWriter {
 public:
  // `sink` must remain live while the writer is in use.
  explicit RecordingWriter(Sink* sink) : sink_(sink) {}
  ~RecordingWriter() { Flush(); }

  // Writes the header and the input table.
  void Begin(const RecordingSpec& spec);
  void AppendValue(DataType type, uint32_t size, double value);
  // False when any write to the sink failed.
  bool Flush();

 private:
  void MaybeFlush();

  Sink* sink_;
  std::string buffer_;
  bool ok_ = true;
};

}  // namespace morvela

#endif  // MORVELA_TOOLS_RECORDER_WRITER_H_
