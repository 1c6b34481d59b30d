#!/bin/bash
# The POSIX file-system test suite pjdfstest on a hostfs mount, as root, in two modes: a default
# mount, and the multi-user mode (-o allow_other,default_permissions). Each mode gets a daemon-mode
# agent with -x on loopback and a fresh scratch directory mounted with -o root=; the suite runs
# with its working directory at the mount's root. Prints the test files passed and failed in each
# directory and the totals. It measures; it is not a test of the build.
#
#   bench/posix_suite.sh [--log DIR] [--only default|multi] PJDFSTEST_DIR [BUILD_DIR]
# PJDFSTEST_DIR is a built checkout of pjdfstest (its pjdfstest program next to tests/).
# POSIX_DIRS, when set, names the directories of the suite to run instead of all twelve;
# HOSTFS_OPTIONS, when set, is added to hostfs's -o options in both modes (noext, for example).
# --log DIR keeps prove's verbose output of each mode there (DIR/MODE-DIRECTORY.log).
# Every run is bounded by a timeout; the mount, the scratch directory and the processes the
# script started are removed at the end.
set -eu
shopt -s inherit_errexit
log= only=
while [ $# -gt 0 ]; do
    case $1 in
    --log) log=$(realpath "$2"); shift 2 ;;
    --only) only=$2; shift 2 ;;
    -*) echo "usage: $0 [--log DIR] [--only default|multi] PJDFSTEST_DIR [BUILD_DIR]" >&2; exit 2 ;;
    *) break ;;
    esac
done
[ $# -ge 1 ] || { echo "usage: $0 [--log DIR] [--only default|multi] PJDFSTEST_DIR [BUILD_DIR]" >&2; exit 2; }
case $only in "" | default | multi) ;; *) echo "posix_suite: --only default or multi" >&2; exit 2 ;; esac
[ "$(id -u)" = 0 ] || { echo "posix_suite: run it as root (the suite changes owners)" >&2; exit 1; }
pjd=$(realpath "$1")
build=${2:-$(dirname "$0")/../build/default}
agent=$(realpath "$build/hostagent") hostfs=$(realpath "$build/hostfs/hostfs")
[ -x "$pjd/pjdfstest" ] && [ -f "$pjd/tests/misc.sh" ] || { echo "posix_suite: no built pjdfstest in $pjd" >&2; exit 1; }
for tool in prove fusermount3 timeout mountpoint "$agent" "$hostfs"; do
    command -v "$tool" >/dev/null || { echo "posix_suite: $tool is missing" >&2; exit 1; }
done
[ -z "$log" ] || mkdir -p "$log"
dirs=${POSIX_DIRS:-"chmod chown link mkdir mkfifo open rename rmdir symlink truncate unlink utimensat"}
limit=900 # seconds one directory of the suite may take

s=$(mktemp -d "${TMPDIR:-/tmp}/posix_suite.XXXXXX")
chmod 755 "$s" # the suite's other users must reach the mount point
agentpid=
cleanup() {
    cd /
    if mountpoint -q "$s/mnt" 2>/dev/null; then
        fusermount3 -u "$s/mnt" 2>/dev/null || fusermount3 -u -z "$s/mnt" 2>/dev/null || true
    fi
    if [ -n "$agentpid" ]; then
        kill "$agentpid" 2>/dev/null || true
        wait "$agentpid" 2>/dev/null || true
    fi
    rm -rf "$s"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
ln -s "$agent" "$s/xt.posix"

port_of() { # port_of FILE: the port an agent announced in FILE, waiting up to 10 s
    for _ in $(seq 100); do grep -q '^port = ' "$1" 2>/dev/null && break; sleep 0.1; done
    sed -n 's/^port = //p' "$1"
}

run_mode() { # run_mode NAME EXTRA-OPTIONS
    local mode=$1 opts=$2 d out pass fail tpass=0 tfail=0 failed
    rm -rf "$s/data" "$s/mnt" "$s/agent.out"
    mkdir -m 755 "$s/data" "$s/mnt"
    "$s/xt.posix" -x -d -- >"$s/agent.out" 2>/dev/null &
    agentpid=$!
    local port
    port=$(port_of "$s/agent.out")
    [ -n "$port" ] || { echo "posix_suite: the agent did not start" >&2; exit 1; }
    "$hostfs" "127.0.0.1:$port" "$s/mnt" -o "root=$s/data$opts${HOSTFS_OPTIONS:+,$HOSTFS_OPTIONS}" 2>/dev/null
    mountpoint -q "$s/mnt" || { echo "posix_suite: the mount did not come up" >&2; exit 1; }
    echo "== $mode mount (-o root=SCRATCH$opts${HOSTFS_OPTIONS:+,$HOSTFS_OPTIONS})"
    printf '%-10s %6s %6s  %s\n' directory passed failed "failed files"
    for d in $dirs; do
        out=$s/prove.out
        (cd "$s/mnt" && timeout "$limit" prove -v "$pjd/tests/$d") >"$out" 2>&1 || true
        [ -z "$log" ] || cp "$out" "$log/$mode-$d.log"
        # prove's summary names each file with failed tests, a bad exit status or a broken plan
        # (and those with unexpected passes of tests marked TODO, which count as passed).
        failed=$(awk '/^Test Summary Report/ { on = 1 }
            on && /\(Wstat: / {
                name = $1; sub(/.*\//, "", name)
                if ($0 !~ /Wstat: 0 / || $0 !~ /Failed: 0\)/) bad[name] = 1
                last = name
            }
            on && /Parse errors/ { bad[last] = 1 }
            END { for (n in bad) print n }' "$out" | sort | tr '\n' ' ')
        if ! grep -q '^Result: ' "$out"; then
            failed="(did not finish within $limit s) $failed"
        fi
        local total
        total=$(find "$pjd/tests/$d" -name '*.t' | wc -l)
        fail=$(echo "$failed" | wc -w)
        grep -q '^Result: ' "$out" || fail=$total
        pass=$((total - fail))
        tpass=$((tpass + pass)) tfail=$((tfail + fail))
        printf '%-10s %6d %6d  %s\n' "$d" "$pass" "$fail" "$failed"
    done
    printf '%-10s %6d %6d\n' total "$tpass" "$tfail"
    cd /
    fusermount3 -u "$s/mnt" || { sleep 1; fusermount3 -u "$s/mnt"; }
    kill "$agentpid" 2>/dev/null || true
    wait "$agentpid" 2>/dev/null || true
    agentpid=
}

[ "$only" = multi ] || run_mode default ""
[ "$only" = default ] || run_mode multi ",allow_other,default_permissions"
