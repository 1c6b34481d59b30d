#!/usr/bin/env bash
# What the build installs and ships, each checked in a scratch folder of its own:
#   install BUILD SOURCE CXX VERSION: cmake --install into a scratch DESTDIR; tests/consumer
#       built against it with find_package and pkg-config, each run against the installed agent;
#   deb ...: cpack -G DEB, its dependencies, the package extracted (not installed), its agent
#       serving its termclient;
#   man ...: every installed page clean under mandoc -Tlint (missing pages of other projects
#       aside), named by its .Dt line, carrying the version; .Xr to our programs names our pages.
# Exit status 77 marks a check that cannot run here (a tool missing).
set -euo pipefail
mode=$1 build=$2 source=$3 cxx=$4 version=$5

fail() { echo "FAILED: $*" >&2; exit 1; }
skip() { echo "skipped: $*"; exit 77; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/package_test.XXXXXX") || fail "cannot create a scratch folder"
[ -d "$scratch" ] || fail "cannot create a scratch folder"
agent=
cleanup() {
  if [ -n "$agent" ]; then kill "$agent" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# Starts AGENT -d in the scratch folder; sets agent (its pid) and port.
start_agent() {
  : >"$scratch/agent.out"
  (cd "$scratch" && exec "$1" -d -- >"$scratch/agent.out" 2>"$scratch/agent.err") &
  agent=$!
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/^port = \([0-9][0-9]*\)$/\1/p' "$scratch/agent.out") && [ -n "$port" ] && return
    sleep 0.1
  done
  fail "the agent $1 printed no port: $(cat "$scratch/agent.err")"
}

# (How the agent ends after its client: the socket tests.)
stop_agent() { kill "$agent" 2>/dev/null || true; wait "$agent" 2>/dev/null || true; agent=; }

check_install() {
  local root=$scratch/root prefix=/usr/local
  DESTDIR=$root cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
    fail "cmake --install: $(cat "$scratch/install.log")"
  local tree=$root$prefix libdir file page alias aliases
  libdir=$(dirname "$(find "$tree" -name libhostlink.a | head -n 1)")
  for file in "$tree"/bin/{hostagent,loopsh,termclient} "$tree"/include/hostlink/{hostlink.h,version.h} \
    "$libdir"/libhostlink.{a,so} "$libdir"/pkgconfig/hostlink.pc "$libdir"/cmake/hostlink/hostlink{Config,ConfigVersion,Targets}.cmake \
    "$tree"/share/doc/hostagent/{README.md,CHANGELOG.md,contrib/sshrun}; do
    [ -e "$file" ] || fail "not installed: ${file#"$root"}"
  done
  for page in "$build"/man/*; do
    [ -f "$tree/share/man/man${page##*.}/${page##*/}" ] || fail "manual page not installed: ${page##*/}"
  done
  aliases=$(sed -n 's/^HOSTAGENT_ALIASES:[A-Z]*=//p' "$build/CMakeCache.txt")
  for alias in ${aliases//;/ }; do
    [ "$(readlink "$tree/bin/xt.$alias")" = hostagent ] || fail "xt.$alias is not a link to hostagent"
  done
  grep -rq "$root" "$libdir/pkgconfig" "$libdir/cmake" && fail "an installed package file names the DESTDIR"

  # Another project, built against this tree only.
  PKG_CONFIG_LIBDIR=$libdir/pkgconfig cmake -S "$source/tests/consumer" -B "$scratch/consumer" -G Ninja \
    -DCMAKE_CXX_COMPILER="$cxx" -Dhostlink_DIR="$libdir/cmake/hostlink" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    >"$scratch/consumer.log" 2>&1 || fail "consumer configure: $(cat "$scratch/consumer.log")"
  cmake --build "$scratch/consumer" >>"$scratch/consumer.log" 2>&1 || fail "consumer build: $(cat "$scratch/consumer.log")"
  local consumer out
  for consumer in consumer_cmake consumer_static consumer_pkgconfig; do
    start_agent "$tree/bin/hostagent"
    out=$(timeout 30 "$scratch/consumer/$consumer" "$port" 2>&1) || fail "$consumer: $out"
    [ "$out" = "hostlink $version: handshake 42, agent pid $agent" ] || fail "$consumer said: $out"
    stop_agent
    echo "$consumer: $out"
  done
}

check_deb() {
  command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null || skip "dpkg-deb or dpkg-shlibdeps is missing (dpkg-dev)"
  (cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg") >"$scratch/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$scratch/cpack.log")"
  local deb depends out
  deb=$(find "$scratch/pkg" -maxdepth 1 -name '*.deb' | head -n 1)
  [ -n "$deb" ] || fail "cpack made no .deb: $(cat "$scratch/cpack.log")"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version)"
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "Depends is incomplete: $depends"
  echo "${deb##*/}: Depends: $depends"

  dpkg-deb -x "$deb" "$scratch/x"
  local bin=$scratch/x/usr/bin
  [ "$(readlink "$bin/xt.termclient")" = hostagent ] || fail "the package lacks xt.termclient"
  start_agent "$bin/hostagent"
  out=$(cd "$scratch" && env -u SSH_CONNECTION HOSTAGENT_HOST=127.0.0.1 timeout 30 "$bin/termclient" -peer "$port" -foreground 2>&1) ||
    fail "the packaged termclient: $out"
  [[ $out == *"handshake: nonce 41 answered with 42"* && $out == *"connection closed"* ]] || fail "termclient said: $out"
  stop_agent
  echo "the packaged agent served the packaged termclient"
}

check_man() {
  command -v mandoc >/dev/null || skip "mandoc is not installed"
  local pages=("$build"/man/*)
  [ -f "${pages[0]}" ] || fail "no manual page in $build/man"
  local page name section out status=0
  for page in "${pages[@]}"; do
    name=${page##*/} && section=${name##*.} && name=${name%.*}
    out=$(mandoc -Tlint "$page" 2>&1 | grep -v -e 'referenced manual not found' -e 'mandoc\.db') || true
    [ -z "$out" ] || { echo "$out"; status=1; }
    grep -qx "\.Dt ${name^^} $section" "$page" || { echo "${page##*/}: .Dt does not name ${name^^} $section"; status=1; }
    grep -qF "$version" "$page" || { echo "${page##*/}: does not carry the version $version (@PROJECT_VERSION@)"; status=1; }
    while read -r xr; do
      [ -f "$build/man/$xr" ] || { echo "${page##*/}: refers to $xr, which the project lacks"; status=1; }
    done < <(sed -n 's/^\.Xr \(loopsh\|termclient\|host[a-z]*\) \([0-9]\).*/\1.\2/p' "$page")
  done
  [ "$status" -eq 0 ] || fail "manual pages need work"
  echo "${#pages[@]} manual pages clean"
}

case $mode in
  install) check_install ;;
  deb) check_deb ;;
  man) check_man ;;
  *) fail "unknown check $mode" ;;
esac
