#!/bin/sh
# The whole program under valgrind memcheck, against listeners on 127.0.0.1, in four scenarios
# run side by side (about 20 s in all):
#   keep-open    code 30: three messages on one connection
#   close-send   code 31: three messages, each on its own connection, closed after each
#   send-fail    code 20: the listener resets the first connection after the first message; the
#                next send fails ("send error"), and after the pause the program reconnects and
#                sends again
#   connect-fail code 11: nothing listens at first ("connect failed"); the listener appears and
#                two messages follow, each on its own connection
# The program never exits by itself: each run is ended with SIGTERM once its messages are out.
# Fails on any memcheck error, on memory definitely or indirectly lost, and on a scenario that
# does not reach its messages in time. Memory still reachable at the kill is expected.
#
#   .ci/valgrind-check.sh PATH_TO_VANDRY
# With VG_KEEP=1 the scratch directory (outputs, listener logs, valgrind logs) is kept.
set -eu

if [ $# -ne 1 ] || [ ! -x "$1" ]; then
    echo "usage: $0 PATH_TO_VANDRY (a Linux build of the program)" >&2
    exit 2
fi
vandry=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
deadline=${VG_DEADLINE:-60}
for tool in valgrind python3; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "valgrind-check.sh: $tool not found" >&2
        exit 2
    }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vandry-vg.XXXXXX")
pids=""
cleanup() {
    if [ "${VG_KEEP:-0}" = 1 ]; then
        echo "scratch directory kept: $scratch"
    else
        rm -rf "$scratch"
    fi
}
# Interrupted: stop the scenarios and the listeners and programs they started, by their ids.
interrupted() {
    for pid in $pids $(cat "$scratch/children" 2>/dev/null); do
        kill -TERM "$pid" 2>/dev/null || true
    done
    exit 130
}
trap cleanup EXIT
trap interrupted INT TERM

# A listener on 127.0.0.1 on a free port, written to PORTFILE once it is bound.
#   keep:  accepts every connection and reads it to its end
#   drop:  resets the first connection once its first bytes arrive; keeps the later ones
#   late:  binds without listening (connects are refused) until the file PORTFILE.go appears,
#          then behaves as keep
cat >"$scratch/listener.py" <<'EOF'
import os, socket, struct, sys, threading, time

mode, portfile, log = sys.argv[1], sys.argv[2], open(sys.argv[3], "a", buffering=1)
srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", 0))
if mode != "late":
    srv.listen(16)
with open(portfile + ".tmp", "w") as f:
    f.write(str(srv.getsockname()[1]))
os.rename(portfile + ".tmp", portfile)
if mode == "late":
    while not os.path.exists(portfile + ".go"):
        time.sleep(0.05)
    srv.listen(16)

def read_all(conn, number):
    total = 0
    while True:
        data = conn.recv(65536)
        if not data:
            break
        total += len(data)
    conn.close()
    log.write("connection %d: %d bytes\n" % (number, total))

number = 0
while True:
    conn, _ = srv.accept()
    number += 1
    if mode == "drop" and number == 1:
        data = conn.recv(65536)
        log.write("connection 1: %d bytes, reset\n" % len(data))
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
        continue
    threading.Thread(target=read_all, args=(conn, number), daemon=True).start()
EOF

echo_lines() {
    grep -cE '^\([0-9]+\) (shrt|long|gps) (opn|cls): ' "$1" 2>/dev/null || true
}

# The number of echo lines after the first line that begins with TEXT (all of them when TEXT
# is empty): a message sent after a failure or a close went over a new connection.
echoed_after() {
    awk -v text="$2" '
        text == "" || index($0, text) == 1 { seen = 1 }
        seen && /^\([0-9]+\) (shrt|long|gps) (opn|cls): / { n++ }
        END { print n + 0 }' "$1" 2>/dev/null || echo 0
}

