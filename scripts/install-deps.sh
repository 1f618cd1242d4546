#!/usr/bin/env bash
# Installs the Debian packages that are needed and missing.
# Usage: scripts/install-deps.sh [--build | --test | --ci]
#   --build  what building the programs (the unit, the fleet, the receiver) needs
#   --test   and what the tests need, the Windows cross build, Wine and the plot included (default)
#   --ci     and the analysis and fuzzing tools, and what checks the deployment manifests
set -euo pipefail

level="${1:---test}"
packages=(cmake make g++ libasio-dev)
if [[ "$level" != "--build" ]]; then
    packages+=(libgtest-dev libgmock-dev libbenchmark-dev gpsd-clients
               g++-mingw-w64-x86-64 wine wine64 gnuplot-nox python3)
fi
if [[ "$level" == "--ci" ]]; then
    packages+=(clang-14 libclang-rt-14-dev clang-tidy clang-format cppcheck valgrind python3-yaml)
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
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
