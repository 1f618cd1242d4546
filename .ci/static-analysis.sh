#!/bin/sh
# Static analysis of the program's sources: clang-tidy with the checked-in .clang-tidy, over the
# compile commands of a build directory, and cppcheck. Exits non-zero on any finding.
#
#   .ci/static-analysis.sh [BUILD_DIR]
#
# BUILD_DIR (default build-tidy in the project root) is configured here with
# CMAKE_EXPORT_COMPILE_COMMANDS=ON; nothing is built in it.
set -eu
case ${1:-} in
-h | --help)
    sed -n '2,8s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-tidy}
jobs=${ANALYSIS_JOBS:-2}
clang_tidy=${CLANG_TIDY:-clang-tidy}
cppcheck=${CPPCHECK:-cppcheck}

for tool in "$clang_tidy" "$cppcheck" cmake; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "static-analysis.sh: $tool not found (Debian: clang-tidy cppcheck cmake)" >&2
        exit 2
    }
done

# clang's own compiler gives clang-tidy the exact flags it understands; g++ serves too.
compiler=
if command -v clang++-14 >/dev/null 2>&1; then
    compiler=-DCMAKE_CXX_COMPILER=clang++-14
fi
cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVANDRY_TESTS=OFF \
    -DVANDRY_BENCH=OFF $compiler >/dev/null

cd "$root"
# The TLS room's stand-in for builds without OpenSSL is not in a Linux build's commands.
sources="$(ls core/*.cpp platform/*.cpp tls/failure.cpp tls/tls.cpp metrics/*.cpp unit/*.cpp receiver/*.cpp \
    fleet/*.cpp)"

status=0
out=$(mktemp "${TMPDIR:-/tmp}/vandry-tidy.XXXXXX")
trap 'rm -f "$out"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== clang-tidy ($("$clang_tidy" --version | sed -n 's/.*LLVM version //p')) over:" "$sources"
# shellcheck disable=SC2086
if ! printf '%s\n' $sources |
    xargs -P "$jobs" -n 1 "$clang_tidy" -p "$build" --quiet >"$out" 2>&1; then
    status=1
fi
# A finding in a header shows once per source that includes it: count each one once.
findings=$(grep -E '(warning|error):' "$out" | sort -u | wc -l)
if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    grep -vE '^[0-9]+ (warnings?|errors?) (and [0-9]+ (warnings?|errors?) )?generated\.$' "$out" ||
        true
    echo "clang-tidy: $findings finding(s)"
    status=1
else
    echo "clang-tidy: clean"
fi

echo "== cppcheck ($("$cppcheck" --version))"
# shellcheck disable=SC2086
if "$cppcheck" --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
    --suppress=missingIncludeSystem --std=c++17 --language=c++ -I . -q $sources; then
    echo "cppcheck: clean"
else
    echo "cppcheck: findings above"
    status=1
fi

exit $status
