# Thin targets over CMake. `make demo` and `make check` are the set-up commands.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# The Python that makes the package's virtual environment: the first
# python3 on PATH.
PYTHON ?= python3
VENV = $(BUILD)/venv

.PHONY: all build check deps venv demo install package wheel deb-module bench \
  sanitize fuzz lint mutants mutants-cpp mutants-python clean

all: build

# Needs only CMake and a C++ compiler; the tests are built where GoogleTest
# is found.
build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The Debian packages that make check needs, where missing
# (tools/debian-packages.txt; apt-get as root or through sudo -n). Debian's
# python3 needs venv and its headers for the package's virtual environment.
SYSTEM_PYTHON = $(filter /usr/bin/% /bin/%,$(shell command -v $(PYTHON)))
deps:
	tools/debian-packages.sh check $(if $(SYSTEM_PYTHON),system-python)

# The whole suite: the Debian packages it lacks, the build with the tests,
# the Python package in its virtual environment, then every test.
check: deps
	cmake -S . -B $(BUILD) -DMORVELA_BUILD_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	$(MAKE) --no-print-directory venv
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The Python package, installed by pip with every extra into a virtual
# environment under the build folder, made from $(PYTHON). Reinstalled when
# a source it is built from changes. The build requirements are
# pyproject.toml's own, read with tomllib, or before Python 3.11 with the
# copy of tomli that pip carries.
PY_SOURCES = pyproject.toml CMakeLists.txt version.h.in python/CMakeLists.txt \
  $(wildcard python/morvela/*.py python/src/*.cpp recorder/*.h recorder/*.cpp \
    stream/*.h stream/*.cpp)
venv: $(VENV)/installed
$(VENV)/installed: $(PY_SOURCES)
	test -x $(VENV)/bin/python || $(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check \
	  $$($(VENV)/bin/python -c "import sys; from importlib import import_module; \
	    toml = import_module('tomllib' if sys.version_info >= (3, 11) else 'pip._vendor.tomli'); \
	    print(' '.join(toml.load(open('pyproject.toml', 'rb'))['build-system']['requires']))")
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check \
	  --no-build-isolation '.[xarray,parquet,hdf5,plot,test]'
	touch $@

demo: build
	$(BUILD)/Morvela examples/demo.dat

# Installs Morvela, morvela-synth, their man pages and the Python module
# for Debian's python3 under PREFIX. The module needs python3-dev and
# pybind11-dev: installed where missing, as make package does, or one line
# saying what to install.
PREFIX ?= /usr/local
install:
	tools/debian-packages.sh deb-python
	$(MAKE) --no-print-directory build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The wheel, installed into a clean virtual environment, reads the demo.
wheel:
	rm -rf $(BUILD)/wheel $(BUILD)/wheel-venv
	$(PYTHON) -m pip wheel -q --no-deps -w $(BUILD)/wheel .
	$(PYTHON) -m venv $(BUILD)/wheel-venv
	$(BUILD)/wheel-venv/bin/python -m pip install -q $(BUILD)/wheel/morvela-*.whl
	cd $(BUILD) && wheel-venv/bin/python -c "import morvela; \
	  values = morvela.open('$(abspath examples/demo.dat)').read(); \
	  assert values.shape == (600, 4) and values.dtype == 'int16', values; \
	  import importlib.resources as r; assert (r.files('morvela') / 'py.typed').is_file(); \
	  print('wheel', morvela.__version__, 'reads the demo:', values.shape)"

# The .deb's module for Debian's python3, and its smoke test.
deb-module:
	tools/debian-packages.sh deb-python
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -R python_debian_module

# A .deb and a .tar.gz in $(BUILD), with the Python module for Debian's
# python3.
package:
	tools/debian-packages.sh deb-python
	$(MAKE) --no-print-directory build
	cd $(BUILD) && cpack

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer. A
# failed allocation must stay the converter's -5, not a sanitizer abort.
sanitize: deps
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVELA_BUILD_TESTS=ON \
	  -DMORVELA_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build build-sanitize -j $(JOBS)
	cd build-sanitize && ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# clang-tidy and cppcheck over the project's code.
lint: build venv
	tools/debian-packages.sh lint bench
	VENV=$(VENV) tools/lint.sh

# libFuzzer targets under ASan and UBSan, FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
fuzz:
	tools/debian-packages.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DMORVELA_BUILD_FUZZ=ON -DMORVELA_BUILD_TESTS=OFF -DMORVELA_SANITIZE=address,undefined
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target convert_fuzzer format_fuzzer make_seeds
	mkdir -p $(FUZZ_BUILD)/corpus-convert $(FUZZ_BUILD)/corpus-format $(FUZZ_BUILD)/crashes
	$(FUZZ_BUILD)/fuzz/make_seeds $(FUZZ_BUILD)/corpus-convert $(FUZZ_BUILD)/corpus-format
	ASAN_OPTIONS=allocator_may_return_null=1 $(FUZZ_BUILD)/fuzz/convert_fuzzer \
	  -max_total_time=$(FUZZ_SECONDS) -dict=fuzz/recorder.dict -max_len=8192 \
	  -artifact_prefix=$(FUZZ_BUILD)/crashes/ -print_final_stats=1 \
	  $(FUZZ_BUILD)/corpus-convert fuzz/regressions
	$(FUZZ_BUILD)/fuzz/format_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=16 \
	  -artifact_prefix=$(FUZZ_BUILD)/crashes/ -print_final_stats=1 \
	  $(FUZZ_BUILD)/corpus-format

# Throughput and micro benchmarks (Release). BENCH_RUNS sets the repetitions.
BENCH_RUNS ?= 9
bench: venv
	tools/debian-packages.sh bench
	$(VENV)/bin/python -m pip install -q --disable-pip-version-check 'h5netcdf>=1.1'
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DMORVELA_BUILD_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	$(BUILD)/bench/morvela_format_bench --benchmark_min_time=0.2
	$(BUILD)/bench/morvela_throughput $(abspath $(BUILD))/Morvela \
	  $(abspath $(BUILD))/morvela-synth $(abspath $(BUILD))/bench/stdio_yardstick \
	  $(abspath $(BUILD))/bench-data $(BENCH_RUNS)
	$(VENV)/bin/python bench/python_bench.py $(abspath $(BUILD))/Morvela \
	  $(abspath $(BUILD))/morvela-synth $(abspath $(BUILD))/bench-data $(BENCH_RUNS)
	$(VENV)/bin/python bench/parquet_choices.py $(abspath $(BUILD))/morvela-synth \
	  $(abspath examples/demo.dat) $(abspath $(BUILD))/bench-data
	$(VENV)/bin/python bench/convert_bench.py $(abspath $(BUILD))/Morvela \
	  $(abspath $(BUILD))/morvela-synth $(abspath $(BUILD))/bench-data $(BENCH_RUNS)
	$(VENV)/bin/python bench/remote_bench.py $(abspath $(BUILD))/morvela-synth \
	  $(abspath $(BUILD))/bench-data $(BENCH_RUNS)

# Single-line faults put into a copy of the tree, one at a time: the suite
# must notice at least 90 % of them. The C++ from a hand list
# (tools/mutants.txt); the Python package from mutmut, its mutants that no
# test can tell from the code listed in tools/python_equivalent_mutants.txt.
# Not part of CI.
mutants: mutants-cpp mutants-python

mutants-cpp: venv
	$(VENV)/bin/python tools/mutants.py

mutants-python: venv
	$(VENV)/bin/python tools/python_mutants.py $(VENV)

clean:
	rm -rf $(BUILD) build-*
