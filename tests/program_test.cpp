// Whole-program runs of the built Morvela and morvela-synth binaries.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

struct Output {
  int status;  // the exit status as a shell sees it
  std::string text;
};

Output Shell(const std::string& command) {
  Output out{-1, ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
    out.text.append(buffer, n);
  int status = pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

class ProgramTest : public morvela::testing::ScratchDirTest {
 protected:
};

// The run as a shell sees it (the results themselves are the run's and the
// package's tests). Each row is a shell command run in a folder that holds
// rec.dat (30 rows of 2 inputs); $M is Morvela, in UTC, and $S the
// synthesizer. `printed` is the end of what the command prints.
TEST_F(ProgramTest, RunsAsAShellSeesThem) {
  // Started with standard descriptors closed, the run must not take them
  // for its files: the console text would end up in the report. The run
  // date (line 2) may differ by a second.
  auto closed = [](const std::string& redirections) {
    return "$M rec.dat >/dev/null && mv rec.txt ref.txt && $M rec.dat " +
           redirections +
           "; echo $?; sed 2d rec.txt >a; sed 2d ref.txt >b; cmp -s a b &&"
           " echo same";
  };
  const struct {
    std::string command;
    std::string printed;
  } kCases[] = {
      {"$M >/dev/null; echo $?", "253\n"},
      {"$M missing.dat >/dev/null; echo $?", "255\n"},
      {"$M --help >/dev/null; echo $?", "0\n"},
      {"$M --help >/dev/full; echo $?; $M --version >/dev/full; echo $?",
       "254\n254\n"},
      {"$M rec.dat; echo $?", "Successfully converted         rec.txt\n\n0\n"},
      // A report that fits the buffer fails at its last flush.
      {"ln -s /dev/full full.txt && cp rec.dat full.dat && $M full.dat"
       " >/dev/null; echo $?",
       "254\n"},
      // A closed console is no reason to fail or to die.
      {"{ $M rec.dat; echo $? >status; } | head -c 1 >/dev/null; cat status",
       "0\n"},
      // A FIFO as the report blocks the run until a reader comes: the
      // banner stands on the console before the report is opened. (A
      // banner held back never comes, and the read gives up after 60 s.)
      {"mkfifo fifo.txt && cp rec.dat fifo.dat && { $M fifo.dat;"
       " echo $? >status; } | { timeout 60 head -c 17; cat fifo.txt >report;"
       " cat >/dev/null; }; cat status; head -c 17 report",
       "\nMorvela 1.0.1.0\n0\nMorvela 1.0.1.0\r\n"},
      {closed("<&- >&- 2>&-"), "0\nsame\n"},
      {closed("<&- >&-"), "0\nsame\n"},
      {closed(">&- 2>&-"), "0\nsame\n"},
      // Under a file-size limit the write fails and the run says so,
      // instead of dying from SIGXFSZ with half a report.
      {"$S -n 100000 -i 4 big.dat && ulimit -f 600 && $M big.dat; echo $?;"
       " [ -s big.txt ] && [ $(wc -c <big.txt) -le 614400 ] && echo bounded",
       "\nOutput file write error\n\n254\nbounded\n"},
  };
  for (const auto& c : kCases) {
    const Output out =
        Shell("cd '" + dir_.string() +
              "' && M='env TZ=UTC " MORVELA_BINARY
              "' && S=" MORVELA_SYNTH_BINARY " && $S -n 30 -i 2 rec.dat && " +
              c.command);
    EXPECT_TRUE(out.text.ends_with(c.printed)) << c.command << "\n" << out.text;
  }
}

// The report is the input only when both device and inode agree: two fresh
// tmpfs mounts number their files alike, so a report on one may carry the
// input's inode number on the other. Needs the right to mount (root).
TEST_F(ProgramTest, SameInodeOnAnotherDeviceIsAnotherFile) {
  // Unmounted however the test ends.
  struct Mounts {
    std::string dir;
    ~Mounts() { Shell("cd '" + dir + "' && umount a b 2>/dev/null"); }
  } mounts{dir_.string()};
  // In b the report comes first, so that it takes the inode number the
  // recording takes in a; the input is a link from b into a.
  const int status =
      Shell("cd '" + dir_.string() +
            "' && mkdir a b && mount -t tmpfs -o size=1m tmpfs a 2>/dev/null"
            " && mount -t tmpfs -o size=1m tmpfs b 2>/dev/null || exit 10;"
            " touch b/link.txt && " MORVELA_SYNTH_BINARY
            " -n 5 -i 2 a/rec.dat && ln -s \"$PWD/a/rec.dat\" b/link.dat"
            " || exit 1; [ $(stat -c %i a/rec.dat) = $(stat -c %i b/link.txt) ]"
            " || exit 11")
          .status;
  if (status == 10) GTEST_SKIP() << "tmpfs cannot be mounted here";
  if (status == 11) GTEST_SKIP() << "the mounts numbered their files apart";
  ASSERT_EQ(status, 0);
  Output out =
      Shell("cd '" + dir_.string() + "' && " MORVELA_BINARY " b/link.dat");
  EXPECT_EQ(out.status, 0) << out.text;
  EXPECT_GT(fs::file_size(dir_ / "b" / "link.txt"), 0u);
}

}  // namespace
