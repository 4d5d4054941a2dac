#include "recorder/recorder_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include "recorder/recorder_writer.h"

namespace morvela {
namespace {

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

}  // namespace
}  // namespace morvela
