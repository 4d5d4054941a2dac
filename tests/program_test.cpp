// Whole-program runs of the built Morvela and morvela-synth binaries.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
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
// stands on the console before the report is opened, not after.
TEST_F(ProgramTest, BannerComesBeforeTheReportIsOpened) {
  ASSERT_EQ(Synth("-n 30 -i 2 rec.dat").status, 0);
  ASSERT_EQ(mkfifo((dir_ / "rec.txt").c_str(), 0600), 0);
  int console[2];
  ASSERT_EQ(pipe(console), 0);
  pid_t child = fork();
  if (child == 0) {
    if (chdir(dir_.c_str()) != 0) _exit(100);
    dup2(console[1], 1);
    close(console[0]);
    execl(MORVELA_BINARY, MORVELA_BINARY, "rec.dat", nullptr);
    _exit(101);
  }
  close(console[1]);
  pollfd ready{console[0], POLLIN, 0};
  std::string seen;
  while (seen.size() < 17 && poll(&ready, 1, 10000) == 1) {
    char buffer[64];
    ssize_t n = read(console[0], buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(seen, "\nMorvela 1.0.1.0\n");
  // Now the reader comes, and the run ends as any other.
  std::string report = ReadFile(dir_ / "rec.txt");
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(console[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(report.starts_with("Morvela 1.0.1.0\r\n"));
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
  const std::string a = (dir_ / "a").string(), b = (dir_ / "b").string();
  fs::create_directories(a);
  fs::create_directories(b);
  // Unmounted however the test ends.
  struct Mounts {
    std::string a, b;
    ~Mounts() { Shell("umount '" + a + "' '" + b + "' 2>/dev/null"); }
  } mounts{a, b};
  if (Shell("mount -t tmpfs -o size=1m tmpfs '" + a +
            "' 2>/dev/null && mount -t tmpfs -o size=1m tmpfs '" + b +
            "' 2>/dev/null")
          .status != 0) {
    GTEST_SKIP() << "tmpfs cannot be mounted here";
  }
  // In b the report comes first, so that it takes the inode number the
  // recording takes in a; the input is a link from b into a.
  ASSERT_EQ(Shell("touch '" + b + "/link.txt'").status, 0);
  ASSERT_EQ(Synth("-n 5 -i 2 a/rec.dat").status, 0);
  fs::create_symlink(dir_ / "a" / "rec.dat", dir_ / "b" / "link.dat");
  struct stat input {
  }, report{};
  ASSERT_EQ(stat((a + "/rec.dat").c_str(), &input), 0);
  ASSERT_EQ(stat((b + "/link.txt").c_str(), &report), 0);
  if (input.st_ino != report.st_ino || input.st_dev == report.st_dev) {
    GTEST_SKIP() << "the two mounts numbered their files differently";
  }
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
