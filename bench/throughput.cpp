// make bench: converts synthetic recordings with Morvela, the stdio
// yardstick and, for the machine's write limit, dd, and prints the figures.
//
//   morvela_throughput MORVELA SYNTH YARDSTICK DIR [RUNS]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct Workload {
  const char* name;
  const char* type;
  int inputs;
  long samples;
  double max_dd_ratio;
  double min_speedup;
  const char* scale;  // morvela-synth's --scale: tiny magnitudes
  const char* like;   // a workload of typical values of the same shape
};

struct RunResult {
  double seconds;
  double cpu_seconds;  // user and system
  long peak_kib;
  int status;
};

// Runs `args` in `dir` with standard output discarded. Dirty pages of
// earlier runs are written back first, so that the kernel's write-back does
// not compete with the run being timed.
RunResult Run(const std::vector<std::string>& args, const std::string& dir) {
  sync();
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  auto to_seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) +
           static_cast<double>(tv.tv_usec) / 1e6;
  };
  return {seconds, to_seconds(usage.ru_utime) + to_seconds(usage.ru_stime),
          usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::string Join(const std::string& dir, const std::string& name) {
  std::string path = dir;
  path += '/';
  path += name;
  return path;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(
        stderr,
        "usage: morvela_throughput MORVELA SYNTH YARDSTICK DIR [RUNS]\n");
    return 2;
  }
  const std::string morvela = argv[1];
  const std::string synth = argv[2];
  const std::string yardstick = argv[3];
  const std::string dir = argv[4];
  const int runs = argc > 5 ? std::max(1, std::atoi(argv[5])) : 5;
  const Workload workloads[] = {
      {"short", "short", 16, 1000000, 2.5, 6, "1", nullptr},
      {"double", "double", 8, 500000, 4, 4, "1", nullptr},
      {"float", "float", 8, 1000000, 4, 4, "1", nullptr},
      {"short-4x", "short", 16, 4000000, 3, 6, "1", nullptr},
      // Values that round to zero must cost what typical values cost: at
      // most twice the time of the workload named last.
      {"subnormal", "double", 8, 500000, 5, 2, "1e-310", "double"},
      {"e-300", "double", 8, 500000, 5, 2, "1e-301", "double"},
      {"tiny-float", "float", 8, 1000000, 5, 2, "1e-40", "float"},
  };
  std::map<std::string, double> medians;
  mkdir(dir.c_str(), 0777);
  bool all_met = true;
  std::printf("%-9s %9s %9s %8s %8s %9s %8s %8s %6s %8s %7s %8s\n", "workload",
              "values", "report MB", "median s", "MB/s", "Mvalues/s",
              "peak MiB", "dd s", "x dd", "stdio s", "speedup", "cpu/wall");
  for (const Workload& w : workloads) {
    const std::string dat = std::string(w.name).append(".dat");
    const std::string txt = std::string(w.name).append(".txt");
    const std::string report = Join(dir, txt);
    const std::string dd_out = Join(dir, "dd.out");
    const std::string stdio_out = Join(dir, "stdio.txt");
    if (FileSize(Join(dir, dat)) < 0) {
      RunResult made =
          Run({synth, "-t", w.type, "-i", std::to_string(w.inputs), "-n",
               std::to_string(w.samples), "-p", std::to_string(w.samples / 10),
               "--scale", w.scale, dat},
              dir);
      if (made.status != 0) {
        std::fprintf(stderr, "morvela-synth failed for %s\n", w.name);
        return 1;
      }
    }
    // The report's size first, then Morvela and dd by turns, so that a
    // machine that speeds up or slows down weighs on both alike.
    unlink(report.c_str());
    if (Run({morvela, dat}, dir).status != 0) {
      std::fprintf(stderr, "Morvela failed for %s\n", w.name);
      return 1;
    }
    const long report_bytes = FileSize(report);
    std::vector<double> times;
    std::vector<double> cpu_ratios;
    std::vector<double> dd_times;
    long peak = 0;
    for (int r = 0; r < runs; ++r) {
      unlink(report.c_str());
      RunResult result = Run({morvela, dat}, dir);
      if (result.status != 0) {
        std::fprintf(stderr, "Morvela failed for %s\n", w.name);
        return 1;
      }
      times.push_back(result.seconds);
      cpu_ratios.push_back(result.cpu_seconds / result.seconds);
      peak = std::max(peak, result.peak_kib);
      unlink(dd_out.c_str());
      dd_times.push_back(
          Run({"dd", "if=/dev/zero", "of=dd.out", "bs=1M",
               std::string("count=").append(std::to_string(report_bytes)),
               "iflag=count_bytes"},
              dir)
              .seconds);
    }
    unlink(dd_out.c_str());
    std::vector<double> stdio_times;
    for (int r = 0; r < std::min(runs, 3); ++r) {
      unlink(stdio_out.c_str());
      stdio_times.push_back(Run({yardstick, dat, "stdio.txt"}, dir).seconds);
    }
    unlink(stdio_out.c_str());
    unlink(report.c_str());

    const double t = Median(times);
    const double dd = Median(dd_times);
    const double stdio = Median(stdio_times);
    const double values =
        static_cast<double>(w.inputs) * static_cast<double>(w.samples);
    const double mb = static_cast<double>(report_bytes) / 1e6;
    const double dd_ratio = t / dd;
    const double speedup = stdio / t;
    const double peak_mib = static_cast<double>(peak) / 1024.0;
    const double cpu_ratio = Median(cpu_ratios);
    std::printf(
        "%-9s %9.0f %9.1f %8.3f %8.0f %9.1f %8.2f %8.3f %6.2f %8.3f %7.1f "
        "%8.2f\n",
        w.name, values, mb, t, mb / t, values / t / 1e6, peak_mib, dd, dd_ratio,
        stdio, speedup, cpu_ratio);
    bool met = true;
    if (dd_ratio > w.max_dd_ratio) {
      std::printf("  target missed: x dd %.2f > %.1f\n", dd_ratio,
                  w.max_dd_ratio);
      met = false;
    }
    if (speedup < w.min_speedup) {
      std::printf("  target missed: speedup %.1f < %.0f\n", speedup,
                  w.min_speedup);
      met = false;
    }
    medians[w.name] = t;
    if (w.like != nullptr && medians.contains(w.like)) {
      const double ratio = t / medians[w.like];
      std::printf("  %.2f x the time of %s\n", ratio, w.like);
      if (ratio > 2) {
        std::printf("  target missed: %.2f x %s > 2\n", ratio, w.like);
        met = false;
      }
    }
    // One thread: the process never works longer than the wall clock runs.
    if (cpu_ratio > 1.05) {
      std::printf("  target missed: cpu/wall %.2f > 1.05\n", cpu_ratio);
      met = false;
    }
    if (peak_mib > 6) {
      std::printf("  target missed: peak %.2f MiB > 6 MiB\n", peak_mib);
      met = false;
    }
    all_met = all_met && met;
  }
  std::printf("%s\n", all_met ? "all throughput targets met"
                              : "some throughput targets missed");
  return 0;
}
