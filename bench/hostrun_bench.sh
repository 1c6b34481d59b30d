#!/bin/sh
# hostrun side by side with a plain hostfs mount of the same agent: grep -r over 2,000 host
# files and find over 10,000 host entries. Each side is timed whole, from connection to unmount
# (hostrun: namespaces, mount, the command, unmount, hostfs's end; hostfs: mount, the command,
# fusermount3 -u, hostfs's end),
# best of ROUNDS runs, each against a fresh daemon-mode agent with the extension calls. Prints
# both times and their ratio. As root (or where hostrun and hostfs can mount).
#
#   bench/hostrun_bench.sh [--rounds N] [BUILD_DIR]        (default 3 rounds, build/default)
set -eu
rounds=3
if [ "${1:-}" = "--rounds" ]; then rounds=$2; shift 2; fi
build=${1:-build/default}
agent=$build/hostagent
hostrun=$build/hostrun/hostrun
hostfs=$build/hostfs/hostfs
for f in "$agent" "$hostrun" "$hostfs"; do
    [ -x "$f" ] || { echo "missing $f: build first" >&2; exit 1; }
done
command -v fusermount3 >/dev/null || { echo "fusermount3 is missing (Debian package fuse3)" >&2; exit 1; }
(exec 3<>/dev/fuse) 2>/dev/null || { echo "/dev/fuse cannot be opened here" >&2; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/hostrun-bench-XXXXXX") || { echo "mktemp failed" >&2; exit 1; }
agentpid=
cleanup() {
    [ -n "$agentpid" ] && kill "$agentpid" 2>/dev/null || true
    mountpoint -q "$scratch/mnt" 2>/dev/null && fusermount3 -u "$scratch/mnt" || true
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

# The trees: 2,000 files of text in 40 folders; 10,000 entries in 100 folders.
python3 - "$scratch" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(40):
    os.makedirs(f"{root}/grep/d{d}")
    for f in range(50):
        with open(f"{root}/grep/d{d}/f{f}.txt", "w") as out:
            for line in range(40):
                out.write(f"line {line} of file {f} in folder {d}{' needle' if (d * 50 + f) % 97 == 0 and line == 7 else ''}\n")
for d in range(100):
    os.makedirs(f"{root}/find/d{d}")
    for f in range(99):
        open(f"{root}/find/d{d}/e{f}", "w").close()
PY
mkdir "$scratch/mnt"

# A daemon-mode agent with the extension calls; sets $port and $agentpid.
start_agent() {
    rm -f "$scratch/port"
    "$agent" -x -d -- > "$scratch/port" 2> "$scratch/agent.err" &
    agentpid=$!
    for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
        port=$(sed -n 's/^port = //p' "$scratch/port" 2>/dev/null || true)
        [ -n "$port" ] && return 0
        sleep 0.1
    done
    echo "the agent did not start: $(cat "$scratch/agent.err")" >&2
    exit 1
}
stop_agent() { kill "$agentpid" 2>/dev/null || true; wait "$agentpid" 2>/dev/null || true; agentpid=; }

now() { date +%s.%N; }
min() { echo "$1 $2" | awk '{ print ($1 < $2 || $2 == "") ? $1 : $2 }'; }

# Each sets $took (seconds) and leaves the output in $scratch/out; no subshell, whose end would
# run the clean-up.
through_hostrun() { # command...
    start_agent
    t0=$(now)
    "$hostrun" "127.0.0.1:$port" "$@" > "$scratch/out"
    t1=$(now)
    stop_agent
    took=$(echo "$t0 $t1" | awk '{ printf "%.3f", $2 - $1 }')
}

on_hostfs() { # command line
    start_agent
    t0=$(now)
    "$hostfs" "127.0.0.1:$port" "$scratch/mnt" -f 2> "$scratch/hostfs.err" &
    fspid=$!
    for _ in $(seq 200); do mountpoint -q "$scratch/mnt" && break; sleep 0.01; done
    sh -c "$1" > "$scratch/out"
    fusermount3 -u "$scratch/mnt"
    wait "$fspid" || true
    t1=$(now)
    stop_agent
    took=$(echo "$t0 $t1" | awk '{ printf "%.3f", $2 - $1 }')
}

for job in "grep -r needle" "find"; do
    tree=grep
    [ "$job" = find ] && tree=find
    best_r=; best_f=
    i=0
    while [ $i -lt "$rounds" ]; do
        through_hostrun $job "/host$scratch/$tree"
        best_r=$(min "$took" "$best_r")
        lines_r=$(wc -l < "$scratch/out")
        on_hostfs "$job $scratch/mnt$scratch/$tree"
        best_f=$(min "$took" "$best_f")
        lines_f=$(wc -l < "$scratch/out")
        i=$((i + 1))
    done
    [ "$lines_r" = "$lines_f" ] || echo "warning: $tree printed $lines_r lines through hostrun, $lines_f on hostfs" >&2
    ratio=$(echo "$best_r $best_f" | awk '{ printf "%.2f", $1 / ($2 > 0 ? $2 : 0.001) }')
    printf '%-30s hostrun %7.3f s   hostfs %7.3f s   ratio %s (best of %d)\n' \
        "$job ($tree, $lines_r lines)" "$best_r" "$best_f" "$ratio" "$rounds"
done
