#!/bin/sh
# Compares the heap calls that valgrind counts (malloc and operator new alike) for 10 and for
# 10000 iterations of alloc_loop: any allocation per tick or per message makes them differ.
set -eu
valgrind=$1
loop=$2
heap_total() {
    "$valgrind" --tool=memcheck "$loop" "$1" 2>&1 >/dev/null |
        sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' | tr -d ,
}
few=$(heap_total 10)
many=$(heap_total 10000)
echo "heap allocations: $few for 10 iterations, $many for 10000"
[ -n "$few" ] && [ "$few" = "$many" ]
