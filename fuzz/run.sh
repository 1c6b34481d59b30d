#!/usr/bin/env bash
# Runs a fuzz target confined: its own user, mount, network and process namespaces, and a
# private root in which only a scratch directory is writable and /usr is read-only. Nothing
# outside the work directory changes, and every process of the run ends with it.
#
#   fuzz/run.sh TARGET SECONDS [libFuzzer options...]
#
# The corpus grows in build/fuzz/work/TARGET/corpus (seeded from fuzz/seeds/TARGET); crashes
# land in build/fuzz/work/TARGET/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: fuzz/run.sh TARGET SECONDS [libFuzzer options...]}
seconds=${2:?usage: fuzz/run.sh TARGET SECONDS [libFuzzer options...]}
shift 2

binary=build/fuzz/$target
[ -x "$binary" ] || { echo "fuzz/run.sh: $binary is not built; run: cmake --preset fuzz && cmake --build --preset fuzz" >&2; exit 1; }
work=$(pwd)/build/fuzz/work/$target
mkdir -p "$work/corpus" "$work/artifacts"
if [ -d "fuzz/seeds/$target" ]; then
  cp -n fuzz/seeds/"$target"/* "$work/corpus/" 2>/dev/null || true
fi

exec unshare --user --map-root-user --mount --net --pid --fork --kill-child -- \
  bash -s "$work" "$(pwd)/$binary" "$seconds" "$@" <<'INNER'
set -euo pipefail
work=$1 binary=$2 seconds=$3
shift 3
root=$work/root
rm -rf "$root"
mkdir -p "$root"
mount -t tmpfs -o size=256m,mode=0755 fuzzroot "$root"
mkdir -p "$root"/{usr,etc,tmp,work,scratch,proc}
for d in bin lib lib64 sbin; do
  [ -L "/$d" ] && ln -s "$(readlink "/$d")" "$root/$d"
done
mount --rbind /usr "$root/usr"
mount -o remount,bind,ro "$root/usr"
mount --bind "$work" "$root/work"
# The sanitizers read the process's own maps; the run sees only its own processes, read-only.
mount -t proc -o ro,nosuid,nodev,noexec proc "$root/proc"
cp "$binary" "$root/fuzzer"
# A name service that answers from files only: nothing can leave this machine, and the
# network namespace has no interface up besides.
printf '127.0.0.1\tlocalhost\n::1\tlocalhost\n' >"$root/etc/hosts"
printf 'hosts: files\nservices: files\n' >"$root/etc/nsswitch.conf"
cp /etc/services "$root/etc/services" 2>/dev/null || true
cd "$root"
# The fuzzer reaches the caller's output only through a pipe: a fuzzed remote lseek or write
# on a descriptor it inherited cannot move or overwrite the caller's log file.
chroot "$root" ${FUZZ_WRAPPER:-} /fuzzer -max_total_time="$seconds" -max_len=131072 -timeout=10 \
  -close_fd_mask=3 -artifact_prefix=/work/artifacts/ "$@" /work/corpus </dev/null 2>&1 | cat
INNER
