#include "recorder/recorder_file.h"

#include <unistd.h>

#include <cstring>
#include <iterator>

namespace morvela {

namespace {

// Replaces a field's stored big-endian bytes by its host value.
template <typename T>
void DecodeField(T* field) {
  unsigned char stored[sizeof(T)];
  std::memcpy(stored, field, sizeof stored);
  *field = LoadBigEndian<T>(stored);
}

}  // namespace

bool HasRecorderMagic(const RecorderHeader& header) {
  return std::memcmp(header.Magic, kRecorderMagic, sizeof kRecorderMagic) == 0;
}

void DecodeHeader(RecorderHeader* header) {
  DecodeField(&header->TriggerTime);
  DecodeField(&header->Ninputs);
  DecodeField(&header->Nsamples);
  DecodeField(&header->Npretrigger);
  DecodeField(&header->DataTypeSize);
  DecodeField(&header->SampleTime);
}

bool InputTableFits(uint32_t ninputs) {
  const uint64_t bytes = uint64_t{ninputs} * kInputDescriptorSize;
  // A table of up to 1 MiB fits any machine this runs on: the system is
  // asked only for larger ones (a hundred thousand recordings open faster).
  if (bytes <= (uint64_t{1} << 20)) return true;
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
  for (size_t i = 0; i < std::size(kDataTypes); ++i) {
    if (kDataTypes[i].name == name) return static_cast<DataType>(i);
  }
  return DataType::kUnknown;
}

}  // namespace morvela
