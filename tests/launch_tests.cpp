// Launching the client on a terminal through a remote shell, against the real agent over loopback.
#include <gtest/gtest.h>

#include "tests/agent_process.h"
