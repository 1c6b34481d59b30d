// The processes of one hostrun: the hostfs that serves the mount, and the program under a
// reaper that waits for every descendant.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

#include "hostrun/sandbox.h"

namespace hostrun {

struct Hostfs {
    pid_t pid = -1;
    int errFd = -1;      // its standard error, read by Supervise
    std::string errText; // the last of it
};

// Starts the hostfs program (binary: a descriptor opened on it) serving the connected link (in
// the opposite byte order when swapped) on mountPoint, in a process group of its own, and waits (at most 20 s) until the mount is there.
// Empty, or why not (with what hostfs said).
std::string StartHostfs(int binary, int link, bool swapped, const std::string &mountPoint, const World &w,
                        Hostfs *fs);

struct Program {
    std::vector<std::string> argv, env;
    std::string root; // non-empty: a mount ns of its own with this directory as its root
    std::string cwd;  // where it starts ("/" when that cannot be entered)
};

// Starts the reaper and under it the program; returns the reaper's pid, or -1.
pid_t StartProgram(const Program &p);

// Waits for the reaper (forwarding SIGTERM and SIGHUP to it), watching the link for the agent's
// end and hostfs for its own; then ends hostfs. Returns the program's exit status.
int Supervise(pid_t reaper, Hostfs *fs, int link);

// The signals Supervise handles, blocked from the start so that none is lost.
void BlockSignals();

} // namespace hostrun
