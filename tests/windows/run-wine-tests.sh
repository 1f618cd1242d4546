#!/usr/bin/env bash
# The Windows program, cross-built with MinGW-w64 and run under Wine by the Linux-built process
# tests. Exits 77 (skipped) when the cross compiler or Wine is missing, except in CI.
#
#   run-wine-tests.sh prepare CROSS_DIR      cross-build CROSS_DIR/vandry.exe (the receiver, the fleet),
#                                            check that they need no DLL beyond Windows' own,
#                                            create the Wine prefix CROSS_DIR/wineprefix once and
#                                            start its server
#   run-wine-tests.sh run CROSS_DIR PROCESS_TESTS [gtest arguments...]
#                                            run the process tests against vandry.exe under Wine
#   run-wine-tests.sh check CROSS_DIR PROGRAM.exe
#                                            run one of the Windows build's own checks under
#                                            Wine (e.g. crt_rand_check.exe); its exit status
#   run-wine-tests.sh stop CROSS_DIR         stop the prefix's Wine server and its processes
#   run-wine-tests.sh all CROSS_DIR PROCESS_TESTS
#                                            all three, with every process test and the
#                                            Windows build's own checks
#
# ctest runs these steps itself (label "windows"); "all" is for a run by hand, e.g.
#   tests/windows/run-wine-tests.sh all build-win build/tests/process/process_tests
set -euo pipefail
if [[ "${1:-}" == --help || "${1:-}" == -h ]]; then
    sed -n '2,20s/^# \{0,1\}//p' "$0"
    exit 0
fi

here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
SKIP=77

usage() {
    sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

[[ $# -ge 2 ]] || usage
mode="$1"
cross_dir="$(mkdir -p "$2" && cd "$2" && pwd)"
shift 2

# The 64-bit loader comes with Debian's wine64; "wine" picks it for a 64-bit program.
missing_tools() {
    local missing=()
    command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
        command -v x86_64-w64-mingw32-g++ >/dev/null || missing+=(g++-mingw-w64-x86-64)
    command -v wine >/dev/null && command -v wineserver >/dev/null || missing+=(wine wine64)
    echo "${missing[*]}"
}
# In CI (CI=true) or with VANDRY_REQUIRE_WINDOWS=1 a missing tool is a failure, not a skip.
skip_unless_tools() {
    local missing
    missing="$(missing_tools)"
    [[ -z "$missing" ]] && return 0
    if [[ "${CI:-}" == true || "${VANDRY_REQUIRE_WINDOWS:-}" == 1 ]]; then
        echo "the Windows tests need the Debian packages: $missing"
        exit 1
    fi
    echo "skipped: the Windows tests need the Debian packages: $missing"
    exit "$SKIP"
}

# Wine without a display, quiet, with its own prefix; no Mono or Gecko installer is offered.
wine_env() {
    export WINEPREFIX="$cross_dir/wineprefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEARCH=win64
    unset DISPLAY WAYLAND_DISPLAY
}

cross_build() {
    cmake -S "$source_dir" -B "$cross_dir" \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DVANDRY_WERROR=ON >"$cross_dir/configure.log" ||
        { cat "$cross_dir/configure.log"; return 1; }
    cmake --build "$cross_dir" -j 2
}

# Only DLLs that every Windows has; the GCC, C++ and thread runtimes must be linked in.
check_dlls() {
    local exe dll dlls status=0
    for exe in "$cross_dir"/*.exe "$cross_dir"/receiver/*.exe "$cross_dir"/fleet/*.exe; do
        [[ -f "$exe" ]] || continue
        dlls="$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')"
        echo "$(basename "$exe") imports: ${dlls//$'\n'/ }"
        for dll in $dlls; do
            case "${dll,,}" in
            kernel32.dll | msvcrt.dll | ws2_32.dll | mswsock.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
            *)
                echo "$(basename "$exe") needs $dll, which Windows does not ship"
                status=1
                ;;
            esac
        done
    done
    return "$status"
}

# The prefix is made once (Wine's first start takes a while); later runs reuse it. A server
# that stays up between the tests keeps every start of the program quick.
prepare_wine() {
    wine_env
    local ready="$WINEPREFIX/.vandry-ready" started=$SECONDS
    : >"$cross_dir/wine.log"
    if [[ ! -f "$ready" ]]; then
        echo "creating the Wine prefix $WINEPREFIX"
        # Wine's first start goes on setting up the prefix after wineboot returns, and the
        # programs started meanwhile may die with it: everything is waited out.
        wine wineboot --init </dev/null >>"$cross_dir/wine.log" 2>&1 ||
            { cat "$cross_dir/wine.log"; return 1; }
        wineserver -w
        touch "$ready"
    fi
    wineserver -p120 </dev/null >>"$cross_dir/wine.log" 2>&1 || true # may be running already
    wine wineboot </dev/null >>"$cross_dir/wine.log" 2>&1 ||
        { cat "$cross_dir/wine.log"; return 1; }
    echo "Wine ready in $((SECONDS - started)) s"
}

run_tests() {
    local process_tests="$1"
    shift
    [[ -x "$cross_dir/vandry.exe" ]] ||
        { echo "no $cross_dir/vandry.exe: run the prepare step first"; return 1; }
    wine_env
    export VANDRY_EXE="$cross_dir/vandry.exe"
    export VANDRY_FLEET_EXE="$cross_dir/fleet/vandry-fleet.exe"
    export VANDRY_LAUNCHER=wine
    export VANDRY_CRLF_CONSOLE=1
    export VANDRY_WINSOCK_CODES=1
    "$process_tests" "$@"
}

run_check() {
    local program="$cross_dir/$1"
    [[ -f "$program" ]] || { echo "no $program: run the prepare step first"; return 1; }
    wine_env
    wine "$program" </dev/null
}

stop_wine() {
    wine_env
    if [[ -d "$WINEPREFIX" ]]; then
        wineserver -k 2>/dev/null || true
    fi
}

case "$mode" in
prepare)
    skip_unless_tools
    cross_build
    check_dlls
    prepare_wine
    ;;
run)
    [[ $# -ge 1 ]] || usage
    skip_unless_tools
    run_tests "$@"
    ;;
check)
    [[ $# -eq 1 ]] || usage
    skip_unless_tools
    run_check "$1"
    ;;
stop)
    [[ -z "$(missing_tools)" ]] || exit 0
    stop_wine
    ;;
all)
    [[ $# -eq 1 ]] || usage
    skip_unless_tools
    process_tests="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
    cross_build
    check_dlls
    prepare_wine
    status=0
    run_tests "$process_tests" || status=$?
    run_check crt_rand_check.exe || status=$?
    stop_wine
    exit "$status"
    ;;
*)
    usage
    ;;
esac
