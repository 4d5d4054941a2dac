// morvela._morvela: the recording reader bound for Python. It checks every
// argument it is given, raises the package's own exceptions (defined in
// morvela/_errors.py) and hands over header fields and numpy arrays; the
// package shapes the results.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert/recorder_file_converter.h"
#include "recorder/recording_reader.h"
#include "recorder/trigger_time.h"
#include "stream/file.h"
#include "stream/input_stream.h"
#include "version.h"

namespace py = pybind11;

namespace morvela {
namespace {

// A recording that cannot be read: raised as the package's exception for
// `result`, with `row` for a sample block that ends early.
struct RecordingFailure {
  ConvertResult result;
  py::object path;  // as the caller named the file: str, maybe with surrogates
  std::string message;
  int64_t row = -1;
};

const char* ErrorClass(const RecordingFailure& f) {
  switch (f.result) {
    case UnknownDataType:
      return "UnknownDataTypeError";
    case MemoryAllocationError:
      return "RecordingMemoryError";
    case NotRecorderFile:
      return "NotRecordingError";
    default:
      return f.row >= 0 ? "TruncatedRecordingError" : "RecordingReadError";
  }
}

void RaiseFailure(const RecordingFailure& f) {
  py::object errors = py::module_::import("morvela._errors");
  py::object cls = errors.attr(ErrorClass(f));
  py::str text = py::str("{}: {}").format(f.path, f.message);
  py::object error = f.row >= 0 ? cls(text, f.path, f.row) : cls(text, f.path);
  PyErr_SetObject(cls.ptr(), error.ptr());
}

py::object NativeType(DataType type) {
  if (type == DataType::kUnknown) return py::none();
  return WithNativeType(type, [](auto native) -> py::object {
    return py::dtype::of<typename decltype(native)::type>();
  });
}

py::bytes Bytes(std::string_view text) {
  return py::bytes(text.data(), text.size());
}

// A file's identity: device, inode, size, and modification and inode change
// times in ns. Device and inode are their 64 bits, read as signed.
std::array<int64_t, 5> IdentityNumbers(const struct stat& st) {
  const auto ns = [](const timespec& t) {
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
  };
  return {static_cast<int64_t>(static_cast<uint64_t>(st.st_dev)),
          static_cast<int64_t>(static_cast<uint64_t>(st.st_ino)),
          static_cast<int64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

// The open recording; safe for reads from several threads at once.
class Reader {
 public:
  Reader(std::unique_ptr<RecordingReader> reader, py::object path)
      : reader_(std::move(reader)), path_(std::move(path)) {}

  py::dict Header() const {
    const RecorderHeader& h = reader_->header();
    py::dict d;
    d["block_name"] = Bytes(TextField(h.RecName));
    d["application_name"] = Bytes(TextField(h.ApplName));
    d["application_version"] = Bytes(TextField(h.ApplVersion));
    ShownTime shown{};
    // Nanoseconds since the epoch as the report shows them, or None where
    // the report shows the current time instead.
    if (ToShownTime(h.TriggerTime, &shown)) {
      d["trigger_time_ns"] = py::int_(shown.seconds) * py::int_(1000000000) +
                             py::int_(shown.nanoseconds);
    } else {
      d["trigger_time_ns"] = py::none();
    }
    d["data_type"] = Bytes(TextField(h.DataTypeName));
    d["inputs"] = h.Ninputs;
    d["samples"] = h.Nsamples;
    d["pretrigger_samples"] = h.Npretrigger;
    d["posttrigger_samples"] = PostTriggerSamples(h);
    d["data_type_size"] = h.DataTypeSize;
    d["sample_time_us"] = h.SampleTime;
    d["dtype"] = NativeType(reader_->plan().type);
    // The rows the file held in full at the open, at most `samples`.
    d["complete_rows"] = reader_->complete_rows();
    return d;
  }

  py::list Inputs() const {
    py::list inputs;
    for (const InputDescriptor& d : reader_->inputs()) {
      inputs.append(
          py::make_tuple(Bytes(TextField(d.Name)), Bytes(TextField(d.Unit))));
    }
    return inputs;
  }

  // Rows [start, stop) of the inputs at `indices_asked`: a rows x inputs
  // array of the native type, or inputs x rows `by_input`. The rows must lie
  // within the header's samples and the indices below its inputs.
  py::array Read(int64_t start, int64_t stop,
                 const std::vector<int64_t>& indices_asked,
                 bool by_input) const {
    return Decode(start, stop, Indices(start, stop, indices_asked), by_input,
                  nullptr);
  }

  // The bytes that `read_span` of rows [start, stop) needs, as (offset,
  // length) within the recording; raises what `read` of them would raise
  // before it reads anything.
  py::tuple Span(int64_t start, int64_t stop,
                 const std::vector<int64_t>& indices_asked) const {
    Indices(start, stop, indices_asked);
    const uint64_t first = reader_->RowOffset(static_cast<uint64_t>(start));
    return py::make_tuple(
        first, reader_->RowOffset(static_cast<uint64_t>(stop)) - first);
  }

  // `read` of rows [start, stop) from `span`, the bytes `span` named.
  py::array ReadSpan(const py::buffer& span, int64_t start, int64_t stop,
                     const std::vector<int64_t>& indices_asked,
                     bool by_input) const {
    const std::vector<uint32_t> indices = Indices(start, stop, indices_asked);
    const py::buffer_info info = span.request();
    const SpanSource source(info.ptr,
                            reader_->RowOffset(static_cast<uint64_t>(start)),
                            static_cast<uint64_t>(info.size * info.itemsize));
    return Decode(start, stop, indices, by_input, &source);
  }

  // The open file's (device, inode, size, modification time in ns, inode
  // change time in ns), by fstat of its descriptor: what says whether it is
  // still the file opened. No user can set the change time, so a rewrite
  // whose modification time was put back still shows.
  py::tuple Identity() const {
    struct stat st {};
    if (!reader_->Stat(&st)) {
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.ptr());
      throw py::error_already_set();
    }
    return IdentityOf(st);
  }

  // Identity() as it was at the open, without asking the system again.
  py::tuple IdentityAtOpen() const { return IdentityOf(reader_->opened()); }

  static py::tuple IdentityOf(const struct stat& st) {
    const std::array<int64_t, 5> n = IdentityNumbers(st);
    return py::make_tuple(static_cast<uint64_t>(n[0]),
                          static_cast<uint64_t>(n[1]), n[2], n[3], n[4]);
  }

  py::array_t<double> TimeOffsets(int64_t start, int64_t stop) const {
    CheckRowRange(start, stop);
    const RecorderHeader& h = reader_->header();
    py::array_t<double> out(static_cast<py::ssize_t>(stop - start));
    double* p = out.mutable_data();
    {
      py::gil_scoped_release release;
      for (auto row = static_cast<uint64_t>(start);
           row < static_cast<uint64_t>(stop); ++row) {
        *p++ = ReportedTimeOffset(row, h.Npretrigger, h.SampleTime);
      }
    }
    return out;
  }

 private:
  // The input indices `indices_asked`, after the checks that come before any
  // read: the rows, the indices, and (where any input is asked for) what
  // the file held at the open.
  std::vector<uint32_t> Indices(
      int64_t start, int64_t stop,
      const std::vector<int64_t>& indices_asked) const {
    CheckRowRange(start, stop);
    std::vector<uint32_t> indices;
    indices.reserve(indices_asked.size());
    for (int64_t c : indices_asked) {
      if (c < 0 || c >= int64_t{reader_->header().Ninputs}) {
        throw py::index_error("no input " + std::to_string(c));
      }
      indices.push_back(static_cast<uint32_t>(c));
    }
    const auto first = static_cast<uint64_t>(start);
    const auto last = static_cast<uint64_t>(stop);
    // What the file holds is checked before the room is allocated.
    if (!indices.empty()) Check(reader_->CheckRows(first, last), first, last);
    return indices;
  }

  // Decodes checked rows from `source`, or from the file where it is null.
  py::array Decode(int64_t start, int64_t stop,
                   const std::vector<uint32_t>& indices, bool by_input,
                   const RandomSource* source) const {
    py::object dtype = NativeType(reader_->plan().type);
    if (dtype.is_none()) dtype = py::dtype("float64");  // nothing to decode
    const auto rows = static_cast<py::ssize_t>(stop - start);
    const auto count = static_cast<py::ssize_t>(indices.size());
    py::array out(py::dtype::from_args(dtype),
                  by_input ? std::vector<py::ssize_t>{count, rows}
                           : std::vector<py::ssize_t>{rows, count});
    void* data = out.mutable_data();
    const auto first = static_cast<uint64_t>(start);
    const auto last = static_cast<uint64_t>(stop);
    const auto layout = by_input ? RecordingReader::Layout::kByInput
                                 : RecordingReader::Layout::kByRow;
    ConvertResult result;
    {
      py::gil_scoped_release release;
      result =
          source != nullptr
              ? reader_->ReadFrom(*source, first, last, indices, data, layout)
              : reader_->Read(first, last, indices, data, layout);
    }
    Check(result, first, last);
    return out;
  }

  void CheckRowRange(int64_t start, int64_t stop) const {
    if (start < 0 || stop < start ||
        stop > int64_t{reader_->header().Nsamples}) {
      throw py::index_error("rows " + std::to_string(start) + " to " +
                            std::to_string(stop) +
                            " are not rows of the recording");
    }
  }

  // Raises the package's exception for a failed read of rows [start, stop).
  void Check(ConvertResult result, uint64_t start, uint64_t stop) const {
    if (result == Success) return;
    RecordingFailure f{result, path_, std::string(ResultText(result))};
    if (result == UnknownDataType) {
      const RecorderHeader& h = reader_->header();
      f.message += " '" + std::string(TextField(h.DataTypeName)) + "' of " +
                   std::to_string(h.DataTypeSize) + " bytes";
    } else if (result == InputReadError) {
      // The first row not in the file, as the file is now.
      const uint64_t held =
          std::min(reader_->complete_rows(), reader_->CompleteRowsNow());
      const uint64_t row = std::clamp(held, start, stop);
      f.row = static_cast<int64_t>(row);
      f.message += ": row " + std::to_string(row) +
                   " is not in the file, which holds " + std::to_string(held) +
                   " of " + std::to_string(reader_->header().Nsamples) +
                   " rows";
    }
    throw f;
  }

  std::unique_ptr<RecordingReader> reader_;
  py::object path_;
};

// Opens the recording at `path` (bytes, as the system names it); `name` is
// the path as the errors show it.
Reader Open(const py::bytes& path, const py::str& name) {
  std::string raw = path;
  if (raw.find('\0') != std::string::npos) {
    throw py::value_error("embedded null byte");
  }
  std::unique_ptr<RecordingReader> reader;
  int os_error = 0;
  ConvertResult result;
  {
    py::gil_scoped_release release;
    result = RecordingReader::Open(raw.c_str(), &reader, &os_error);
  }
  if (os_error != 0) {
    errno = os_error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    throw py::error_already_set();
  }
  if (result != Success)
    throw RecordingFailure{result, name, std::string(ResultText(result))};
  return Reader(std::move(reader), name);
}

// A recording held elsewhere (an object store) of `object_size` bytes, from
// its first bytes `head`, which hold the header and the input table; `name`
// is its URL as the errors show it. Its reads go through `read_span`.
Reader OpenHead(const py::bytes& head, uint64_t object_size,
                const py::str& name) {
  const std::string_view bytes = head;
  std::unique_ptr<RecordingReader> reader;
  const ConvertResult result = RecordingReader::FromHead(
      bytes.data(), bytes.size(), object_size, &reader);
  if (result != Success) {
    throw RecordingFailure{result, name, std::string(ResultText(result))};
  }
  return Reader(std::move(reader), name);
}

// Rows [start, stop) of every input of each recording of `paths` (pairs of
// the bytes the system opens and the name the errors show) into `out`, a
// C-contiguous recordings x (stop - start) x inputs array of the
// recordings' type; rows past a recording's end are left as they are. The
// GIL is released for the whole group. Raises what reading each would
// raise, and RecordingReadError where a file's identity (IdentityNumbers)
// is no longer `identities`' (the `changed` message).
void ReadBlocks(const std::vector<std::pair<py::bytes, py::str>>& paths,
                const std::vector<std::array<int64_t, 5>>& identities,
                int64_t start, int64_t stop, py::array out,
                const std::string& changed) {
  if (paths.size() != identities.size() || out.ndim() != 3 ||
      out.shape(0) != static_cast<py::ssize_t>(paths.size()) ||
      out.shape(1) != stop - start || !out.writeable() ||
      !(out.flags() & py::array::c_style)) {
    throw py::value_error("read_blocks: paths, identities and out disagree");
  }
  std::vector<std::string> raw;
  raw.reserve(paths.size());
  for (const auto& [path, name] : paths) raw.emplace_back(path);
  const auto inputs = static_cast<uint64_t>(out.shape(2));
  const auto row_bytes = inputs * static_cast<uint64_t>(out.itemsize());
  auto* base = static_cast<unsigned char*>(out.mutable_data());
  size_t failed = paths.size();  // the recording whose read failed
  bool moved = false;            // its identity differed
  {
    py::gil_scoped_release release;
    std::vector<uint32_t> all(inputs);
    for (uint32_t c = 0; c < inputs; ++c) all[c] = c;
    for (size_t k = 0; k < raw.size() && failed == paths.size(); ++k) {
      std::unique_ptr<RecordingReader> reader;
      int os_error = 0;
      if (RecordingReader::Open(raw[k].c_str(), &reader, &os_error) !=
              Success ||
          reader->header().Ninputs != inputs) {
        failed = k;
        break;
      }
      // The stat the open took: the file as it is being read.
      if (IdentityNumbers(reader->opened()) != identities[k]) {
        failed = k;
        moved = true;
        break;
      }
      const auto end = std::min<uint64_t>(static_cast<uint64_t>(stop),
                                          reader->header().Nsamples);
      const auto first = std::min<uint64_t>(static_cast<uint64_t>(start), end);
      unsigned char* into =
          base + k * static_cast<uint64_t>(stop - start) * row_bytes;
      if (inputs > 0 && first < end &&
          reader->Read(first, end, all, into) != Success) {
        failed = k;
      }
    }
  }
  if (failed == paths.size()) return;
  const auto& [path, name] = paths[failed];
  if (moved) {
    py::object errors = py::module_::import("morvela._errors");
    py::object error = errors.attr("RecordingReadError")(
        py::str("{}: {}").format(name, changed), name);
    PyErr_SetObject(error.get_type().ptr(), error.ptr());
    throw py::error_already_set();
  }
  // Read alone again, which raises what the failure was.
  Reader reader = Open(path, name);
  const auto end =
      std::min<int64_t>(stop, py::int_(reader.Header()["samples"]));
  std::vector<int64_t> all(static_cast<size_t>(out.shape(2)));
  for (size_t c = 0; c < all.size(); ++c) all[c] = static_cast<int64_t>(c);
  reader.Read(std::min(start, end), end, all, false);
  throw py::value_error(std::string(py::str(name)) +
                        ": the inputs differ from the first recording's");
}

// The header, inputs and identity of every recording of `paths` (pairs of
// the bytes the system opens and the name the errors show), each closed
// again: one call for thousands of recordings. Raises the first failure.
py::list Headers(const std::vector<std::pair<py::bytes, py::str>>& paths) {
  py::list out;
  for (const auto& [path, name] : paths) {
    Reader reader = Open(path, name);
    out.append(py::make_tuple(reader.Header(), reader.Inputs(),
                              reader.IdentityAtOpen()));
  }
  return out;
}

// The report's time offsets of the rows `rows` (any shape) of a recording
// with this pretrigger and sample time in microseconds.
py::array_t<double> TimeOffsetsOf(
    const py::array_t<int64_t, py::array::c_style | py::array::forcecast>& rows,
    uint32_t pretrigger, uint32_t sample_time) {
  py::array_t<double> out(
      std::vector<py::ssize_t>(rows.shape(), rows.shape() + rows.ndim()));
  const int64_t* row = rows.data();
  double* p = out.mutable_data();
  for (py::ssize_t i = 0; i < rows.size(); ++i) {
    p[i] = ReportedTimeOffset(static_cast<uint64_t>(row[i]), pretrigger,
                              sample_time);
  }
  return out;
}

// The eight data types by name, as numpy dtypes.
py::dict DataTypes() {
  py::dict types;
  for (int i = 0; i < static_cast<int>(DataType::kUnknown); ++i) {
    const auto type = static_cast<DataType>(i);
    types[py::str(std::string(InfoOf(type).name))] = NativeType(type);
  }
  return types;
}

// The report's bytes to a descriptor; before each write, with the GIL
// held, pending signals are handled and `stop` is called with the bytes of
// the recording read so far. An exception from either ends the conversion
// (the write fails) and is kept, to be raised again once the conversion
// has returned.
class StoppableSink : public Sink {
 public:
  StoppableSink(int fd, py::object stop) : out_(fd), stop_(std::move(stop)) {}

  bool Write(const char* data, size_t size) override {
    if (!GoOn()) return false;
    if (out_.Write(data, size)) return true;
    error = errno;
    return false;
  }

  // The exception that ended the conversion, if any.
  std::optional<py::error_already_set> raised;
  // The error number of the write that failed, or 0.
  int error = 0;

  // What tells `stop` the bytes of the recording read so far.
  void Follow(std::function<int64_t()> position) {
    position_ = std::move(position);
  }

 private:
  bool GoOn() {
    const int64_t read = position_ ? position_() : 0;
    py::gil_scoped_acquire gil;
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (!stop_.is_none()) stop_(read);
    } catch (py::error_already_set& e) {
      raised.emplace(std::move(e));
      return false;
    }
    return true;
  }

  FdSink out_;
  py::object stop_;
  std::function<int64_t()> position_;
};

// The bytes of `read(size)`, a Python callable (a file object's read),
// called with the GIL held; an exception from it ends the reading (a read
// error) and is kept, to be raised again once the conversion has returned.
class CallSource : public Source {
 public:
  explicit CallSource(py::object read) : read_(std::move(read)) {}

