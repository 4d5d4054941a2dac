// The straightforward conversion that the throughput benchmark measures
// Morvela against: one fread and one fprintf per value, stdio buffering,
// the same report layout (numbers as glibc's printf rounds them).

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "recorder/recorder_file.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: stdio_yardstick INPUT REPORT\n");
    return 2;
  }
  FILE* in = std::fopen(argv[1], "rb");
  FILE* out = std::fopen(argv[2], "w");
  if (!in || !out) return 1;
  morvela::RecorderHeader h;
  if (std::fread(&h, sizeof h, 1, in) != 1) return 1;
  morvela::DecodeHeader(&h);
  std::fprintf(out, "%s\r\n", "Morvela 1.0.1.0");
  auto inputs = std::make_unique<morvela::InputDescriptor[]>(h.Ninputs);
  if (std::fread(inputs.get(), sizeof(morvela::InputDescriptor), h.Ninputs,
                 in) != h.Ninputs) {
    return 1;
  }
  std::fprintf(out, "\r\nTimeOffset;");
  for (uint32_t j = 0; j < h.Ninputs; ++j) {
    std::fprintf(out, "SamplesInput%02u%s", j,
                 j + 1 < h.Ninputs ? ";" : "\r\n");
  }
  morvela::DataType type =
      morvela::FindDataType(morvela::TextField(h.DataTypeName));
  unsigned char value[8];
  for (uint32_t i = 0; i < h.Nsamples; ++i) {
    double offset =
        (static_cast<double>(i) - h.Npretrigger) * h.SampleTime * 1e-6;
    std::fprintf(out, "%+9.9f;", offset);
    for (uint32_t j = 0; j < h.Ninputs; ++j) {
      if (std::fread(value, h.DataTypeSize, 1, in) != 1) return 1;
      std::reverse(value, value + h.DataTypeSize);
      const char* sep = j + 1 < h.Ninputs ? ";" : "";
      switch (type) {
        case morvela::DataType::kChar:
          std::fprintf(out, "%d%s", static_cast<int8_t>(value[0]), sep);
          break;
        case morvela::DataType::kUnsignedChar:
          std::fprintf(out, "%u%s", value[0], sep);
          break;
        case morvela::DataType::kShort: {
          int16_t v;
          std::memcpy(&v, value, 2);
          std::fprintf(out, "%i%s", v, sep);
          break;
        }
        case morvela::DataType::kUnsignedShort: {
          uint16_t v;
          std::memcpy(&v, value, 2);
          std::fprintf(out, "%u%s", v, sep);
          break;
        }
        case morvela::DataType::kInt: {
          int32_t v;
          std::memcpy(&v, value, 4);
          std::fprintf(out, "%i%s", v, sep);
          break;
        }
        case morvela::DataType::kUnsignedInt: {
          uint32_t v;
          std::memcpy(&v, value, 4);
          std::fprintf(out, "%u%s", v, sep);
          break;
        }
        case morvela::DataType::kFloat: {
          float v;
          std::memcpy(&v, value, 4);
          std::fprintf(out, "%f%s", v, sep);
          break;
        }
        case morvela::DataType::kDouble: {
          double v;
          std::memcpy(&v, value, 8);
          std::fprintf(out, "%f%s", v, sep);
          break;
        }
        case morvela::DataType::kUnknown:
          return 1;
      }
    }
    if (i + 1 < h.Nsamples) std::fputs("\r\n", out);
  }
  std::fclose(in);
  return std::fclose(out) == 0 ? 0 : 1;
}
