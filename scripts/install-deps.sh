#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, only those that are missing.
# Usage: scripts/install-deps.sh [--ci]   (--ci adds the analysis, fuzzing and Windows tools)
set -euo pipefail

packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev gpsd-clients
          g++-mingw-w64-x86-64 wine wine64)
if [[ "${1:-}" == "--ci" ]]; then
    packages+=(clang-14 libclang-rt-14-dev clang-tidy clang-format cppcheck valgrind)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
