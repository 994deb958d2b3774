#!/usr/bin/env bash
# Runs every fuzz target in BUILD_DIR for SECONDS seconds each, starting from
# a scratch copy of its seed corpus (the repository's corpus stays as it is).
# Fails when any target finds a crash, a leak or a sanitizer report.
set -euo pipefail
build_dir=$(cd "${1:?build dir}" && pwd)
seconds=${2:-60}
root=$(cd "$(dirname "$0")" && pwd)
shopt -s nullglob
targets=("$build_dir"/fuzz/*_fuzz)
if [ ${#targets[@]} -eq 0 ]; then
    echo "no fuzz targets built"
    exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in "${targets[@]}"; do
    name=$(basename "$target")
    mkdir -p "$work/$name"
    if [ -d "$root/corpus/$name" ]; then
        cp -r "$root/corpus/$name/." "$work/$name/"
    fi
    echo "== $name: ${seconds}s"
    (cd "$work" && "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/$name-" \
        "$work/$name" 2>&1 | tail -n 15)
    if [ "${PIPESTATUS[0]}" -ne 0 ]; then
        echo "fuzz target $name failed" >&2
        exit 1
    fi
done
