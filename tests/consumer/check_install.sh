#!/usr/bin/env bash
# Installs a build of the library into a temporary prefix and uses it the way
# another project would, from outside the source tree:
#   1. the installed files: header, libraries with their versioned links,
#      CMake package, pkg-config files, the vyre-msg tool; no run path into
#      the build tree (the messaging library's only one is $ORIGIN, where the
#      stand-in lies; the tool's leads to the library folder), and the
#      installed tool runs;
#      the component vyre_os_msg alone installs no platform files;
#   2. consumer.c and the C++ consumer.cc built with
#      find_package(vyre_os_msg 1.0 CONFIG REQUIRED), and run; a request for
#      version 2.0 must be refused;
#   3. both built with pkg-config, and run;
#   4. both built with plain compiler options, and run;
#   5. both built with the sources added by add_subdirectory, which
#      must not look for GoogleTest or Google Benchmark nor add their targets;
#   6. the README's quick start: examples/quickstart.c and quickstart.cc
#      built and run by the README's own commands (tests/docs/readme_blocks.sh
#      extracts them), with its example prefix replaced by the temporary one
#      and its `make install` left out (step 1 installed the same build);
#   7. the library built and installed without the stand-in
#      (VYRE_USE_PLATFORM_STANDIN=OFF) against the platform library installed
#      in step 1, as on a platform that ships its own, and consumer.c built
#      with find_package against that.
# Usage: check_install.sh [BUILD_DIR]   (default: build/release)
set -euo pipefail
src_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$(cd "${1:-$src_dir/build/release}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cc=${CC:-cc}
cxx=${CXX:-c++}

step() { echo "== $*"; }
fail() { echo "check_install: $*" >&2; exit 1; }

step "install $build_dir into $prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
pc_file=$(find "$prefix" -name vyre_os_msg.pc)
[ -n "$pc_file" ] || fail "no vyre_os_msg.pc installed"
libdir=$(dirname "$(dirname "$pc_file")")
version=$(sed -n 's/^Version: //p' "$pc_file")
major=${version%%.*}
for f in include/vyre_os_msg.h include/vyre_os_msg.hpp include/vyre_os_msg/process.hpp \
    include/vyre_os_platform/vyre_os_types.h; do
    [ -f "$prefix/$f" ] || fail "$f not installed"
done
for lib in vyre_os_msg vyre_os_platform; do
    [ -L "$libdir/lib$lib.so" ] && [ -L "$libdir/lib$lib.so.$major" ] && [ -f "$libdir/lib$lib.so.$version" ] ||
        fail "lib$lib.so, .so.$major and .so.$version not all installed"
    soname=$(readelf -d "$libdir/lib$lib.so.$version" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
    [ "$soname" = "lib$lib.so.$major" ] || fail "lib$lib.so.$version has soname '$soname'"
    run_path=$(readelf -d "$libdir/lib$lib.so.$version" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
    case "$lib:$run_path" in
    vyre_os_msg:'$ORIGIN' | *:) ;;
    *) fail "lib$lib.so.$version carries the run path '$run_path'" ;;
    esac
done
[ -f "$libdir/cmake/vyre_os_msg/vyre_os_msgConfigVersion.cmake" ] || fail "no CMake package installed"
[ -f "$libdir/pkgconfig/vyre_os_platform.pc" ] || fail "no vyre_os_platform.pc installed"
echo "version $version: header, libraries (no build-tree run path), CMake package and pkg-config files installed"
tool=$prefix/bin/vyre-msg
[ -x "$tool" ] || fail "vyre-msg not installed"
tool_path=$(readelf -d "$tool" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
case "$tool_path" in
'$ORIGIN/../'*) ;;
*) fail "vyre-msg carries the run path '$tool_path'" ;;
esac
mkdir "$work/run"
VYRE_OS_MSG_RUNDIR=$work/run "$tool" ps --json | grep -q '"processes":\[\]' || fail "the installed vyre-msg did not run"
[ -z "$(ls "$work/run" | grep '\.sock$')" ] || fail "vyre-msg left its socket behind"
echo "vyre-msg installed and runs with the installed library"
cmake --install "$build_dir" --prefix "$work/lib-only" --component vyre_os_msg >/dev/null
if [ -n "$(find "$work/lib-only" -name '*vyre_os_platform*' ! -name 'vyre_os_msg*')" ]; then
    fail "the component vyre_os_msg installed platform files"
