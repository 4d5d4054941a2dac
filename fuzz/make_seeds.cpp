// Writes the seed corpora: recordings of every type with edge counts for
// the conversion fuzzer, and edge doubles for the formatter fuzzer.
//
//   make_seeds CONVERT_DIR FORMAT_DIR

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "tools/recorder_writer.h"

namespace {

void Save(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_seeds CONVERT_DIR FORMAT_DIR\n");
    return 2;
  }
  const std::string convert_dir = argv[1];
  const std::string format_dir = argv[2];
  int n = 0;
  for (const morvela::DataTypeInfo& info : morvela::kDataTypes) {
    for (uint32_t size :
         {info.width, info.width + 1, info.width > 1 ? info.width - 1 : 0u}) {
      for (uint32_t inputs : {0u, 1u, 3u}) {
        morvela::RecordingSpec spec;
        spec.data_type_name = std::string(info.name);
        spec.data_type_size = size;
        spec.nsamples = 4;
        spec.npretrigger = 2;
        spec.trigger_time = 1110792413.25;
        for (uint32_t j = 0; j < inputs; ++j) {
          spec.inputs.push_back({"In" + std::to_string(j), "V"});
        }
        std::vector<double> values;
        for (uint32_t i = 0; i < spec.nsamples * inputs; ++i) {
          values.push_back(i % 2 ? -1.5 * i : 1e10 * i);
        }
        Save(convert_dir + "/seed" + std::to_string(n++) + ".dat",
             morvela::EncodeRecording(spec, values));
      }
    }
  }
  morvela::RecordingSpec odd;
  odd.data_type_name = "word";
  odd.nsamples = 2;
  odd.inputs = {{"a\nb", "c;d"}};
  Save(convert_dir + "/unknown.dat", morvela::EncodeRecording(odd, {1, 2}));

  const double doubles[] = {0.0,
                            -0.0,
                            0.0078125,
                            1000000000000000.25,
                            9.9999995,
                            -1e-7,
                            1e-10,
                            1.2e-10,
                            8589934591.5,
                            8388607.999999999,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::infinity(),
                            std::nan("")};
  n = 0;
  for (double d : doubles) {
    std::string bytes(8, '\0');
    std::memcpy(bytes.data(), &d, 8);
    Save(format_dir + "/seed" + std::to_string(n++), bytes);
  }
  return 0;
}
