// The program's run control: the command line, the naming of the report,
// opening both files, the converter's steps in order and the verdict.

#ifndef MORVELA_APP_RUN_H_
#define MORVELA_APP_RUN_H_

#include <string>
#include <string_view>

#include "recorder/convert_result.h"
#include "stream/text_stream.h"

namespace morvela {

// The report's path: the input path up to its first "." (directory parts
// included) followed by ".txt"; the whole path followed by ".txt" when it
// holds no ".". "rec.v2.dat" gives "rec.txt", "./rec.dat" gives ".txt".
std::string DeriveReportPath(std::string_view input_path);

// Opens /dev/null onto each of the standard descriptors 0 to 2 that is
// closed, so that no file the run opens takes the place of the console. To
// be called first, before anything else is opened.
void OpenClosedStandardDescriptors();

// Runs one conversion for the command line `argv` (argv[0] is the program)
// and returns the run's result, which is the exit status. Everything meant
// for the user goes to `console`, which is flushed before returning.
ConvertResult RunMorvela(int argc, const char* const* argv,
                         TextStream& console);

}  // namespace morvela

#endif  // MORVELA_APP_RUN_H_
