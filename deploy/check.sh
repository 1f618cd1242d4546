#!/usr/bin/env bash
# Checks deploy/: every YAML file parses, the Job is Indexed with completions == parallelism and
# its pods take their shard from the completion index. Given a built vandry-fleet, it also runs
# the Job's own arguments (--dry-run, 100 units) for index 0 and 1 and checks that the two plans
# have disjoint names and seeds and together are the plan of one fleet of 200 from unit 0.
# Usage: deploy/check.sh [path/to/vandry-fleet]
set -euo pipefail

usage() { sed -n '2,6s/^# \{0,1\}//p' "$0"; }
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
import glob, sys, yaml

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
print("check: %d YAML documents parse; Job %s: Indexed, %d pods, %s" %
      (len(docs), jobs[0]["metadata"]["name"], job["completions"],
       " ".join(a for a in args if a.startswith(("--units=", "--seed=", "--shard=")))))
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