# scenario NAME LISTENER_MODE DATA_TYPE MESSAGES [TEXT]
# Waits for MESSAGES echo lines, at least one of them after a line beginning with TEXT.
# Runs in the background; leaves NAME/result holding "ok" or the reason it failed.
scenario() {
    name=$1
    mode=$2
    code=$3
    want=$4
    must=${5:-}
    dir=$scratch/$name
    mkdir -p "$dir"
    python3 "$scratch/listener.py" "$mode" "$dir/port" "$dir/listener.log" &
    listener=$!
    echo "$listener" >>"$scratch/children"
    n=0
    while [ ! -s "$dir/port" ]; do
        n=$((n + 1))
        if [ $n -gt 100 ]; then
            echo "listener did not start" >"$dir/result"
            kill -TERM "$listener" 2>/dev/null || true
            return
        fi
        sleep 0.1
    done
    printf 'vg-%s 127.0.0.1 %s %s 3\n' "$name" "$(cat "$dir/port")" "$code" >"$dir/cfg.txt"
    (
        cd "$dir"
        exec valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
            --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect \
            --track-origins=yes --log-file="$dir/valgrind.log" "$vandry" >"$dir/stdout" 2>&1
    ) &
    program=$!
    echo "$program" >>"$scratch/children"
    start=$(date +%s)
    reason=""
    while :; do
        # The late listener starts listening once a connect has been refused.
        if [ "$mode" = late ] && [ ! -e "$dir/port.go" ] &&
            grep -q 'connect failed with error:' "$dir/stdout" 2>/dev/null; then
            touch "$dir/port.go"
        fi
        count=$(echo_lines "$dir/stdout")
        if [ "$count" -ge "$want" ] && [ "$(echoed_after "$dir/stdout" "$must")" -ge 1 ]; then
            break
        fi
        if ! kill -0 "$program" 2>/dev/null; then
            reason="the program ended by itself"
            break
        fi
        if [ $(($(date +%s) - start)) -ge "$deadline" ]; then
            reason="only $count of $want messages within ${deadline}s"
            break
        fi
        sleep 0.2
    done
    kill -TERM "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
    kill -TERM "$listener" 2>/dev/null || true
    wait "$listener" 2>/dev/null || true
    if [ -n "$reason" ]; then
        echo "$reason" >"$dir/result"
    else
        echo ok >"$dir/result"
    fi
}

scenario keep-open keep 30 3 &
pids="$pids $!"
scenario close-send keep 31 3 'socket is closing' &
pids="$pids $!"
scenario send-fail drop 20 2 'send error:' &
pids="$pids $!"
scenario connect-fail late 11 2 'connect failed with error:' &
pids="$pids $!"
for pid in $pids; do
    wait "$pid" || true
done
pids=""

# summary NAME: one line per scenario; returns non-zero when it failed.
leak() {
    sed -n "s/.*$1: *\([0-9,]*\) bytes in \([0-9,]*\) blocks.*/\1 B in \2 blocks/p" "$2" | tail -n 1
}
status=0
echo "valgrind memcheck of $vandry"
for name in keep-open close-send send-fail connect-fail; do
    dir=$scratch/$name
    log=$dir/valgrind.log
    result=$(cat "$dir/result" 2>/dev/null || echo "no result")
    errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" 2>/dev/null | tail -n 1)
    definite=$(leak 'definitely lost' "$log")
    indirect=$(leak 'indirectly lost' "$log")
    possible=$(leak 'possibly lost' "$log")
    reachable=$(leak 'still reachable' "$log")
    # A heap with nothing left at the kill prints "All heap blocks were freed" instead.
    if grep -q 'All heap blocks were freed' "$log" 2>/dev/null; then
        definite="0 B"
        indirect="0 B"
        possible="0 B"
        reachable="0 B"
    fi
    messages=$(echo_lines "$dir/stdout")
    failures=$(grep -cE '^(send error|connect failed|getaddrinfo failed|socket failed)' \
        "$dir/stdout" 2>/dev/null || true)
    verdict=ok
    if [ "$result" != ok ]; then
        verdict="FAILED ($result)"
    elif [ "${errors:-x}" != 0 ]; then
        verdict="FAILED (memcheck errors: ${errors:-no summary})"
    elif [ "${definite:-x}" != "0 B" ] && [ "${definite#0 B in 0 blocks}" != "" ]; then
        verdict="FAILED (definitely lost: ${definite:-no summary})"
    elif [ "${indirect:-x}" != "0 B" ] && [ "${indirect#0 B in 0 blocks}" != "" ]; then
        verdict="FAILED (indirectly lost: ${indirect:-no summary})"
    fi
    printf '%-12s %s: %s messages, %s failure lines; ERROR SUMMARY: %s; definitely lost: %s; indirectly lost: %s; possibly lost: %s; still reachable: %s\n' \
        "$name" "$verdict" "$messages" "$failures" "${errors:-?}" "${definite:-?}" \
        "${indirect:-?}" "${possible:-?}" "${reachable:-?}"
    if [ "$verdict" != ok ]; then
        status=1
        echo "--- $name: program output"
        cat "$dir/stdout" 2>/dev/null || true
        echo "--- $name: listener"
        cat "$dir/listener.log" 2>/dev/null || true
        echo "--- $name: valgrind"
        cat "$log" 2>/dev/null || true
    fi
done
exit $status
