// tcpexec: serves a program over loopback TCP the way a login server hands a connection to a
// subsystem. It listens on 127.0.0.1:PORT and, for each connection, starts PROGRAM with the
// socket as its standard input and output and TCP_NODELAY set on it, as an interactive server
// sets it, so that small replies leave at once instead of waiting for an acknowledgement.
//
//   tcpexec [-l PORT] [-n CONNECTIONS] [-t SECONDS] PROGRAM [ARGS...]
//
// "port = N" is printed on standard output once it listens (PORT 0, the default: the system
// picks). -n bounds the programs running at once (default 16; further connections wait), -t the
// launcher's life (default 3600 s). On SIGTERM or SIGINT, or at the end of its life, it sends
// SIGTERM to the programs it started, waits for them a few seconds, and ends.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "loopnet.h"

namespace {

volatile sig_atomic_t stopping = 0;
void OnSignal(int) { stopping = 1; }

void Usage()
{
    fprintf(stderr, "usage: tcpexec [-l PORT] [-n CONNECTIONS] [-t SECONDS] PROGRAM [ARGS...]\n");
    exit(2);
}

void Reap(std::set<pid_t> &children)
{
    pid_t p;
    while ((p = waitpid(-1, nullptr, WNOHANG)) > 0)
        children.erase(p);
}

} // namespace

int main(int argc, char **argv)
{
    long port = 0, connections = 16, lifetime = 3600;
    int c;
    // '+': the options end at PROGRAM, whose own options are its own.
    while ((c = getopt(argc, argv, "+l:n:t:")) != -1) {
        bool ok = false;
        switch (c) {
        case 'l': ok = loopnet::ParseNumber(optarg, 0, 65535, &port); break;
        case 'n': ok = loopnet::ParseNumber(optarg, 1, 1024, &connections); break;
        case 't': ok = loopnet::ParseNumber(optarg, 1, 86400, &lifetime); break;
        }
        if (!ok)
            Usage();
    }
    if (optind >= argc)
        Usage();
    char **program = argv + optind;

    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int bound = 0;
    int listener = loopnet::Listen(static_cast<int>(port), 64, &bound);
    if (listener < 0) {
        fprintf(stderr, "tcpexec: cannot listen: %s\n", strerror(errno));
        return 1;
    }
    printf("port = %d\n", bound);
    fflush(stdout);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(lifetime);
    std::set<pid_t> children;
    while (!stopping && Clock::now() < deadline) {
        Reap(children);
        // The poll wakes at least every 100 ms to reap and to look at the clock and the signal flag.
        pollfd p = {children.size() < static_cast<size_t>(connections) ? listener : -1, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0 || !(p.revents & POLLIN))
            continue;
        int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0)
            continue;
        loopnet::NoDelay(s);
        pid_t pid = fork();
        if (pid == 0) {
            signal(SIGPIPE, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            // dup2 clears close-on-exec on the copies; the listener and s itself close at exec.
            if (dup2(s, 0) < 0 || dup2(s, 1) < 0)
                _exit(127);
            execv(program[0], program);
            fprintf(stderr, "tcpexec: cannot run %s: %s\n", program[0], strerror(errno));
            _exit(127);
        }
        if (pid > 0)
            children.insert(pid);
        close(s);
    }
    close(listener);
    for (pid_t pid : children)
        kill(pid, SIGTERM);
    for (int i = 0; i < 50 && !children.empty(); i++) {
        Reap(children);
        if (!children.empty())
            usleep(100 * 1000);
    }
    for (pid_t pid : children) // still there after five seconds
        kill(pid, SIGKILL);
    Reap(children);
    return 0;
}
