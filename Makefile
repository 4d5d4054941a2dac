# Thin targets over CMake. `make demo` and `make check` are the set-up commands.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build check demo bench clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	$(BUILD)/Morvela examples/demo.dat

# Throughput and micro benchmarks (Release). BENCH_RUNS sets the repetitions.
BENCH_RUNS ?= 5
bench:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DMORVELA_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	$(BUILD)/bench/morvela_format_bench --benchmark_min_time=0.2
	$(BUILD)/bench/morvela_throughput $(abspath $(BUILD))/Morvela \
	  $(abspath $(BUILD))/morvela-synth $(abspath $(BUILD))/bench/stdio_yardstick \
	  $(abspath $(BUILD))/bench-data $(BENCH_RUNS)

clean:
	rm -rf $(BUILD) build-*
