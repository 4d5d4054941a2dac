// The transient recorder's save file: a 248-byte header, an input table of
// `Ninputs` 96-byte entries and a sample block of `Nsamples` rows of
// `Ninputs` values of `DataTypeSize` bytes, back to back from offset 0.
// Every number is stored big-endian; text fields end at their first NUL or at
// the end of the field, whichever comes first. See doc/recorder-format.md.

#ifndef MORVELA_RECORDER_RECORDER_FILE_H_
#define MORVELA_RECORDER_RECORDER_FILE_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace morvela {

inline constexpr size_t kHeaderSize = 248;
inline constexpr size_t kInputDescriptorSize = 96;

// The header exactly as stored. After `DecodeHeader` the numbers hold host
// values; the text fields are never changed.
struct RecorderHeader {
  char Magic[8];
  char RecName[64];
  double TriggerTime;
  char ApplName[64];
  char ApplVersion[64];
  char DataTypeName[16];
  uint32_t Ninputs;
  uint32_t Nsamples;
  uint32_t Npretrigger;
  uint32_t DataTypeSize;
  uint32_t SampleTime;
  char Reserved[4];
};

// One entry of the input table, exactly as stored.
struct InputDescriptor {
  char Name[64];
  char Unit[32];
};

static_assert(sizeof(RecorderHeader) == kHeaderSize);
static_assert(offsetof(RecorderHeader, RecName) == 8);
static_assert(offsetof(RecorderHeader, TriggerTime) == 72);
static_assert(offsetof(RecorderHeader, ApplName) == 80);
static_assert(offsetof(RecorderHeader, ApplVersion) == 144);
static_assert(offsetof(RecorderHeader, DataTypeName) == 208);
static_assert(offsetof(RecorderHeader, Ninputs) == 224);
static_assert(offsetof(RecorderHeader, Nsamples) == 228);
static_assert(offsetof(RecorderHeader, Npretrigger) == 232);
static_assert(offsetof(RecorderHeader, DataTypeSize) == 236);
static_assert(offsetof(RecorderHeader, SampleTime) == 240);
static_assert(offsetof(RecorderHeader, Reserved) == 244);
static_assert(sizeof(InputDescriptor) == kInputDescriptorSize);
static_assert(offsetof(InputDescriptor, Unit) == 64);
static_assert(sizeof(double) == 8 && sizeof(float) == 4);

// Reads `n` (at most 8) bytes at `p` as a big-endian unsigned number: the
// one way every stored number is decoded, on any host.
inline uint64_t LoadBigEndian(const unsigned char* p, uint32_t n) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// The value of type T (an integer, float or double) stored big-endian in
// the sizeof(T) bytes at `p`.
template <typename T>
T LoadBigEndian(const unsigned char* p) {
  static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 ||
                sizeof(T) == 8);
  using Bits = std::conditional_t<
      sizeof(T) == 1, uint8_t,
      std::conditional_t<
          sizeof(T) == 2, uint16_t,
          std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
  return std::bit_cast<T>(static_cast<Bits>(LoadBigEndian(p, sizeof(T))));
}

// The first four bytes of every recording, the NUL included.
inline constexpr char kRecorderMagic[4] = {'K', 'I', 'V', '\0'};

// True when the first four bytes are 'K', 'I', 'V', NUL. Bytes 4 to 7 are not
// examined.
bool HasRecorderMagic(const RecorderHeader& header);

// Converts the header's trigger time and five counts from big-endian to host
// order in place; the text fields are left as stored.
void DecodeHeader(RecorderHeader* header);

// The samples after the trigger, Nsamples - Npretrigger in unsigned 32-bit
// arithmetic: 4294967294 for 3 samples of which 5 lie before the trigger.
inline uint32_t PostTriggerSamples(const RecorderHeader& header) {
  return header.Nsamples - header.Npretrigger;
}

// False when an input table of `ninputs` entries is larger than the
// machine's memory: such storage cannot be had, even where the kernel would
// promise it to an allocation.
bool InputTableFits(uint32_t ninputs);

// A text field up to its first NUL, or the whole field when it holds none.
std::string_view TextField(const char* field, size_t width);
template <size_t N>
std::string_view TextField(const char (&field)[N]) {
  return TextField(field, N);
}

// The sample data types. `DataTypeName` is matched as a whole, case-sensitive
// string.
enum class DataType {
  kChar,
  kUnsignedChar,
  kShort,
  kUnsignedShort,
  kInt,
  kUnsignedInt,
  kFloat,
  kDouble,
  kUnknown,
};

struct DataTypeInfo {
  std::string_view name;
  uint32_t width;  // bytes the value is read from
  bool is_signed;
  bool is_floating;
};

// The eight known types, in the order of `DataType`.
// clang-format off
inline constexpr DataTypeInfo kDataTypes[8] = {
    {"char", 1, true, false},
    {"unsigned char", 1, false, false},
    {"short", 2, true, false},
    {"unsigned short", 2, false, false},
    {"int", 4, true, false},
    {"unsigned int", 4, false, false},
    {"float", 4, true, true},
    {"double", 8, true, true},
};
// clang-format on

// The type named `name`, or kUnknown.
DataType FindDataType(std::string_view name);

// The table entry of a known type.
constexpr const DataTypeInfo& InfoOf(DataType type) {
  return kDataTypes[static_cast<int>(type)];
}

}  // namespace morvela

#endif  // MORVELA_RECORDER_RECORDER_FILE_H_
