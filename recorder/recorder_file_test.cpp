#include "recorder/recorder_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include "recorder/recorder_writer.h"

namespace morvela {
namespace {

TEST(RecorderFileTest, ReverseBytes) {
  unsigned char b[5] = {1, 2, 3, 4, 5};
  ReverseBytes(b, 5);
  EXPECT_EQ(std::memcmp(b, "\5\4\3\2\1", 5), 0);
  ReverseBytes(b, 1);
  ReverseBytes(b, 0);
  EXPECT_EQ(b[0], 5);
}

TEST(RecorderFileTest, DecodesBigEndianFields) {
  RecordingSpec spec;
  spec.trigger_time = 1.5;
  spec.nsamples = 3;
  spec.inputs.resize(2);
  std::string stored = EncodeHeader(MakeHeader(spec));
  ASSERT_EQ(stored.size(), kHeaderSize);
  EXPECT_EQ(stored.substr(72, 8), std::string("\x3f\xf8\0\0\0\0\0\0", 8));
  EXPECT_EQ(stored.substr(224, 4), std::string("\0\0\0\2", 4));
  EXPECT_EQ(stored.substr(228, 4), std::string("\0\0\0\3", 4));
  EXPECT_EQ(stored.substr(0, 4), std::string("KIV\0", 4));

  RecorderHeader h;
  std::memcpy(&h, stored.data(), kHeaderSize);
  DecodeHeader(&h);
  EXPECT_EQ(h.TriggerTime, 1.5);
  EXPECT_EQ(h.Ninputs, 2u);
  EXPECT_EQ(h.Nsamples, 3u);
  EXPECT_EQ(h.SampleTime, 100u);
}

TEST(RecorderFileTest, MagicIsKivAndNulOnly) {
  RecorderHeader h = MakeHeader(RecordingSpec{});
  std::memcpy(h.Magic + 4, "junk", 4);
  EXPECT_TRUE(HasRecorderMagic(h));
  std::memcpy(h.Magic, "KIVX", 4);
  EXPECT_FALSE(HasRecorderMagic(h));
  std::memcpy(h.Magic, "kiv\0", 4);
  EXPECT_FALSE(HasRecorderMagic(h));
}

TEST(RecorderFileTest, TextFieldsEndAtNulOrWidth) {
  char field[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(TextField(field), "abcd");
  field[2] = 0;
  EXPECT_EQ(TextField(field), "ab");
}

TEST(RecorderFileTest, DataTypeNamesMatchWholeAndCaseSensitive) {
  EXPECT_EQ(FindDataType("unsigned short"), DataType::kUnsignedShort);
  EXPECT_EQ(FindDataType("double"), DataType::kDouble);
  EXPECT_EQ(FindDataType("Short"), DataType::kUnknown);
  EXPECT_EQ(FindDataType("short "), DataType::kUnknown);
  EXPECT_EQ(FindDataType("unsigned"), DataType::kUnknown);
}

}  // namespace
}  // namespace morvela
