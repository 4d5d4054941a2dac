// Micro benchmarks of the number formatting against snprintf.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "convert/time_offset.h"
#include "format/number_format.h"

namespace {

std::vector<double> WideDoubles() {
  // Uniform in magnitude from 1e-12 to 1e15, both signs.
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> exponent(-12, 15);
  std::vector<double> v(4096);
  for (double& x : v) x = std::pow(10.0, exponent(rng)) * (rng() % 2 ? 1 : -1);
  return v;
}

std::vector<double> SampleDoubles() {
  // What a recorder stores: a signal of +-10 units with full precision.
  std::mt19937_64 rng(2);
  std::uniform_real_distribution<double> value(-10, 10);
  std::vector<double> v(4096);
  for (double& x : v) x = value(rng);
  return v;
}

void BM_FormatFixed6(benchmark::State& state, std::vector<double> (*make)()) {
  std::vector<double> values = make();
  char buffer[morvela::kMaxFixedChars];
  size_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    char* end =
        morvela::FormatFixedDecimals<6>(values[i++ & 4095], false, buffer);
    benchmark::DoNotOptimize(end);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Snprintf6(benchmark::State& state, std::vector<double> (*make)()) {
  std::vector<double> values = make();
  char buffer[512];
  size_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    int n = std::snprintf(buffer, sizeof buffer, "%f", values[i++ & 4095]);
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FormatOffset9(benchmark::State& state) {
  char buffer[morvela::kMaxFixedChars];
  int64_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    double offset = static_cast<double>((i++ & 0xfffff) - 100000) * 100 * 1e-6;
    benchmark::DoNotOptimize(
        morvela::FormatFixedDecimals<9>(offset, true, buffer));
  }
  state.SetItemsProcessed(state.iterations());
}

// The converter's offsets: integer arithmetic for offsets up to 10^6 s.
void BM_FormatTimeOffset(benchmark::State& state) {
  char buffer[morvela::kMaxFixedChars];
  const morvela::TimeOffsetFormatter offsets(100000, 100);
  uint64_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    benchmark::DoNotOptimize(offsets.Format(i++ & 0xfffff, buffer));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_FormatFloat6(benchmark::State& state) {
  std::vector<double> values = SampleDoubles();
  char buffer[morvela::kMaxFixedChars];
  size_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    benchmark::DoNotOptimize(morvela::FormatFloatFixed6(
        static_cast<float>(values[i++ & 4095]), buffer));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_SnprintfOffset9(benchmark::State& state) {
  char buffer[512];
  int64_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    double offset = static_cast<double>((i++ & 0xfffff) - 100000) * 100 * 1e-6;
    benchmark::DoNotOptimize(
        std::snprintf(buffer, sizeof buffer, "%+9.9f", offset));
  }
  state.SetItemsProcessed(state.iterations());
}

std::vector<int> ShortValues() {
  std::mt19937 rng(3);
  std::vector<int> values(4096);
  for (int& v : values) v = static_cast<int16_t>(rng());
  return values;
}

void BM_FormatSigned(benchmark::State& state) {
  char buffer[32];
  std::vector<int> values = ShortValues();
  size_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    benchmark::DoNotOptimize(morvela::FormatSigned(values[i++ & 4095], buffer));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SnprintfSigned(benchmark::State& state) {
  char buffer[32];
  std::vector<int> values = ShortValues();
  size_t i = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
    benchmark::DoNotOptimize(
        std::snprintf(buffer, sizeof buffer, "%i", values[i++ & 4095]));
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(BM_FormatFixed6, wide, WideDoubles);
BENCHMARK_CAPTURE(BM_Snprintf6, wide, WideDoubles);
BENCHMARK_CAPTURE(BM_FormatFixed6, samples, SampleDoubles);
BENCHMARK_CAPTURE(BM_Snprintf6, samples, SampleDoubles);
BENCHMARK(BM_FormatFloat6);
BENCHMARK(BM_FormatOffset9);
BENCHMARK(BM_FormatTimeOffset);
BENCHMARK(BM_SnprintfOffset9);
BENCHMARK(BM_FormatSigned);
BENCHMARK(BM_SnprintfSigned);

}  // namespace

BENCHMARK_MAIN();
