#include "app/run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/memory_streams.h"
#include "tests/test_util.h"
#include "tools/recorder_writer.h"

namespace morvela {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

std::string Recording(uint32_t samples) {
  RecordingSpec spec;
  spec.nsamples = samples;
  spec.npretrigger = 1;
  spec.inputs = {{"U1", "V"}, {"I1", "A"}};
  return EncodeRecording(spec, std::vector<double>(2 * samples, -123));
}

// Runs in a fresh scratch directory, which is the working directory.
class RunTest : public testing::ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    setenv("TZ", "UTC", 1);
    old_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_);
    ScratchDirTest::TearDown();
  }

  ConvertResult Run(std::vector<const char*> args) {
    args.insert(args.begin(), "Morvela");
    StringSink sink;
    TextStream console(&sink, LineEnds::kAsWritten);
    ConvertResult r =
        RunMorvela(static_cast<int>(args.size()), args.data(), console);
    console_ = sink.text();
    return r;
  }

  fs::path old_;
  std::string console_;
};

TEST(DeriveReportPathTest, CutsAtTheFirstDot) {
  EXPECT_EQ(DeriveReportPath("rec.dat"), "rec.txt");
  EXPECT_EQ(DeriveReportPath("rec.v2.dat"), "rec.txt");
  EXPECT_EQ(DeriveReportPath("run.01/rec.dat"), "run.txt");
  EXPECT_EQ(DeriveReportPath("data.v2/rec.dat"), "data.txt");
  EXPECT_EQ(DeriveReportPath("./rec.dat"), ".txt");
  EXPECT_EQ(DeriveReportPath("../data/rec.dat"), ".txt");
  EXPECT_EQ(DeriveReportPath("recording"), "recording.txt");
  std::string long_name(300, 'a');
  EXPECT_EQ(DeriveReportPath(long_name + ".dat"), long_name + ".txt");
}

TEST_F(RunTest, SuccessfulRun) {
  // An existing report is replaced; a name without a dot gets ".txt".
  WriteFile("plain", Recording(1));
  WriteFile("plain.txt", std::string(100000, 'x'));
  EXPECT_EQ(Run({"plain"}), Success);
  EXPECT_TRUE(ReadFile("plain.txt").ends_with("\r\n-0.000100000;-123;-123"));

  // The whole argument is used, however long.
  fs::path deep = std::string(200, 'd');
  fs::create_directories(deep / std::string(200, 'e'));
  std::string input = (deep / std::string(200, 'e') / "rec.dat").string();
  WriteFile(input, Recording(1));
  EXPECT_EQ(Run({input.c_str()}), Success);
  EXPECT_TRUE(
      fs::exists(deep.string() + "/" + std::string(200, 'e') + "/rec.txt"));
}

// A header refused (too short, or without the magic) is said before any
// report is opened: a mistyped name never creates, empties or changes one.
TEST_F(RunTest, RefusedHeaderLeavesTheReportAlone) {
  const std::string file = Recording(3);
  std::string no_magic = file;
  no_magic[0] = 'k';
  const struct {
    const char* name;
    std::string data;
    ConvertResult result;
    const char* text;
  } kCases[] = {
      {"empty.md", "", InputReadError, "Input file read error"},
      {"short.md", file.substr(0, kHeaderSize - 1), InputReadError,
       "Input file read error"},
      {"notes.md", std::string(kHeaderSize, '#'), NotRecorderFile,
       "Input file is not a transient recorder file"},
      {"bad.md", no_magic, NotRecorderFile,
       "Input file is not a transient recorder file"},
  };
  for (const auto& c : kCases) {
    const std::string report = DeriveReportPath(c.name);
    WriteFile(c.name, c.data);
    for (bool exists : {false, true}) {
      if (exists) WriteFile(report, "the user's own\n");
      EXPECT_EQ(Run({c.name}), c.result) << c.name;
      EXPECT_EQ(console_, std::string("\nMorvela 1.0.1.0\n") + c.text + "\n\n");
      EXPECT_EQ(fs::exists(report), exists) << c.name;
      if (exists) {
        EXPECT_EQ(ReadFile(report), "the user's own\n") << c.name;
      }
    }
    fs::remove(report);
  }
  // Just long enough: a header alone is accepted, and the missing input
  // table fails later, leaving the report written so far.
  WriteFile("header.md", file.substr(0, kHeaderSize));
  WriteFile("header.txt", "the user's own\n");
  EXPECT_EQ(Run({"header.md"}), InputReadError);
  EXPECT_TRUE(ReadFile("header.txt").starts_with("Morvela 1.0.1.0\r\n"));
  EXPECT_NE(console_.find("Block name:"), std::string::npos);
}

