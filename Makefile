# Every target does its own set-up: Debian packages when missing, a virtual
# environment with the pinned Python requirements, then the build.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
APT_PACKAGES := g++ make libroaring-dev libgtest-dev libbenchmark-dev
JOBS ?= 2

.PHONY: all setup apt venv build demo test native-test py-test asan bench bench-native clean

all: test

apt:
	@missing=""; for pkg in $(APT_PACKAGES); do \
	  dpkg -s $$pkg >/dev/null 2>&1 || missing="$$missing $$pkg"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && $$SUDO apt-get install -y -qq $$missing; \
	fi

$(VENV)/.requirements: requirements-dev.txt
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.requirements

setup: apt venv

# The module, built and installed into the virtual environment (incremental).
build: setup
	$(PY) -m pip install -q --no-build-isolation .

demo: build
	$(PY) examples/demo.py

native-test: setup
	$(CMAKE) -S . -B build/native -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSTREL_BUILD_MODULE=OFF -DVOSTREL_BUILD_TESTS=ON >/dev/null
	$(CMAKE) --build build/native -j $(JOBS)
	cd build/native && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

py-test: build
	$(PY) -m pytest -q tests/python

test: native-test py-test

# The module and the Python tests under AddressSanitizer + UndefinedBehaviorSanitizer.
# The uninstrumented interpreter loads the instrumented module with the sanitizer
# runtimes preloaded; leaks of the interpreter's own start-up are suppressed.
asan: setup
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DVOSTREL_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build build/asan -j $(JOBS) --target Vostrel
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  PYTHONMALLOC=malloc PYTHONPATH=build/asan \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:fast_unwind_on_malloc=0:malloc_context_size=10 \
	  LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python

# Query benchmark against list comprehensions, pandas and SQLite.
bench: build
	$(PY) bench/query_bench.py

# Native micro-benchmarks of the core structures.
bench-native: setup
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Release -DVOSTREL_BUILD_MODULE=OFF -DVOSTREL_BUILD_BENCH=ON >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS)
	for b in build/bench/*_bench; do $$b --benchmark_min_time=0.2; done

clean:
	rm -rf build

# ---- Threaded stress and its sanitizer runs: never part of `make test` ----
# make stress [STRESS_ARGS="--seconds 20 --seeds 4"]: 8 threads, then 16 threads over a small pool of shared objects.
# make stress-asan: the same with the AddressSanitizer + UndefinedBehaviorSanitizer build of the module.
# make tsan: a ThreadSanitizer build, its self-test, a short stress, then a failure on any report with a frame in
# Vostrel (reports wholly inside the interpreter are listed, not failed on). Logs: build/tsan/log/report.<pid>.
STRESS_ARGS ?=
TSAN_STRESS_ARGS ?= --seconds 20 --threads 4 --hang-seconds 10
ASAN_STRESS_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
  PYTHONMALLOC=malloc PYTHONPATH=build/asan ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TSAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" PYTHONPATH=build/tsan \
  TSAN_OPTIONS="suppressions=$(abspath tests/tsan.supp):log_path=$(abspath $(1))/report:exitcode=0:halt_on_error=0:second_deadlock_stack=1:history_size=3"

.PHONY: stress stress-asan asan-module tsan tsan-module tsan-selftest

stress: build
	status=0; \
	$(PY) tests/stress/stress.py $(STRESS_ARGS) || status=1; \
	$(PY) tests/stress/stress.py --small-pool $(STRESS_ARGS) || status=1; \
	exit $$status

asan-module: setup
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DVOSTREL_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build build/asan -j $(JOBS) --target Vostrel

stress-asan: asan-module
	status=0; \
	$(ASAN_STRESS_ENV) $(PY) tests/stress/stress.py $(STRESS_ARGS) || status=1; \
	$(ASAN_STRESS_ENV) $(PY) tests/stress/stress.py --small-pool $(STRESS_ARGS) || status=1; \
	exit $$status

tsan-module: setup
	$(CMAKE) -S . -B build/tsan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSTREL_TSAN=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build build/tsan -j $(JOBS) --target Vostrel

# Proves the set-up before trusting a clean report: a race and an inversion must be seen, locked writes must not.
tsan-selftest: tsan-module
	g++ -std=c++20 -O1 -g -fPIC -shared -fsanitize=thread tests/stress/tsan_selftest.cpp -o build/tsan/tsan_selftest.so
	rm -rf build/tsan/selftest && mkdir -p build/tsan/selftest
	$(call TSAN_ENV,build/tsan/selftest) $(PY) tests/stress/tsan_selftest.py build/tsan/tsan_selftest.so
	$(PY) tests/stress/tsan_reports.py selftest build/tsan/selftest/report

tsan: tsan-selftest
	rm -rf build/tsan/log && mkdir -p build/tsan/log
	status=0; \
	$(call TSAN_ENV,build/tsan/log) $(PY) tests/stress/stress.py $(TSAN_STRESS_ARGS) || status=1; \
	$(PY) tests/stress/tsan_reports.py check build/tsan/log/report || status=1; \
	exit $$status
