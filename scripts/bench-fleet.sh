#!/usr/bin/env bash
# Benchmark, not a test: runs receivers and fleet shards on loopback for a given number of units,
# interval and time, and prints a markdown table: messages sent and received, malformed, gaps,
# resident memory and CPU of the fleet and the receivers, lateness, the fleet's memory per unit.
# With --vandry M it also runs M separate vandry processes and a fleet of as many units, and
# prints a second table that sets their memory per unit side by side. With --plan the receivers
# check every message against the fleet's plan (vandry-receiver --expect).
#
# Usage: scripts/bench-fleet.sh [-n UNITS] [-i INTERVAL_S] [-t SECONDS] [--type CODE] [--plan]
#          [--shards K] [--receivers R] [--vandry M] [--seed S] [--build DIR]
#          [--receiver-args 'WORDS'] [-- FLEET_ARGS...]
#   Defaults: -n 1000 -i 3 -t 30 --type 20 --shards 1 --receivers 1 --seed 1733700000.
#   Shard k runs units k*N/K .. (k+1)*N/K-1 against receiver k mod R. FLEET_ARGS go to every
#   shard (e.g. --source 127.0.0.1-127.0.0.8), the WORDS to every receiver (e.g. its TLS
#   options or --threads 2). Every process must fit its descriptor limit.
# Builds Release binaries in build-bench unless --build names a tree that has them.
set -euo pipefail
cd "$(dirname "$0")/.."

units=1000 interval=3 seconds=30 type=20 shards=1 receivers=1 vandry_units=0 seed=1733700000
with_plan=0
build="build-bench"
fleet_args=() receiver_args=()
usage() { sed -n '9,15s/^# \{0,1\}//p' "$0"; }
help_text() { sed -n '2,16s/^# \{0,1\}//p' "$0"; }
usage_error() {
    echo "bench-fleet: $1" >&2
    usage >&2
    exit 2
}
while [[ $# -gt 0 ]]; do
    case "$1" in
        -n | -i | -t | --type | --shards | --receivers | --vandry | --seed | --build | --receiver-args)
            [[ $# -ge 2 && -n "$2" ]] || usage_error "$1 needs a value" ;;&
        -n) units="$2"; shift ;;
        -i) interval="$2"; shift ;;
        -t) seconds="$2"; shift ;;
        --type) type="$2"; shift ;;
        --shards) shards="$2"; shift ;;
        --receivers) receivers="$2"; shift ;;
        --vandry) vandry_units="$2"; shift ;;
        --seed) seed="$2"; shift ;;
        --build) build="$2"; shift ;;
        --receiver-args) read -r -a receiver_args <<< "$2"; shift ;;
        --plan) with_plan=1 ;;
        --) shift; fleet_args=("$@"); break ;;
        -h | --help) help_text; exit 0 ;;
        *) usage_error "unknown option $1" ;;
    esac
    shift
done
build="$(realpath -m "$build")"
declare -A option_of=([units]=-n [interval]=-i [seconds]=-t [shards]=--shards
    [receivers]=--receivers [vandry_units]=--vandry [seed]=--seed)
for v in units interval seconds shards receivers vandry_units seed; do
    [[ "${!v}" =~ ^[0-9]{1,10}$ ]] || usage_error "${option_of[$v]} must be a whole number, not ${!v}"
    printf -v "$v" '%d' "$((10#${!v}))"  # a leading zero would make it octal below
done
case "$type" in
    10 | 11 | 20 | 21 | 30 | 31) ;;
    *) usage_error "--type must be one of 10 11 20 21 30 31, not $type" ;;
esac
(( units >= 1 && shards >= 1 && receivers >= 1 && shards <= units )) ||
    usage_error "need 1 <= shards <= units and receivers >= 1"

