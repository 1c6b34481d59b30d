#!/usr/bin/env bash
# The main job: the agent, started under the client-named alias xt.termclient, launches the
# bundled terminal client on this machine through loopsh (the remote shell for one machine),
# serves it, and shows its own trace (-v) and then what the client received (its log).
set -euo pipefail
build=$(cd "${1:-build/default}" && pwd)
for program in hostagent termclient loopsh; do
  if [ ! -x "$build/$program" ]; then
    echo "demo: $build/$program is missing; build first (cmake --build --preset default)" >&2
    exit 1
  fi
done
ln -sf hostagent "$build/xt.termclient"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOSTAGENT_LOG="$work/termclient.log"

echo "== the agent: $build/xt.termclient -v -rloopsh -h127.0.0.1 -t20 -nfs -- 'hello world' 'a;b|c' -run uname -sr"
status=0
# loopsh and termclient are found on PATH, as a remote shell and a terminal client would be;
# the trace goes to standard output here so that it reads in order.
PATH="$build:$PATH" timeout 60 "$build/xt.termclient" -v -rloopsh -h127.0.0.1 -t20 -nfs -- 'hello world' 'a;b|c' -run uname -sr 2>&1 ||
  status=$?
echo "== the agent exited with status $status"

# The client runs on after the agent has ended its side; give it a moment to finish its log.
for _ in $(seq 1 100); do
  grep -q '^connection closed$' "$HOSTAGENT_LOG" 2>/dev/null && break
  sleep 0.05
done
echo "== what the terminal client received ($HOSTAGENT_LOG):"
cat "$HOSTAGENT_LOG" 2>/dev/null || echo "(no log: the client was not started)"
exit "$status"
