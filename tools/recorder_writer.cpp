#include "tools/recorder_writer.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace morvela {
namespace {

void AppendBigEndian(std::string* out, uint64_t bits, uint32_t width,
                     uint32_t size, bool negative) {
  // Padding in front of a field wider than the type: sign bytes.
  for (uint32_t i = width; i < size; ++i) out->push_back(negative ? '\xff' : 0);
  uint32_t kept = size < width ? size : width;
  for (uint32_t i = kept; i-- > 0;) {
    out->push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
  }
}

}  // namespace

void SetTextField(char* field, size_t width, std::string_view text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), text.size() < width ? text.size() : width);
}

RecorderHeader MakeHeader(const RecordingSpec& spec) {
  RecorderHeader h{};
  std::memcpy(h.Magic, "KIV", 4);
  SetTextField(h.RecName, sizeof h.RecName, spec.rec_name);
  SetTextField(h.ApplName, sizeof h.ApplName, spec.appl_name);
  SetTextField(h.ApplVersion, sizeof h.ApplVersion, spec.appl_version);
  SetTextField(h.DataTypeName, sizeof h.DataTypeName, spec.data_type_name);
  h.TriggerTime = spec.trigger_time;
  h.Ninputs = static_cast<uint32_t>(spec.inputs.size());
  h.Nsamples = spec.nsamples;
  h.Npretrigger = spec.npretrigger;
  h.DataTypeSize = spec.data_type_size;
  h.SampleTime = spec.sample_time;
  return h;
}

std::string EncodeHeader(const RecorderHeader& header) {
  RecorderHeader stored = header;
  // Decoding is a byte reversal on little-endian hosts, so it encodes too.
  DecodeHeader(&stored);
  return std::string(reinterpret_cast<const char*>(&stored), sizeof stored);
}

std::string EncodeInput(const RecordingInput& input) {
  InputDescriptor d;
  SetTextField(d.Name, sizeof d.Name, input.name);
  SetTextField(d.Unit, sizeof d.Unit, input.unit);
  return std::string(reinterpret_cast<const char*>(&d), sizeof d);
}

void AppendSampleValue(std::string* out, DataType type, uint32_t size,
                       double value) {
  if (type == DataType::kFloat) {
    float f = static_cast<float>(value);
    AppendBigEndian(out, std::bit_cast<uint32_t>(f), 4, size, std::signbit(f));
    return;
  }
  if (type == DataType::kDouble || type == DataType::kUnknown) {
    AppendBigEndian(out, std::bit_cast<uint64_t>(value), 8, size,
                    std::signbit(value));
    return;
  }
  double rounded = std::nearbyint(value);
  int64_t whole = 0;
  if (rounded >= -9.2e18 && rounded <= 9.2e18) {
    whole = static_cast<int64_t>(rounded);
  }
  AppendBigEndian(out, static_cast<uint64_t>(whole), InfoOf(type).width, size,
                  whole < 0 && InfoOf(type).is_signed);
}

std::string EncodeRecording(const RecordingSpec& spec,
                            const std::vector<double>& values) {
  std::string out = EncodeHeader(MakeHeader(spec));
  for (const RecordingInput& input : spec.inputs) out += EncodeInput(input);
  DataType type = FindDataType(spec.data_type_name);
  for (double v : values) {
    AppendSampleValue(&out, type, spec.data_type_size, v);
  }
  return out;
}

void RecordingWriter::Begin(const RecordingSpec& spec) {
  buffer_ += EncodeHeader(MakeHeader(spec));
  for (const RecordingInput& input : spec.inputs) {
    buffer_ += EncodeInput(input);
    MaybeFlush();
  }
}

void RecordingWriter::AppendValue(DataType type, uint32_t size, double value) {
  AppendSampleValue(&buffer_, type, size, value);
  MaybeFlush();
}

void RecordingWriter::MaybeFlush() {
  if (buffer_.size() >= (1u << 20)) Flush();
}

bool RecordingWriter::Flush() {
  if (ok_ && !buffer_.empty())
    ok_ = sink_->Write(buffer_.data(), buffer_.size());
  buffer_.clear();
  return ok_;
}

}  // namespace morvela
