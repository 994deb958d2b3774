#!/usr/bin/env bash
# The README's code blocks that must not drift from what is built and run:
#   - a block after the line "<!-- file: PATH -->" is the whole content of
#     PATH (relative to the source tree), and every C or C++ block of the
#     README is one of those, so that no program shown there goes unbuilt;
#   - a block after "<!-- commands: NAME -->" holds shell commands, which the
#     install check runs against a fresh prefix (tests/consumer/check_install.sh).
# Usage: readme_blocks.sh check [README]      compare every file block with its file
#        readme_blocks.sh commands NAME [README]  print the commands block NAME
set -euo pipefail
src_dir=$(cd "$(dirname "$0")/../.." && pwd)

# Prints the block that follows the marker line $1 (its fence lines left out).
block_after() {
    awk -v marker="$1" '
        $0 == marker { armed = 1; next }
        armed == 1 && /^```/ { armed = 2; next }
        armed == 1 { exit 2 }
        armed == 2 && /^```$/ { found = 1; exit }
        armed == 2 { print }
        END { if (!found) exit 3 }' "$2"
}

case "${1:-}" in
check)
    readme=${2:-$src_dir/README.md}
    files=$(sed -n 's/^<!-- file: \(.*\) -->$/\1/p' "$readme")
    [ -n "$files" ] || { echo "readme_blocks: $readme has no file blocks" >&2; exit 1; }
    status=0
    unmarked=$(awk '/^```(c|cpp)$/ && prev !~ /^<!-- file: / { print FILENAME ":" NR } { prev = $0 }' "$readme")
    if [ -n "$unmarked" ]; then
        echo "readme_blocks: C or C++ blocks without a file marker at $unmarked" >&2
        status=1
    fi
    for f in $files; do
        if ! block=$(block_after "<!-- file: $f -->" "$readme"); then
            echo "readme_blocks: no fenced block after the marker of $f" >&2
            status=1
        elif ! diff -u --label "$f" --label "README.md: $f" "$src_dir/$f" <(printf '%s\n' "$block"); then
            echo "readme_blocks: the README's copy of $f differs from the file (copy the file into the README)" >&2
            status=1
        else
            echo "readme_blocks: $f matches the README"
        fi
    done
    exit $status
    ;;
commands)
    block_after "<!-- commands: $2 -->" "${3:-$src_dir/README.md}" ||
        { echo "readme_blocks: no commands block $2" >&2; exit 1; }
    ;;
*)
    echo "usage: readme_blocks.sh check [README] | commands NAME [README]" >&2
    exit 2
    ;;
esac