# --- binaries ---------------------------------------------------------------------------------
fleet_bin="$build/fleet/vandry-fleet" receiver_bin="$build/receiver/vandry-receiver" unit_bin="$build/vandry"
targets=(vandry-fleet vandry-receiver)
(( vandry_units > 0 )) && targets+=(vandry)
if [[ -f "$build/CMakeCache.txt" || ! -x "$fleet_bin" || ! -x "$receiver_bin" ]]; then
    if [[ ! -f "$build/CMakeCache.txt" ]]; then
        scripts/install-deps.sh --build
        cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANDRY_TESTS=OFF -DVANDRY_BENCH=OFF >/dev/null
    fi
    cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null
fi
for b in "$fleet_bin" "$receiver_bin"; do
    [[ -x "$b" ]] || { echo "bench-fleet: $b missing" >&2; exit 1; }
done

# Children inherit the raised soft limit; each process must still fit under the hard one.
ulimit -n "$(ulimit -Hn)"
per_shard=$(( (units + shards - 1) / shards ))
shards_per_receiver=$(( (shards + receivers - 1) / receivers ))  # shard k goes to receiver k mod R
per_receiver=$(( shards_per_receiver * per_shard ))
if (( per_shard + 64 > $(ulimit -n) )); then
    echo "bench-fleet: $per_shard units per shard exceed the descriptor limit $(ulimit -n): add --shards" >&2
    exit 2
fi
if (( per_receiver + 64 > $(ulimit -n) )); then
    echo "bench-fleet: up to $per_receiver connections per receiver exceed the descriptor limit $(ulimit -n): add --receivers" >&2
    exit 2
fi

