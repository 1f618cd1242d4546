#!/usr/bin/env bash
# The program under valgrind memcheck in five scenarios of the process tests, run side by side
# (well under a minute in all):
#   keep-open     code 30: three messages on one connection
#   close-send    code 31: three messages, each on its own connection, closed after each
#   send-fail     code 10: the listener closes the kept connection, a send fails and the program
#                 reconnects and sends again
#   connect-fail  code 21: nothing listens at first ("connect failed"), then a listener appears
#   counted       code 21 with --seed and --count 3: a dry run, then the same messages over TCP;
#                 both end by themselves with status 0
# The tests start the program through valgrind (VANDRY_LAUNCHER, see tests/process/harness.h)
# and end it with SIGTERM, upon which valgrind writes its report. Fails when a test fails, on any
# memcheck error and on memory definitely or indirectly lost; memory still reachable when the
# program is ended is expected.
#
#   .ci/valgrind-check.sh BUILD_DIR
# runs BUILD_DIR/tests/process/process_tests against the program of the same build. With
# VG_KEEP=1 the scratch directory (test outputs, valgrind logs) is kept.
set -euo pipefail
if [[ "${1:-}" == --help || "${1:-}" == -h ]]; then
    sed -n '2,19s/^# \{0,1\}//p' "$0"
    exit 0
fi

if [[ $# -ne 1 || ! -x "$1/tests/process/process_tests" ]]; then
    echo "usage: $0 BUILD_DIR (a Linux build with BUILD_DIR/tests/process/process_tests)" >&2
    exit 2
fi
tests="$(cd "$1" && pwd)/tests/process/process_tests"
command -v valgrind >/dev/null || {
    echo "valgrind-check.sh: valgrind not found" >&2
    exit 2
}

declare -A filter=(
    [keep-open]=Transmission/EachCode.SendsNameAndRecordAndEchoesWhatArrived/Code30
    [close-send]=Transmission/EachCode.SendsNameAndRecordAndEchoesWhatArrived/Code31
    [send-fail]=Transmission.ReconnectsAfterTheListenerClosesAKeptConnection
    [connect-fail]=Transmission.WaitsForAListenerAndThenSendsTheFirstTick
    [counted]=Transmission/SeededRun.SendsWhatItsDryRunWritesAndEndsAfterItsCount/0
)
names=(keep-open close-send send-fail connect-fail counted)

scratch="$(mktemp -d "${TMPDIR:-/tmp}/vandry-vg.XXXXXX")"
declare -A pid=()
# shellcheck disable=SC2317 # called by the trap
cleanup() {
    if [[ "${VG_KEEP:-0}" == 1 ]]; then
        echo "scratch directory kept: $scratch"
    else
        rm -rf "$scratch"
    fi
}
# Interrupted: stop the tests by their ids; the programs they started die with them.
# shellcheck disable=SC2317 # called by the trap
interrupted() {
    for name in "${!pid[@]}"; do
        kill -TERM "${pid[$name]}" 2>/dev/null || true
    done
    exit 130
}
trap cleanup EXIT
trap interrupted INT TERM
# The launcher is split at blanks.
if [[ "$scratch" == *[[:space:]]* ]]; then
    echo "valgrind-check.sh: the scratch directory $scratch has a blank in its path" >&2
    exit 2
fi

# The program of this build, with the Linux console and error codes. The tests' scratch
# directories go into this one, so that they are removed even when the tests are stopped.
unset VANDRY_EXE VANDRY_CRLF_CONSOLE VANDRY_WINSOCK_CODES
export TMPDIR="$scratch"
start=$SECONDS
for name in "${names[@]}"; do
    VANDRY_LAUNCHER="valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
--show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect \
--track-origins=yes --log-file=$scratch/$name.%p.log" \
        "$tests" --gtest_filter="${filter[$name]}" >"$scratch/$name.out" 2>&1 &
    pid[$name]=$!
done

# leak KIND LOG: "N bytes in M blocks" from the leak summary
leak() {
    sed -n "s/.*$1: *\([0-9,]*\) bytes in \([0-9,]*\) blocks.*/\1 B in \2 blocks/p" "$2" |
        tail -n 1
}
status=0
echo "valgrind memcheck of the program under $tests"
for name in "${names[@]}"; do
    test_status=0
    wait "${pid[$name]}" || test_status=$?
    unset "pid[$name]"
    verdict=ok
    if [[ $test_status -ne 0 ]]; then
        verdict="FAILED (the test failed: exit status $test_status)"
    elif ! grep -q '^\[  PASSED  \] 1 test\.' "$scratch/$name.out"; then
        verdict="FAILED (the test did not run)"
    fi
    logs=("$scratch/$name".*.log)
    if [[ ! -e "${logs[0]}" ]]; then
        logs=()
        [[ $verdict != ok ]] || verdict="FAILED (no valgrind log)"
    fi
    for log in "${logs[@]}"; do
        errors="$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$log" | tail -n 1)"
        if grep -q 'All heap blocks were freed' "$log"; then
            leaks="all heap blocks freed"
        else
            leaks="definitely lost: $(leak 'definitely lost' "$log"); indirectly lost: \
$(leak 'indirectly lost' "$log"); possibly lost: $(leak 'possibly lost' "$log"); still \
reachable: $(leak 'still reachable' "$log")"
        fi
        if [[ "$errors" != 0 && $verdict == ok ]]; then
            verdict="FAILED (memcheck errors: ${errors:-no summary})"
        fi
        printf '%-12s %s: ERROR SUMMARY: %s; %s\n' "$name" "$(basename "$log")" \
            "${errors:-none}" "$leaks"
    done
    echo "$name: $verdict"
    if [[ $verdict != ok ]]; then
        status=1
        echo "--- $name: the test"
        cat "$scratch/$name.out"
        for log in "${logs[@]}"; do
            echo "--- $name: $(basename "$log")"
            cat "$log"
        done
    fi
done
echo "valgrind-check.sh: $((SECONDS - start)) s"
exit "$status"