  ptrdiff_t Read(char* buffer, size_t size) override {
    py::gil_scoped_acquire gil;
    try {
      const py::bytes got = read_(size);
      const std::string_view bytes = got;
      if (bytes.size() > size) return -1;
      std::memcpy(buffer, bytes.data(), bytes.size());
      done += static_cast<int64_t>(bytes.size());
      return static_cast<ptrdiff_t>(bytes.size());
    } catch (py::error_already_set& e) {
      raised.emplace(std::move(e));
      return -1;
    }
  }

  std::optional<py::error_already_set> raised;
  int64_t done = 0;  // bytes read

 private:
  py::object read_;
};

class Discard : public Sink {
 public:
  bool Write(const char* /*data*/, size_t /*size*/) override { return true; }
};

// ConvertRecording from `source` into `sink`, the summary discarded. Sets
// `error` to the error number of a write that failed.
ConvertResult ConvertQuietly(Source& source, StoppableSink& sink,
                             const std::string& report_path, int* error) {
  InputStream stream(&source);
  Discard nothing;
  TextStream console(&nothing, LineEnds::kAsWritten, TextStream::kMaxReserve);
  if (!stream.ok() || !console.ok()) return MemoryAllocationError;
  const ConvertResult result =
      ConvertRecording(stream, sink, report_path, console);
  if (result == OutputWriteError) *error = sink.error;
  return result;
}

// Converts the recording at `path` into a report written to the open
// descriptor `fd` (which stays open), `report_path` on its run line, the
// summary discarded; the GIL is released meanwhile. Returns the result and
// the error number behind an open or a write that failed (0 otherwise).
py::tuple Convert(const std::string& path, int fd,
                  const std::string& report_path, py::object stop) {
  StoppableSink sink(fd, std::move(stop));
  ConvertResult result = InputReadError;
  int error = 0;
  {
    py::gil_scoped_release release;
    struct stat st {};
    File input = OpenForReading(path.c_str(), &st, &error);
    if (input.is_open()) {
      const int fd_in = input.fd();
      sink.Follow([fd_in] { return int64_t{::lseek(fd_in, 0, SEEK_CUR)}; });
      FdSource source(fd_in);
      result = ConvertQuietly(source, sink, report_path, &error);
    }
  }
  if (sink.raised) throw std::move(*sink.raised);
  return py::make_tuple(static_cast<int>(result), error);
}

// As Convert, from the bytes of `read(size)` (a file object's read, of a
// recording at a URL, say) rather than a path.
py::tuple ConvertFrom(py::object read, int fd, const std::string& report_path,
                      py::object stop) {
  StoppableSink sink(fd, std::move(stop));
  CallSource source(std::move(read));
  sink.Follow([&source] { return source.done; });
  ConvertResult result;
  int error = 0;
  {
    py::gil_scoped_release release;
    result = ConvertQuietly(source, sink, report_path, &error);
  }
  if (source.raised) throw std::move(*source.raised);
  if (sink.raised) throw std::move(*sink.raised);
  return py::make_tuple(static_cast<int>(result), error);
}

}  // namespace
}  // namespace morvela