logs="$build/bench-logs"
rm -rf "$logs"
mkdir -p "$logs"
scratch="$(mktemp -d)"
pids=()
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Ends a process with SIGTERM, after 5 s with SIGKILL.
stop_pid() {
    local pid=$1 tries
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((tries = 0; tries < 50; tries++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# --- measuring --------------------------------------------------------------------------------
clk_tck=$(getconf CLK_TCK)
declare -A ticks0 time0 ticks1 time1 hwm
# One sample of a process: CPU ticks (utime + stime) and peak resident memory (kB).
sample() {
    local pid=$1 stat fields key value _
    read -r stat 2>/dev/null < "/proc/$pid/stat" || return 0
    read -r -a fields <<< "${stat##*) }"  # after the command name: field 3 onward
    local ticks=$(( fields[11] + fields[12] )) now=$EPOCHREALTIME
    if [[ -z "${ticks0[$pid]:-}" ]]; then ticks0[$pid]=$ticks; time0[$pid]=$now; fi
    ticks1[$pid]=$ticks; time1[$pid]=$now
    # Builtins only: sampling hundreds of processes a second must not fork for each.
    while read -r key value _; do
        if [[ "$key" == VmHWM: ]]; then
            (( value > ${hwm[$pid]:-0} )) && hwm[$pid]=$value
            break
        fi
    done 2>/dev/null < "/proc/$pid/status" || true
    return 0
}
# Sums over a list of pids: peak RSS in kB, CPU in percent of one core.
sum_hwm() { local s=0 p; for p in "$@"; do s=$(( s + ${hwm[$p]:-0} )); done; echo "$s"; }
sum_cpu() {
    local p
    for p in "$@"; do echo "${ticks0[$p]:-0} ${ticks1[$p]:-0} ${time0[$p]:-0} ${time1[$p]:-0}"; done |
        awk -v hz="$clk_tck" '{ if ($4 > $3) s += ($2 - $1) / hz / ($4 - $3) * 100 } END { printf "%.1f", s }'
}
# While any of the given pids runs: samples them and the receivers once a second.
watch_until_done() {
    local p alive=1
    while (( alive )); do
        alive=0
        for p in "$@"; do kill -0 "$p" 2>/dev/null && alive=1; done
        for p in "$@" "${receiver_pids[@]}"; do sample "$p"; done
        (( alive )) && sleep 1
    done
    return 0
}

# --- processes --------------------------------------------------------------------------------
receiver_pids=() receiver_ports=() receiver_logs=()
# Starts receiver number $1 on a free loopback port.
start_receiver() {
    local log="$logs/$1.receiver.log" port="" tries
    : > "$log"  # before the child opens it, so that the first look finds it
    local expect=()
    (( with_plan )) && expect=(--expect "$logs/plan.txt")
    "$receiver_bin" --quiet ${expect[@]+"${expect[@]}"} ${receiver_args[@]+"${receiver_args[@]}"} \
        127.0.0.1 0 > "$log" 2>&1 &
    pids+=($!)
    receiver_pids+=($!)
    receiver_logs+=("$log")
    for ((tries = 0; tries < 50; tries++)); do
        port=$(sed -n 's/^vandry-receiver listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log")
        [[ -n "$port" ]] && break
        sleep 0.1
    done
    [[ -n "$port" ]] || { echo "bench-fleet: receiver did not start: $(head -3 "$log")" >&2; exit 1; }
    receiver_ports+=("$port")
    sample "$!"
}
# Ends the receivers; adds up their final lines into rx_messages, rx_malformed, rx_gaps, rx_lost.
stop_receivers() {
    local p log line re='stopped: ([0-9]+) connections?, ([0-9]+) messages?, ([0-9]+) malformed, (([0-9]+) gaps?, )?([0-9]+) lost'
    sleep 1  # the last messages in flight
    for p in "${receiver_pids[@]}"; do sample "$p"; stop_pid "$p"; done
    rx_messages=0 rx_malformed=0 rx_gaps=0 rx_lost=0
    for log in "${receiver_logs[@]}"; do
        line=$(grep -E "$re" "$log" | tail -1) || true
        [[ "$line" =~ $re ]] || { echo "bench-fleet: no final line from the receiver in $log" >&2; exit 1; }
        rx_messages=$(( rx_messages + BASH_REMATCH[2] )) rx_malformed=$(( rx_malformed + BASH_REMATCH[3] ))
        rx_gaps=$(( rx_gaps + ${BASH_REMATCH[5]:-0} )) rx_lost=$(( rx_lost + BASH_REMATCH[6] ))
    done
}
# Runs a fleet of $1 units as $2 shards against $3 fresh receivers for $4 seconds (label $5), and
# sets: fleet_pids, receiver_pids, sent, failed_shards, late_p50/p99/max (worst shard).
run_fleets() {
    local n=$1 k=$2 r=$3 duration=$4 label=$5 i first count log line
    receiver_pids=() receiver_ports=() receiver_logs=() fleet_pids=() fleet_logs=()
    # The plan of the whole fleet of this run, for receivers that check against it.
    "$fleet_bin" --dry-run --units "$n" --type "$type" --interval "$interval" --seed "$seed" \
        ${fleet_args[@]+"${fleet_args[@]}"} > "$logs/plan.txt"
    for ((i = 0; i < r; i++)); do start_receiver "$label.$i"; done
    for ((i = 0; i < k; i++)); do
        first=$(( i * n / k )) count=$(( (i + 1) * n / k - i * n / k ))
        log="$logs/$label.fleet$i.log"
        "$fleet_bin" --units "$count" --first-unit "$first" --server "127.0.0.1:${receiver_ports[i % r]}" \
            --type "$type" --interval "$interval" --seed "$seed" --duration "$duration" \
            ${fleet_args[@]+"${fleet_args[@]}"} > "$log" 2>&1 &
        pids+=($!)
        fleet_pids+=($!)
        fleet_logs+=("$log")
    done
    watch_until_done "${fleet_pids[@]}"
    connected_after=0
    for log in "${fleet_logs[@]}"; do
        # The first second whose status line shows every unit of the shard connected.
        line=$(awk '/^fleet: t=/ { split($3, u, "="); split($4, c, "=");
                    if (u[2] == c[2]) { sub(/^t=/, "", $2); sub(/s$/, "", $2); print $2; exit } }' "$log")
        connected_after=$(max "$connected_after" "${line:-0}")
    done
    failed_shards=0
    for i in "${fleet_pids[@]}"; do wait "$i" 2>/dev/null || failed_shards=$(( failed_shards + 1 )); done
    stop_receivers
    sent=0 late_p50=0 late_p99=0 late_max=0
    for log in "${fleet_logs[@]}"; do
        line=$(grep '^fleet summary:' "$log" | tail -1) || true
        # The messages a shard wrote: written= in its summary, or sent= where a fleet's summary
        # names them so.
        [[ "$line" =~ \ (written|sent)=([0-9]+)\ .*p50=([0-9.]+)\ p99=([0-9.]+)\ max=([0-9.]+) ]] ||
            { echo "bench-fleet: no summary in $log: $(tail -2 "$log")" >&2; exit 1; }
        sent=$(( sent + BASH_REMATCH[2] ))
        late_p50=$(max "$late_p50" "${BASH_REMATCH[3]}")
        late_p99=$(max "$late_p99" "${BASH_REMATCH[4]}")
        late_max=$(max "$late_max" "${BASH_REMATCH[5]}")
    done
}
max() { awk -v a="$1" -v b="$2" 'BEGIN { print (b > a ? b : a) }'; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
# Fleet memory per unit in kB: the growth of peak RSS over one-unit fleets, one per shard.
per_unit() { awk -v t="$1" -v b="$2" -v k="$3" -v n="$4" 'BEGIN { printf "%.2f", (t - b * k) / n }'; }

# --- runs -------------------------------------------------------------------------------------
short=$(( interval + 2 ))
echo "bench-fleet: baseline, one unit for ${short}s" >&2
run_fleets 1 1 1 "$short" base
baseline_kb=$(sum_hwm "${fleet_pids[@]}")

# The kernel's count of connections that found a listener's accept queue full.
listen_counters() {
    awk '/^TcpExt:/ { if (!names) { for (i = 2; i <= NF; i++) name[i] = $i; names = 1; next }
                      for (i = 2; i <= NF; i++) if (name[i] == "ListenOverflows" || name[i] == "ListenDrops") printf "%s ", $i }' \
        /proc/net/netstat
}
echo "bench-fleet: $units units, $shards shard(s), $receivers receiver(s), type $type, every ${interval}s, for ${seconds}s (logs: $logs)" >&2
read -r overflows0 drops0 <<< "$(listen_counters)"
run_fleets "$units" "$shards" "$receivers" "$seconds" main
read -r overflows1 drops1 <<< "$(listen_counters)"
fleet_kb=$(sum_hwm "${fleet_pids[@]}")
echo
echo "| units | shards | receivers | type | interval s | time s | sent | received | malformed | gaps | lost | fleet RSS MB | receiver RSS MB | fleet CPU % | receiver CPU % | late p50 ms | late p99 ms | late max ms | fleet KB per unit (RSS growth) | all connected after s | ListenOverflows | ListenDrops |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
echo "| $units | $shards | $receivers | $type | $interval | $seconds | $sent | $rx_messages | $rx_malformed | $rx_gaps | $rx_lost" \
     "| $(mb "$fleet_kb") | $(mb "$(sum_hwm "${receiver_pids[@]}")") | $(sum_cpu "${fleet_pids[@]}") | $(sum_cpu "${receiver_pids[@]}")" \
     "| $late_p50 | $late_p99 | $late_max | $(per_unit "$fleet_kb" "$baseline_kb" "$shards" "$units")" \
     "| $connected_after | $(( ${overflows1:-0} - ${overflows0:-0} )) | $(( ${drops1:-0} - ${drops0:-0} )) |"
echo
echo "Lateness: the worst shard's figure. RSS: peak (VmHWM), summed over processes. Fleet KB per unit: peak RSS growth over a one-unit fleet ($(mb "$baseline_kb") MB) per shard, divided by the units. All connected after: the first second whose status line shows every unit of the slowest shard connected. ListenOverflows, ListenDrops: the kernel's counters (nstat TcpExtListenOverflows, TcpExtListenDrops) over the run, connections that found an accept queue full."
status=0
(( failed_shards == 0 )) || { echo "bench-fleet: $failed_shards shard(s) exited non-zero (logs: $logs)" >&2; status=1; }
(( sent == rx_messages && rx_malformed == 0 )) ||
    { echo "bench-fleet: received $rx_messages of $sent sent, $rx_malformed malformed (logs: $logs)" >&2; status=1; }

# --- the same work as separate processes ------------------------------------------------------
if (( vandry_units > 0 )); then
    [[ -x "$unit_bin" ]] || { echo "bench-fleet: $unit_bin missing" >&2; exit 1; }
    echo "bench-fleet: $vandry_units separate vandry processes against one fleet of as many units, ${seconds}s each" >&2
    run_fleets "$vandry_units" 1 1 "$seconds" cmp
    cmp_fleet_kb=$(sum_hwm "${fleet_pids[@]}")
    receiver_pids=() receiver_logs=() receiver_ports=()
    start_receiver cmp-vandry
    unit_pids=()
    for ((i = 0; i < vandry_units; i++)); do
        dir="$scratch/$i"
        mkdir -p "$dir"
        printf 'V%05d 127.0.0.1 %s %s %s\n' "$i" "${receiver_ports[0]}" "$type" "$interval" > "$dir/cfg.txt"
        (cd "$dir" && exec "$unit_bin" > console.log 2>&1) &
        pids+=($!)
        unit_pids+=($!)
    done
    end=$(( SECONDS + seconds ))
    while (( SECONDS < end )); do
        for p in "${unit_pids[@]}"; do sample "$p"; done
        sleep 1
    done
    # Proportional set size: the shared pages of the program and its libraries split among them.
    pss_kb=0
    for p in "${unit_pids[@]}"; do
        sample "$p"
        while read -r key value _; do
            [[ "$key" == Pss: ]] && { pss_kb=$(( pss_kb + value )); break; }
        done 2>/dev/null < "/proc/$p/smaps_rollup" || true
    done
    unit_cpu=$(sum_cpu "${unit_pids[@]}")
    for p in "${unit_pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "${unit_pids[@]}"; do stop_pid "$p"; done
    stop_receivers
    vandry_per_unit=$(awk -v t="$pss_kb" -v n="$vandry_units" 'BEGIN { printf "%.1f", t / n }')
    fleet_per_unit=$(per_unit "$cmp_fleet_kb" "$baseline_kb" 1 "$vandry_units")
    # One row, every figure under a name of its own: the fleet here has as many units as there
    # are processes, and its figures differ from those of the fleet in the table above.
    echo
    echo "| vandry processes | vandry processes' PSS MB | KB per unit, separate processes (PSS) | vandry processes' CPU % | received from vandry processes | same-size fleet RSS MB | KB per unit, same-size fleet (RSS growth) | same-size fleet CPU % | sent by the same-size fleet |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    echo "| $vandry_units | $(mb "$pss_kb") | $vandry_per_unit | $unit_cpu | $rx_messages" \
         "| $(mb "$cmp_fleet_kb") | $fleet_per_unit | $(sum_cpu "${fleet_pids[@]}") | $sent |"
    echo
    echo "PSS: proportional set size, shared pages split among the processes. Same-size fleet: one fleet of $vandry_units units, its peak RSS growth over a one-unit fleet divided by the units."
    echo "Separate processes need $(awk -v a="$vandry_per_unit" -v b="$fleet_per_unit" 'BEGIN { if (b > 0) printf "%.0f", a / b; else print "n/a" }') times the memory per unit of the same-size fleet."
fi
exit "$status"
