# Developer and CI entry points; each wraps a CMake preset (CMakePresets.json)
# so that a developer runs exactly what CI runs.
#
#   make deps       install what the demo and the tests need (Debian packages;
#                   deps-bench, deps-media, deps-fuzz, deps-format, deps-docs,
#                   deps-aarch64 for the rest, deps-all for everything)
#   make test       build the debug configuration and run every test
#   make test-asan  the same suite under AddressSanitizer + UBSan
#   make test-tsan  the same suite under ThreadSanitizer
#   make stress     the stress tests at full size (millions of messages)
#   make bench      build optimised and run the benchmarks
#   make bench-compare  the peer comparison tables (ZeroMQ, nng, iceoryx, floors,
#                   and 1080p frames against GStreamer's shmsink/shmsrc)
#   make fuzz       run each fuzz target for 60 s (FUZZ_SECONDS=n to change)
#   make demo       build and run the example media process, then the two-process demo
#   make format / make tidy   clang-format / clang-tidy over the sources
#   make install PREFIX=dir   build optimised and install (default /usr/local)
#   make test-install         install into a temporary prefix and build and run
#                             consumers with find_package, pkg-config, plain
#                             compiler options and add_subdirectory
#   make test-aarch64         cross-build for AArch64, run the suite under qemu
#   make docs       API reference and guides, with Doxygen (build/docs/html)

SHELL := /bin/bash
# Debian packages by purpose; each target asks only for what it uses.
# `make deps-GROUP` installs the packages of DEPS.GROUP.
DEPS.build := cmake ninja-build gcc g++ pkg-config
DEPS.test := libgtest-dev clang nlohmann-json3-dev
DEPS.bench := libbenchmark-dev
# Peers of the comparison benchmarks; only `make bench-compare` needs them,
# never the build, the tests or the demo. iceoryx: its daemon (iox-roudi)
# and C binding, for the frames table.
DEPS.bench-peers := libzmq3-dev libnng-dev pkg-config iceoryx libiceoryx-posh-dev libiceoryx-hoofs-dev libiceoryx-binding-c-dev
# GStreamer, for the media comparison of `make bench-compare` only: its
# development files, videotestsrc and appsink/appsrc (base), shmsink/shmsrc
# (bad) and x264enc (ugly). Never needed by the build, the tests or the demo.
DEPS.media := libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base \
              gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
DEPS.fuzz := clang libclang-rt-14-dev
DEPS.format := clang-format clang-tidy
DEPS.docs := doxygen
# googletest is built for the target from the sources libgtest-dev ships.
DEPS.aarch64 := g++-aarch64-linux-gnu qemu-user libgtest-dev nlohmann-json3-dev
DEPS_GROUPS := build test bench bench-peers media fuzz format docs aarch64
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
SOURCES = $(shell git ls-files '*.h' '*.c' '*.cc' 2>/dev/null)

.PHONY: all deps deps-all $(addprefix deps-,$(DEPS_GROUPS)) \
        build test test-asan test-tsan release bench fuzz fuzz-ci demo format tidy clean \
        install test-install test-aarch64 docs stress bench-compare

all: test

deps: deps-build deps-test
deps-all: $(addprefix deps-,$(DEPS_GROUPS))
$(addprefix deps-,$(DEPS_GROUPS)): deps-%:
	@tools/deps.sh $* $(DEPS.$*)

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

# Each stress case in a process of its own, as ctest runs them, at full size
# (VYRE_STRESS=full) and without the time-out that keeps the default sizes in
# check: the public-path stress group, the ring's producers, the counters,
# the subscription requests of the largest size and the 60 s chaos run of six
# processes under the carrier (VYRE_CHAOS_SEED=n repeats a run).
STRESS_CASES := stress_test:* simple_msg_ring_test:MessageRing.SeveralProducers* \
                simple_msg_stats_test:TaskCounters.StayExactUnderSeveralProducers msg_subscribe_bulk_test:* \
                carrier_chaos_test:*
stress: build
	@set -e; for c in $(STRESS_CASES); do \
	    bin=build/dev/tests/$${c%%:*}; filter=$${c#*:}; \
	    for t in $$($$bin --gtest_list_tests --gtest_filter="$$filter" | awk '/^[^ ]/ {s = $$1} /^  / {print s $$1}'); do \
	        VYRE_STRESS=full $$bin --gtest_filter="$$t"; \
	    done; \
	done

release: deps-build
	cmake --preset release
	cmake --build --preset release

bench: deps-bench release
	@for b in build/release/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done

# Configures again so that peers installed since the last configure are found.
bench-compare: deps-bench deps-bench-peers deps-media
	cmake --preset release
	cmake --build --preset release
	@test -x build/release/bench/compare/inproc_compare || { echo "peer comparisons were not built" >&2; exit 1; }
	./build/release/bench/compare/inproc_compare
	./build/release/bench/compare/ipc_compare
	./build/release/bench/compare/frames_compare
	@if [ -x build/release/bench/media/media_compare ]; then ./build/release/bench/media/media_compare; \
	 else echo "media comparison not built (GStreamer's development packages: make deps-media)"; fi

fuzz: deps-build deps-fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz
	bash fuzz/run_all.sh build/fuzz $(FUZZ_SECONDS)

fuzz-ci:
	$(MAKE) fuzz FUZZ_SECONDS=10

demo: release
	./build/release/examples/media_demo
	@echo
	./build/release/examples/two_process_demo

format: deps-format
	clang-format -i $(SOURCES)

tidy: deps-format build
	clang-tidy -p build/dev --quiet $(filter %.cc,$(SOURCES))

install: release
	cmake --install build/release --prefix $(PREFIX)

test-install: release
	tests/consumer/check_install.sh build/release

# The whole ctest suite, cross-built and run under qemu-aarch64.
test-aarch64: deps-build deps-aarch64
	cmake --preset aarch64
	cmake --build --preset aarch64
	ctest --preset aarch64

# The reference and the guides; the filter runs once first so that a function
# it cannot file under a group stops the build, and any Doxygen warning (a
# parameter in docs/api/params.txt that a function does not have, a broken
# reference) fails it.
docs: deps-docs
	@mkdir -p build/docs
	@awk -v params=docs/api/params.txt -f docs/api/header_filter.awk include/vyre_os_msg.h >/dev/null
	( cat docs/Doxyfile; \
	  echo "PROJECT_NUMBER = $$(sed -n 's/^#define VYRE_OS_MSG_VERSION_\(MAJOR\|MINOR\|PATCH\) //p' include/vyre_os_msg.h | paste -sd.)"; \
	  echo "USE_MDFILE_AS_MAINPAGE = $(CURDIR)/README.md" ) | doxygen -
	@if [ -s build/docs/warnings.log ]; then cat build/docs/warnings.log >&2; \
	    echo "make docs: Doxygen warned (build/docs/warnings.log)" >&2; exit 1; fi
	@echo "API reference and guides: build/docs/html/index.html"

clean:
	rm -rf build
