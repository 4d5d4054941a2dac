// Scaffolding shared by the tests: files, a scratch directory, a sink that
// fails on cue.

#ifndef MORVELA_TESTS_TEST_UTIL_H_
#define MORVELA_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "stream/sink.h"

namespace morvela::testing {

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::filesystem::path& path,
                      const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// A fresh directory per test, removed afterwards.
class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("morvela-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
};

// Accepts `budget` bytes, then refuses every write.
class BudgetSink : public Sink {
 public:
  explicit BudgetSink(size_t budget) : budget_(budget) {}
  bool Write(const char* data, size_t size) override {
    if (size > budget_) return false;
    budget_ -= size;
    text_.append(data, size);
    return true;
  }
  const std::string& text() const { return text_; }

 private:
  size_t budget_;
  std::string text_;
};

// Whether `text` holds `part`; a failure shows both.
inline ::testing::AssertionResult Holds(const std::string& text,
                                        const std::string& part) {
  if (text.find(part) != std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "'" << part << "' not in '" << text << "'";
}

// `text` followed by NULs up to `width` bytes: a text field as stored.
inline std::string Padded(std::string text, size_t width) {
  text.resize(width, '\0');
  return text;
}

}  // namespace morvela::testing

#endif  // MORVELA_TESTS_TEST_UTIL_H_
