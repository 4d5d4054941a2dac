// Random access to a recording: its header, its input table and any range of
// rows of any inputs, decoded into native values by the same rules as the
// report (recorder/sample_decoding.h). Unlike the converter it may seek.

#ifndef MORVELA_RECORDER_RECORDING_READER_H_
#define MORVELA_RECORDER_RECORDING_READER_H_

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "recorder/convert_result.h"
#include "recorder/recorder_file.h"
#include "recorder/sample_decoding.h"
#include "stream/file.h"

namespace morvela {

// Bytes at any offset of a recording: its open file, or a span of it that is
// held in memory (fetched from an object store).
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // Reads exactly `size` bytes at `offset`; false when fewer are there.
  virtual bool ReadAt(uint64_t offset, void* buffer, uint64_t size) const = 0;
};

// `size` bytes at `data` that stand at `offset` of the recording; they must
// remain live while the source is in use. Reads outside them fail.
class SpanSource : public RandomSource {
 public:
  SpanSource(const void* data, uint64_t offset, uint64_t size)
      : data_(static_cast<const unsigned char*>(data)),
        offset_(offset),
        size_(size) {}
  bool ReadAt(uint64_t offset, void* buffer, uint64_t size) const override;

 private:
  const unsigned char* data_;
  uint64_t offset_;
  uint64_t size_;
};

class RecordingReader {
 public:
  // Opens the recording at `path` and reads its header and input table, with
  // the converter's result for the same file: InputReadError for a file
  // shorter than its header and table, MemoryAllocationError for a table
  // larger than the machine's memory, NotRecorderFile. When the file cannot
  // be opened at all, `os_error` holds the error number (0 otherwise) and
  // the result is InputReadError; a file that is not a regular file (a
  // FIFO, a device) is refused at once with ESPIPE, as it cannot be read at
  // random.
  static ConvertResult Open(const char* path,
                            std::unique_ptr<RecordingReader>* reader,
                            int* os_error);

  // A recording of `object_size` bytes held elsewhere (an object store),
  // from its first `head_size` bytes at `head`, which must hold the header
  // and the input table: the results of Open, but for the opening itself.
  // The reader has no file of its own: it reads through `ReadFrom`.
  static ConvertResult FromHead(const void* head, uint64_t head_size,
                                uint64_t object_size,
                                std::unique_ptr<RecordingReader>* reader);

  // Numbers in host order.
  const RecorderHeader& header() const { return header_; }
  const std::vector<InputDescriptor>& inputs() const { return inputs_; }
  const SamplePlan& plan() const { return plan_; }
  // The rows the file held in full when it was opened, at most Nsamples.
  uint64_t complete_rows() const { return complete_rows_; }
  // The rows the file holds in full now: after a failed `Read`, the first
  // row that is not in the file (complete_rows() where there is no file).
  uint64_t CompleteRowsNow() const;
  // The open file's status now (fstat of its descriptor, not of its path):
  // false when it cannot be had.
  bool Stat(struct stat* st) const;
  // The file's status when it was opened (zeros for a reader FromHead).
  const struct stat& opened() const { return opened_; }

  // What `Read` of rows [start, stop) of at least one input would return
  // before it reads anything: what the file held at open decides. Callers
  // check it before they allocate room for the rows.
  ConvertResult CheckRows(uint64_t start, uint64_t stop) const;

  // The order of the values `Read` writes.
  enum class Layout {
    kByRow,    // row after row: rows x columns
    kByInput,  // input after input: columns x rows
  };

  // Decodes rows [start, stop) of the inputs `columns` (indices below
  // Ninputs, in any order) into `out`, in `layout`, as the plan's native
  // type: int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t, float or
  // double. `out` must hold (stop - start) x columns.size() of them, and
  // start <= stop <= Nsamples. UnknownDataType when there is something to
  // decode and the type cannot be decoded; InputReadError when a row past
  // complete_rows() is asked for or a read fails; MemoryAllocationError when
  // a block buffer cannot be had. Safe to call from several threads at once.
  ConvertResult Read(uint64_t start, uint64_t stop,
                     const std::vector<uint32_t>& columns, void* out,
                     Layout layout = Layout::kByRow) const;

  // Where rows [start, stop) are stored: from RowOffset(start) to
  // RowOffset(stop).
  uint64_t RowOffset(uint64_t row) const {
    return data_offset_ + row * row_bytes_;
  }

  // As Read, from `source`, which must hold the rows asked for.
  ConvertResult ReadFrom(const RandomSource& source, uint64_t start,
                         uint64_t stop, const std::vector<uint32_t>& columns,
                         void* out, Layout layout = Layout::kByRow) const;

 private:
  explicit RecordingReader(File file) : file_(std::move(file)) {}
  // Reads the header and input table of a recording of `size` bytes.
  ConvertResult Parse(const RandomSource& source, uint64_t size);

  File file_;
  struct stat opened_ {};
  RecorderHeader header_{};
  std::vector<InputDescriptor> inputs_;
  SamplePlan plan_{};
  uint64_t data_offset_ = 0;
  uint64_t row_bytes_ = 0;
  uint64_t complete_rows_ = 0;
  // Rows a file of `file_size` bytes holds in full, at most Nsamples.
  uint64_t CompleteRows(uint64_t file_size) const;
};

}  // namespace morvela

#endif  // MORVELA_RECORDER_RECORDING_READER_H_
