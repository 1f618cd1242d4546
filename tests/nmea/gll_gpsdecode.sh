#!/bin/sh
# Feeds the GLL sentences of the GPS records to gpsd's decoder, which checks each checksum and
# parses the fields. Every sentence must be accepted and decoded; the fixed checksum "*57" and a
# changed digit under the old checksum must be rejected.
set -eu
gen=$1
gpsdecode=$2
n=100
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}

# gpsdecode -v echoes each packet it accepted, byte for byte; at debug level 6 it logs the fields
# of each decoded GLL sentence and a warning for each bad checksum.
decode() {
    "$gpsdecode" -v -D 6 <"$1" >"$dir/out" 2>"$dir/log"
}

"$gen" "$n" >"$dir/good"
[ "$(wc -l <"$dir/good")" -eq "$n" ] || fail "expected $n sentences"
[ "$(grep -c '^\$GPGLL,[0-9]\{4\}\.[0-9]\{4\},N,[0-9]\{5\}\.[0-9]\{4\},E,081359\.129,A,A\*[0-9A-F][0-9A-F].$' "$dir/good")" -eq "$n" ] ||
    fail "a sentence has the wrong form"
[ "$(grep -c ',07740\.4063,' "$dir/good")" -eq $((n / 20)) ] || fail "drift step 17 is not 07740.4063"

decode "$dir/good"
cmp -s "$dir/good" "$dir/out" || fail "not every sentence was accepted: $(grep -m1 WARN "$dir/log")"
! grep -q 'bad checksum' "$dir/log" || fail "bad checksum: $(grep -m1 'bad checksum' "$dir/log")"
decoded=$(grep -c 'GLL: hhmmss=081359.129 lat=13.02 lon=77.67 mode=2 status=1' "$dir/log" || true)
[ "$decoded" -eq "$n" ] || fail "$decoded of $n sentences decoded as position 13.02 N 77.67 E"
echo "gpsdecode accepted and decoded all $n sentences"

# Negative controls: the fixed checksum 57 (accepted only where it happens to be the true one),
# then one latitude digit changed under the true checksum.
sed 's/\*..\r$/*57\r/' "$dir/good" >"$dir/fixed57"
grep '\*57.$' "$dir/good" >"$dir/true57" || true
true57=$(wc -l <"$dir/true57")
decode "$dir/fixed57"
cmp -s "$dir/true57" "$dir/out" || fail "a sentence ending in *57 with another checksum was accepted"
rejected=$(grep -c 'bad checksum' "$dir/log" || true)
[ "$rejected" -eq $((n - true57)) ] || fail "$rejected of $((n - true57)) sentences with *57 rejected"
echo "gpsdecode rejected all $rejected sentences carrying the fixed checksum 57"

sed 's/^\$GPGLL,130/$GPGLL,131/' "$dir/good" >"$dir/changed"
decode "$dir/changed"
[ ! -s "$dir/out" ] || fail "a sentence with a changed digit was accepted"
[ "$(grep -c 'bad checksum' "$dir/log" || true)" -eq "$n" ] || fail "changed digit not caught"
echo "gpsdecode rejected all $n sentences with a changed digit"
