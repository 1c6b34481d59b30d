#!/bin/sh
# hostsh next to the stock sftp client, in the same run on the same files:
#   - get and put of one 512 MiB file: hostsh against a daemon-mode agent, sftp against
#     sftp-server run directly (sftp -D, no ssh), both with their default settings;
#   - ls -l of a directory of 10,000 entries: hostsh's round-trip waits and times.
# Files live in a scratch folder (in /dev/shm when there is one, so that the disk does not
# set the pace), removed at the end.
#
#   bench/hostsh_bench.sh [BUILD_DIR] [ROUNDS]      (defaults: build/default, 3)
set -eu
build=${1:-build/default}
rounds=${2:-3}
hostsh=$build/hostsh/hostsh
agent=$build/hostagent
server=${SFTP_SERVER:-/usr/lib/openssh/sftp-server}
size_mib=${HOSTSH_BENCH_MIB:-512}
for f in "$hostsh" "$agent" "$server"; do
    [ -x "$f" ] || { echo "hostsh_bench: $f not found" >&2; exit 1; }
done
command -v sftp >/dev/null || { echo "hostsh_bench: sftp not found" >&2; exit 1; }
hostsh=$(realpath "$hostsh")
agent=$(realpath "$agent")

base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
scratch=$(mktemp -d "$base/hostsh-bench-XXXXXX") || { echo "hostsh_bench: mktemp failed" >&2; exit 1; }
agent_pid=
cleanup() {
    [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM
mkdir "$scratch/host" "$scratch/local"
cd "$scratch"

now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { print a - b }'; }

# An agent in daemon mode working in host/; it serves one session.
start_agent() {
    rm -f "$scratch/port"
    (cd host && exec "$agent" -d -- >"$scratch/port" 2>"$scratch/agent.err") &
    agent_pid=$!
    i=0
    until grep -q '^port = ' "$scratch/port" 2>/dev/null; do
        i=$((i + 1)); [ $i -lt 500 ] || { echo "hostsh_bench: the agent did not start" >&2; exit 1; }
        sleep 0.01
    done
    port=$(sed -n 's/^port = //p' "$scratch/port")
}
# One session running the batch on standard input, against the agent started before.
hostsh_session() {
    (cd local && "$hostsh" -q -b - "127.0.0.1:$port")
    wait "$agent_pid" 2>/dev/null || true
    agent_pid=
}
sftp_session() {
    (cd local && sftp -q -D "$server" -b - >/dev/null)
}

echo "making a $size_mib MiB file of random bytes in $base"
head -c $((size_mib * 1048576)) /dev/urandom >host/big.bin
cp host/big.bin local/big.bin

best() { # best of the seconds given
    printf '%s\n' "$@" | sort -g | head -n 1
}
gets_h= gets_s= puts_h= puts_s=
r=0
while [ $r -lt "$rounds" ]; do
    r=$((r + 1))
    start_agent; t=$(now); echo "get big.bin got.bin" | hostsh_session; gets_h="$gets_h $(since "$t")"
    cmp -s host/big.bin local/got.bin || { echo "hostsh_bench: hostsh get differs" >&2; exit 1; }
    rm -f local/got.bin
    t=$(now); echo "get ../host/big.bin got.bin" | sftp_session; gets_s="$gets_s $(since "$t")"
    rm -f local/got.bin
    start_agent; t=$(now); echo "put big.bin up.bin" | hostsh_session; puts_h="$puts_h $(since "$t")"
    cmp -s local/big.bin host/up.bin || { echo "hostsh_bench: hostsh put differs" >&2; exit 1; }
    rm -f host/up.bin
    t=$(now); echo "put big.bin ../host/up.bin" | sftp_session; puts_s="$puts_s $(since "$t")"
    rm -f host/up.bin
done
report() { # name hostsh-seconds sftp-seconds
    awk -v n="$1" -v h="$2" -v s="$3" -v m="$size_mib" 'BEGIN {
        printf "%-4s %d MiB: hostsh %.2f s (%.0f MiB/s), sftp %.2f s (%.0f MiB/s), ratio %.2f (above 1: hostsh faster)\n",
               n, m, h, m / h, s, m / s, s / h }'
}
report get "$(best $gets_h)" "$(best $gets_s)"
report put "$(best $puts_h)" "$(best $puts_s)"

mkdir host/many
(cd host/many && seq -f 'entry%05g' 1 10000 | xargs touch)
start_agent
t=$(now)
echo "ls -l many" | HOSTSH_STATS=1 hostsh_session >/dev/null 2>"$scratch/stats"
secs=$(since "$t")
waits=$(sed -n 's/^hostsh: \([0-9]*\) round trips$/\1/p' "$scratch/stats")
t=$(now); echo "ls -l ../host/many" | sftp_session; ssecs=$(since "$t")
awk -v w="$waits" -v h="$secs" -v s="$ssecs" 'BEGIN {
    printf "ls -l of 10000 entries: hostsh %d round-trip waits, %.2f s; sftp %.2f s\n", w, h, s }'
