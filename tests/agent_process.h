// The harness as the terminal-side tools' suites spell it: an agent process whose Start answers
// whether it got as far as its port.
#pragma once
#include <exception>

#include "tests/harness.h"

struct AgentProcess : Agent {
    bool Start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {}, bool daemon = true)
    {
        try {
            Agent::Start(argv, env, daemon);
            return true;
        } catch (const std::exception &) {
            return false;
        }
    }
    std::string Stderr() const { return Err(); }
    std::string Stdout() const { return Out(); }
};
