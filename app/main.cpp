// Morvela: converts one transient recorder file to a text report.

#include <csignal>
#include <ctime>

#include "app/run.h"
#include "stream/file.h"

int main(int argc, char** argv) {
  morvela::OpenClosedStandardDescriptors();
  // A closed pipe or report, or a file-size limit, then fails a write
  // instead of ending the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  tzset();
  morvela::FdSink out(1);
  morvela::TextStream console(&out, morvela::LineEnds::kAsWritten,
                              size_t{16} * 1024);
  if (!console.ok()) return morvela::MemoryAllocationError;
  return morvela::RunMorvela(argc, argv, console);
}
