#!/usr/bin/env bash
# Draws what the units sent, from the CSV file of vandry-receiver --csv: per station, level,
# distance and volume, the two temperatures, and supply voltage and signal strength, against
# the time of arrival (or against the message number for a recording, whose rows have no time),
# in one PNG. Needs gnuplot (Debian: gnuplot-nox) and python3.
#
#   scripts/plot.sh [--size WxH] [--station NAME]... RUN.csv OUT.png
#
#   --size WxH       the picture's size in pixels (default 1200x900, wider for several stations)
#   --station NAME   draw this station (repeatable); default: the first 4 stations in the file
#
# The unit sends numbers without units. The axes assume metres for level and distance and
# litres for the volume (4000 times the level), degrees Celsius for the temperatures and volts
# for the supply; the signal strength is the unit's own 2-27 scale.
set -euo pipefail

usage() {
    sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

size=""
stations=()
while [[ $# -gt 0 ]]; do
    case "$1" in
    --size) [[ $# -ge 2 ]] || usage; size="$2"; shift 2 ;;
    --size=*) size="${1#--size=}"; shift ;;
    --station) [[ $# -ge 2 ]] || usage; stations+=("$2"); shift 2 ;;
    --station=*) stations+=("${1#--station=}"); shift ;;
    -h | --help) usage ;;
    -*) echo "plot.sh: unknown option $1" >&2; usage ;;
    *) break ;;
    esac
