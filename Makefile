# Every target does its own set-up: Debian packages when missing, a virtual
# environment with the pinned Python requirements, then the build.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
APT_PACKAGES := g++ make libroaring-dev libgtest-dev libbenchmark-dev
JOBS ?= 2

.PHONY: all setup apt venv build demo test native-test py-test asan bench bench-native bench-objects clean

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

# Per-object cost: memory, creation, reads and writes against plain objects; index memory against SQLite.
# PEOPLE sets the size of the index-memory comparison (default 1,000,000).
PEOPLE ?= 1000000
bench-objects: build
	$(PY) bench/objects_bench.py --people $(PEOPLE)

# Native micro-benchmarks of the core structures.
bench-native: setup
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Release -DVOSTREL_BUILD_MODULE=OFF -DVOSTREL_BUILD_BENCH=ON >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS)
	for b in build/bench/*_bench; do $$b --benchmark_min_time=0.2; done

clean:
	rm -rf build
