#!/bin/sh
# hostrun side by side: grep -r over 2,000 host files and find over 10,000 host entries, through
# hostrun, and through a hostfs mount of the same agent when the build has hostfs and /dev/fuse
# opens (else the same commands run directly on the tree). Prints each time and the ratio.
#
#   bench/hostrun_bench.sh [BUILD_DIR]        (default build/default)
set -eu
build=${1:-build/default}
agent=$build/hostagent
hostrun=$build/hostrun/hostrun
hostfs=$build/hostfs/hostfs
for f in "$agent" "$hostrun"; do
    [ -x "$f" ] || { echo "missing $f: build first" >&2; exit 1; }
done

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

# A daemon-mode agent with the extension calls; sets $port and $agentpid.
start_agent() {
    "$agent" -x -d -- > "$scratch/port" 2> "$scratch/agent.err" &
    agentpid=$!
    for _ in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
        port=$(sed -n 's/^port = //p' "$scratch/port")
        [ -n "$port" ] && return 0
        sleep 0.1
    done
    echo "the agent did not start: $(cat "$scratch/agent.err")" >&2
    exit 1
}
stop_agent() { wait "$agentpid" 2>/dev/null || true; agentpid=; }

now() { date +%s.%N; }
# Seconds taken by a command line, its output counted in $scratch/out.
timed() {
    t0=$(now)
    "$@" > "$scratch/out"
    t1=$(now)
    echo "$t0 $t1" | awk '{printf "%.3f", $2 - $1}'
}

fuse_ok=no
if [ -x "$hostfs" ] && [ -r /dev/fuse ] && command -v fusermount3 >/dev/null && (exec 3<>/dev/fuse) 2>/dev/null; then
    fuse_ok=yes
fi

report() { # what hostrun_seconds peer_seconds peer_name
    ratio=$(echo "$2 $3" | awk '{printf "%.2f", $1 / ($2 > 0 ? $2 : 0.001)}')
    printf '%-34s hostrun %7.3f s   %-6s %7.3f s   ratio %s\n' "$1" "$2" "$4" "$3" "$ratio"
}

for job in "grep:grep -r needle" "find:find"; do
    tree=${job%%:*}
    cmd=${job#*:}
    start_agent
    th=$(timed "$hostrun" "127.0.0.1:$port" $cmd "/host$scratch/$tree")
    lines_h=$(wc -l < "$scratch/out")
    stop_agent
    if [ $fuse_ok = yes ]; then
        mkdir -p "$scratch/mnt"
        start_agent
        "$hostfs" "127.0.0.1:$port" "$scratch/mnt" 2> "$scratch/hostfs.err"
        tp=$(timed $cmd "$scratch/mnt$scratch/$tree")
        lines_p=$(wc -l < "$scratch/out")
        fusermount3 -u "$scratch/mnt"
        stop_agent
        peer=hostfs
    else
        tp=$(timed $cmd "$scratch/$tree")
        lines_p=$(wc -l < "$scratch/out")
        peer=direct
    fi
    [ "$lines_h" = "$lines_p" ] || echo "warning: $tree printed $lines_h lines through hostrun, $lines_p through $peer" >&2
    report "$cmd ($tree, $lines_h lines)" "$th" "$tp" "$peer"
done
