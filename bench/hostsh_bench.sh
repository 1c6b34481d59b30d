#!/bin/bash
# hostsh next to the stock sftp client, in the same run on the same files, both in batch mode
# with their default settings; no encryption on either side.
#
# Over a link, through the delaying relay (delayrelay) with a round trip of 10 ms: hostsh to a
# daemon-mode agent with its extension calls (-x) through a listening relay; sftp with -S naming
# a wrapper that ignores its arguments and runs the relay on its standard input and output,
# connected to sftp-server, which the benchmark's launcher (tcpexec) starts on each TCP
# connection with TCP_NODELAY set:
#   get -r and put -r of a tree of 300 small files, get of a 256 MiB file; and the relay alone
#   moving that file from cat to cat, the floor under any client's get.
# On loopback: hostsh straight to the agent, sftp with sftp-server run directly (sftp -D):
#   the same, plus put of the big file and ls -l of 10,000 entries with hostsh's round-trip waits.
# Files live in a scratch folder (in /dev/shm when there is one, so that the disk does not set
# the pace); every copy is compared with its source.
#
#   bench/hostsh_bench.sh [--quick] [--only link|loopback] [--rounds N] [BUILD_DIR [ROUNDS]]
# --quick: 30 files, 16 MiB, 1,000 entries, one round. Default rounds: 3, the best counts.
set -eu
shopt -s inherit_errexit
quick=0 only= rounds=3 quick_rounds=1
name=hostsh_bench usage="[--quick] [--only link|loopback] [--rounds N] [BUILD_DIR [ROUNDS]]"
. "$(dirname "$0")/common.sh"
bench_options "$@"
shift $nopts
build=${1:-$(dirname "$0")/../build/default}
[ $# -lt 2 ] || rounds=$2 # the older form: BUILD_DIR ROUNDS
case $rounds in [1-9]) ;; *) echo "hostsh_bench: rounds 1 to 9" >&2; exit 2 ;; esac
server=${SFTP_SERVER:-/usr/lib/openssh/sftp-server}
for f in "$build/hostsh/hostsh" "$build/hostagent" "$build/delayrelay" "$build/tcpexec" "$server"; do
    [ -x "$f" ] || { echo "hostsh_bench: $f not found" >&2; exit 1; }
done
command -v sftp >/dev/null || { echo "hostsh_bench: sftp not found" >&2; exit 1; }
hostsh=$(realpath "$build/hostsh/hostsh") agent=$(realpath "$build/hostagent")
relay=$(realpath "$build/delayrelay") launcher=$(realpath "$build/tcpexec")
if [ $quick = 1 ]; then files=30 mib=16 entries=1000; else files=300 mib=256 entries=10000; fi
limit=600 # seconds any one session may take

