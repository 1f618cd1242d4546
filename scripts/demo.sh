#!/usr/bin/env bash
# Builds what is missing, starts the receiver on loopback, writes a cfg.txt into a scratch
# directory and runs the simulator there, so that its messages can be watched arriving.
# Usage: scripts/demo.sh [--type CODE] [--interval S] [--port P]   (defaults: 30 3 5000)
#        scripts/demo.sh [data_type] [send_interval_s] [port]        (the same, by position)
#   CODE: 10 11 20 21 30 31; S: whole seconds (below 3 counts as 3); P: 1024 to 65000
# Stop with Ctrl-C: the receiver then prints its summary.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '4,7s/^# \{0,1\}//p' "$0"; }
help_text() { sed -n '2,7s/^# \{0,1\}//p' "$0"; }
# A wrong command line stops the script before it builds or starts anything.
usage_error() {
    echo "demo.sh: $1" >&2
    usage >&2
    exit 2
}

data_type="" smst="" port=""
# Sets one of the three values, from an option or a position; each may be given once.
set_value() {
    local name=$1 what=$2 value=$3
    [[ -z "${!name}" ]] || usage_error "$what given twice: ${!name} and $value"
    printf -v "$name" '%s' "$value"
}
positions=0
while [[ $# -gt 0 ]]; do
    case "$1" in
    --type | --interval | --port)
        [[ $# -ge 2 ]] || usage_error "$1 needs a value"
        [[ -n "$2" ]] || usage_error "$1 needs a value, not an empty word"
        case "$1" in
        --type) set_value data_type "the data type code" "$2" ;;
        --interval) set_value smst "the send interval" "$2" ;;
        --port) set_value port "the port" "$2" ;;
        esac
        shift 2
        ;;
    --type=* | --interval=* | --port=*)
        [[ -n "${1#*=}" ]] || usage_error "${1%%=*} needs a value"
        case "$1" in
        --type=*) set_value data_type "the data type code" "${1#*=}" ;;
        --interval=*) set_value smst "the send interval" "${1#*=}" ;;
        --port=*) set_value port "the port" "${1#*=}" ;;
        esac
        shift
        ;;
    -h | --help)
        help_text
        exit 0
        ;;
    -?*) usage_error "unknown option $1" ;;
    *)
        positions=$((positions + 1))
        [[ -n "$1" ]] || usage_error "argument $positions is an empty word"
        case "$positions" in
        1) set_value data_type "the data type code" "$1" ;;
        2) set_value smst "the send interval" "$1" ;;
        3) set_value port "the port" "$1" ;;
        *) usage_error "too many arguments (at most 3: data_type send_interval_s port): $1" ;;
        esac
        shift
        ;;
    esac
done
data_type="${data_type:-30}"
smst="${smst:-3}"
port="${port:-5000}"

case "$data_type" in
10 | 11 | 20 | 21 | 30 | 31) ;;
*) usage_error "the data type code must be one of 10 11 20 21 30 31, not $data_type" ;;
esac
[[ "$smst" =~ ^[0-9]{1,9}$ ]] ||
    usage_error "the send interval must be a whole number of seconds, not $smst"
smst=$((10#$smst))
# The receiver takes any port; the unit's cfg.txt only 1024 to 65000.
if [[ ! "$port" =~ ^[0-9]{1,5}$ ]] || ((10#$port < 1 || 10#$port > 65535)); then
    usage_error "the port must be a number from 1 to 65535, not $port"
fi
port=$((10#$port))
((port >= 1024 && port <= 65000)) ||
    usage_error "the port must be 1024 to 65000, the range that vandry's cfg.txt accepts, not $port"
build="build-demo"

# Whatever already listens there would be fed the messages instead of the receiver.
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "demo.sh: port $port on 127.0.0.1 is already in use; choose another: --port P" >&2
    exit 1
fi

# The first build takes a minute or two and prints nothing until it ends: this line says why.
echo "building… (vandry and vandry-receiver in $build/)"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    scripts/install-deps.sh --build
    mkdir -p "$build"
    if ! cmake -S . -B "$build" -DVANDRY_TESTS=OFF -DVANDRY_BENCH=OFF >"$build/configure.log" 2>&1; then
        cat "$build/configure.log" >&2
        echo "demo.sh: configuring $build failed (above; also in $build/configure.log)" >&2
        exit 1
    fi
fi
# The build's output is kept for when it fails, and otherwise not shown.
if ! cmake --build "$build" -j "$(nproc)" --target vandry vandry-receiver >"$build/build.log" 2>&1; then
    tail -n 40 "$build/build.log" >&2
    echo "demo.sh: building failed (the last lines above; the whole log: $build/build.log)" >&2
    exit 1
fi

workdir="$(pwd)/run"
mkdir -p "$workdir"
printf 'DEMO01 127.0.0.1 %s %s %s\n' "$port" "$data_type" "$smst" >"$workdir/cfg.txt"
echo "cfg.txt in $workdir: $(cat "$workdir/cfg.txt")"

# The receiver's lines are marked by a filter that reads a pipe of its own. Both are background
# jobs, which ignore Ctrl-C; the receiver catches it and prints its summary, and the script
# waits for that to be shown before it ends.
fifo_dir="$(mktemp -d "${TMPDIR:-/tmp}/vandry-demo.XXXXXX")"
mkfifo "$fifo_dir/receiver"
sed -u 's/^/[receiver] /' <"$fifo_dir/receiver" &
marker=$!
"$build/receiver/vandry-receiver" 127.0.0.1 "$port" >"$fifo_dir/receiver" 2>&1 &
receiver=$!
# shellcheck disable=SC2317 # called by the trap
stop_receiver() {
    kill -TERM "$receiver" 2>/dev/null || true
    wait "$receiver" 2>/dev/null || true
    wait "$marker" 2>/dev/null || true
    rm -rf "$fifo_dir"
}
trap stop_receiver EXIT
trap 'exit 130' INT TERM
sleep 0.5
if ! kill -0 "$receiver" 2>/dev/null; then
    echo "demo.sh: the receiver could not listen on 127.0.0.1:$port (see above); choose another: --port P" >&2
    exit 1
fi

cd "$workdir"
"../$build/vandry"
