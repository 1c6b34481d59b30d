#!/usr/bin/env bash
# The main job: the agent in daemon mode on loopback serving the bundled terminal client,
# with the agent's trace on standard error.
set -euo pipefail
build=${1:-build/default}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/hostagent" -v -d -- >"$out" &
agent=$!
for _ in $(seq 1 200); do
  grep -q '^port = ' "$out" && break
  sleep 0.05
done
port=$(sed -n 's/^port = \([0-9]*\)$/\1/p' "$out")
if [ -z "$port" ]; then
  echo "demo: the agent did not report its port" >&2
  kill "$agent" 2>/dev/null || true
  exit 1
fi
echo "agent: port = $port"
# A connection that sent anything ends the agent when it closes.
"$build/termclient" -peer "$port"
status=0
wait "$agent" || status=$?
echo "agent exited with status $status"