PYBIND11_MODULE(_morvela, m) {
  m.doc() = "Morvela's recording reader (use the morvela package)";
  m.attr("__version__") = MORVELA_VERSION;
  m.attr("MAGIC") =
      py::bytes(morvela::kRecorderMagic, sizeof morvela::kRecorderMagic);
  m.attr("DATA_TYPES") = morvela::DataTypes();
  // pybind11 hands the pointer by value.
  py::register_exception_translator([](std::exception_ptr p) {  // NOLINT
    try {
      if (p) std::rethrow_exception(p);
    } catch (const morvela::RecordingFailure& f) {
      morvela::RaiseFailure(f);
    }
  });
  py::class_<morvela::Reader>(m, "Reader")
      .def("header", &morvela::Reader::Header)
      .def("inputs", &morvela::Reader::Inputs)
      .def("read", &morvela::Reader::Read, py::arg("start"), py::arg("stop"),
           py::arg("indices"), py::arg("by_input") = false)
      .def("span", &morvela::Reader::Span, py::arg("start"), py::arg("stop"),
           py::arg("indices"))
      .def("read_span", &morvela::Reader::ReadSpan, py::arg("span"),
           py::arg("start"), py::arg("stop"), py::arg("indices"),
           py::arg("by_input") = false)
      .def("time_offsets", &morvela::Reader::TimeOffsets, py::arg("start"),
           py::arg("stop"))
      .def("identity", &morvela::Reader::Identity);
  m.def("open", &morvela::Open, py::arg("path"), py::arg("name"));
  m.def("headers", &morvela::Headers, py::arg("paths"));
  m.def("read_blocks", &morvela::ReadBlocks, py::arg("paths"),
        py::arg("identities"), py::arg("start"), py::arg("stop"),
        py::arg("out"), py::arg("changed"));
  m.def("open_head", &morvela::OpenHead, py::arg("head"),
        py::arg("object_size"), py::arg("name"));
  m.def("convert", &morvela::Convert, py::arg("path"), py::arg("fd"),
        py::arg("report_path"), py::arg("stop"));
  m.def("convert_from", &morvela::ConvertFrom, py::arg("read"), py::arg("fd"),
        py::arg("report_path"), py::arg("stop"));
  m.def("time_offsets_of", &morvela::TimeOffsetsOf, py::arg("rows"),
        py::arg("pretrigger"), py::arg("sample_time"));
}
