# Developer and CI entry points; each wraps a CMake preset (CMakePresets.json)
# so that a developer runs exactly what CI runs.
#
#   make deps       install missing build dependencies (Debian packages)
#   make test       build the debug configuration and run every test
#   make test-asan  the same suite under AddressSanitizer + UBSan
#   make test-tsan  the same suite under ThreadSanitizer
#   make bench      build optimised and run the benchmarks
#   make bench-compare  the peer comparison tables (ZeroMQ, nng, floors)
#   make fuzz       run each fuzz target for 60 s (FUZZ_SECONDS=n to change)
#   make demo       build and run the example media process, then the two-process demo
#   make format / make tidy   clang-format / clang-tidy over the sources

SHELL := /bin/bash
PACKAGES := cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev
# Peers of the comparison benchmarks; only `make bench-deps` and
# `make bench-compare` need them, never the build, the tests or the demo.
BENCH_PACKAGES := libzmq3-dev libnng-dev pkg-config
FUZZ_SECONDS ?= 60
SOURCES = $(shell git ls-files '*.h' '*.c' '*.cc' 2>/dev/null)

.PHONY: all deps bench-deps build test test-asan test-tsan release bench bench-compare fuzz fuzz-ci demo format tidy clean

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

bench-deps: deps
	@missing=""; for p in $(BENCH_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "installing:$$missing"; \
	    if [ "$$(id -u)" -ne 0 ]; then echo "run 'make bench-deps' as root to install:$$missing" >&2; exit 1; fi; \
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

release: deps
	cmake --preset release
	cmake --build --preset release

bench: release
	@for b in build/release/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done

# Configures again so that peers installed since the last configure are found.
bench-compare: bench-deps
	cmake --preset release
	cmake --build --preset release
	@test -x build/release/bench/compare/inproc_compare || { echo "peer comparisons were not built" >&2; exit 1; }
	./build/release/bench/compare/inproc_compare
	./build/release/bench/compare/ipc_compare

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz
	bash fuzz/run_all.sh build/fuzz $(FUZZ_SECONDS)

fuzz-ci:
	$(MAKE) fuzz FUZZ_SECONDS=10

demo: release
	./build/release/examples/media_demo
	@echo
	./build/release/examples/two_process_demo

format:
	clang-format -i $(SOURCES)

tidy: build
	clang-tidy -p build/dev --quiet $(filter %.cc,$(SOURCES))

clean:
	rm -rf build
