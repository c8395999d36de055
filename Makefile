# Two entry points for a fresh machine: `make demo` and `make test`.
# Both install what is missing (Debian packages, a project virtual environment),
# build incrementally, and are cheap to run a second time.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
ASAN_BUILD := build-asan
JOBS ?= $(shell nproc)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
APT_PACKAGES := libpugixml-dev libgtest-dev libfcl-dev libassimp-dev
CMAKE = $(VENV)/bin/cmake
CMAKE_FLAGS = -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

.PHONY: all demo test test-cpp test-python test-asan test-tsan test-fuzz build build-asan system-deps bench bench-peers clean
.PHONY: wheel

all: build

system-deps:
	@missing=""; \
	for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.stamp: pyproject.toml requirements-dev.txt
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

$(BUILD)/build.ninja: | system-deps $(VENV)/.stamp
	$(CMAKE) -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=ON -DVELMORA_BENCHMARKS=ON

build: system-deps $(VENV)/.stamp $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)

$(ASAN_BUILD)/build.ninja: | system-deps $(VENV)/.stamp
	$(CMAKE) -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON -DVELMORA_TESTS=ON

build-asan: system-deps $(VENV)/.stamp $(ASAN_BUILD)/build.ninja
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)

test-cpp: build
	$(BUILD)/velmora_core_tests --gtest_brief=1

# The Python suite includes the packaging checks: the wheel installed into a fresh virtual
# environment, the stubs against the module (stubtest), mypy --strict on the README and tools/.
test-python: build wheel
	PYTHONPATH=$(BUILD)/python VELMORA_WHEEL=$(abspath $(WHEEL_DIR))/$$(cat $(WHEEL_STAMP)) \
	  $(VPY) -m pytest -q tests/python

# A binary wheel for this Python in dist/: built by pip through scikit-build-core (incrementally,
# in build/<wheel tag>), then `auditwheel repair` copies in any shared library outside the
# manylinux policy and tags it manylinux for this machine's glibc. Rebuilt only when a source
# file changed; the stamp holds the wheel's file name.
WHEEL_DIR := dist
WHEEL_STAMP := $(WHEEL_DIR)/.stamp
WHEEL_SOURCES := CMakeLists.txt pyproject.toml README.md $(shell find core python tools cmake -type f \
  -not -path '*/__pycache__/*' 2>/dev/null)

$(WHEEL_STAMP): $(WHEEL_SOURCES) | system-deps $(VENV)/.stamp
	rm -rf $(BUILD)/wheel-raw
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w $(BUILD)/wheel-raw .
	mkdir -p $(WHEEL_DIR) && rm -f $(WHEEL_DIR)/velmora-*.whl
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair -w $(WHEEL_DIR) $(BUILD)/wheel-raw/velmora-*.whl
	cd $(WHEEL_DIR) && ls velmora-*.whl > .stamp
	@echo "Wheel: $(WHEEL_DIR)/$$(cat $@)"

wheel: $(WHEEL_STAMP)

# The whole Python suite against the sanitizer build of the module. The interpreter
# itself is not instrumented, so the ASan runtime is preloaded; leak detection is off
# because the interpreter keeps its own allocations alive at exit.
test-asan: build-asan
	$(ASAN_BUILD)/velmora_core_tests --gtest_brief=1
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	VELMORA_UNDER_ASAN=1 PYTHONPATH=$(ASAN_BUILD)/python $(VPY) -m pytest -q -x -p no:cacheprovider tests/python

# The thread pool and the batch functions under ThreadSanitizer, kept cheap: a build of
# the core, the module and the C++ batch tests only (build-tsan), then those tests and the
# Python batch and pickle tests. As for ASan, the interpreter is not instrumented, so the
# runtime is preloaded; die_after_fork=0 lets the forked-child test start the child's pool,
# and tests/tsan.supp names the one report that comes from Python's own detached threads.
# Needs g++'s TSan runtime (libtsan2, installed with g++ on Debian); skipped without it.
TSAN_BUILD := build-tsan

test-tsan: system-deps $(VENV)/.stamp
	@if [ ! -e "$$(g++ -print-file-name=libtsan.so)" ]; then echo "No ThreadSanitizer runtime: test-tsan skipped"; exit 0; fi; \
	set -e; \
	test -f $(TSAN_BUILD)/build.ninja || $(CMAKE) -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELMORA_TSAN=ON -DVELMORA_TESTS=ON; \
	$(CMAKE) --build $(TSAN_BUILD) --target velmora_batch_tests velmora -j $(JOBS); \
	export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:suppressions=$(abspath tests/tsan.supp); \
	$(TSAN_BUILD)/velmora_batch_tests --gtest_brief=1; \
	LD_PRELOAD="$$(g++ -print-file-name=libtsan.so)" PYTHONPATH=$(TSAN_BUILD)/python \
	  $(VPY) -m pytest -q -s -p no:cacheprovider tests/python/test_batch.py tests/python/test_batch_simd.py tests/python/test_pickle.py

