#!/bin/bash
# hostfs next to sshfs in one run, as root: both mount the same scratch tree over loopback TCP,
# hostfs through the agent (with -x, and with -o noext for the plain calls), sshfs with
# -o directport on the file-transfer server behind systemd-socket-activate (no encryption).
# Each measure runs on a fresh mount, so the kernel's caches of the mount start empty.
#
#   bench/fsbench.sh [--quick] [BUILD_DIR]
# Full: a 512 MiB sequential read, ls -l of 10,000 entries, copying 2,000 small files.
# --quick: 64 MiB, 1,000 entries, 200 files.
set -eu
quick=0
[ "${1:-}" = --quick ] && { quick=1; shift; }
build=${1:-$(dirname "$0")/../build/default}
agent=$(realpath "$build/hostagent") hostfs=$(realpath "$build/hostfs/hostfs")
server=/usr/lib/openssh/sftp-server
for tool in sshfs systemd-socket-activate fusermount3 "$server"; do
    command -v "$tool" >/dev/null || { echo "fsbench: $tool is missing" >&2; exit 1; }
done
if [ $quick = 1 ]; then mib=64 entries=1000 files=200; else mib=512 entries=10000 files=2000; fi

s=$(mktemp -d "${TMPDIR:-/tmp}/fsbench.XXXXXX")
pids=()
cleanup() {
    fusermount3 -u "$s/mnt" 2>/dev/null || true
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$s"
}
trap cleanup EXIT
mkdir -p "$s/data/many" "$s/mnt" "$s/src"
head -c $((mib << 20)) /dev/urandom >"$s/data/big"
(cd "$s/data/many" && seq -f "entry-%05g" "$entries" | xargs touch)
(cd "$s/src" && for d in $(seq 0 9); do mkdir "d$d"; for f in $(seq $((files / 10))); do
    head -c $((RANDOM % 4000 + 100)) /dev/urandom >"d$d/f$f"; done; done)

# The agent in daemon mode, with its extension calls; it serves one connection, so each mount
# gets an agent of its own.
ln -s "$agent" "$s/xt.bench"
start_agent() {
    rm -f "$s/agent.out"
    "$s/xt.bench" -x -d -- >"$s/agent.out" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 100); do grep -q '^port = ' "$s/agent.out" 2>/dev/null && break; sleep 0.1; done
    aport=$(sed -n 's/^port = //p' "$s/agent.out")
}
# The file-transfer server, one process per connection, on a port the system picks.
sport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
systemd-socket-activate --accept --inetd -l "127.0.0.1:$sport" "$server" 2>/dev/null &
pids+=($!)
sleep 0.5

mount_fs() {
    case $1 in
    hostfs) start_agent && "$hostfs" "127.0.0.1:$aport" "$s/mnt" -o "root=$s/data" 2>/dev/null ;;
    plain) start_agent && "$hostfs" "127.0.0.1:$aport" "$s/mnt" -o "root=$s/data,noext" 2>/dev/null ;;
    sshfs) sshfs -o "directport=$sport" "127.0.0.1:$s/data" "$s/mnt" ;;
    esac
}
now() { date +%s.%N; }
measure() { # measure FS WHAT: seconds of one run on a fresh mount
    local fs=$1 what=$2 t0 t1
    mount_fs "$fs"
    t0=$(now)
    case $what in
    read) cat "$s/mnt/big" >/dev/null ;;
    list) ls -l "$s/mnt/many" >/dev/null ;;
    copy) cp -r "$s/src" "$s/mnt/copy-$fs" ;;
    esac
    t1=$(now)
    fusermount3 -u "$s/mnt"
    echo "$t0 $t1" | awk '{printf "%.3f", $2 - $1}'
}

printf '%-34s %10s %10s %10s %14s\n' measure hostfs "hostfs -o" sshfs "sshfs/hostfs"
printf '%-34s %10s %10s %10s %14s\n' "" "" noext "" ""
for what in read list copy; do
    case $what in
    read) label="sequential read, $mib MiB" ;;
    list) label="ls -l of $entries entries" ;;
    copy) label="copy $files small files onto it" ;;
    esac
    h=$(measure hostfs $what) p=$(measure plain $what) q=$(measure sshfs $what)
    printf '%-34s %9ss %9ss %9ss %13sx\n' "$label" "$h" "$p" "$q" "$(echo "$q $h" | awk '{printf "%.2f", $1 / $2}')"
done
