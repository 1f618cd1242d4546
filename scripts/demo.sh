#!/usr/bin/env bash
# Builds what is missing, starts the receiver on loopback, writes a cfg.txt into a scratch
# directory and runs the simulator there, so that its messages can be watched arriving.
# Usage: scripts/demo.sh [data_type] [send_interval_s] [port]   (defaults: 30 3 5000)
# Stop with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
data_type="${1:-30}"
smst="${2:-3}"
port="${3:-5000}"
build=build-demo

if [[ ! -f "$build/CMakeCache.txt" ]]; then
    scripts/install-deps.sh --build
    cmake -S . -B "$build" -DVANDRY_TESTS=OFF -DVANDRY_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target vandry vandry-receiver >/dev/null

workdir="$(pwd)/run"
mkdir -p "$workdir"
printf 'DEMO01 127.0.0.1 %s %s %s\n' "$port" "$data_type" "$smst" > "$workdir/cfg.txt"
echo "cfg.txt in $workdir: $(cat "$workdir/cfg.txt")"

"$build/tools/vandry-receiver" 127.0.0.1 "$port" > >(sed -u 's/^/[receiver] /') 2>&1 &
receiver=$!
trap 'kill $receiver 2>/dev/null; wait $receiver 2>/dev/null' EXIT
sleep 0.5

cd "$workdir"
"../$build/vandry"
