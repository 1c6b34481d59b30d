#!/usr/bin/env bash
# Runs the socket tests with every agent in daemon mode under valgrind's memcheck.
# A report from valgrind fails the test that started that agent. The process-limit test (whose
# agent runs as another user with room for no other process) is left to the plain and sanitizer builds,
# and so are two tests that count the agent's descriptors in /proc (under valgrind that process
# holds valgrind's descriptors too) or start a program with an empty argument vector (valgrind
# reports the empty vector that the kernel accepts); so are the regression tests (Regress*,
# the trace escapes and the pipelined requests).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default
export HOSTAGENT_TEST_VALGRIND=1
echo "== socket_tests under valgrind"
./build/default/socket_tests --gtest_brief=1 --gtest_filter='-Reaping.ProcessLimit*:*TheAgentsOwnDescriptorsAreNotTheClients*:*ForkNExecForkThenExit*:Regress*:*Orders.TraceEscapes*:*Orders.Pipelined*'
