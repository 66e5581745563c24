# The two commands of the README:
#   make demo   build, start the sandbox, and run the client inside it
#   make test   install what is missing, build, run every test
# The rest are steps of those two, the sanitizer and fuzz builds, and the
# clang-format check.

BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
CTEST_ARGS ?=
FUZZ_SECONDS ?= 60

ifdef CI
CMAKE_ARGS += -DVELTRA_WERROR=ON
endif

.PHONY: all demo test setup build bench package-check test-asan test-tsan fuzz format format-check clean

all: build

setup:
	bash scripts/setup

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The sandbox makes network namespaces, so it runs as root; the client inside
# it keeps the caller's display.
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo --preserve-env=DISPLAY,XAUTHORITY,WAYLAND_DISPLAY,XDG_RUNTIME_DIR)

demo: setup build
	$(SUDO) scripts/demo $(BUILD)

test: setup build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# Benchmarks (bench/): build them, run every one in a sandbox of its own and
# write bench/RESULTS.md. As root, like demo; holds the OpenVPN lock while it runs.
bench: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target bench_programs
	$(SUDO) bench/run $(BUILD)

# The .deb as a Debian 12 machine gets it: lintian, an install into a fresh
# bookworm root, the files there, a purge. As root; needs the archive.
package-check: setup $(BUILD)/build.ninja
	$(SUDO) scripts/package-check $(BUILD)

# Sanitizer builds run the unit and integration suites.
test-asan: setup
	ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" $(MAKE) test BUILD=build-asan BUILD_TYPE=Debug \
	  CMAKE_ARGS="$(CMAKE_ARGS) -DVELTRA_ASAN=ON" CTEST_ARGS="-L 'unit|integration'"

test-tsan: setup
	TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" $(MAKE) test BUILD=build-tsan BUILD_TYPE=Debug \
	  CMAKE_ARGS="$(CMAKE_ARGS) -DVELTRA_TSAN=ON" CTEST_ARGS="-L 'unit|integration'"

# Fuzzing: clang build in build-fuzz; each target runs $(FUZZ_SECONDS) seconds
# on a copy of its committed corpus (new inputs stay out of the source tree).
fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELTRA_FUZZ=ON -DVELTRA_TESTS=OFF $(CMAKE_ARGS)
	cmake --build build-fuzz -j $(JOBS) --target fuzz_targets
	set -e; mkdir -p build-fuzz/corpus build-fuzz/artifacts; \
	for t in fuzz_key_scanner fuzz_server_list fuzz_public_ip fuzz_server_ports fuzz_dns_options fuzz_helper_request; do \
	  rm -rf build-fuzz/corpus/$$t; cp -r fuzz/corpus/$$t build-fuzz/corpus/$$t; \
	  build-fuzz/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/artifacts/$$t- build-fuzz/corpus/$$t; \
	done

# clang-format over every tracked C++ file: format-check lists the files
# that differ from .clang-format, format rewrites them.
format-check:
	scripts/check-format

format:
	scripts/check-format --fix

clean:
	rm -rf build build-asan build-tsan build-fuzz
