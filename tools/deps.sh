#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are missing,
# and says what it checked, what was there and what it installed. Run as
# root to install; otherwise it names what is missing and fails.
# Usage: tools/deps.sh PURPOSE PACKAGE...
set -euo pipefail
purpose=$1
shift
present=()
missing=()
for p in "$@"; do
    if dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed'; then
        present+=("$p")
    else
        missing+=("$p")
    fi
done
echo "deps ($purpose): checked $*"
if [ ${#missing[@]} -eq 0 ]; then
    echo "deps ($purpose): all installed, nothing to do"
    exit 0
fi
[ ${#present[@]} -eq 0 ] || echo "deps ($purpose): already installed: ${present[*]}"
if [ "$(id -u)" -ne 0 ]; then
    echo "deps ($purpose): missing: ${missing[*]}; run 'make deps' as root to install them" >&2
    exit 1
fi
echo "deps ($purpose): installing: ${missing[*]}"
DEBIAN_FRONTEND=noninteractive apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "deps ($purpose): installed: ${missing[*]}"
