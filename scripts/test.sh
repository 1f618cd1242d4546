#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite (but the soak).
# Usage: scripts/test.sh [build-dir]   (default: build)
set -euo pipefail

usage() { sed -n '2,3s/^# \{0,1\}//p' "$0"; }
case "${1:-}" in
-h | --help)
    usage
    exit 0
    ;;
-*)
    echo "test.sh: unknown option $1" >&2
    usage >&2
    exit 2
    ;;
esac
if [[ $# -gt 1 ]]; then
    echo "test.sh: one build directory at most, got $# arguments" >&2
    usage >&2
    exit 2
fi
cd "$(dirname "$0")/.."
build="${1:-build}"

scripts/install-deps.sh
cmake -S . -B "$build" -DVANDRY_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
# Process tests mostly wait on the program's own pauses, so they run many at a time. The soak
# (hundreds of passes, several minutes) runs on its own: ctest --test-dir build -L soak
#
# The Windows program runs under Wine, whose one server all its processes share: on a loaded
# machine it has stalled a waiting program for tens of seconds. Its tests start beside the
# others, but their first step is the cross build, so they run mostly after them, fewer at a
# time; one that fails is run once more (a fault of the program fails both runs). The Linux
# tests' output follows once both have ended.
linux_log="$(mktemp)"
trap 'rm -f "$linux_log"' EXIT
ctest --test-dir "$build" -j 8 --output-on-failure -LE 'soak|windows' >"$linux_log" 2>&1 &
linux=$!
windows_status=0
ctest --test-dir "$build" -j 4 --output-on-failure -L windows --repeat until-pass:2 ||
    windows_status=$?
linux_status=0
wait "$linux" || linux_status=$?
cat "$linux_log"
[[ $linux_status -eq 0 && $windows_status -eq 0 ]]
