#!/bin/bash
# A real mount: hostfs against a daemon-mode agent, with (ext) or without (plain) its extension
# calls, the agent's root confined to a scratch tree. Exit 77 (skipped) without /dev/fuse.
#   mount_test.sh AGENT HOSTFS ext|plain
set -u
agent=$1 hostfs=$2 mode=$3
[ "$(id -u)" = 0 ] || { echo "SKIP: mounting needs root"; exit 77; }
{ exec 3<>/dev/fuse; } 2>/dev/null || { echo "SKIP: /dev/fuse cannot be opened"; exit 77; }
exec 3>&-
command -v fusermount3 >/dev/null || { echo "SKIP: no fusermount3"; exit 77; }

s=$(mktemp -d "${TMPDIR:-/tmp}/hostfs-test.XXXXXX") || { echo "FAIL: mktemp -d" >&2; exit 1; }
[ -d "$s" ] || { echo "FAIL: no scratch directory" >&2; exit 1; }
apid= hpid=
cleanup() {
    fusermount3 -u "$s/mnt" 2>/dev/null
    if [ -n "$hpid" ]; then kill "$hpid" 2>/dev/null; wait "$hpid" 2>/dev/null; fi
    if [ -n "$apid" ]; then kill "$apid" 2>/dev/null; wait "$apid" 2>/dev/null; fi
    rm -rf "$s"
}
trap cleanup EXIT
mkdir "$s/root" "$s/mnt" "$s/src"
m=$s/mnt r=$s/root

ln -s "$agent" "$s/xt.hostfs"
xopt=; [ "$mode" = ext ] && xopt=-x
"$s/xt.hostfs" $xopt -d -- >"$s/agent.out" 2>"$s/agent.err" &
apid=$!
for _ in $(seq 100); do grep -q '^port = ' "$s/agent.out" && break; sleep 0.1; done
port=$(sed -n 's/^port = //p' "$s/agent.out")
[ -n "$port" ] || { echo "FAIL: the agent printed no port"; exit 1; }
# Mistakes are found before connecting: the agent (which serves one client) is still there after.
timeout 20 "$hostfs" "127.0.0.1:$port" "$s/none" 2>"$s/e1" && { echo "FAIL: a missing mount point"; exit 1; }
grep -q "cannot mount on" "$s/e1" || { echo "FAIL: no word on the mount point"; cat "$s/e1"; exit 1; }
timeout 20 "$hostfs" "127.0.0.1:$port" "$m" -o no_such_option 2>"$s/e2" && { echo "FAIL: an unknown option"; exit 1; }
# In the foreground, so that its last words can be read.
"$hostfs" "127.0.0.1:$port" "$m" -f -o "root=$r,link_timeout=5" 2>"$s/hostfs.err" &
hpid=$!
for _ in $(seq 100); do mountpoint -q "$m" && break; sleep 0.1; done
mountpoint -q "$m" || { echo "FAIL: mount"; cat "$s/hostfs.err"; exit 1; }
grep hostfs: "$s/hostfs.err"

fails=0
row() { # row NAME COMMAND...: one check, bounded in time
    local name=$1; shift
    if timeout 120 bash -c "$*" >"$s/row.out" 2>&1; then echo "ok   $name"
    else echo "FAIL $name"; sed 's/^/     /' "$s/row.out" | head -20; fails=$((fails + 1)); fi
}
export m r s mode
# Type, links and size (not of directories), mode, owner, modification time to the second, name,
# target: a hard link that a copy or tar made into two files shows.
listing() {
    (cd "$1" && find . -printf '%y %n %m %U:%G %s %TY%Tm%Td%TH%TM%TS %p %l\n' | sed 's/\.[0-9]* / /' |
        awk '$1 == "d" { $2 = "-"; $5 = "-" } 1' | sort)
}
export -f listing

# A small source tree: modes narrower and wider than a usual umask, links, an owner, a
# binary file over several chunks, an empty file, times in the past.
(cd "$s/src" && mkdir -p lib/sub bin && printf 'int main(){return 0;}\n' >main.c &&
    head -c 300000 /dev/urandom >lib/blob && : >lib/empty && printf '#!/bin/sh\necho hi\n' >bin/run &&
    chmod 0755 bin/run && chmod 0620 main.c && ln -s ../../main.c lib/sub/link && ln main.c hard.c &&
    chown 1:1 lib/empty && touch -d '2001-02-03 04:05:06' lib/blob lib/sub)

