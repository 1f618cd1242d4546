#!/usr/bin/env bash
# Draws what the units sent, from the CSV file of vandry-receiver --csv: per station, level and
# distance with the phases of the level cycle (fill, high, fall, low) shaded behind them, the
# volume, the two temperatures, and supply voltage and signal strength, against the time of
# arrival (or against the message number for a recording, whose rows have no time), in one PNG.
# Needs gnuplot (Debian: gnuplot-nox) and python3.
#
#   scripts/plot.sh [--size WxH] [--station NAME]... RUN.csv OUT.png
#
#   --size WxH       the picture's size in pixels; default: 1200 or 500 a station, whichever
#                    is wider, by 1100 (850 when all records are short)
#   --station NAME   draw this station (repeatable); default: the first 4 stations in the file
#   -h, --help       print this help and exit
#
# The unit sends numbers without units. The axes assume metres for level and distance and
# litres for the volume (4000 times the level), degrees Celsius for the temperatures and volts
# for the supply; the signal strength is the unit's own 2-27 scale.
set -euo pipefail

# The comment block above, without its comment marks.
help_text() { awk 'NR == 1 { next } !/^#/ { exit } { sub(/^# ?/, ""); print }' "$0"; }
usage_error() {
    echo "plot.sh: $1" >&2
    echo "usage: scripts/plot.sh [--size WxH] [--station NAME]... RUN.csv OUT.png   (--help for more)" >&2
    exit 2
}

size=""
stations=()
while [[ $# -gt 0 ]]; do
    case "$1" in
    --size) [[ $# -ge 2 ]] || usage_error "--size needs a value, e.g. --size 1200x900"; size="$2"; shift 2 ;;
    --size=*) size="${1#--size=}"; shift ;;
    --station) [[ $# -ge 2 ]] || usage_error "--station needs a station name"; stations+=("$2"); shift 2 ;;
    --station=*) stations+=("${1#--station=}"); shift ;;
    -h | --help) help_text; exit 0 ;;
    --) shift; break ;;
    -?*) usage_error "unknown option $1" ;;
    *) break ;;
    esac
