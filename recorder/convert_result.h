#ifndef MORVELA_RECORDER_CONVERT_RESULT_H_
#define MORVELA_RECORDER_CONVERT_RESULT_H_

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

}  // namespace morvela

#endif  // MORVELA_RECORDER_CONVERT_RESULT_H_
