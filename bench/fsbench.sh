#!/bin/bash
# hostfs next to sshfs in one run, as root, each measure on a fresh mount of the same scratch tree.
# hostfs mounts through a daemon-mode agent with -x; sshfs mounts with -o directport on OpenSSH's
# sftp-server, which the benchmark's launcher (tcpexec) starts on each TCP connection with
# TCP_NODELAY set, as sshd hands a connection to it; no encryption on either side, both with
# their default options.
#
# Over a link: both go through the delaying relay (delayrelay) with a round trip of 10 ms:
#   cp -r of 300 small files onto the mount, grep -r over 500 files, a find -size over the same
#   files right after the grep on the same mount, a 64 MiB read (and again at 100 ms), and eight
#   readers in parallel (xargs -P8 cat) over 64 files of 1 MiB, and one reader of them all
#   (xargs cat, in the names' order).
# On loopback, straight to the agent and the launcher, with hostfs -o noext as a third column:
#   a 512 MiB sequential read, ls -l of 10,000 entries, copying 2,000 small files.
#
#   bench/fsbench.sh [--quick] [--only link|loopback] [--rounds N] [BUILD_DIR]
# --quick: every size about a tenth (under a minute); --rounds: best of N runs of each measure.
# HOSTFS_OPTIONS, when set, is added to hostfs's -o options (both hostfs columns).
# Every command measured is bounded by a timeout; the scratch tree, the mounts and the processes
# the script started are removed at the end.
set -eu
shopt -s inherit_errexit
quick=0 only= rounds=1
name=fsbench usage="[--quick] [--only link|loopback] [--rounds N] [BUILD_DIR]"
. "$(dirname "$0")/common.sh"
bench_options "$@"
shift $nopts
case $rounds in [1-9]) ;; *) echo "fsbench: --rounds 1 to 9" >&2; exit 2 ;; esac
build=${1:-$(dirname "$0")/../build/default}
agent=$(realpath "$build/hostagent") hostfs=$(realpath "$build/hostfs/hostfs")
relay=$(realpath "$build/delayrelay") launcher=$(realpath "$build/tcpexec")
server=/usr/lib/openssh/sftp-server
for tool in sshfs fusermount3 timeout "$server" "$agent" "$hostfs" "$relay" "$launcher"; do
    command -v "$tool" >/dev/null || { echo "fsbench: $tool is missing" >&2; exit 1; }
done
if [ $quick = 1 ]; then
    mib=64 entries=1000 files=200 small=30 greps=50 linkmib=8 par=16 parkib=256
else
    mib=512 entries=10000 files=2000 small=300 greps=500 linkmib=64 par=64 parkib=1024
fi
limit=600 # seconds any one measured command may take
extra=${HOSTFS_OPTIONS:+,$HOSTFS_OPTIONS}

