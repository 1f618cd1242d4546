#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite (but the soak).
# Usage: scripts/test.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"

scripts/install-deps.sh
cmake -S . -B "$build" -DVANDRY_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
# Process tests mostly wait on the program's own pauses, so they run many at a time. The soak
# (hundreds of passes, several minutes) runs on its own: ctest --test-dir build -L soak
ctest --test-dir "$build" -j 8 --output-on-failure -LE soak
