#!/usr/bin/env bash
# Builds and runs every test, in the plain build and in the address/undefined-behaviour
# sanitizer build. Both always run; the summary names each, and the exit status is non-zero
# when either failed.
set -uo pipefail
cd "$(dirname "$0")/.."
declare -A outcome
failed=0
for preset in default asan; do
  echo "== $preset build and tests"
  if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" && ctest --preset "$preset"; then
    outcome[$preset]=passed
  else
    outcome[$preset]=FAILED
    failed=1
  fi
done
echo "== summary: default ${outcome[default]}, asan ${outcome[asan]}"
exit "$failed"
