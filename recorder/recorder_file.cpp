#include "recorder/recorder_file.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace morvela {

static_assert(std::endian::native == std::endian::little ||
                  std::endian::native == std::endian::big,
              "mixed-endian hosts are not supported");

void ReverseBytes(void* data, size_t count) {
  auto* bytes = static_cast<unsigned char*>(data);
  std::reverse(bytes, bytes + count);
}

void BigEndianToHost(void* data, size_t count) {
  if constexpr (std::endian::native == std::endian::little) {
    ReverseBytes(data, count);
  }
}

bool HasRecorderMagic(const RecorderHeader& header) {
  return std::memcmp(header.Magic, "KIV", 4) == 0;
}

void DecodeHeader(RecorderHeader* header) {
  BigEndianToHost(&header->TriggerTime, sizeof header->TriggerTime);
  BigEndianToHost(&header->Ninputs, sizeof header->Ninputs);
  BigEndianToHost(&header->Nsamples, sizeof header->Nsamples);
  BigEndianToHost(&header->Npretrigger, sizeof header->Npretrigger);
  BigEndianToHost(&header->DataTypeSize, sizeof header->DataTypeSize);
  BigEndianToHost(&header->SampleTime, sizeof header->SampleTime);
}

bool InputTableFits(uint32_t ninputs) {
  const uint64_t bytes = uint64_t{ninputs} * kInputDescriptorSize;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  return pages <= 0 || page_size <= 0 ||
         bytes / static_cast<uint64_t>(page_size) <=
             static_cast<uint64_t>(pages);
}

std::string_view TextField(const char* field, size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  size_t length = nul ? static_cast<const char*>(nul) - field : width;
  return std::string_view(field, length);
}

DataType FindDataType(std::string_view name) {
  for (const DataTypeInfo& info : kDataTypes) {
    if (info.name == name) return info.type;
  }
  return DataType::kUnknown;
}

}  // namespace morvela
