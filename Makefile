# Developer and CI entry points; each wraps a CMake preset (CMakePresets.json)
# so that a developer runs exactly what CI runs.
#
#   make deps       install missing build dependencies (Debian packages)
#   make test       build the debug configuration and run every test
#   make test-asan  the same suite under AddressSanitizer + UBSan
#   make test-tsan  the same suite under ThreadSanitizer
#   make stress     the stress tests at full size (millions of messages)
#   make bench      build optimised and run the benchmarks
#   make fuzz       run each fuzz target for 60 s (FUZZ_SECONDS=n to change)
#   make demo       build and run the example media process
#   make format / make tidy   clang-format / clang-tidy over the sources

SHELL := /bin/bash
PACKAGES := cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev
FUZZ_SECONDS ?= 60
SOURCES = $(shell git ls-files '*.h' '*.c' '*.cc' 2>/dev/null)

.PHONY: all deps build test test-asan test-tsan stress release bench fuzz fuzz-ci demo format tidy clean

all: test

deps:
	@missing=""; for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    if [ "$$(id -u)" -ne 0 ]; then echo "run 'make deps' as root to install:$$missing" >&2; exit 1; fi; \
	    DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build: deps
	cmake --preset dev
	cmake --build --preset dev

test: build
	ctest --preset dev

test-asan: deps
	cmake --preset asan-ubsan
	cmake --build --preset asan-ubsan
	ctest --preset asan-ubsan

test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

# Each stress case in a process of its own, as ctest runs them, without the
# time-out that keeps the default sizes in check.
STRESS_TEST := build/dev/tests/stress_test
stress: build
	@set -e; for t in $$($(STRESS_TEST) --gtest_list_tests | awk '/^[^ ]/ {s = $$1} /^  / {print s $$1}'); do \
	    VYRE_STRESS=full $(STRESS_TEST) --gtest_filter="$$t"; \
	done

release: deps
	cmake --preset release
	cmake --build --preset release

bench: release
	@for b in build/release/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz
	bash fuzz/run_all.sh build/fuzz $(FUZZ_SECONDS)

fuzz-ci:
	$(MAKE) fuzz FUZZ_SECONDS=10

demo: release
	./build/release/examples/media_demo

format:
	clang-format -i $(SOURCES)

tidy: build
	clang-tidy -p build/dev --quiet $(filter %.cc,$(SOURCES))

clean:
	rm -rf build
