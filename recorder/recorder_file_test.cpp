#include "recorder/recorder_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace morvela {
namespace {

using namespace std::string_literals;

// Every field's decoding is checked through the package
// (python/tests/test_read.py) and the converter's worked example, both from
// bytes written by hand; here, which magic is accepted.
TEST(RecorderFileTest, MagicIsKivAndNulOnly) {
  auto accepted = [](const std::string& magic) {
    std::string bytes = magic + std::string(kHeaderSize - magic.size(), '\1');
    RecorderHeader h;
    std::memcpy(&h, bytes.data(), sizeof h);
    return HasRecorderMagic(h);
  };
  EXPECT_TRUE(accepted("KIV\0"s));
  EXPECT_TRUE(accepted("KIV\0\xff\xff\xff\xff"s));
  for (const std::string& magic : {"KIVX"s, "kiv\0"s, "KI\0\0"s, "\0IV\0"s}) {
    EXPECT_FALSE(accepted(magic)) << magic;
  }
}

}  // namespace
}  // namespace morvela
