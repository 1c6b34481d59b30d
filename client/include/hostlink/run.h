// Running a program on the host, with its output, error output and exit status brought here.
#pragma once
#include <csignal>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/link.h>

namespace hostlink {

struct RunOptions {
    int outFd = 1;             // where the program's standard output goes here
    int errFd = 2;             // and its standard error
    int inFd = -1;             // a descriptor here whose bytes, to its end, are the program's
                               // standard input; -1: the program reads /dev/null
    double timeoutSeconds = 0; // 0: wait for the program as long as it runs
    // When set, the wait ends as soon as *stop is non-zero (a signal handler sets it).
    const volatile sig_atomic_t *stop = nullptr;
    // runCapture: the most bytes kept of the output and of the error output, each (the rest is
    // read and dropped, and RunResult::truncated set).
    size_t captureLimit = size_t(16) << 20;
};

// Why a program did not run to a status.
enum class RunFailure {
    None,        // it ran: RunResult::status is its exit status
    Listen,      // no listener here for the host to connect back to
    HostFork,    // the host could not fork
    ConnectBack, // the host's connections back to this process failed
    Start,       // the host could not start the shell that runs the program
    TimedOut,    // it ran past RunOptions::timeoutSeconds
    Interrupted, // RunOptions::stop was set
    Lost,        // the shell ended without reporting a status (killed)
};

struct RunResult {
    int status = -1;    // 0 to 255, 128 + N after signal N, 127 when not found; -1 on a failure
    RunFailure failure = RunFailure::None;
    int error = 0;      // this machine's errno value for the failure, where one applies
    std::string out;    // runCapture: the standard output
    std::string err;    // runCapture: the standard error
    bool truncated = false;
    bool ok() const { return failure == RunFailure::None; }
    // The failure in words ("the host cannot fork: Resource temporarily unavailable"); empty
    // when the program ran.
    std::string message() const;
};

// Runs a host program, found along the host's PATH, with the arguments argv[1...] (the program
// sees name as its argument 0); its standard output and error are copied to options.outFd and
// options.errFd as they come, and options.inFd (when set) is copied to its standard input. The
// link is served by the agent as before once this returns, whatever the result.
//
// How: the host forks; its child opens three connections back to this process (peerpipe),
// moves them onto its descriptors 1, 2 and 0 and execs
//     /bin/sh -c 'exec 9>&0 </dev/null; "$@" 9>&-; echo $? >&9' sh NAME ARGS...
// so that the third connection carries the exit status back as a decimal line. With an input
// descriptor the program keeps that third connection as its standard input ("exec 9>&0; ...")
// and this side writes the input into it, then shuts its sending half.
RunResult runHost(Link &link, const std::string &name, const std::vector<std::string> &argv,
                  const RunOptions &options = {});
// The same, with the output and the error output kept in the result (outFd and errFd unused).
RunResult runCapture(Link &link, const std::string &name, const std::vector<std::string> &argv,
                     const RunOptions &options = {});
// runHost's exit status, or -1 with errno (ETIMEDOUT after the timeout, EINTR when stopped).
int runProgram(Link &link, const std::string &name, const std::vector<std::string> &argv,
               const RunOptions &options = {});

// The errno that a host program's message stands for ("mv: cannot move 'a': Permission denied"
// gives EACCES); EIO when the message names no known failure.
int errnoFromMessage(std::string_view message);

} // namespace hostlink
