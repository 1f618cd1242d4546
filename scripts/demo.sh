#!/usr/bin/env bash
# Builds what is missing, starts the receiver on loopback, writes a cfg.txt into a scratch
# directory and runs the simulator there, so that its messages can be watched arriving.
# Usage: scripts/demo.sh [--type CODE] [--interval S] [--port P]   (defaults: 30 3 5000)
#        scripts/demo.sh [data_type] [send_interval_s] [port]        (the same, by position)
# Stop with Ctrl-C: the receiver then prints its summary.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    sed -n 's/^# \{0,1\}//; 4,6p' "$0"
    exit "$1"
}
data_type=30
smst=3
port=5000
positional=()
while [[ $# -gt 0 ]]; do
    case "$1" in
    --type | --interval | --port)
        [[ $# -ge 2 ]] || usage 2
        case "$1" in
        --type) data_type="$2" ;;
        --interval) smst="$2" ;;
        --port) port="$2" ;;
        esac
        shift 2
        ;;
    -h | --help) usage 0 ;;
    -*) usage 2 ;;
    *)
        positional+=("$1")
        shift
        ;;
    esac
done
[[ ${#positional[@]} -le 3 ]] || usage 2
data_type="${positional[0]:-$data_type}"
smst="${positional[1]:-$smst}"
port="${positional[2]:-$port}"
build="build-demo"

# Whatever already listens there would be fed the messages instead of the receiver.
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "demo.sh: port $port on 127.0.0.1 is already in use; choose another: --port P" >&2
    exit 1
fi

if [[ ! -f "$build/CMakeCache.txt" ]]; then
    scripts/install-deps.sh --build
    cmake -S . -B "$build" -DVANDRY_TESTS=OFF -DVANDRY_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target vandry vandry-receiver >/dev/null

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
"$build/tools/vandry-receiver" 127.0.0.1 "$port" >"$fifo_dir/receiver" 2>&1 &
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