// What each run returns and says on the console: `said` is the whole
// console, or its end where it begins with "...".
TEST_F(RunTest, ResultsAndWhatTheConsoleSays) {
  const std::string kUsage =
      "\nMorvela 1.0.1.0\n\nQuenda Falvik data converter utility\n"
      "Translates binary save files (.dat) to readable text files (.txt)\n"
      "\nUsage: Morvela INPUTFILE\n";
  const std::string kSelf = "\nMorvela 1.0.1.0\n\nOutput file ";
  RecordingSpec word;
  word.data_type_name = "word";
  word.nsamples = 1;
  word.inputs = {{"a", "b"}};
  WriteFile("word.dat", EncodeRecording(word, {1}));
  WriteFile("--help", Recording(1));
  fs::create_directory("folder.dat");
  WriteFile("out.dat", Recording(3));
  fs::create_directory("out.txt");
  // An input that is its own report: by name, by a link, by a hard link;
  // and a file that is no recording, with its own report's name.
  WriteFile("rec.txt", Recording(3));
  WriteFile("sym.dat", Recording(3));
  fs::create_symlink("sym.dat", "sym.txt");
  WriteFile("hard.dat", Recording(3));
  fs::create_hard_link("hard.dat", "hard.txt");
  WriteFile("notes.txt", "the user's own\n");
  const struct {
    std::vector<const char*> args;
    ConvertResult result;
    std::string said;
  } kCases[] = {
      {{}, UsageError, kUsage},
      {{"a.dat", "b.dat"}, UsageError, kUsage},
      {{"--help", "rec.dat"}, UsageError, kUsage},
      // Alone, --help and --version succeed, as GNU tools do; a recording
      // of such a name converts under another spelling.
      {{"--help"}, Success, kUsage},
      {{"--version"}, Success, "Morvela 1.0.1.0\n"},
      {{"./--help"}, Success, "...Successfully converted         .txt\n\n"},
      {{"-h"}, InputReadError, "...Error: 0x2: No such file or directory "},
      {{"missing.dat"},
       InputReadError,
       "\nMorvela 1.0.1.0\n\nInput file missing.dat not accessible!\n"
       "Error: 0x2: No such file or directory "},
      {{"folder.dat"}, InputReadError, "...Error: 0x15: Is a directory "},
      {{"out.dat"},
       OutputWriteError,
       kSelf + "out.txt not accessible!\nError: 0x15: Is a directory "},
      {{"word.dat"}, UnknownDataType, "...\n\nUnknown data type\n\n"},
      {{"rec.txt"}, OutputWriteError, kSelf + "rec.txt is the input file!\n"},
      {{"sym.dat"}, OutputWriteError, kSelf + "sym.txt is the input file!\n"},
      {{"hard.dat"}, OutputWriteError, kSelf + "hard.txt is the input file!\n"},
      {{"notes.txt"},
       OutputWriteError,
       kSelf + "notes.txt is the input file!\n"},
  };
  for (const auto& c : kCases) {
    const std::string name = c.args.empty() ? "" : c.args[0];
    EXPECT_EQ(Run(c.args), c.result) << name;
    if (c.said.starts_with("...")) {
      EXPECT_TRUE(console_.ends_with(c.said.substr(3))) << name << console_;
    } else {
      EXPECT_EQ(console_, c.said) << name;
    }
  }
  for (const char* made : {"missing.txt", "folder.txt", "a.txt", "b.txt"}) {
    EXPECT_FALSE(fs::exists(made)) << made;
  }
  // Inputs are never written to; a later failure leaves the report
  // written so far.
  EXPECT_EQ(ReadFile("rec.txt"), Recording(3));
  EXPECT_EQ(ReadFile("sym.dat"), Recording(3));
  EXPECT_EQ(ReadFile("hard.dat"), Recording(3));
  EXPECT_EQ(ReadFile("notes.txt"), "the user's own\n");
  EXPECT_TRUE(ReadFile("word.txt").find(";word;2\r\n") != std::string::npos);
}

}  // namespace
}  // namespace morvela
