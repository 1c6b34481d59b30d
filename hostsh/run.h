// Runs a host program with its output and error output on this terminal and its exit status.
#pragma once
#include <csignal>
#include <string>
#include <vector>

#include <hostlink/link.h>

namespace hostsh {

// Set by the interrupt handler; a running program stops being waited for.
extern volatile sig_atomic_t gInterrupted;

struct RunResult {
    int status = -1;     // exit status as a shell reports it (128 + N after signal N); -1 if unknown
    std::string failure; // why the program could not be started, when it was not
};

// The host forks; its child opens four connections back to this process (the program's
// output, its error output, its input and the status channel), moves the first three onto
// descriptors 1, 2 and 0, and becomes "sh -c", which runs the program (searched along the
// host's PATH) and writes its exit status to the status channel. The host's original process
// then serves the link again while the output is copied here to out and err, and what can be
// read from in (-1: nothing) goes to the program's input until in ends.
RunResult RunHostProgram(hostlink::Link &link, const std::vector<std::string> &argv, int in, int out, int err);

} // namespace hostsh
