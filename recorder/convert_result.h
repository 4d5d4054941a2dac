#ifndef MORVELA_RECORDER_CONVERT_RESULT_H_
#define MORVELA_RECORDER_CONVERT_RESULT_H_

#include <string_view>

namespace morvela {

// The result of every conversion step and of every read of a recording, and
// the program's exit status. A shell sees the low eight bits: -1 as 255, -2
// as 254 and so on.
enum ConvertResult : int {
  Success = 0,
  InputReadError = -1,
  OutputWriteError = -2,
  UsageError = -3,
  UnknownDataType = -4,
  MemoryAllocationError = -5,
  NotRecorderFile = -6,
};

// The verdict the program prints for a result: "Successfully converted"
// padded to the summary's column for Success, nothing for UsageError (the
// usage text stands instead).
constexpr std::string_view ResultText(ConvertResult result) {
  switch (result) {
    case Success:
      return "Successfully converted         ";
    case InputReadError:
      return "Input file read error";
    case OutputWriteError:
      return "Output file write error";
    case UsageError:
      break;
    case UnknownDataType:
      return "Unknown data type";
    case MemoryAllocationError:
      return "Memory allocation error";
    case NotRecorderFile:
      return "Input file is not a transient recorder file";
  }
  return "";
}

}  // namespace morvela

#endif  // MORVELA_RECORDER_CONVERT_RESULT_H_
