#!/usr/bin/env bash
# Checks that the documentation's command blocks stay runnable as written and its links lead
# somewhere, in README.md, ARCHITECTURE.md and docs/*.md.
# Usage: scripts/check-docs.sh [build-dir]   (default: build; the programs must be built there)
# Every fenced sh, bash or console block must parse (bash -n); every path it names under
# build/, scripts/, deploy/ or docs/ must exist; every long option given to vandry,
# vandry-fleet or vandry-receiver must be in that program's --help. Every relative link
# [text](path) must name an existing file. Exit status: 0 when all hold, 1 otherwise.
set -euo pipefail

usage() { sed -n '4,4s/^# \{0,1\}//p' "$0"; }
case "${1:-}" in
-h | --help)
    sed -n '2,8s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
-*)
    echo "check-docs.sh: unknown option $1" >&2
    usage >&2
    exit 2
    ;;
esac
if [[ $# -gt 1 ]]; then
    echo "check-docs.sh: one build directory at most, got $# arguments" >&2
    usage >&2
    exit 2
fi
build=$(realpath -m "${1:-build}")
cd "$(dirname "$0")/.."
root=$(pwd)

failures=0
fail() {
    echo "check-docs.sh: $1" >&2
    failures=$((failures + 1))
}

# The --help text of each program, read once; a program that is not built fails every block
# that names it.
declare -A help_of
for program in vandry fleet/vandry-fleet receiver/vandry-receiver; do
    help_of[${program##*/}]=$("$build/$program" --help 2>/dev/null || true)
    [[ -n "${help_of[${program##*/}]}" ]] || fail "$build/$program --help printed nothing: is it built?"
done

# Writes every fenced sh/bash/console block of a file into $blocks/N.sh, with its first line's
# place in $blocks/N.at. Console blocks keep only their "$ " lines (and what continues them).
extract_blocks() {
    awk -v file="$1" -v dir="$2" -v start="$3" '
        /^```/ && !inside { inside = 1; kind = substr($0, 4); n = -1
            if (kind == "sh" || kind == "bash" || kind == "console") {
                n = start++; out = dir "/" n ".sh"; printf "" > out
                print file ":" NR + 1 > (dir "/" n ".at"); cont = 0 }
            next }
        /^```/ && inside { inside = 0; if (n >= 0) close(out); next }
        inside && n >= 0 {
            line = $0
            if (kind == "console") {
                if (line ~ /^\$ /) { line = substr(line, 3) } else if (!cont) { next }
                cont = (line ~ /\\$/) }
            print line > out }
        END { print start }' "$1"
}

# The long options that a block gives each of the three programs: a command's words up to the
# next operator, comments and continued lines joined first. Prints "program option" lines.
options_given() {
    sed -e ':a' -e '/\\$/N; s/\\\n/ /; ta' "$1" | sed -e 's/\(^\|[[:space:]]\)#.*$//' |
        sed -e 's/[|;&<>()]/ & /g' -e 's/[][]/ /g' | awk '
        { program = ""
          for (i = 1; i <= NF; i++) {
              word = $i; base = word; sub(/.*\//, "", base)
              if (word ~ /^[|;&<>()]$/) { program = ""; continue }
              if (base == "vandry" || base == "vandry-fleet" || base == "vandry-receiver") {
                  program = base; continue }
              if (program != "" && word ~ /^--[a-z]/) { sub(/=.*/, "", word); print program, word }
          } }'
}

# The repository paths that a block names, as written (../ and ./ taken off).
paths_named() {
    sed -e 's/\(^\|[[:space:]]\)#.*$//' "$1" |
        grep -oE '(^|[^A-Za-z0-9_.$/-])(\.\./|\./)?(build|scripts|deploy|docs)/[A-Za-z0-9_./-]*' |
        sed -E 's/^[^bsd.]*//; s/^(\.\.\/|\.\/)//' || true
}

# A build/ path exists in the build directory; a program that this configuration leaves out
# (the benchmark without Google Benchmark) is passed over when the project defines it.
check_path() {
    local path=$1 at=$2
    if [[ $path == build/* ]]; then
        [[ -e "$build/${path#build/}" ]] && return
        local name=${path##*/}
        if grep -rqsE "add_executable\\(${name}[[:space:]]" --include=CMakeLists.txt "$root"; then
            echo "check-docs.sh: $at: $path is not built in $build; passed over" >&2
            return
        fi
        fail "$at: $path names no program of the build"
        return
    fi
    [[ -e "$root/$path" ]] || fail "$at: $path does not exist"
}

check_block() {
    local block=$1 at program option path
    at=$(cat "${block%.sh}.at")
    bash -n "$block" 2>/dev/null || fail "$at: the block does not parse: $(bash -n "$block" 2>&1 | head -1)"
    while read -r program option; do
        [[ -n "${help_of[$program]}" ]] || continue
        grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" <<<"${help_of[$program]}" ||
            fail "$at: $program has no option $option (see $program --help)"
    done < <(options_given "$block")
    while read -r path; do
        [[ -n $path ]] && check_path "${path%/}" "$at"
    done < <(paths_named "$block")
}

# Relative links outside code blocks, each to an existing file (an anchor after # aside).
check_links() {
    local file=$1 link target
    while read -r link; do
        target=${link%%#*}
        [[ -z $target || $target =~ ^[a-z]+: ]] && continue
        [[ -e "$(dirname "$file")/$target" ]] || fail "$file: the link ($link) leads nowhere"
    done < <(awk '/^```/ { inside = !inside; next } !inside' "$file" |
        grep -oE '\]\([^)[:space:]]+\)' | sed -e 's/^](//' -e 's/)$//' || true)
}

blocks=$(mktemp -d)
trap 'rm -rf "$blocks"' EXIT
count=0
for file in README.md ARCHITECTURE.md docs/*.md; do
    count=$(extract_blocks "$file" "$blocks" "$count")
    check_links "$file"
done
for ((n = 0; n < count; n++)); do
    check_block "$blocks/$n.sh"
done
if ((failures > 0)); then
    echo "check-docs.sh: $failures problems in $count command blocks" >&2
    exit 1
fi
echo "check-docs.sh: $count command blocks and every link hold"
