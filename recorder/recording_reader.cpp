#include "recorder/recording_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>

namespace morvela {
namespace {

// Rows are read in blocks of about this many bytes.
constexpr uint64_t kBlockBytes = uint64_t{1} << 20;

template <typename T>
T Decode(const unsigned char* p, const SamplePlan& plan) {
  if constexpr (std::is_integral_v<T>) {
    if (!plan.full_width) {
      return static_cast<T>(
          LoadInteger(p, plan.value_bytes, std::is_signed_v<T>));
    }
  }
  return LoadBigEndian<T>(p);
}

// Decodes `rows` rows of `row_bytes` bytes at `block` into `out`, the value
// of row r and column c at out[r * row_step + c * column_step]. `offsets`
// holds each column's first kept byte within a row. Each loop writes its
// output in order: rows outside for rows of the array, columns outside for
// columns of it.
template <typename T>
void DecodeBlock(const unsigned char* block, uint64_t rows, uint64_t row_bytes,
                 const std::vector<uint64_t>& offsets, const SamplePlan& plan,
                 T* out, uint64_t row_step, uint64_t column_step) {
  if (column_step == 1) {
    for (uint64_t r = 0; r < rows; ++r, block += row_bytes, out += row_step) {
      T* o = out;
      for (uint64_t offset : offsets) *o++ = Decode<T>(block + offset, plan);
    }
    return;
  }
  for (uint64_t offset : offsets) {
    const unsigned char* p = block + offset;
    for (uint64_t r = 0; r < rows; ++r, p += row_bytes) {
      out[r * row_step] = Decode<T>(p, plan);
    }
    out += column_step;
  }
}

// Converts `count` values of type T stored big-endian at `values` to host
// values in place.
template <typename T>
void ToHostValues(T* values, uint64_t count) {
  auto* bytes = reinterpret_cast<unsigned char*>(values);
  for (uint64_t k = 0; k < count; ++k, bytes += sizeof(T)) {
    const T v = LoadBigEndian<T>(bytes);
    std::memcpy(bytes, &v, sizeof v);
  }
}

// The open file, read with pread.
class FileSource : public RandomSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}
  bool ReadAt(uint64_t offset, void* buffer, uint64_t size) const override {
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
      ssize_t n = ::pread(fd_, p, std::min<uint64_t>(size, 1 << 30),
                          static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      offset += static_cast<uint64_t>(n);
      size -= static_cast<uint64_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace

bool SpanSource::ReadAt(uint64_t offset, void* buffer, uint64_t size) const {
  if (offset < offset_ || offset - offset_ > size_ ||
      size > size_ - (offset - offset_)) {
    return false;
  }
  if (size > 0) std::memcpy(buffer, data_ + (offset - offset_), size);
  return true;
}

ConvertResult RecordingReader::Open(const char* path,
                                    std::unique_ptr<RecordingReader>* reader,
                                    int* os_error) {
  *os_error = 0;
  struct stat st {};
  // Read at random, so a regular file only; a FIFO is refused at once,
  // not waited on.
  File file = OpenForReading(path, &st, os_error, O_NONBLOCK);
  if (!file.is_open()) return InputReadError;
  if (!S_ISREG(st.st_mode)) {
    *os_error = ESPIPE;
    return InputReadError;
  }
  std::unique_ptr<RecordingReader> r(new (std::nothrow)
                                         RecordingReader(std::move(file)));
  if (!r) return MemoryAllocationError;
  r->opened_ = st;
  const ConvertResult result =
      r->Parse(FileSource(r->file_.fd()), static_cast<uint64_t>(st.st_size));
  if (result == Success) *reader = std::move(r);
  return result;
}

ConvertResult RecordingReader::FromHead(
    const void* head, uint64_t head_size, uint64_t object_size,
    std::unique_ptr<RecordingReader>* reader) {
  std::unique_ptr<RecordingReader> r(new (std::nothrow)
                                         RecordingReader(File(-1)));
  if (!r) return MemoryAllocationError;
  const ConvertResult result = r->Parse(
      SpanSource(head, 0, std::min(head_size, object_size)), object_size);
  if (result == Success) *reader = std::move(r);
  return result;
}

ConvertResult RecordingReader::Parse(const RandomSource& source,
                                     uint64_t size) {
  RecorderHeader& h = header_;
  if (!source.ReadAt(0, &h, sizeof h)) return InputReadError;
  if (!HasRecorderMagic(h)) return NotRecorderFile;
  DecodeHeader(&h);

  const uint64_t table_bytes = uint64_t{h.Ninputs} * sizeof(InputDescriptor);
  if (!InputTableFits(h.Ninputs)) return MemoryAllocationError;
  // A table larger than the file is never allocated.
  if (table_bytes > size - sizeof h) return InputReadError;
  inputs_.resize(h.Ninputs);
  if (!source.ReadAt(sizeof h, inputs_.data(), table_bytes)) {
    return InputReadError;
  }
  plan_ = PlanSamples(TextField(h.DataTypeName), h.DataTypeSize);
  data_offset_ = sizeof h + table_bytes;
  row_bytes_ = uint64_t{h.Ninputs} * h.DataTypeSize;
  complete_rows_ = CompleteRows(size);
  return Success;
}

uint64_t RecordingReader::CompleteRows(uint64_t file_size) const {
  // With no inputs every row is complete; with fields of 0 bytes none is,
  // as no value of 0 bytes ever arrives.
  if (header_.Ninputs == 0) return header_.Nsamples;
  if (header_.DataTypeSize == 0 || file_size < data_offset_) return 0;
  return std::min<uint64_t>(header_.Nsamples,
                            (file_size - data_offset_) / row_bytes_);
}

uint64_t RecordingReader::CompleteRowsNow() const {
  if (!file_.is_open()) return complete_rows_;
  struct stat st {};
  if (!Stat(&st)) return 0;
  return CompleteRows(static_cast<uint64_t>(st.st_size));
}

bool RecordingReader::Stat(struct stat* st) const {
  return ::fstat(file_.fd(), st) == 0;
}

ConvertResult RecordingReader::CheckRows(uint64_t start, uint64_t stop) const {
  if (start >= stop) return Success;
  // As the converter would find it going from `start`: a first row that
  // runs out, else a type that cannot be decoded, else a later row that
  // runs out.
  if (start >= complete_rows_) return InputReadError;
  if (plan_.type == DataType::kUnknown) return UnknownDataType;
  if (stop > complete_rows_) return InputReadError;
  return Success;
}

ConvertResult RecordingReader::Read(uint64_t start, uint64_t stop,
                                    const std::vector<uint32_t>& columns,
                                    void* out, Layout layout) const {
  return ReadFrom(FileSource(file_.fd()), start, stop, columns, out, layout);
}

ConvertResult RecordingReader::ReadFrom(const RandomSource& source,
                                        uint64_t start, uint64_t stop,
                                        const std::vector<uint32_t>& columns,
                                        void* out, Layout layout) const {
  if (start >= stop || columns.empty()) return Success;
  if (ConvertResult result = CheckRows(start, stop); result != Success) {
    return result;
  }

  std::vector<uint64_t> offsets;
  offsets.reserve(columns.size());
  bool contiguous = plan_.skip_bytes == 0 && columns.size() == inputs_.size();
  for (size_t c = 0; c < columns.size(); ++c) {
    offsets.push_back(uint64_t{columns[c]} * header_.DataTypeSize +
                      plan_.skip_bytes);
    contiguous = contiguous && columns[c] == c;
  }
  // Every input of full-width fields: the stored rows are the array but for
  // the byte order, and are read straight into it. Otherwise whole rows a
  // block, and a row wider than a block value by value.
  const bool by_input = layout == Layout::kByInput;
  const bool direct = contiguous && plan_.full_width && !by_input;
  // Where row k and column c of the result go.
  const uint64_t row_step = by_input ? 1 : columns.size();
  const uint64_t column_step = by_input ? stop - start : 1;
  const uint64_t rows_per_block =
      std::max<uint64_t>(1, kBlockBytes / row_bytes_);
  const bool by_value = row_bytes_ > kBlockBytes;
  std::unique_ptr<unsigned char[]> block;
  if (!direct) {
    block.reset(new (
        std::nothrow) unsigned char[by_value ? 8
                                             : rows_per_block * row_bytes_]);
    if (!block) return MemoryAllocationError;
  }

  auto decode = [&](auto* typed_out) -> ConvertResult {
    using T = std::remove_pointer_t<decltype(typed_out)>;
    if (direct) {
      // A block at a time, each put in host order while it is in the cache.
      const uint64_t values = (stop - start) * columns.size();
      const uint64_t per_block = kBlockBytes / sizeof(T);
      uint64_t at = data_offset_ + start * row_bytes_;
      for (uint64_t done = 0; done < values;) {
        const uint64_t count = std::min(per_block, values - done);
        if (!source.ReadAt(at, typed_out + done, count * sizeof(T))) {
          return InputReadError;
        }
        ToHostValues(typed_out + done, count);
        done += count;
        at += count * sizeof(T);
      }
      return Success;
    }
    for (uint64_t row = start; row < stop;) {
      const uint64_t at = data_offset_ + row * row_bytes_;
      T* row_out = typed_out + (row - start) * row_step;
      if (by_value) {
        for (size_t c = 0; c < offsets.size(); ++c) {
          if (!source.ReadAt(at + offsets[c], block.get(), plan_.value_bytes)) {
            return InputReadError;
          }
          row_out[c * column_step] = Decode<T>(block.get(), plan_);
        }
        ++row;
        continue;
      }
      const uint64_t rows = std::min(rows_per_block, stop - row);
      if (!source.ReadAt(at, block.get(), rows * row_bytes_)) {
        return InputReadError;
      }
      DecodeBlock(block.get(), rows, row_bytes_, offsets, plan_, row_out,
                  row_step, column_step);
      row += rows;
    }
    return Success;
  };
  return WithNativeType(plan_.type, [&](auto type) {
    return decode(static_cast<typename decltype(type)::type*>(out));
  });
}

}  // namespace morvela