fi
[ -f "$work/lib-only/include/vyre_os_msg.h" ] && [ -f "$work/lib-only/include/vyre_os_msg.hpp" ] ||
    fail "the component vyre_os_msg lacks a header"
echo "component vyre_os_msg: the library without the platform stand-in"

# The consumer's sources, copied out of the source tree.
mkdir "$work/consumer"
cp "$src_dir/tests/consumer/consumer.c" "$src_dir/tests/consumer/consumer.cc" "$src_dir/tests/consumer/CMakeLists.txt" \
    "$work/consumer/"
cd "$work"

step "find_package consumer"
cmake -S consumer -B build-find -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build build-find >/dev/null
./build-find/consumer
./build-find/consumer_cpp
if cmake -S consumer -B build-find-v2 -DCMAKE_PREFIX_PATH="$prefix" -DVYRE_WANTED_VERSION=2.0 >/dev/null 2>&1; then
    fail "find_package(vyre_os_msg 2.0) accepted version $version"
fi
echo "find_package(vyre_os_msg 2.0) refused, as it should be"

step "pkg-config consumer"
flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs vyre_os_msg)
echo "$cc -std=c99 consumer.c $flags -Wl,-rpath,$libdir"
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror consumer/consumer.c $flags -Wl,-rpath,"$libdir" -o consumer-pc
./consumer-pc
"$cxx" -std=c++17 -pedantic -Wall -Wextra -Werror consumer/consumer.cc $flags -Wl,-rpath,"$libdir" -o consumer-cpp-pc
./consumer-cpp-pc

step "plain compiler consumer"
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror consumer/consumer.c -I"$prefix/include" -L"$libdir" \
    -lvyre_os_msg -lvyre_os_platform -pthread -Wl,-rpath,"$libdir" -o consumer-plain
./consumer-plain
"$cxx" -std=c++17 -pedantic -Wall -Wextra -Werror consumer/consumer.cc -I"$prefix/include" -L"$libdir" \
    -lvyre_os_msg -lvyre_os_platform -pthread -Wl,-rpath,"$libdir" -o consumer-cpp-plain
./consumer-cpp-plain

step "add_subdirectory consumer"
cmake -S consumer -B build-sub -DVYRE_SOURCE_DIR="$src_dir" >/dev/null
if grep -Eq '^(GTest_DIR|benchmark_DIR):' build-sub/CMakeCache.txt; then
    fail "add_subdirectory looked for GoogleTest or Google Benchmark"
fi
if cmake --build build-sub --target help | grep -Eq '_test$|_bench$|media_demo'; then
    fail "add_subdirectory added tests, benchmarks or examples"
fi
cmake --build build-sub >/dev/null
./build-sub/consumer
./build-sub/consumer_cpp

step "README quick start, as the README builds it"
readme_prefix=/opt/vyre
[ "$libdir" = "$prefix/lib" ] || fail "the library went to $libdir, not $prefix/lib as the README's commands assume"
mkdir "$work/readme"
cp "$src_dir/examples/quickstart.c" "$src_dir/examples/quickstart.cc" "$work/readme/"
commands=$("$src_dir/tests/docs/readme_blocks.sh" commands quickstart)
grep -q "$readme_prefix" <<<"$commands" || fail "the README's quick-start commands do not use $readme_prefix"
(cd "$work/readme" && bash -euxo pipefail -c "$(grep -v '^make install' <<<"$commands" | sed "s|$readme_prefix|$prefix|g")") ||
    fail "the README's quick start did not build or run"

step "library without the stand-in, on an installed platform library"
cmake -S "$src_dir" -B build-own-platform -DCMAKE_BUILD_TYPE=Release -DVYRE_USE_PLATFORM_STANDIN=OFF \
    -DVYRE_BUILD_TESTS=OFF -DVYRE_BUILD_EXAMPLES=OFF -DVYRE_BUILD_BENCH=OFF -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build build-own-platform -j2 >/dev/null
cmake --install build-own-platform --prefix "$work/own-platform" >/dev/null
if [ -n "$(find "$work/own-platform" -name '*vyre_os_platform*')" ]; then
    fail "a build without the stand-in installed platform files"
fi
cmake -S consumer -B build-own-find -DCMAKE_PREFIX_PATH="$work/own-platform;$prefix" >/dev/null
cmake --build build-own-find >/dev/null
# The platform library lies outside the loader's path, as a platform's own
# would not.
LD_LIBRARY_PATH="$libdir" ./build-own-find/consumer
LD_LIBRARY_PATH="$libdir" ./build-own-find/consumer_cpp

echo "check_install: all consumers built and ran"
