// Typed process-control calls over a Link.
//
// Like their POSIX namesakes, a failure returns -1 and leaves this machine's errno value for the
// agent's error in errno. A reply that does not fit the call raises LinkError.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "client/hostlink.h"

namespace hostlink {

// Starts path (not searched along PATH) in a new process and process group on the host, with
// argv as its whole argument vector (argument 0 included) and the host's current environment.
// Returns its process id as soon as it runs.
int32_t forkNExec(Link &link, const std::string &path, const std::vector<std::string> &argv);

// The host side of a fork: returns the id of the host child, which serves the link from now on
// until it execs or ends (exit); then the parent serves again.
int32_t fork(Link &link);
// 0 once the host process is the program; after a success the link is served by the process
// that forked it, or is at its end when none did.
int32_t execve(Link &link, const std::string &path, const std::vector<std::string> &argv,
               const std::vector<std::string> &env);
int32_t execvp(Link &link, const std::string &name, const std::vector<std::string> &argv);
// Ends the serving host process with status; its reply is the header alone.
void exit(Link &link, int32_t status);

int32_t dup2(Link &link, int32_t from, int32_t to);
// Opens a connection from the host to port on this machine's end of the link; returns its
// descriptor on the host.
int32_t peerpipe(Link &link, int port);
int32_t setpgid(Link &link, int32_t pid, int32_t group);
int32_t setsid(Link &link);
int32_t getpgrp(Link &link);
int32_t getpid(Link &link);
int32_t getppid(Link &link);

// Runs a host program with its standard output sent back here: the host forks, its child opens
// a connection to a listener of this process, moves it onto standard output and becomes the
// program (searched along the host's PATH); the output is read to its end and returned, and
// the link is served by the host parent again. Throws LinkError when a step fails.
std::string runHostProgram(Link &link, const std::string &name, const std::vector<std::string> &argv,
                           double timeoutSeconds = 30);

} // namespace hostlink
