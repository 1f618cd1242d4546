#!/usr/bin/env bash
# Checks deploy/: every YAML file parses, the Job is Indexed with completions == parallelism and
# its pods take their shard from the completion index; the fleet's and the receivers' pods serve
# --metrics on a container port named metrics that their prometheus.io/* annotations name; the
# Grafana dashboard is JSON whose every expression names only the programs' metrics. Given a
# built vandry-fleet, it also runs the Job's own arguments (--dry-run, 100 units) for index 0
# and 1 and checks that the two plans have disjoint names and seeds and together are the plan of
# one fleet of 200 from unit 0.
# Usage: deploy/check.sh [path/to/vandry-fleet]
set -euo pipefail

usage() { sed -n '2,9s/^# \{0,1\}//p' "$0"; }
case "${1:-}" in
-h | --help)
    usage
    exit 0
    ;;
-*)
    echo "check: unknown option $1" >&2
    usage >&2
    exit 2
    ;;
esac
if [[ $# -gt 1 ]]; then
    echo "check: one argument at most, the path of vandry-fleet; got $#" >&2
    usage >&2
    exit 2
fi
here="$(cd "$(dirname "$0")" && pwd)"
fleet="${1:-}"
if [[ -n "$fleet" && ! -x "$fleet" ]]; then
    echo "check: not an executable: $fleet" >&2
    exit 2
fi

py=/usr/bin/python3  # Debian's, for which python3-yaml installs
if ! "$py" -c 'import yaml' 2>/dev/null; then
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-yaml >/dev/null
fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# Writes the fleet's arguments (one per line) for shard 0, shard 1 and the whole fleet.
"$py" - "$here" "$tmp" <<'PY'
import glob, json, re, sys, yaml

here, out = sys.argv[1], sys.argv[2]
def fail(message):
    sys.exit("check: " + message)

docs = []
for path in sorted(glob.glob(here + "/*.yaml")):
    with open(path) as f:
        try:
            docs += [d for d in yaml.safe_load_all(f) if d is not None]
        except yaml.YAMLError as e:
            fail("%s does not parse: %s" % (path, e))
jobs = [d for d in docs if d.get("kind") == "Job"]
if len(jobs) != 1:
    fail("expected one Job, found %d" % len(jobs))
# The Job's desired state and its pod template, under Kubernetes' own field names.
job, pod = jobs[0]["spec"], jobs[0]["spec"]["template"]["spec"]
if job.get("completionMode") != "Indexed":
    fail("the Job's completionMode is not Indexed")
if not isinstance(job.get("completions"), int) or job["completions"] != job.get("parallelism"):
    fail("completions (%s) != parallelism (%s)" % (job.get("completions"), job.get("parallelism")))
args = pod["containers"][0].get("args", [])
shard = "--shard=$(JOB_COMPLETION_INDEX)"
if shard not in args:
    fail("args lack " + shard)
for option in ("--units=", "--seed="):
    if not any(a.startswith(option) for a in args):
        fail("args lack " + option)

def plan(units, index):
    result = []
    for a in args:
        if a.startswith("--metrics"):
            continue  # the figures' endpoint is no part of the plan
        if a.startswith("--units="):
            a = "--units=%d" % units
        elif a.startswith("--server="):
            a = "--server=127.0.0.1:5000"  # a dry-run sends nothing; the plan needs no server
        elif a == shard:
            a = "--shard=%d" % index if index is not None else "--first-unit=0"
        result.append(a)
    return "\n".join(result + ["--dry-run"]) + "\n"

for name, units, index in (("shard0", 100, 0), ("shard1", 100, 1), ("whole", 200, None)):
    with open("%s/%s.args" % (out, name), "w") as f:
        f.write(plan(units, index))
def metrics_port(what, meta, pod):
    """The port on which the pod serves its figures: its annotations, its container's --metrics
    and its container port named metrics must all name it."""
    notes = meta.get("annotations") or {}
    container = pod["containers"][0]
    for key, value in (("prometheus.io/scrape", "true"), ("prometheus.io/path", "/metrics")):
        if notes.get(key) != value:
            fail("%s: annotation %s is %r, not %r" % (what, key, notes.get(key), value))
    named = [p for p in container.get("ports", []) if p.get("name") == "metrics"]
    if len(named) != 1:
        fail("%s: expected one container port named metrics, found %d" % (what, len(named)))
    port = named[0].get("containerPort")
    given = [a[len("--metrics="):] for a in container.get("args", []) if a.startswith("--metrics=")]
    if given != ["0.0.0.0:%s" % port]:
        fail("%s: args give --metrics=%s, the port named metrics is %s" % (what, given, port))
    if notes.get("prometheus.io/port") != str(port):
        fail("%s: annotation prometheus.io/port is %r, the port named metrics %s" %
             (what, notes.get("prometheus.io/port"), port))
    if not any(re.fullmatch(r"--metrics-linger=[1-9][0-9]*", a) for a in container["args"]):
        fail("%s: args lack --metrics-linger=SECONDS for a last scrape" % what)
    return port

receivers = [d for d in docs if d.get("kind") == "Deployment" and d["metadata"]["name"] == "vandry-receiver"]
ports = [metrics_port("the Job", jobs[0]["spec"]["template"]["metadata"], pod)]
for r in receivers:
    ports.append(metrics_port("Deployment vandry-receiver", r["spec"]["template"]["metadata"],
                              r["spec"]["template"]["spec"]))
for monitor in (d for d in docs if d.get("kind") == "PodMonitor"):
    if [e.get("port") for e in monitor["spec"]["podMetricsEndpoints"]] != ["metrics"]:
        fail("PodMonitor %s does not scrape the port named metrics" % monitor["metadata"]["name"])

# The metrics that the programs expose; a histogram brings its _bucket, _count and _sum.
AGREED = set("""vandry_fleet_units vandry_fleet_connected_units vandry_fleet_messages_written_total
vandry_fleet_messages_unconfirmed_total vandry_fleet_messages_failed_total
vandry_fleet_connects_total vandry_fleet_connect_failures_total
vandry_fleet_connection_failures_total vandry_fleet_skipped_slots_total
vandry_fleet_held_slots_total vandry_fleet_unsent_slots_total vandry_fleet_faults_injected_total
vandry_receiver_connections_open vandry_receiver_connections_accepted_total
vandry_receiver_accept_failures_total vandry_receiver_messages_total vandry_receiver_bytes_total
vandry_receiver_malformed_total vandry_receiver_restarts_total vandry_receiver_lost_messages
vandry_receiver_duplicated_messages vandry_receiver_altered_messages
vandry_receiver_incomplete_messages vandry_receiver_unknown_stations
vandry_receiver_missing_stations vandry_receiver_unexplained_findings""".split())
AGREED |= {"vandry_fleet_lateness_seconds" + s for s in ("_bucket", "_count", "_sum")}
KEYWORDS = {"and", "or", "unless", "bool", "offset", "inf", "nan", "Inf", "NaN"}

def metrics_named(expr):
    """The metric names in a PromQL expression: words that are not functions, keywords, label
    names or values, durations or numbers."""
    text = re.sub(r'"(?:[^"\\]|\\.)*"', '""', expr)
    text = re.sub(r"\{[^}]*\}|\[[^\]]*\]", " ", text)
    text = re.sub(r"\b(by|without|on|ignoring|group_left|group_right)\s*\([^)]*\)", " ", text)
    text = re.sub(r"\b[0-9][0-9.eE+-]*", " ", text)
    return [m.group() for m in re.finditer(r"[A-Za-z_:][A-Za-z0-9_:]*", text)
            if m.group() not in KEYWORDS and not text[m.end():].lstrip().startswith("(")]

def panels_of(panels):
    for panel in panels:
        yield panel
        yield from panels_of(panel.get("panels", []))

try:
    with open(here + "/grafana-dashboard.json") as f:
        dashboard = json.load(f)
except ValueError as e:
    fail("grafana-dashboard.json is not JSON: %s" % e)
exprs = [t.get("expr", "") for p in panels_of(dashboard["panels"]) for t in p.get("targets", [])]
if not exprs:
    fail("grafana-dashboard.json has no expressions")
for expr in exprs:
    names = metrics_named(expr)
    if not names or set(names) - AGREED:
        fail("the dashboard's %r names %s, not only the programs' metrics" %
             (expr, sorted(set(names) - AGREED) or "no metric"))

print("check: %d YAML documents parse; Job %s: Indexed, %d pods, %s" %
      (len(docs), jobs[0]["metadata"]["name"], job["completions"],
       " ".join(a for a in args if a.startswith(("--units=", "--seed=", "--shard=")))))
print("check: metrics on ports %s, named in the pods' annotations; %d dashboard expressions "
      "name only the programs' metrics" % (", ".join(map(str, ports)), len(exprs)))
PY

if command -v kubectl >/dev/null; then
    kubectl kustomize "$here" >/dev/null
    echo "check: kubectl kustomize builds deploy/"
fi

[[ -z "$fleet" ]] && exit 0
for name in shard0 shard1 whole; do
    mapfile -t args < "$tmp/$name.args"
    # First line: the plan's header; then one "NAME SEED" line per unit.
    "$fleet" "${args[@]}" > "$tmp/$name.out" || { echo "check: $fleet ${args[*]} failed" >&2; exit 1; }
    tail -n +2 "$tmp/$name.out" | sort > "$tmp/$name.plan"
done
for field in 1 2; do
    overlap="$(comm -12 <(cut -d' ' -f"$field" "$tmp/shard0.plan" | sort) \
                        <(cut -d' ' -f"$field" "$tmp/shard1.plan" | sort) | head -3 | tr "\n" " ")"
    if [[ -n "$overlap" ]]; then
        echo "check: shards 0 and 1 share $([[ $field == 1 ]] && echo names || echo seeds): $overlap" >&2
        exit 1
    fi
done
if [[ $(wc -l < "$tmp/whole.plan") -ne 200 ]] ||
   ! sort "$tmp/shard0.plan" "$tmp/shard1.plan" | cmp -s - "$tmp/whole.plan"; then
    echo "check: shards 0 and 1 together are not the fleet of 200 from unit 0" >&2
    diff <(sort "$tmp/shard0.plan" "$tmp/shard1.plan") "$tmp/whole.plan" | head -5 >&2
    exit 1
fi
echo "check: shards 0 and 1 of 100 units: disjoint names and seeds, together the fleet of 200"