s=$(mktemp -d "${TMPDIR:-/tmp}/fsbench.XXXXXX")
cleanup() {
    if mountpoint -q "$s/mnt" 2>/dev/null; then
        fusermount3 -u "$s/mnt" 2>/dev/null || fusermount3 -u -z "$s/mnt" 2>/dev/null || true
    fi
    stop_started
    rm -rf "$s"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$s/data/many" "$s/data/grep" "$s/data/par" "$s/mnt" "$s/src" "$s/small"
head -c $((mib << 20)) /dev/urandom >"$s/data/big"
head -c $((linkmib << 20)) /dev/urandom >"$s/data/linkbig"
(cd "$s/data/many" && seq -f "entry-%05g" "$entries" | xargs touch)
tree() { # tree DIR COUNT: COUNT files of 100 to 4,100 random bytes in ten folders
    local d f
    for d in $(seq 0 9); do
        mkdir "$1/d$d"
        for f in $(seq $(($2 / 10))); do head -c $((RANDOM % 4000 + 100)) /dev/urandom >"$1/d$d/f$f"; done
    done
}
tree "$s/src" "$files"
tree "$s/small" "$small"
# Text to grep through: lines of words, a few of them naming the needle.
python3 - "$s/data/grep" "$greps" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
words = ["alpha", "beta", "gamma", "delta", "host", "agent", "mount", "file", "link", "cache"]
for i in range(count):
    d = f"{root}/d{i % 10}"
    os.makedirs(d, exist_ok=True)
    with open(f"{d}/f{i}.txt", "w") as f:
        for n in range(rng.randrange(20, 120)):
            f.write(" ".join(rng.choice(words) for _ in range(8)) + ("" if n % 97 else " needle") + "\n")
PY
for i in $(seq "$par"); do head -c $((parkib << 10)) /dev/urandom >"$s/data/par/p$i"; done

# Started by the script, by pid; each waits at most ten seconds for its port.
port_of() { # port_of FILE: the "port = N" a program prints once it listens
    local i
    for i in $(seq 100); do grep -q '^port = ' "$1" 2>/dev/null && break; sleep 0.1; done
    sed -n 's/^port = //p' "$1"
}
# The agent in daemon mode with its extension calls; it serves one connection, so each mount
# gets an agent of its own.
ln -s "$agent" "$s/xt.bench"
start_agent() {
    rm -f "$s/agent.out" # port_of must not find the last agent's port
    "$s/xt.bench" -x -d -- >"$s/agent.out" 2>/dev/null &
    agentpid=$!
    started "$agentpid"
    aport=$(port_of "$s/agent.out")
    [ -n "$aport" ] || { echo "fsbench: the agent did not start" >&2; exit 1; }
}
"$launcher" -t 7200 "$server" >"$s/launcher.out" &
started $!
sport=$(port_of "$s/launcher.out")
[ -n "$sport" ] || { echo "fsbench: the launcher did not start" >&2; exit 1; }
relaypid=
start_relay() { # start_relay ONE-WAY-MS PORT: sets rport
    rm -f "$s/relay.out"
    "$relay" -t 7200 -d "$1" "127.0.0.1:$2" >"$s/relay.out" &
    relaypid=$!
    started "$relaypid"
    rport=$(port_of "$s/relay.out")
    [ -n "$rport" ] || { echo "fsbench: the relay did not start" >&2; exit 1; }
}

mount_fs() { # mount_fs FS ONE-WAY-MS (0: no relay)
    local port
    agentpid= relaypid=
    case $1 in hostfs | plain) start_agent; port=$aport ;; sshfs) port=$sport ;; esac
    if [ "$2" != 0 ]; then start_relay "$2" "$port"; port=$rport; fi
    case $1 in
    hostfs) "$hostfs" "127.0.0.1:$port" "$s/mnt" -o "root=$s/data$extra" 2>/dev/null ;;
    plain) "$hostfs" "127.0.0.1:$port" "$s/mnt" -o "root=$s/data,noext$extra" 2>/dev/null ;;
    sshfs) sshfs -o "directport=$port" "127.0.0.1:$s/data" "$s/mnt" ;;
    esac
}
unmount_fs() {
    fusermount3 -u "$s/mnt" || { sleep 1; fusermount3 -u "$s/mnt"; }
    local p
    for p in $relaypid $agentpid; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
        sed -i "/^$p\$/d" "$s/pids" # reaped: its number may be reused
    done
}
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
bounded() { timeout "$limit" "$@" || { echo "fsbench: '$*' failed or took over $limit s" >&2; exit 1; }; }

