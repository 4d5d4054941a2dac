// morvela-synth: writes a synthetic transient recorder file.

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "stream/file.h"
#include "tools/recorder_writer.h"
#include "tools/synth_signal.h"
#include "version.h"

namespace {

constexpr char kHelp[] =
    "Usage: morvela-synth [OPTION]... OUTPUT.dat\n"
    "Write a synthetic transient recorder file for Morvela.\n"
    "\n"
    "Input j carries a sine of (j + 1) periods per 1000 samples plus seeded\n"
    "noise, scaled to the data type's range (+-10 for float and double). The\n"
    "same options always give the same file.\n"
    "\n"
    "Options:\n"
    "  -t, --type NAME        data type: char, unsigned char, short,\n"
    "                         unsigned short, int, unsigned int, float, "
    "double\n"
    "                         (default: short)\n"
    "  -i, --inputs N         number of inputs (default: 4)\n"
    "  -n, --samples N        samples per input (default: 1000)\n"
    "  -p, --pretrigger N     samples before the trigger (default: 100)\n"
    "  -s, --interval US      sampling interval in microseconds (default: "
    "100)\n"
    "      --size BYTES       bytes per stored value, 1 to 64; at least the\n"
    "                         type's for float and double (default: the "
    "type's)\n"
    "      --noise FRACTION   noise amplitude relative to the sine (default: "
    "0.05)\n"
    "      --seed N           noise seed (default: 1)\n"
    "      --scale FACTOR     multiplies float and double values (default: 1)\n"
    "      --trigger-time S   trigger instant, seconds since 1970-01-01 UTC\n"
    "                         (default: 1700000000.25)\n"
    "      --name TEXT        block name (default: Synthetic)\n"
    "  -h, --help             show this help and exit\n"
    "\n"
    "Exit status: 0 on success, 1 on a write error, 2 on a usage error.\n";

// The widest field: wider ones only pad each value further.
constexpr uint32_t kMaxSize = 64;

int UsageError(const char* message, const char* detail) {
  std::fprintf(stderr, "morvela-synth: %s%s\nTry 'morvela-synth --help'.\n",
               message, detail);
  return 2;
}

template <typename T>
bool ParseNumber(const char* text, T* value) {
  std::string_view s(text);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *value);
  return ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

int main(int argc, char** argv) {
  morvela::RecordingSpec spec;
  spec.rec_name = "Synthetic";
  spec.appl_name = "morvela-synth";
  spec.appl_version = MORVELA_VERSION;
  spec.trigger_time = 1700000000.25;
  spec.nsamples = 1000;
  spec.npretrigger = 100;
  spec.sample_time = 100;
  uint32_t inputs = 4;
  double noise = 0.05;
  double scale = 1;
  uint64_t seed = 1;
  bool size_given = false;
  const char* output = nullptr;

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      if (i + 1 >= argc) return UsageError("missing value for ", argv[i]);
      const char* value = argv[++i];
      bool ok = true;
      if (arg == "-t" || arg == "--type") {
        spec.data_type_name = value;
      } else if (arg == "-i" || arg == "--inputs") {
        ok = ParseNumber(value, &inputs);
      } else if (arg == "-n" || arg == "--samples") {
        ok = ParseNumber(value, &spec.nsamples);
      } else if (arg == "-p" || arg == "--pretrigger") {
        ok = ParseNumber(value, &spec.npretrigger);
      } else if (arg == "-s" || arg == "--interval") {
        ok = ParseNumber(value, &spec.sample_time);
      } else if (arg == "--size") {
        ok = ParseNumber(value, &spec.data_type_size);
        size_given = true;
      } else if (arg == "--noise") {
        ok = ParseNumber(value, &noise) && std::isfinite(noise) && noise >= 0;
      } else if (arg == "--scale") {
        ok = ParseNumber(value, &scale) && std::isfinite(scale);
      } else if (arg == "--seed") {
        ok = ParseNumber(value, &seed);
      } else if (arg == "--trigger-time") {
        ok = ParseNumber(value, &spec.trigger_time);
      } else if (arg == "--name") {
        spec.rec_name = value;
      } else {
        return UsageError("unknown option ", argv[i - 1]);
      }
      if (!ok) return UsageError("invalid value for ", argv[i - 1]);
    } else if (output == nullptr) {
      output = argv[i];
    } else {
      return UsageError("more than one output file: ", argv[i]);
    }
  }
  if (output == nullptr) return UsageError("no output file given", "");
  morvela::DataType type = morvela::FindDataType(spec.data_type_name);
  if (type == morvela::DataType::kUnknown) {
    return UsageError("unknown data type ", spec.data_type_name.c_str());
  }
  const morvela::DataTypeInfo& info = morvela::InfoOf(type);
  if (!size_given) spec.data_type_size = info.width;
  // A field of 0 bytes never arrives, a narrow float cannot be decoded, and
  // a wider field only pads each value.
  if (spec.data_type_size == 0 || spec.data_type_size > kMaxSize ||
      (info.is_floating && spec.data_type_size < info.width)) {
    return UsageError("a size this type cannot be stored in: ",
                      std::to_string(spec.data_type_size).c_str());
  }
  for (uint32_t j = 0; j < inputs; ++j) {
    spec.inputs.push_back({"Input" + std::to_string(j),
                           j % 2 == 0 ? std::string("V") : std::string("A")});
  }

  morvela::File file(
      ::open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file.is_open()) {
    std::fprintf(stderr, "morvela-synth: cannot open %s: %s\n", output,
                 std::strerror(errno));
    return 1;
  }
  morvela::FdSink sink(file.fd());
  morvela::RecordingWriter writer(&sink);
  writer.Begin(spec);
  morvela::SynthSignal signal(type, noise, seed, scale);
  for (uint32_t i = 0; i < spec.nsamples; ++i) {
    for (uint32_t j = 0; j < inputs; ++j) {
      writer.AppendValue(type, spec.data_type_size, signal.Next(i, j));
    }
  }
  if (!writer.Flush() || !file.Close()) {
    std::fprintf(stderr, "morvela-synth: cannot write %s\n", output);
    return 1;
  }
  return 0;
}