row "cp -a onto the mount, diff -r" 'cp -a "$s/src" "$m/tree" && diff -r "$s/src" "$m/tree" && diff <(listing "$s/src") <(listing "$m/tree")'
row "tar c from the mount" 'tar -C "$m" -cf "$s/t.tar" tree && mkdir "$s/x" && tar -C "$s/x" -xpf "$s/t.tar" && diff <(listing "$s/src") <(listing "$s/x/tree")'
row "tar x onto the mount, times kept" 'mkdir "$m/untar" && tar -C "$m/untar" -xpf "$s/t.tar" && diff <(listing "$s/src") <(listing "$m/untar/tree")'
row "rename over a file, of a directory, across directories" 'echo new >"$m/a" && echo old >"$m/b" && mv "$m/a" "$m/b" && [ "$(cat "$r/b")" = new ] &&
    [ ! -e "$r/a" ] && mv "$m/untar" "$m/moved" && [ -f "$r/moved/tree/main.c" ] && [ ! -e "$r/untar" ] &&
    mkdir "$m/d1" "$m/d2" && echo x >"$m/d1/f" && mv "$m/d1/f" "$m/d2/g" && [ -f "$r/d2/g" ] && [ ! -e "$r/d1/f" ]'
row "truncate shorter and longer" 'printf 0123456789 >"$m/t" && truncate -s 4 "$m/t" && [ "$(cat "$r/t")" = 0123 ] && truncate -s 100 "$m/t" && [ "$(stat -c %s "$r/t")" = 100 ]'
row "git init, add, commit, status" 'cd "$m" && mkdir repo && cp -r "$s/src/lib" repo/ && cd repo && git init -q && git add -A &&
    git -c user.name=t -c user.email=t@example.invalid commit -qm first && [ -z "$(git status --porcelain)" ] &&
    echo more >>lib/empty && git status --porcelain | grep -q "M lib/empty"'
row "a small make project" 'mkdir "$m/mk" && cd "$m/mk" && printf "hello\n" >in.txt &&
    printf "out.txt: in.txt\n\ttr a-z A-Z <in.txt >out.txt\n" >Makefile && make -s && [ "$(cat out.txt)" = HELLO ] &&
    [ -z "$(make -s 2>&1 | grep -v "up to date")" ] && make -q && sleep 1.1 && echo bye >in.txt && ! make -q && make -s && [ "$(cat out.txt)" = BYE ]'
row "a fifo" 'mkfifo -m 0620 "$m/p" && [ -p "$r/p" ] && [ -p "$m/p" ] && (echo through >"$m/p" &) && [ "$(timeout 10 cat "$m/p")" = through ]'
row "appends land at the host's end" 'echo h1 >"$r/log" && cat "$m/log" >/dev/null && echo h2 >>"$r/log" && echo m1 >>"$m/log" &&
    [ "$(cat "$r/log")" = "$(printf "h1\nh2\nm1")" ]'
row "eight readers at once" 'for i in 1 2 3 4 5 6 7 8; do head -c $((i * 70000)) /dev/urandom >"$r/p$i"; done &&
    ls "$m"/p? | xargs -P8 -n1 md5sum | sed "s|$m/||" | sort >"$s/a" && (cd "$r" && md5sum p? | sort) >"$s/b" && diff "$s/a" "$s/b"'
row "a device node" 'mknod -m 0600 "$m/null" c 1 3 && [ -c "$r/null" ] && [ "$(stat -c %t:%T "$r/null")" = 1:3 ]'
row "statistics" 'df -P "$m" | tail -1 | awk "{exit !(\$2 > 0)}"'
if [ "$mode" = ext ]; then
    row "3 GiB sparse file past 2 GiB" 'truncate -s 3G "$m/big" && printf xyz | dd of="$m/big" bs=1 seek=$((2 * 1024 * 1024 * 1024 + 5)) conv=notrunc status=none &&
        [ "$(dd if="$r/big" bs=1 skip=$((2 * 1024 * 1024 * 1024 + 5)) count=3 status=none)" = xyz ] &&
        [ "$(dd if="$m/big" bs=1 skip=$((2 * 1024 * 1024 * 1024 + 5)) count=3 status=none)" = xyz ] && [ "$(stat -c %s "$m/big")" = 3221225472 ]'
    row "modes arrive whole" 'umask 0 && mkdir -m 0777 "$m/wide" && [ "$(stat -c %a "$r/wide")" = 777 ]'
else
    row "sizes of 2 GiB and more fail with EOVERFLOW" 'truncate -s 3G "$r/big" && ! stat "$m/big" 2>"$s/e" && grep -q "Value too large" "$s/e"'
fi

# The end (fd:N, a link handed over, is hostrun's way, tested there): unmounted (ext), hostfs
# ends with 0; its agent lost (plain), hostfs says so, unmounts and ends with 1.
if [ "$mode" = ext ]; then fusermount3 -u "$m"; want=0; else kill "$apid"; wait "$apid" 2>/dev/null; apid=; want=1; fi
for _ in $(seq 100); do kill -0 "$hpid" 2>/dev/null || break; sleep 0.1; done
st=running; kill -0 "$hpid" 2>/dev/null || { wait "$hpid"; st=$?; hpid=; }
row "hostfs ends with $want, unmounted" "[ $st = $want ] && ! mountpoint -q \"\$m\""
[ "$mode" = ext ] || row "the lost agent is told" 'grep -q "link to the agent is lost" "$s/hostfs.err"'
[ "$fails" = 0 ] && echo "all rows passed ($mode)"
exit $((fails > 0))