base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
s=$(mktemp -d "$base/hostsh-bench-XXXXXX") || { echo "hostsh_bench: mktemp failed" >&2; exit 1; }
cleanup() {
    stop_started
    rm -rf "$s"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir "$s/host" "$s/local" "$s/host/tree" "$s/local/tree" "$s/host/many"
echo "making the files in $base: a $mib MiB file, $files small files, $entries entries"
head -c $((mib << 20)) /dev/urandom >"$s/host/big.bin"
cp "$s/host/big.bin" "$s/local/big.bin"
for d in $(seq 0 9); do
    mkdir "$s/host/tree/d$d"
    for f in $(seq $((files / 10))); do head -c $((RANDOM % 4000 + 100)) /dev/urandom >"$s/host/tree/d$d/f$f"; done
done
cp -r "$s/host/tree/." "$s/local/tree"
(cd "$s/host/many" && seq -f 'entry%05g' 1 "$entries" | xargs touch)

port_of() { # port_of FILE: the "port = N" a program prints once it listens, within ten seconds
    local i
    for i in $(seq 100); do grep -q '^port = ' "$1" 2>/dev/null && break; sleep 0.1; done
    sed -n 's/^port = //p' "$1"
}
forget() { # forget PID: reaped, so its number may be reused
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    sed -i "/^$1\$/d" "$s/pids"
}
# sftp-server behind the launcher, working in host/, for the sessions over the link.
(cd "$s/host" && exec "$launcher" -t 7200 "$server") >"$s/launcher.out" &
started $!
sport=$(port_of "$s/launcher.out")
[ -n "$sport" ] || { echo "hostsh_bench: the launcher did not start" >&2; exit 1; }
printf '#!/bin/sh\nexec %q -s -d 5 127.0.0.1:%s\n' "$relay" "$sport" >"$s/wrapper"
chmod +x "$s/wrapper"

# A fresh agent with -x working in host/ for each hostsh session, behind a relay with the given one-way
# delay (0: none), started before the clock starts: sets hport.
hostsh_prepare() { # hostsh_prepare ONE-WAY-MS
    rm -f "$s/agent.out" "$s/relay.out" # port_of must not find the last session's ports
    (cd "$s/host" && exec "$agent" -x -d -- >"$s/agent.out" 2>"$s/agent.err") &
    apid=$!
    started $apid
    hport=$(port_of "$s/agent.out")
    [ -n "$hport" ] || { echo "hostsh_bench: the agent did not start" >&2; exit 1; }
    rpid=
    if [ "$1" != 0 ]; then
        "$relay" -t 7200 -d "$1" "127.0.0.1:$hport" >"$s/relay.out" &
        rpid=$!
        started $rpid
        hport=$(port_of "$s/relay.out")
        [ -n "$hport" ] || { echo "hostsh_bench: the relay did not start" >&2; exit 1; }
    fi
}
hostsh_finish() {
    forget "$apid"
    [ -z "$rpid" ] || forget "$rpid"
}
# One session running the batch on standard input.
hostsh_session() { # hostsh_session ONE-WAY-MS [ENV...] (the delay was given to hostsh_prepare)
    shift
    (cd "$s/local" && env "$@" timeout "$limit" "$hostsh" -q -b - "127.0.0.1:$hport") ||
        { echo "hostsh_bench: a hostsh session failed" >&2; exit 1; }
}
sftp_prepare() { :; }
sftp_finish() { :; }
sftp_session() { # sftp_session ONE-WAY-MS (5 over the relay, 0 with sftp-server run directly)
    if [ "$1" = 0 ]; then
        (cd "$s/local" && timeout "$limit" sftp -q -D "$server" -b - >/dev/null)
    else
        (cd "$s/local" && timeout "$limit" sftp -q -S "$s/wrapper" -b - localhost >/dev/null)
    fi || { echo "hostsh_bench: an sftp session failed" >&2; exit 1; }
}
same() { # same A B: the copy matches its source, else the benchmark stops
    diff -r "$1" "$2" >/dev/null || { echo "hostsh_bench: $2 differs from $1" >&2; exit 1; }
}

measure_once() { # measure_once TOOL WHAT ONE-WAY-MS: seconds of one session
    local tool=$1 what=$2 cmd t0 t1
    case $what in
    getr) cmd="get -r $s/host/tree got" ;;
    putr) cmd="put -r tree $s/host/up" ;;
    get) cmd="get $s/host/big.bin got" ;;
    put) cmd="put big.bin $s/host/up" ;;
    esac
    ${tool}_prepare "$3"
    t0=$EPOCHREALTIME
    echo "$cmd" | ${tool}_session "$3"
    t1=$EPOCHREALTIME
    ${tool}_finish
    case $what in
    getr) same "$s/host/tree" "$s/local/got" ;;
    putr) same "$s/local/tree" "$s/host/up" ;;
    get) same "$s/host/big.bin" "$s/local/got" ;;
    put) same "$s/local/big.bin" "$s/host/up" ;;
    esac
    rm -rf "$s/local/got" "$s/host/up"
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", b - a }'
}
best() { # best TOOL WHAT ONE-WAY-MS: the best of the rounds
    local r
    for r in $(seq "$rounds"); do measure_once "$@"; done | sort -g | head -n 1
}
row() { # row LABEL HOSTSH-SECONDS SFTP-SECONDS
    awk -v n="$1" -v h="$2" -v q="$3" 'BEGIN { printf "%-40s %9.3fs %9.3fs %12.2fx\n", n, h, q, (h > 0 ? q / h : 0) }'
}
header() { printf '%-40s %10s %10s %13s\n' measure hostsh sftp "sftp/hostsh"; }
both() { # both LABEL WHAT ONE-WAY-MS
    local h q
    h=$(best hostsh "$2" "$3")
    q=$(best sftp "$2" "$3")
    row "$1" "$h" "$q"
}

# The floor of the big get through the relay: cat of the file into it and cat out of it, no
# protocol and no requests, so whatever any client and server add is above it.
floor() {
    local r cport rport t0 times=
    (cd "$s/host" && exec "$launcher" -t 7200 /bin/cat big.bin) >"$s/cat.out" &
    started $!
    local cpid=$!
    cport=$(port_of "$s/cat.out")
    [ -n "$cport" ] || { echo "hostsh_bench: the launcher did not start" >&2; exit 1; }
    for r in $(seq "$rounds"); do
        rm -f "$s/relay.out"
        "$relay" -t 7200 -d 5 "127.0.0.1:$cport" >"$s/relay.out" &
        rpid=$!
        started $rpid
        rport=$(port_of "$s/relay.out")
        [ -n "$rport" ] || { echo "hostsh_bench: the relay did not start" >&2; exit 1; }
        t0=$EPOCHREALTIME
        timeout "$limit" cat </dev/tcp/127.0.0.1/"$rport" >"$s/local/got"
        times+="$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }') "
        forget "$rpid"
        same "$s/host/big.bin" "$s/local/got"
        rm -f "$s/local/got"
    done
    forget "$cpid"
    printf '%-40s %9.3fs (cat into the relay, cat out of it)\n' "the relay alone, $mib MiB" \
        "$(printf '%s\n' $times | sort -g | head -n 1)"
}

if [ "$only" != loopback ]; then
    echo "through the relay, round trip 10 ms; sftp-server with TCP_NODELAY (best of $rounds):"
    header
    both "get -r of $files small files" getr 5
    both "put -r of $files small files" putr 5
    both "get of a $mib MiB file" get 5
    floor
fi
if [ "$only" != link ]; then
    echo "on loopback; sftp with sftp-server run directly, -D (best of $rounds):"
    header
    both "get -r of $files small files" getr 0
    both "put -r of $files small files" putr 0
    both "get of a $mib MiB file" get 0
    both "put of a $mib MiB file" put 0
    hostsh_prepare 0
    t0=$EPOCHREALTIME
    echo "ls -l $s/host/many" | hostsh_session 0 HOSTSH_STATS=1 >/dev/null 2>"$s/stats"
    h=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')
    hostsh_finish
    waits=$(sed -n 's/^hostsh: \([0-9]*\) round trips$/\1/p' "$s/stats")
    t0=$EPOCHREALTIME
    echo "ls -l $s/host/many" | sftp_session 0
    q=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')
    row "ls -l of $entries entries (${waits:-?} waits)" "$h" "$q"
fi
