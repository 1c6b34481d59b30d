// Environment, identity, clock and name-service calls, against the real agent over loopback.
#include <gtest/gtest.h>

#include "tests/agent_process.h"