# Fuzzes the URDF loader with libFuzzer for a bounded time (FUZZ_SECONDS), under
# AddressSanitizer and UndefinedBehaviorSanitizer. Seeds: the robots of tests/robots and
# the small malformed documents of fuzz/corpus; inputs that once failed (fuzz/regressions)
# are replayed first. A crash, a hang, a leak or an inconsistent model fails the target
# and leaves the input in build-fuzz/artifacts/.
FUZZ_BUILD := build-fuzz
FUZZ_APT_PACKAGES := clang-14 libclang-rt-14-dev
FUZZ_SECONDS ?= 60

$(FUZZ_BUILD)/build.ninja: | system-deps $(VENV)/.stamp
	@missing=""; \
	for p in $(FUZZ_APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	$(CMAKE) -S . -B $(FUZZ_BUILD) $(CMAKE_FLAGS) -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON

test-fuzz: $(FUZZ_BUILD)/build.ninja
	$(CMAKE) --build $(FUZZ_BUILD) --target fuzz_urdf -j $(JOBS)
	rm -rf $(FUZZ_BUILD)/seeds && mkdir -p $(FUZZ_BUILD)/seeds $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	for d in tests/robots/*/; do cp $$d/robot.urdf $(FUZZ_BUILD)/seeds/$$(basename $$d).urdf; done
	cp fuzz/corpus/* $(FUZZ_BUILD)/seeds/
	if ls fuzz/regressions/* >/dev/null 2>&1; then $(FUZZ_BUILD)/fuzz_urdf fuzz/regressions/*; fi
	$(FUZZ_BUILD)/fuzz_urdf -max_total_time=$(FUZZ_SECONDS) -timeout=10 -dict=fuzz/urdf.dict \
	  -artifact_prefix=$(FUZZ_BUILD)/artifacts/ -print_final_stats=1 $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds

test: test-cpp test-python test-asan test-tsan test-fuzz

# What velmora does, shown on the bundled sample arm through the `velmora` command (the same
# tool `pip install .` puts on PATH): the model as tables, the world placement of every frame,
# gravity torques and the mass matrix, joint positions that put the tool at a pose, the cost
# of each call, and a picture of the arm.
demo: build
	@mkdir -p $(BUILD)/demo
	@set -e; velmora="env PYTHONPATH=$(BUILD)/python:tools $(VPY) -m velmora_tools"; \
	q=-0.4,0.6,1.1,0.3,0.9,0.2,0.03; \
	echo "\$$ velmora info"; $$velmora info; echo; \
	echo "\$$ velmora fk --q $$q"; $$velmora fk --q $$q; echo; \
	echo "\$$ velmora dynamics --q $$q"; $$velmora dynamics --q $$q; echo; \
	echo "\$$ velmora ik --frame tcp_link --target 0.35,-0.2,0.6 --rpy 3.1416,0,0"; \
	$$velmora ik --frame tcp_link --target 0.35,-0.2,0.6 --rpy 3.1416,0,0; echo; \
	echo "\$$ velmora bench"; $$velmora bench; echo; \
	echo "\$$ velmora plot --q $$q -o $(BUILD)/demo/sample_arm.png"; \
	$$velmora plot --q $$q -o $(BUILD)/demo/sample_arm.png; echo; \
	echo "Any URDF works the same way, for example:"; \
	echo "  velmora dynamics tests/robots/kuka_iiwa/robot.urdf --package-dir tests/robots/kuka_iiwa"; \
	echo "See velmora --help (here: $$velmora --help)."

# Our own figures, each as ratios measured side by side in one run.
bench: build
	PYTHONPATH=$(BUILD)/python $(VPY) benchmarks/bench_kinematics.py
	PYTHONPATH=$(BUILD)/python $(VPY) benchmarks/bench_dynamics.py
	PYTHONPATH=$(BUILD)/python $(VPY) benchmarks/bench_urdf_load.py
	$(BUILD)/bench_dynamics_core
	PYTHONPATH=$(BUILD)/python $(VPY) benchmarks/bench_urdf_scaling.py

# Velmora against MuJoCo, pybullet and DART on the robots of tests/robots: agreement
# first, then per-call times. The engines go into the project environment only.
bench-peers: build
	$(VPY) -c "import mujoco, pybullet, dartpy" >/dev/null 2>&1 || $(VPY) -m pip install -q -r benchmarks/requirements-peers.txt
	@# KDL's Python module comes from Debian; the comparison goes on without it when it cannot be installed.
	dpkg -s python3-pykdl >/dev/null 2>&1 || $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-pykdl || true
	PYTHONPATH=$(BUILD)/python $(VPY) benchmarks/peers.py

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) build-fuzz $(WHEEL_DIR)
