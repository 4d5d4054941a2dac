#include "recorder/recorder_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/test_util.h"

namespace morvela {
namespace {

using testing::Padded;

using namespace std::string_literals;

// A header written out byte by byte: every field holds a value whose bytes
// differ, so that a field read at the wrong offset or in the wrong order
// shows.
std::string LiteralHeader() {
  std::string h = "KIV\0junk"s;              // 0: magic, 4 bytes free
  h += Padded("Block", 64);                  // 8: RecName
  h += "\x41\xd0\x8d\x56\x37\x50\x00\x00"s;  // 72: 1110792413.25
  h += Padded("Appl", 64);                   // 80: ApplName
  h += Padded("v9", 64);                     // 144: ApplVersion
  h += Padded("unsigned short", 16);         // 208: DataTypeName
  h += "\x00\x00\x00\x02"s;                  // 224: Ninputs 2
  h += "\x00\x01\x02\x03"s;                  // 228: Nsamples 66051
  h += "\x00\x00\x01\x00"s;                  // 232: Npretrigger 256
  h += "\x00\x00\x00\x08"s;                  // 236: DataTypeSize 8
  h += "\x00\x01\xe2\x40"s;                  // 240: SampleTime 123456
  h += "\xde\xad\xbe\xef"s;                  // 244: Reserved
  return h;
}

TEST(RecorderFileTest, DecodesEveryHeaderFieldFromItsStoredBytes) {
  std::string stored = LiteralHeader();
  ASSERT_EQ(stored.size(), kHeaderSize);
  RecorderHeader h;
  std::memcpy(&h, stored.data(), kHeaderSize);
  ASSERT_TRUE(HasRecorderMagic(h));
  DecodeHeader(&h);
  EXPECT_EQ(TextField(h.RecName), "Block");
  EXPECT_EQ(h.TriggerTime, 1110792413.25);
  EXPECT_EQ(TextField(h.ApplName), "Appl");
  EXPECT_EQ(TextField(h.ApplVersion), "v9");
  EXPECT_EQ(TextField(h.DataTypeName), "unsigned short");
  EXPECT_EQ(h.Ninputs, 2u);
  EXPECT_EQ(h.Nsamples, 66051u);
  EXPECT_EQ(h.Npretrigger, 256u);
  EXPECT_EQ(h.DataTypeSize, 8u);
  EXPECT_EQ(h.SampleTime, 123456u);
  EXPECT_EQ(std::string(h.Reserved, 4), "\xde\xad\xbe\xef"s);

  // 1.5 is stored as 3F F8 00 ...
  stored.replace(72, 8, "\x3f\xf8\0\0\0\0\0\0"s);
  std::memcpy(&h, stored.data(), kHeaderSize);
  DecodeHeader(&h);
  EXPECT_EQ(h.TriggerTime, 1.5);
}

TEST(RecorderFileTest, MagicIsKivAndNulOnly) {
  const std::string stored = LiteralHeader();
  auto accepted = [&](const std::string& magic) {
    std::string bytes = magic + stored.substr(magic.size());
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

TEST(RecorderFileTest, InputDescriptorsAndTextFields) {
  std::string stored = Padded("U1", 64) + Padded("V", 32) +
                       std::string(64, 'n') + std::string(32, 'u');
  InputDescriptor d[2];
  std::memcpy(d, stored.data(), sizeof d);
  EXPECT_EQ(TextField(d[0].Name), "U1");
  EXPECT_EQ(TextField(d[0].Unit), "V");
  // A field without a NUL ends at its width, not in the next field.
  EXPECT_EQ(TextField(d[1].Name), std::string(64, 'n'));
  EXPECT_EQ(TextField(d[1].Unit), std::string(32, 'u'));
  EXPECT_EQ(TextField("a\0b", 3), "a");
}

TEST(RecorderFileTest, BigEndianLoadsAndTypeNames) {
  const unsigned char b[8] = {0xc0, 0x24, 0, 0, 0, 0, 0, 0x01};
  EXPECT_EQ(LoadBigEndian(b, 3), 0xc02400u);
  EXPECT_EQ(LoadBigEndian(b + 5, 3), 1u);
  EXPECT_EQ(LoadBigEndian(b, 0), 0u);
  EXPECT_EQ(LoadBigEndian<int16_t>(b), -16348);
  EXPECT_EQ(LoadBigEndian<uint16_t>(b), 0xc024u);
  EXPECT_EQ(LoadBigEndian<uint32_t>(b + 4), 1u);
  const unsigned char minus_ten[8] = {0xc0, 0x24, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(LoadBigEndian<double>(minus_ten), -10.0);
  const unsigned char one_and_a_half[4] = {0x3f, 0xc0, 0, 0};
  EXPECT_EQ(LoadBigEndian<float>(one_and_a_half), 1.5f);
  EXPECT_EQ(FindDataType("unsigned short"), DataType::kUnsignedShort);
  EXPECT_EQ(FindDataType("double"), DataType::kDouble);
  EXPECT_EQ(FindDataType("Double"), DataType::kUnknown);
  EXPECT_EQ(FindDataType("short "), DataType::kUnknown);
  EXPECT_EQ(FindDataType(""), DataType::kUnknown);
}

}  // namespace
}  // namespace morvela
