#!/bin/sh
# Builds the libFuzzer targets with clang 14, AddressSanitizer and UndefinedBehaviorSanitizer in
# their own build directory, then runs each target for a bounded time from the checked-in seed
# corpus. Fails on any crash, sanitizer report, leak, timeout or broken check.
#
#   fuzz/run-fuzz.sh [BUILD_DIR] [SECONDS]
#
# BUILD_DIR defaults to build-fuzz in the project root; SECONDS (default 60) is the total time
# of all runs, shared between the targets. New corpus entries go to a temporary directory that
# is removed afterwards; a crashing input is kept in BUILD_DIR/artifacts.
set -eu

usage() { sed -n '2,10s/^# \{0,1\}//p' "$0"; }
case ${1:-} in
-h | --help)
    usage
    exit 0
    ;;
-*)
    echo "run-fuzz.sh: unknown option $1" >&2
    usage >&2
    exit 2
    ;;
esac
if [ $# -gt 2 ]; then
    echo "run-fuzz.sh: two arguments at most, BUILD_DIR and SECONDS; got $#" >&2
    usage >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-fuzz}
total=${2:-60}
jobs=${FUZZ_BUILD_JOBS:-2}

case $total in
'' | *[!0-9]*)
    echo "run-fuzz.sh: SECONDS must be a whole number, got '$total'" >&2
    exit 2
    ;;
esac

CC=${CC:-clang-14}
CXX=${CXX:-clang++-14}
export CC CXX
for tool in "$CXX" cmake; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "run-fuzz.sh: $tool not found (Debian: clang-14 libclang-rt-14-dev cmake)" >&2
        exit 2
    }
done

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"

work=$(mktemp -d "${TMPDIR:-/tmp}/vandry-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
artifacts=$build/artifacts
mkdir -p "$artifacts"

export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

# The configuration reader is the one that reads outside input: it gets two thirds of the time.
cfg_time=$((total * 2 / 3))
[ "$cfg_time" -ge 1 ] || cfg_time=1
fixed_time=$((total - cfg_time))
[ "$fixed_time" -ge 1 ] || fixed_time=1

status=0
summary=""

# run TARGET SECONDS SEED_DIR [extra libFuzzer options]
run() {
    target=$1
    seconds=$2
    seeds=$3
    shift 3
    corpus=$work/$target
    mkdir -p "$corpus"
    log=$work/$target.log
    echo "== $target: ${seconds}s from $(find "$seeds" -type f | wc -l) seeds"
    if "$build/$target" "$corpus" "$seeds" -max_len=4096 -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$@" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
        tail -n 60 "$log"
        for crash in "$artifacts/$target"-*; do
            [ -f "$crash" ] || continue
            echo "-- input $crash:"
            od -An -c "$crash" | head -n 40
        done
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
    line="$target: $result, ${execs:-?} executions in a ${seconds}s budget (${rate:-?}/s), ${cov:-cov: ?}, corpus $(find "$corpus" -type f | wc -l) new"
    echo "$line"
    summary="$summary$line
"
}

rm -f "$artifacts"/fuzz_cfg-* "$artifacts"/fuzz_format_fixed-*
run fuzz_cfg "$cfg_time" "$here/corpus/cfg" -dict="$here/cfg.dict"
run fuzz_format_fixed "$fixed_time" "$here/corpus/fixed"

echo "== fuzz summary"
printf '%s' "$summary"
exit $status
