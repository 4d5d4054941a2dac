// Whole-program runs of the built Morvela and morvela-synth binaries.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using morvela::testing::ReadFile;

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
  Output Morvela(const std::string& args) {
    return Shell("cd '" + dir_.string() + "' && TZ=UTC " MORVELA_BINARY " " +
                 args);
  }
  Output Synth(const std::string& args) {
    return Shell("cd '" + dir_.string() + "' && " MORVELA_SYNTH_BINARY " " +
                 args + " 2>&1");
  }
};

// The run's results as a shell sees them (the results themselves are the
// run's and the package's tests), and the synthesizer that makes the
// recordings other tests use.
TEST_F(ProgramTest, ExitStatusesAsAShellSeesThem) {
  EXPECT_EQ(Morvela("").status, 253);
  EXPECT_EQ(Morvela("missing.dat").status, 255);
  EXPECT_EQ(Morvela("--help").status, 0);
  ASSERT_EQ(Synth("-n 3 -i 2 rec.dat").status, 0);
  Output ok = Morvela("rec.dat");
  EXPECT_EQ(ok.status, 0);
  EXPECT_TRUE(ok.text.ends_with("Successfully converted         rec.txt\n\n"));
  fs::create_symlink("/dev/full", dir_ / "full.txt");
  fs::copy_file(dir_ / "rec.dat", dir_ / "full.dat");
  EXPECT_EQ(Morvela("full.dat").status, 254);
  // A closed console is no reason to fail or to die.
  EXPECT_EQ(Shell("cd '" + dir_.string() +
                  "' && { " MORVELA_BINARY
                  " rec.dat; echo $? >status; } | head -c 1 >/dev/null;"
                  " cat status")
                .text,
            "0\n");
}

TEST_F(ProgramTest, SynthWritesEveryTypeAndMorvelaConvertsIt) {
  for (const char* type : {"char", "unsigned char", "short", "unsigned short",
                           "int", "unsigned int", "float", "double"}) {
    ASSERT_EQ(
        Synth(std::string("-t '") + type + "' -i 3 -n 50 -p 10 rec.dat").status,
        0)
        << type;
    ASSERT_EQ(Morvela("rec.dat").status, 0) << type;
    std::string report = ReadFile(dir_ / "rec.txt");
    EXPECT_NE(report.find(std::string(";") + type + ";"), std::string::npos);
    // 50 rows from 10 before the trigger, 100 us apart.
    EXPECT_NE(report.find("\r\n-0.001000000;"), std::string::npos) << type;
    EXPECT_TRUE(
        report.substr(report.rfind("\r\n")).starts_with("\r\n+0.003900000;"));
  }
  // The same options give the same file.
  ASSERT_EQ(Synth("-t float -n 100 a.dat").status, 0);
  ASSERT_EQ(Synth("-t float -n 100 b.dat").status, 0);
  EXPECT_EQ(ReadFile(dir_ / "a.dat"), ReadFile(dir_ / "b.dat"));
  EXPECT_EQ(fs::file_size(dir_ / "a.dat"), 248u + 4 * 96 + 100 * 4 * 4);
  // Nothing that cannot make a sensible recording: fields of 0 bytes never
  // arrive, a narrow float cannot be decoded, a huge field only pads.
  for (const char* options :
       {"-t word", "-n many", "--size 0", "--size 65", "--size 4294967295",
        "-t float --size 2", "--noise inf", "--noise nan", "--noise -1",
        "-t double --scale inf", "--scale nan"}) {
    Output refused = Synth(std::string(options) + " x.dat");
    EXPECT_EQ(refused.status, 2) << options;
    EXPECT_TRUE(refused.text.starts_with("morvela-synth: ")) << options;
  }
  EXPECT_FALSE(fs::exists(dir_ / "x.dat"));
  ASSERT_EQ(Synth("-i 1 -n 2 --size 64 wide.dat").status, 0);
  EXPECT_EQ(fs::file_size(dir_ / "wide.dat"), 248u + 96 + 2 * 64);
  Output help = Synth("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.text.starts_with("Usage: morvela-synth"));
}

// A FIFO as the report blocks the run until a reader comes: the banner
// stands on the console before the report is opened, not after. (The
// console is read before the report is: a banner held back until the
// report opens never comes, and the read gives up after 60 s. A banner in
// time ends the read at once.)
TEST_F(ProgramTest, BannerComesBeforeTheReportIsOpened) {
  ASSERT_EQ(Synth("-n 30 -i 2 rec.dat").status, 0);
  ASSERT_EQ(mkfifo((dir_ / "rec.txt").c_str(), 0600), 0);
  // Then the report is read, and the run ends as any other.
  EXPECT_EQ(Shell("cd '" + dir_.string() +
                  "' && { " MORVELA_BINARY
                  " rec.dat; echo $? >status; } | { timeout 60 head -c 17;"
                  " cat rec.txt >report; cat >/dev/null; }; cat status")
                .text,
            "\nMorvela 1.0.1.0\n0\n");
  EXPECT_TRUE(ReadFile(dir_ / "report").starts_with("Morvela 1.0.1.0\r\n"));
}

// Started with standard input and output closed, the run must not take
// them for its files: the console text would end up in the report.
TEST_F(ProgramTest, ClosedStandardDescriptorsAreNotTakenForFiles) {
  ASSERT_EQ(Synth("-n 30 -i 2 rec.dat").status, 0);
  ASSERT_EQ(Morvela("rec.dat").status, 0);
  std::string report = ReadFile(dir_ / "rec.txt");
  fs::remove(dir_ / "rec.txt");
  EXPECT_EQ(
      Shell("cd '" + dir_.string() +
            "' && TZ=UTC " MORVELA_BINARY " rec.dat <&- >&- 2>&-; echo $?")
          .text,
      "0\n");
  std::string closed = ReadFile(dir_ / "rec.txt");
  // The run date may differ by a second.
  auto body = [](const std::string& r) { return r.substr(r.find("\r\nRec")); };
  EXPECT_EQ(closed.size(), report.size());
  EXPECT_EQ(body(closed), body(report));
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
  Output out = Morvela("b/link.dat");
  EXPECT_EQ(out.status, 0) << out.text;
  EXPECT_GT(fs::file_size(dir_ / "b" / "link.txt"), 0u);
}

// Under a file-size limit the write fails and the run says so, instead of
// dying from SIGXFSZ with half a report.
TEST_F(ProgramTest, FileSizeLimitIsAWriteError) {
  ASSERT_EQ(Synth("-n 100000 -i 4 rec.dat").status, 0);
  Output out = Shell("cd '" + dir_.string() + "' && ulimit -f 600 && " +
                     MORVELA_BINARY + " rec.dat; echo status $?");
  EXPECT_TRUE(out.text.ends_with("\nOutput file write error\n\nstatus 254\n"))
      << out.text;
  auto size = fs::file_size(dir_ / "rec.txt");
  EXPECT_GT(size, 0u);
  EXPECT_LE(size, 600u * 1024);
}

}  // namespace