done
[[ $# -eq 2 ]] || usage_error "expected two file names, RUN.csv and OUT.png, got $#"
csv="$1"
png="$2"
if [[ -n "$size" && ! "$size" =~ ^[1-9][0-9]{1,4}x[1-9][0-9]{1,4}$ ]]; then
    usage_error "--size wants WIDTHxHEIGHT in pixels, e.g. 1200x900, not $size"
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
import math
import os
import sys

csv_path, png_path, work, size = sys.argv[1:5]
wanted = sys.argv[5:]
MAX_STATIONS = 4
VALUES = ["distance", "level", "d1", "volume", "temp1", "temp2", "vin", "rssi"]
# Pale backgrounds, so that the curves in front of them keep their own colours.
PHASE_COLOURS = {"fill": "#d5efd0", "high": "#d3e2f7", "fall": "#fbe0c8", "low": "#e4e4e4"}
LEVEL, DISTANCE, VOLUME = "#1f4fb4", "#d9730d", "#1b8a3a"

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


def phases(levels):
    """The phase of each row, or None when the levels show no cycle.

    The unit's noise only ever raises the level, by 0 to 2 % of the profile's value, so the top
    and the bottom of the profile are found from the extremes seen: a row is "high" when its
    level is at least max / 1.02 * 0.999 - 0.001, "low" when it is at most min * 1.02 + 0.001
    (the 0.1 % and the 0.001, one printed digit, absorb the rounding of the printed levels).
    Every other row lies on a slope, which always joins a low to a high or a high to a low: a
    run of them is "fill" when it comes after a low or leads to a high, "fall" when it comes
    after a high or leads to a low. A run between two lows (or two highs), where messages of
    the high (or low) were lost, rises to its highest row and falls after it (or the other way
    round). Phases are marked only where the rows hold a whole slope, a low and a high with
    rows between them: levels within the noise, or a few rows without a slope, show no cycle.
    """
    try:
        values = [float(v) for v in levels]
    except ValueError:
        return None
    if not values:
        return None
    high_from = max(values) / 1.02 * 0.999 - 0.001
    low_to = min(values) * 1.02 + 0.001
    kind = ["high" if v >= high_from else "low" if v <= low_to else None for v in values]
    i, n = 0, len(values)
    whole_slope = False
    while i < n:
        if kind[i] is not None:
            i += 1
            continue
        j = i
        while j < n and kind[j] is None:
            j += 1
        before = kind[i - 1] if i > 0 else None
        after = kind[j] if j < n else None
        whole_slope = whole_slope or {before, after} == {"low", "high"}
        if before is not None and before == after:
            extreme = max if before == "low" else min
            turn = extreme(range(i, j), key=lambda r: values[r]) + 1
            first, second = ("fill", "fall") if before == "low" else ("fall", "fill")
            kind[i:j] = [first] * (turn - i) + [second] * (j - turn)
        elif before == "low" or after == "high":
            kind[i:j] = ["fill"] * (j - i)
        else:  # after a high or before a low: one of the two is always there
            kind[i:j] = ["fall"] * (j - i)
        i = j
    return kind if whole_slope else None


def bands(xs, kind):
    """Runs of one phase as (phase, left, right), their edges halfway between two rows."""
    result = []
    start = 0
    for k in range(1, len(kind) + 1):
        if k == len(kind) or kind[k] != kind[start]:
            left = xs[start] if start == 0 else (xs[start - 1] + xs[start]) / 2
            right = xs[k - 1] if k == len(kind) else (xs[k - 1] + xs[k]) / 2
            result.append((kind[start], left, right))
            start = k
    return result


timed = all(r["time"] for s in chosen for r in rows[s])
supply = any(r["vin"] for s in chosen for r in rows[s])
panels = 4 if supply else 3
if size:
    width, height = (int(v) for v in size.split("x"))
else:
    width, height = max(1200, 500 * len(chosen)), 1100 if supply else 850


def tick_step(top, ticks=4):
    """A step of 1, 2 or 5 times a power of ten that puts about this many ticks up to top."""
    step = 10 ** math.floor(math.log10(top / ticks))
    return next(m * step for m in (1, 2, 5, 10) if top / (m * step) <= ticks)


def quoted(text):  # a gnuplot string in single quotes, where '' stands for '
    return "'" + text.replace("'", "''") + "'"


# Small pictures get smaller letters, so that titles, keys and tick labels leave room for the
# curves: 12 points from panels of about 280 pixels up, down to 7 points.
font = max(7, min(12, height // panels // 23))
script = [
    f"set terminal pngcairo size {width},{height} noenhanced font ',{font}'",
    f"set output {quoted(png_path)}",
    "set datafile missing 'NaN'",
    "set grid",
    "set key outside top center horizontal",
    "set tics out",
    "set ytics nomirror",
    "set autoscale xfix",
    "set lmargin 10",  # the same margins in every panel, so that their time axes line up
    "set rmargin 11",
    f"set key samplen 2 font ',{max(6, font - 3)}'",
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
               "set format x '%H:%M:%S'"]
    x_label = "set xlabel 'time of arrival (UTC)'"
else:
    span = "a recording"
    x_label = "set xlabel 'message number'"
title = f"vandry: {count} messages of {len(chosen)} station{'s' if len(chosen) > 1 else ''}, {span}"
script += [f"set multiplot layout {panels},{len(chosen)} columnsfirst title {quoted(title)}"]
# The width of one panel's plotting area in pixels, less the margins (about 8 pixels a
# character): a phase is named inside its band only where the name fits.
plot_pixels = max(1, width // len(chosen) - 21 * 8)
label_pixels = font * 0.6  # the width of one letter of the phase names

for k, station in enumerate(chosen):
    data = os.path.join(work, f"station{k}.dat")
    xs = []
    with open(data, "w") as out:
        for n, r in enumerate(rows[station], 1):
            x = f"{seconds(r['time']):.3f}" if timed else str(n)
            xs.append(float(x))
            out.write(" ".join([x] + [r[v] or "NaN" for v in VALUES]) + "\n")
    d = quoted(data)
    # One message, or several at one instant, spans no time: a second either side of it does.
    x_range = [f"set xrange [{xs[0] - 1:.3f}:{xs[0] + 1:.3f}]"] if xs[-1] == xs[0] else []
    kind = phases(r["level"] for r in rows[station])
    marks, keys = [], []
    if kind:
        # The bands lie behind the grid and the curves; each phase has one entry in the key.
        x_span = (xs[-1] - xs[0]) or 1.0  # all rows at one instant: the bands have no width
        for number, (phase, left, right) in enumerate(bands(xs, kind), 1):
            marks.append(f"set object {number} rectangle from first {left:.3f}, graph 0 "
                         f"to first {right:.3f}, graph 1 behind fillcolor rgb "
                         f"'{PHASE_COLOURS[phase]}' fillstyle solid 1.0 noborder")
            if (right - left) / x_span * plot_pixels >= label_pixels * (len(phase) + 2):
                marks.append(f"set label {number} '{phase}' at first {(left + right) / 2:.3f}, "
                             "graph 0.92 center textcolor rgb '#404040' front")
        keys = [f"NaN with boxes fillstyle solid 1.0 noborder linecolor rgb "
                f"'{PHASE_COLOURS[p]}' title '{p}'"
                for p in ("fill", "high", "fall", "low") if p in kind]
    # Headroom above the curves keeps the phase names clear of them.
    top = max(float(r[v]) for r in rows[station] for v in ("level", "distance"))
    if kind and top > 0:
        level_axis = [f"set yrange [0:{top * 1.2:.3f}]", f"set ytics {tick_step(top * 1.2, 6)}"]
    else:
        level_axis = ["set yrange [0:*]", "set ytics autofreq"]
    top_volume = max(float(r["volume"]) for r in rows[station])
    volume_tics = f"set ytics {tick_step(top_volume)}" if top_volume > 0 else "set ytics autofreq"
    layout = rows[station][0]["layout"]
    panel = [
        # Level and distance over the phase bands.
        x_range + marks + [
            f"set title {quoted(f'{station} ({layout} records): level and distance')}",
            "set ylabel 'level, distance (m)'",
        ] + level_axis + [
            "plot " + ", ".join(
                [f"{d} using 1:3 with lines lw 2 linecolor rgb '{LEVEL}' title 'level'",
                 f"{d} using 1:2 with lines lw 2 dashtype 2 linecolor rgb '{DISTANCE}' "
                 "title 'distance'"] + keys),
            "unset label",
        ],
        # The volume is 4000 times the level: in a panel of its own, over the same bands, it
        # stays visible instead of lying on the level's line.
        [
            f"set title {quoted(station + ': volume')}",
            "set ylabel 'volume (L)'",
            "set yrange [0:*]",
            volume_tics,
            f"plot {d} using 1:5 with linespoints lw 2 pt 7 ps 0.4 linecolor rgb '{VOLUME}' "
            "title 'volume'",
            "unset object",
            "set autoscale y",
            "set ytics autofreq",
        ],
        [
            f"set title {quoted(station + ': temperatures')}",
            "set ylabel 'temperature (°C)'",
            f"plot {d} using 1:6 with lines lw 2 title 'temp1', "
            f"{d} using 1:7 with lines lw 2 title 'temp2'",
        ],
    ]
    if supply:
        if any(r["vin"] for r in rows[station]):
            drawn = [f"plot {d} using 1:8 with points pt 7 ps 0.6 title 'vin', "
                     f"{d} using 1:9 axes x1y2 with points pt 6 ps 0.6 title 'rssi (right)'"]
        else:
            # Short records carry neither: an empty panel over the same axis says so.
            drawn = [f"set xrange [{xs[0]:.3f}:{max(xs[-1], xs[0] + 1):.3f}]",
                     "set label 1 'short records: no supply, no signal' at graph 0.5, graph 0.5 center",
                     "plot NaN notitle",
                     "unset label"]
        panel.append([
            f"set title {quoted(station + ': supply and signal')}",
            "set ylabel 'supply voltage (V)'",
            "set yrange [13.85:14.45]",
            "set y2tics",
            "set y2label 'signal strength (rssi, 2-27)'",
            "set y2range [0:29]",
        ] + drawn + [
            "set autoscale y",
            "set autoscale y2",
            "unset y2tics",
            "unset y2label",
        ])
    # The panels of a column share their x axis: only the lowest one names it.
    panel[-1] = [x_label] + panel[-1] + ["unset xlabel"]
    script += [line for lines in panel for line in lines] + ["set autoscale xfix"]
script += ["unset multiplot"]
with open(os.path.join(work, "plot.gp"), "w", encoding="utf-8") as out:
    out.write("\n".join(script) + "\n")
PYTHON

gnuplot "$work/plot.gp"
[[ -s "$png" ]] || { echo "plot.sh: gnuplot made no picture" >&2; exit 1; }
echo "plot.sh: wrote $png"
