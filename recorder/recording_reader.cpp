#include "recorder/recording_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
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
  if constexpr (std::is_same_v<T, float>) {
    return LoadFloat(p);
  } else if constexpr (std::is_same_v<T, double>) {
    return LoadDouble(p);
  } else {
    constexpr uint32_t kWidth = sizeof(T);
    if (plan.value_bytes == kWidth) {
      return static_cast<T>(LoadBigEndian(p, kWidth));
    }
    return static_cast<T>(
        LoadInteger(p, plan.value_bytes, std::is_signed_v<T>));
  }
}

// Decodes `rows` rows of `row_bytes` bytes at `block` into `out`. `offsets`
// holds each column's first kept byte within a row.
template <typename T>
T* DecodeBlock(const unsigned char* block, uint64_t rows, uint64_t row_bytes,
               const std::vector<uint64_t>& offsets, const SamplePlan& plan,
               T* out) {
  for (uint64_t r = 0; r < rows; ++r, block += row_bytes) {
    for (uint64_t offset : offsets) *out++ = Decode<T>(block + offset, plan);
  }
  return out;
}

// Converts `count` values of sizeof(T) bytes stored big-endian at `values`
// to host order in place.
template <typename T>
void ToHostOrder(T* values, uint64_t count) {
  if constexpr (sizeof(T) > 1 && std::endian::native == std::endian::little) {
    using Bits = std::conditional_t<
        sizeof(T) == 2, uint16_t,
        std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>;
    auto* bytes = reinterpret_cast<unsigned char*>(values);
    for (uint64_t k = 0; k < count; ++k) {
      Bits v;
      std::memcpy(&v, bytes + k * sizeof(T), sizeof v);
      if constexpr (sizeof(T) == 2) v = __builtin_bswap16(v);
      if constexpr (sizeof(T) == 4) v = __builtin_bswap32(v);
      if constexpr (sizeof(T) == 8) v = __builtin_bswap64(v);
      std::memcpy(bytes + k * sizeof(T), &v, sizeof v);
    }
  }
}

}  // namespace

ReadStatus RecordingReader::Open(const std::string& path,
                                 std::unique_ptr<RecordingReader>* reader,
                                 int* os_error) {
  *os_error = 0;
  File file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!file.is_open() || ::fstat(file.fd(), &st) != 0) {
    *os_error = errno;
    return ReadStatus::kReadError;
  }
  if (S_ISDIR(st.st_mode)) {
    *os_error = EISDIR;
    return ReadStatus::kReadError;
  }
  std::unique_ptr<RecordingReader> r(new (std::nothrow)
                                         RecordingReader(std::move(file)));
  if (!r) return ReadStatus::kMemoryError;
  RecorderHeader& h = r->header_;
  if (!r->ReadAt(0, &h, sizeof h)) return ReadStatus::kReadError;
  if (!HasRecorderMagic(h)) return ReadStatus::kNotRecorderFile;
  DecodeHeader(&h);

  const uint64_t table_bytes = uint64_t{h.Ninputs} * sizeof(InputDescriptor);
  if (!InputTableFits(h.Ninputs)) return ReadStatus::kMemoryError;
  // A table larger than the file is never allocated.
  if (table_bytes > static_cast<uint64_t>(st.st_size) - sizeof h) {
    return ReadStatus::kReadError;
  }
  r->inputs_.resize(h.Ninputs);
  if (!r->ReadAt(sizeof h, r->inputs_.data(), table_bytes)) {
    return ReadStatus::kReadError;
  }
  r->plan_ = PlanSamples(TextField(h.DataTypeName), h.DataTypeSize);
  r->data_offset_ = sizeof h + table_bytes;
  r->row_bytes_ = uint64_t{h.Ninputs} * h.DataTypeSize;
  const uint64_t data_bytes =
      static_cast<uint64_t>(st.st_size) - r->data_offset_;
  if (h.Ninputs == 0) {
    r->complete_rows_ = h.Nsamples;
  } else if (h.DataTypeSize > 0) {
    r->complete_rows_ =
        std::min<uint64_t>(h.Nsamples, data_bytes / r->row_bytes_);
  }
  *reader = std::move(r);
  return ReadStatus::kOk;
}

bool RecordingReader::ReadAt(uint64_t offset, void* buffer,
                             uint64_t size) const {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = ::pread(file_.fd(), p, std::min<uint64_t>(size, 1 << 30),
                        static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<uint64_t>(n);
  }
  return true;
}

ReadStatus RecordingReader::Read(uint64_t start, uint64_t stop,
                                 const std::vector<uint32_t>& columns,
                                 void* out) const {
  if (start >= stop || columns.empty()) return ReadStatus::kOk;
  // As the converter would find it going from `start`: a first row that
  // runs out, else a type that cannot be decoded, else a later row that
  // runs out.
  if (start >= complete_rows_) return ReadStatus::kReadError;
  if (plan_.type == DataType::kUnknown) return ReadStatus::kUnknownDataType;
  if (stop > complete_rows_) return ReadStatus::kReadError;

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
  const bool direct =
      contiguous && plan_.value_bytes == InfoOf(plan_.type).width;
  const uint64_t rows_per_block =
      std::max<uint64_t>(1, kBlockBytes / row_bytes_);
  const bool by_value = row_bytes_ > kBlockBytes;
  std::unique_ptr<unsigned char[]> block;
  if (!direct) {
    block.reset(new (
        std::nothrow) unsigned char[by_value ? 8
                                             : rows_per_block * row_bytes_]);
    if (!block) return ReadStatus::kMemoryError;
  }

  auto decode = [&](auto* typed_out) -> ReadStatus {
    using T = std::remove_pointer_t<decltype(typed_out)>;
    if (direct) {
      const uint64_t values = (stop - start) * columns.size();
      if (!ReadAt(data_offset_ + start * row_bytes_, typed_out,
                  values * sizeof(T))) {
        return ReadStatus::kReadError;
      }
      ToHostOrder(typed_out, values);
      return ReadStatus::kOk;
    }
    for (uint64_t row = start; row < stop;) {
      const uint64_t at = data_offset_ + row * row_bytes_;
      if (by_value) {
        for (uint64_t offset : offsets) {
          if (!ReadAt(at + offset, block.get(), plan_.value_bytes)) {
            return ReadStatus::kReadError;
          }
          *typed_out++ = Decode<T>(block.get(), plan_);
        }
        ++row;
        continue;
      }
      const uint64_t rows = std::min(rows_per_block, stop - row);
      if (!ReadAt(at, block.get(), rows * row_bytes_)) {
        return ReadStatus::kReadError;
      }
      typed_out =
          DecodeBlock(block.get(), rows, row_bytes_, offsets, plan_, typed_out);
      row += rows;
    }
    return ReadStatus::kOk;
  };
  return WithNativeType(plan_.type, [&](auto* type) {
    return decode(static_cast<decltype(type)>(out));
  });
}

}  // namespace morvela
