// Starts the real agent binary for a test and collects its exit status and diagnostics.
#pragma once
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "client/hostlink.h"

struct AgentProcess {
    pid_t pid = -1;
    int port = -1;
    std::string errPath;
    std::string outPath;
    int exitCode = -1;
    // Run in the agent's process just before it becomes the agent (limits, identity).
    std::function<void()> beforeExec;

    // Runs argv (argv[0] is the name the agent is started under) with env added to the
    // environment. With daemon set, waits for the "port = N" line.
    bool Start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {}, bool daemon = true);
    // Exit status (0-255), 256 + signal for a signal, or -1 when it has not ended in time.
    int Wait(double seconds = 10);
    bool Running();
    std::string Stderr() const;
    std::string Stdout() const;
    // What valgrind reported, when the agent ran under it.
    std::string ValgrindReports() const;
    ~AgentProcess();
};

std::string ReadFile(const std::string &path);
std::string TempDir();
// Descriptors open in process pid, from /proc.
int OpenDescriptors(pid_t pid);

// The agent in daemon mode ("xt.term [-v] -d --"), with links that time out instead of hanging.
struct Daemon {
    AgentProcess agent;
    explicit Daemon(bool verbose = false, const std::vector<std::string> &env = {},
                    std::function<void()> beforeExec = {});
    hostlink::Link Connect(bool swapped = false);
    // Connect plus handshake.
    hostlink::Link Open(bool swapped = false);
};