measure_once() { # measure_once FS WHAT ONE-WAY-MS: seconds (two figures for grep: grep, then find)
    local fs=$1 what=$2 m=$s/mnt t0 t1 t2 run=$BASHPID
    mount_fs "$fs" "$3"
    t0=$EPOCHREALTIME
    case $what in
    read) bounded cat "$m/big" >/dev/null ;;
    linkread) bounded cat "$m/linkbig" >/dev/null ;;
    list) bounded ls -l "$m/many" >/dev/null ;;
    copy) bounded cp -r "$s/src" "$m/copy-$run" ;;
    smallcopy) bounded cp -r "$s/small" "$m/copy-$run" ;;
    grep)
        bounded grep -r -c needle "$m/grep" >"$s/grep-$fs.out"
        t1=$EPOCHREALTIME
        bounded find "$m/grep" -type f -size +0 >"$s/find-$fs.out"
        ;;
    par) (cd "$m/par" && ls | bounded xargs -P8 -n1 cat) >/dev/null ;;
    onebyone) (cd "$m/par" && ls | bounded xargs cat) >/dev/null ;;
    esac
    t2=$EPOCHREALTIME
    unmount_fs
    case $what in
    copy) diff -r "$s/src" "$s/data/copy-$run" >/dev/null || { echo "fsbench: $fs copied wrong" >&2; exit 1; } ;;
    smallcopy) diff -r "$s/small" "$s/data/copy-$run" >/dev/null || { echo "fsbench: $fs copied wrong" >&2; exit 1; } ;;
    grep)
        [ "$(wc -l <"$s/find-$fs.out")" = "$greps" ] || { echo "fsbench: $fs: find saw a different tree" >&2; exit 1; }
        echo "$(secs "$t0" "$t1") $(secs "$t1" "$t2")"
        return
        ;;
    esac
    secs "$t0" "$t2"
}
measure() { # measure FS WHAT ONE-WAY-MS: the best of the rounds, per figure
    local r out=
    for r in $(seq "$rounds"); do out="$out$(measure_once "$@")"$'\n'; done
    printf '%s' "$out" | awk '{ for (i = 1; i <= NF; i++) if (NR == 1 || $i < b[i]) b[i] = $i }
        END { for (i = 1; i <= NF; i++) printf "%s%s", b[i], (i < NF ? " " : "\n") }'
}
ratio() { awk -v q="$1" -v h="$2" 'BEGIN { printf "%.2f", (h > 0 ? q / h : 0) }'; }
row() { printf '%-44s %9ss %9ss %12sx\n' "$1" "$2" "$3" "$(ratio "$3" "$2")"; }

if [ "$only" != loopback ]; then
    echo "through the relay (round trip 10 ms unless said), sftp-server with TCP_NODELAY:"
    printf '%-44s %10s %10s %13s\n' measure hostfs sshfs "sshfs/hostfs"
    h=$(measure hostfs smallcopy 5)
    q=$(measure sshfs smallcopy 5)
    row "cp -r of $small small files onto the mount" "$h" "$q"
    h=$(measure hostfs grep 5)
    q=$(measure sshfs grep 5)
    [ "$(sort "$s/grep-hostfs.out")" = "$(sort "$s/grep-sshfs.out")" ] ||
        echo "fsbench: the two greps found different counts" >&2
    row "grep -r over $greps files" "${h% *}" "${q% *}"
    row "find -size over them right after the grep" "${h#* }" "${q#* }"
    h=$(measure hostfs linkread 5)
    q=$(measure sshfs linkread 5)
    row "read of a $linkmib MiB file" "$h" "$q"
    h=$(measure hostfs linkread 50)
    q=$(measure sshfs linkread 50)
    row "read of a $linkmib MiB file, round trip 100 ms" "$h" "$q"
    h=$(measure hostfs par 5)
    q=$(measure sshfs par 5)
    row "8 readers in parallel, $par files of $parkib KiB" "$h" "$q"
    h=$(measure hostfs onebyone 5)
    q=$(measure sshfs onebyone 5)
    row "one reader of the same files, by name" "$h" "$q"
fi
if [ "$only" != link ]; then
    echo "on loopback:"
    printf '%-44s %10s %10s %10s %13s\n' measure hostfs "-o noext" sshfs "sshfs/hostfs"
    for what in read list copy; do
        case $what in
        read) label="sequential read, $mib MiB" ;;
        list) label="ls -l of $entries entries" ;;
        copy) label="copy $files small files onto it" ;;
        esac
        h=$(measure hostfs $what 0)
        p=$(measure plain $what 0)
        q=$(measure sshfs $what 0)
        printf '%-44s %9ss %9ss %9ss %12sx\n' "$label" "$h" "$p" "$q" "$(ratio "$q" "$h")"
    done
fi