done
[[ $# -eq 2 ]] || usage
csv="$1"
png="$2"
if [[ -n "$size" && ! "$size" =~ ^[1-9][0-9]{1,4}x[1-9][0-9]{1,4}$ ]]; then
    echo "plot.sh: --size wants WIDTHxHEIGHT in pixels, e.g. 1200x900, not $size" >&2
    exit 2
fi
for tool in gnuplot python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "plot.sh: $tool is needed (Debian: apt-get install gnuplot-nox python3)" >&2
        exit 1
    fi
done
[[ -r "$csv" ]] || { echo "plot.sh: cannot read $csv" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The CSV is read by Python's csv module (station names may hold commas and quotes); it writes
# one plain data file per station and the gnuplot script that draws them.
python3 - "$csv" "$png" "$work" "$size" "${stations[@]+"${stations[@]}"}" <<'PYTHON'
import csv
import datetime
import os
import sys

csv_path, png_path, work, size = sys.argv[1:5]
wanted = sys.argv[5:]
MAX_STATIONS = 4
VALUES = ["distance", "level", "d1", "volume", "temp1", "temp2", "vin", "rssi"]

rows = {}
with open(csv_path, newline="", encoding="utf-8", errors="replace") as f:
    for row in csv.DictReader(f):
        if row.get("station") and row.get("layout"):  # well-formed messages only
            rows.setdefault(row["station"], []).append(row)
if not rows:
    sys.exit("plot.sh: no well-formed messages in " + csv_path)
if wanted:
    missing = [s for s in wanted if s not in rows]
    if missing:
        sys.exit("plot.sh: no messages of station " + ", ".join(missing) + " in " + csv_path)
    chosen = wanted
else:
    chosen = list(rows)[:MAX_STATIONS]
    if len(rows) > MAX_STATIONS:
        print(f"plot.sh: drawing {MAX_STATIONS} of {len(rows)} stations; choose with --station",
              file=sys.stderr)


def seconds(text):
    stamp = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")
    return (stamp.replace(tzinfo=datetime.timezone.utc).timestamp())


timed = all(r["time"] for s in chosen for r in rows[s])
supply = any(r["vin"] for s in chosen for r in rows[s])
panels = 3 if supply else 2
if size:
    width, height = (int(v) for v in size.split("x"))
else:
    width, height = max(1200, 500 * len(chosen)), 900 if supply else 650


def quoted(text):  # a gnuplot string in single quotes, where '' stands for '
    return "'" + text.replace("'", "''") + "'"


script = [
    f"set terminal pngcairo size {width},{height} noenhanced",
    f"set output {quoted(png_path)}",
    "set datafile missing 'NaN'",
    "set grid",
    "set key outside top center horizontal",
    "set tics out",
    "set ytics nomirror",
    "set autoscale xfix",
    "set lmargin 10",  # the same margins in every panel, so that their time axes line up
    "set rmargin 11",
    "set key samplen 2 font ',9'",
]
count = sum(len(rows[s]) for s in chosen)
if timed:
    times = [seconds(r["time"]) for s in chosen for r in rows[s]]
    start, end = min(times), max(times)
    utc = datetime.timezone.utc
    span = (datetime.datetime.fromtimestamp(start, utc).strftime("%Y-%m-%d %H:%M:%S") + " to " +
            datetime.datetime.fromtimestamp(end, utc).strftime("%H:%M:%S") + " UTC")
    # Few enough time labels to stay apart in a panel of this width: a step of 1, 2 or 5 times
    # a power of ten seconds, or of minutes or hours.
    labels = max(2, width // len(chosen) // 110)
    step = next((s for s in [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200,
                             10800, 21600, 43200, 86400] if s * labels >= end - start), 86400)
    script += ["set xdata time", "set timefmt '%s'", f"set xtics {step}",
               "set format x '%H:%M:%S'", "set xlabel 'time of arrival (UTC)'"]
else:
    span = "a recording"
    script += ["set xlabel 'message number'"]
title = f"vandry: {count} messages of {len(chosen)} station{'s' if len(chosen) > 1 else ''}, {span}"
script += [f"set multiplot layout {panels},{len(chosen)} columnsfirst title {quoted(title)}"]

for k, station in enumerate(chosen):
    data = os.path.join(work, f"station{k}.dat")
    with open(data, "w") as out:
        for n, r in enumerate(rows[station], 1):
            x = f"{seconds(r['time']):.3f}" if timed else str(n)
            out.write(" ".join([x] + [r[v] or "NaN" for v in VALUES]) + "\n")
    d = quoted(data)
    script += [
        f"set title {quoted(station + ' (' + rows[station][0]['layout'] + ' records): level')}",
        "set ylabel 'level, distance (m)'",
        "set yrange [0:*]",
        # The volume is 4000 times the level: on an axis of its own, linked so, its points lie
        # on the level's line.
        "set y2tics",
        "set y2label 'volume (L)'",
        "set link y2 via y*4000 inverse y/4000",
        f"plot {d} using 1:3 with lines lw 2 title 'level', "
        f"{d} using 1:2 with lines lw 2 title 'distance', "
        f"{d} using 1:5 axes x1y2 with points pt 7 ps 0.5 title 'volume (right)'",
        "unset link y2",
        "set autoscale y",
        "unset y2tics",
        "unset y2label",
        f"set title {quoted(station + ': temperatures')}",
        "set ylabel 'temperature (°C)'",
        f"plot {d} using 1:6 with lines lw 2 title 'temp1', "
        f"{d} using 1:7 with lines lw 2 title 'temp2'",
    ]
    if supply:
        script += [
            f"set title {quoted(station + ': supply and signal')}",
            "set ylabel 'supply voltage (V)'",
            "set yrange [13.85:14.45]",
            "set y2tics",
            "set y2label 'signal strength (rssi, 2-27)'",
            "set y2range [0:29]",
            f"plot {d} using 1:8 with points pt 7 ps 0.6 title 'vin', "
            f"{d} using 1:9 axes x1y2 with points pt 6 ps 0.6 title 'rssi (right)'",
            "set autoscale y",
            "set autoscale y2",
            "unset y2tics",
            "unset y2label",
        ]
script += ["unset multiplot"]
with open(os.path.join(work, "plot.gp"), "w", encoding="utf-8") as out:
    out.write("\n".join(script) + "\n")
PYTHON

gnuplot "$work/plot.gp"
[[ -s "$png" ]] || { echo "plot.sh: gnuplot made no picture" >&2; exit 1; }
echo "plot.sh: wrote $png"
