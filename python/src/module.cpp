// morvela._morvela: the recording reader bound for Python. The package
// (python/morvela) raises the errors and shapes the results; this module
// only hands over statuses, header fields and numpy arrays.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "recorder/recording_reader.h"

namespace py = pybind11;

namespace morvela {
namespace {

py::dtype NativeType(DataType type) {
  return WithNativeType(type, [](auto* native) {
    return py::dtype::of<std::remove_pointer_t<decltype(native)>>();
  });
}

py::bytes Bytes(std::string_view text) {
  return py::bytes(text.data(), text.size());
}

// The open recording. Its methods return (status, result); status 0 is
// success, the others the converter's negative codes.
class Reader {
 public:
  explicit Reader(std::unique_ptr<RecordingReader> reader)
      : reader_(std::move(reader)) {}

  py::dict Header() const {
    const RecorderHeader& h = reader_->header();
    py::dict d;
    d["block_name"] = Bytes(TextField(h.RecName));
    d["application_name"] = Bytes(TextField(h.ApplName));
    d["application_version"] = Bytes(TextField(h.ApplVersion));
    d["trigger_time"] = h.TriggerTime;
    d["data_type_name"] = Bytes(TextField(h.DataTypeName));
    d["inputs"] = h.Ninputs;
    d["samples"] = h.Nsamples;
    d["pretrigger_samples"] = h.Npretrigger;
    d["data_type_size"] = h.DataTypeSize;
    d["sample_time_us"] = h.SampleTime;
    d["complete_rows"] = reader_->complete_rows();
    d["decodable"] = reader_->plan().type != DataType::kUnknown;
    d["dtype"] = NativeType(reader_->plan().type);
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

  py::tuple Read(uint64_t start, uint64_t stop,
                 const std::vector<uint32_t>& columns) const {
    py::array out(
        NativeType(reader_->plan().type),
        std::vector<py::ssize_t>{static_cast<py::ssize_t>(stop - start),
                                 static_cast<py::ssize_t>(columns.size())});
    void* data = out.mutable_data();
    ReadStatus status;
    {
      py::gil_scoped_release release;
      status = reader_->Read(start, stop, columns, data);
    }
    return py::make_tuple(static_cast<int>(status), out);
  }

  py::array_t<double> TimeOffsets(uint64_t start, uint64_t stop) const {
    const RecorderHeader& h = reader_->header();
    py::array_t<double> out(static_cast<py::ssize_t>(stop - start));
    double* p = out.mutable_data();
    {
      py::gil_scoped_release release;
      for (uint64_t row = start; row < stop; ++row) {
        *p++ = TimeOffset(row, h.Npretrigger, h.SampleTime);
      }
    }
    return out;
  }

 private:
  std::unique_ptr<RecordingReader> reader_;
};

// (status, os_error, reader or None)
py::tuple Open(const std::string& path) {
  std::unique_ptr<RecordingReader> reader;
  int os_error = 0;
  ReadStatus status;
  {
    py::gil_scoped_release release;
    status = RecordingReader::Open(path, &reader, &os_error);
  }
  if (status != ReadStatus::kOk) {
    return py::make_tuple(static_cast<int>(status), os_error, py::none());
  }
  return py::make_tuple(0, 0, Reader(std::move(reader)));
}

}  // namespace
}  // namespace morvela

PYBIND11_MODULE(_morvela, m) {
  m.doc() = "Morvela's recording reader (use the morvela package)";
  py::class_<morvela::Reader>(m, "Reader")
      .def("header", &morvela::Reader::Header)
      .def("inputs", &morvela::Reader::Inputs)
      .def("read", &morvela::Reader::Read)
      .def("time_offsets", &morvela::Reader::TimeOffsets);
  m.def("open", &morvela::Open, py::arg("path"));
}
