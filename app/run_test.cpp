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

TEST_F(RunTest, UsageTextForAnyOtherArgumentCount) {
  const char kUsage[] =
      "\nMorvela 1.0.1.0\n\nQuenda Falvik data converter utility\n"
      "Translates binary save files (.dat) to readable text files (.txt)\n"
      "\nUsage: Morvela INPUTFILE\n";
  for (auto args : {std::vector<const char*>{},
                    {"a.dat", "b.dat"},
                    {"--help", "rec.dat"}}) {
    EXPECT_EQ(Run(args), UsageError);
    EXPECT_EQ(console_, kUsage);
  }
  EXPECT_TRUE(fs::is_empty(dir_));
  // Alone, --help and --version succeed, as GNU tools do.
  EXPECT_EQ(Run({"--help"}), Success);
  EXPECT_EQ(console_, kUsage);
  EXPECT_EQ(Run({"--version"}), Success);
  EXPECT_EQ(console_, "Morvela 1.0.1.0\n");
  EXPECT_TRUE(fs::is_empty(dir_));
  // A recording of such a name converts under another spelling.
  WriteFile("--help", Recording(1));
  EXPECT_EQ(Run({"./--help"}), Success);
  EXPECT_TRUE(console_.ends_with("Successfully converted         .txt\n\n"));
  EXPECT_EQ(Run({"-h"}), InputReadError);
}

TEST_F(RunTest, SuccessfulRun) {
  WriteFile("rec.dat", Recording(3));
  EXPECT_EQ(Run({"rec.dat"}), Success);
  EXPECT_TRUE(console_.starts_with("\nMorvela 1.0.1.0\nBlock name:"));
  EXPECT_TRUE(console_.ends_with(
      "Data type size [Bytes]:        2\n\nSuccessfully converted         "
      "rec.txt\n\n"));
  std::string report = ReadFile("rec.txt");
  EXPECT_TRUE(report.starts_with("Morvela 1.0.1.0\r\nRun date and file: "));
  EXPECT_TRUE(report.ends_with("\r\n+0.000100000;-123;-123"));

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

TEST_F(RunTest, OpenFailures) {
  EXPECT_EQ(Run({"missing.dat"}), InputReadError);
  EXPECT_EQ(console_,
            "\nMorvela 1.0.1.0\n\nInput file missing.dat not accessible!\n"
            "Error: 0x2: No such file or directory ");
  EXPECT_FALSE(fs::exists("missing.txt"));

  fs::create_directory("folder.dat");
  EXPECT_EQ(Run({"folder.dat"}), InputReadError);
  EXPECT_TRUE(console_.ends_with("Error: 0x15: Is a directory "));
  EXPECT_FALSE(fs::exists("folder.txt"));

  WriteFile("rec.dat", Recording(3));
  fs::create_directory("rec.txt");
  EXPECT_EQ(Run({"rec.dat"}), OutputWriteError);
  EXPECT_EQ(console_,
            "\nMorvela 1.0.1.0\n\nOutput file rec.txt not accessible!\n"
            "Error: 0x15: Is a directory ");
}

TEST_F(RunTest, NeverOpensTheInputAsTheReport) {
  const std::string data = Recording(3);
  WriteFile("rec.txt", data);  // the report's own name
  WriteFile("sym.dat", data);
  fs::create_symlink("sym.dat", "sym.txt");  // the report links to the input
  WriteFile("hard.dat", data);
  fs::create_hard_link("hard.dat", "hard.txt");
  WriteFile("notes.txt",
            "the user's own\n");  // no recording, and its own report
  for (std::string input : {"rec.txt", "sym.dat", "hard.dat", "notes.txt"}) {
    const std::string before = ReadFile(input);
    std::string report = DeriveReportPath(input);
    EXPECT_EQ(Run({input.c_str()}), OutputWriteError) << input;
    EXPECT_EQ(console_, "\nMorvela 1.0.1.0\n\nOutput file " + report +
                            " is the input file!\n");
    EXPECT_EQ(ReadFile(input), before);
  }
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

TEST_F(RunTest, ResultMessages) {
  RecordingSpec spec;
  spec.data_type_name = "word";
  spec.nsamples = 1;
  spec.inputs = {{"a", "b"}};
  WriteFile("word.dat", EncodeRecording(spec, {1}));
  EXPECT_EQ(Run({"word.dat"}), UnknownDataType);
  EXPECT_TRUE(console_.ends_with("\n\nUnknown data type\n\n"));
  // A later failure leaves the report written so far.
  EXPECT_NE(ReadFile("word.txt").find(";word;2\r\n"), std::string::npos);
}

}  // namespace
}  // namespace morvela
