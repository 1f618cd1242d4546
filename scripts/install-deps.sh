#!/usr/bin/env bash
# Installs the Debian packages that are needed and missing.
# Usage: scripts/install-deps.sh [--build | --test | --ci]
#   --build  what building the programs (the unit, the fleet, the receiver) needs
#   --test   and what the tests need, the Windows cross build, Wine, the plot, Prometheus
#            (prometheus and promtool, which scrape and check the programs' metrics) and the
#            openssl command line (test certificates) (default)
#   --ci     and the analysis and fuzzing tools, and what checks the deployment manifests
#   -h, --help  print this help and exit
set -euo pipefail

usage() { sed -n '2,9s/^# \{0,1\}//p' "$0"; }
# A wrong word must not fall through to an install of its own choosing.
case "${1:---test}" in
-h | --help)
    usage
    exit 0
    ;;
--build | --test | --ci) ;;
*)
    echo "install-deps.sh: unknown argument $1" >&2
    usage >&2
    exit 2
    ;;
esac
if [[ $# -gt 1 ]]; then
    echo "install-deps.sh: one argument at most, got $#" >&2
    usage >&2
    exit 2
fi
level="${1:---test}"
packages=(cmake make g++ libasio-dev nlohmann-json3-dev libssl-dev)
if [[ "$level" != "--build" ]]; then
    packages+=(libgtest-dev libgmock-dev libbenchmark-dev gpsd-clients sqlite3
               g++-mingw-w64-x86-64 wine wine64 gnuplot-nox python3 prometheus openssl)
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
