// Admission side by side, for daemon mode with the security options or -m, and for the launch
// under -a. One poll over the listener and every connection still in its handshake or
// authentication, each with its own deadline, a cap per source address and one in all: no crowd
// of idle or slow connections keeps a right client waiting longer than its own round trips. A
// granted connection is then served in this process (the launch, and the classic daemon, which
// ends with its client) or, under -m, by a child process of its own while the listener goes on.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/settings.h"
#include "launcher/launcher.h"
#include "service/auth.h"
#include "service/protocol.h"

namespace {

// Connections in admission at once, in all and from one address. A newcomer over either cap
// takes the place of the oldest connection of its address (or the oldest of all), so that a
// crowd can delay a right client by no more than the time it takes the crowd to open the
// cap's worth of connections.
constexpr int WAITING_MAX = 32;
constexpr int WAITING_PER_ADDRESS = 8;
// The listener's queue under these options: connections opened together are not turned away
// by the queue before the agent sees them.
constexpr int DAEMON_BACKLOG = 16;

struct Waiting {
    bool used;
    long long number; // the connection's number, counted from 1 in the order of acceptance
    in_addr_t from;
    Admittance admission;
};

// The launch under -a: the terminal that connections must come from, the fall-back's arguments,
// and the end of the -t wait. Null in daemon mode.
struct Launch {
    const Terminal *terminal;
    int clientArgc;
    char **clientArgv;
    struct timespec deadline;
};
const Launch *launch;

Waiting waiting[WAITING_MAX];
long long accepted;      // connections accepted so far
// Under -m: the processes serving connections, with their connections' numbers.
struct Child {
    pid_t pid;
    long long number;
};
Child *children;
int childCount;
sigset_t serviceMask;    // the signal mask to restore for the service of a connection
volatile sig_atomic_t childEnded, stopAsked;

void NoteChild(int) { childEnded = 1; }
void NoteStop(int) { stopAsked = 1; }

void Release(Waiting *w)
{
    if (w->admission.connection >= 0)
        close(w->admission.connection);
    w->used = false;
}

// Runs one step of a waiting connection's admission under its connection number.
Admission Step(Waiting *w, bool expired)
{
    traceConnection = settings.multi ? w->number : 0;
    Admission result = expired ? ExpireAdmission(&w->admission) : ContinueAdmission(&w->admission);
    traceConnection = 0;
    return result;
}

// The place for a new connection from an address: a free one, or that of the oldest
// connection of the same address when it has its share, or the oldest of all when none is free.
Waiting *PlaceFor(in_addr_t from)
{
    Waiting *oldestSame = nullptr, *oldest = nullptr, *unused = nullptr;
    int same = 0;
    for (Waiting &w : waiting) {
        if (!w.used) {
            unused = unused ? unused : &w;
            continue;
        }
        if (!oldest || w.number < oldest->number)
            oldest = &w;
        if (w.from == from && (same++, !oldestSame || w.number < oldestSame->number))
            oldestSame = &w;
    }
    Waiting *evict = same >= WAITING_PER_ADDRESS ? oldestSame : unused ? nullptr : oldest;
    if (!evict)
        return unused;
    traceConnection = settings.multi ? evict->number : 0;
    Error("Connection refused: too many connections waiting for admission.\n");
    traceConnection = 0;
    Release(evict);
    return evict;
}

void Reap()
{
    childEnded = 0;
    pid_t pid;
    int status;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (int i = 0; i < childCount; i++) {
            if (children[i].pid != pid)
                continue;
            traceConnection = children[i].number;
            if (WIFSIGNALED(status))
                Error("Its server ended by signal %d.\n", WTERMSIG(status));
            else
                Verbose("Its server ended with status %d.\n", WEXITSTATUS(status));
            traceConnection = 0;
            children[i] = children[--childCount];
            break;
        }
    }
}

// The signals as the service of a connection expects them.
void RestoreSignals()
{
    signal(SIGCHLD, SIG_DFL);
    if (settings.multi)
        signal(SIGTERM, SIG_DFL);
    sigprocmask(SIG_SETMASK, &serviceMask, nullptr);
}

// A granted connection: served here (no -m), or by a child of its own.
void HandOver(int listener, Waiting *w)
{
    int connection = w->admission.connection;
    w->admission.connection = -1;
    w->used = false;
    if (!settings.multi) {
        for (Waiting &other : waiting)
            if (other.used)
                Release(&other);
        if (launch) { // one client only, and no key left behind
            close(listener);
            ForgetKey();
        }
        RestoreSignals();
        ServeConnection(connection);
    }
    if (childCount >= settings.multi) {
        traceConnection = w->number;
        Error("Connection refused: %d connections are being served.\n", childCount);
        traceConnection = 0;
        close(connection);
        return;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        UnguardDescriptor(listener);
        close(listener);
        for (Waiting &other : waiting)
            if (other.used)
                Release(&other);
        RestoreSignals();
        ForgetKey();
        traceConnection = w->number; // the byte order its admission found is set already
        ServeConnection(connection);
    }
    if (pid < 0) {
        Error("Connection refused: no process to serve it: %s.\n", strerror(errno));
    } else {
        children[childCount++] = {pid, w->number};
        traceConnection = w->number;
        Verbose("Served by process %d.\n", static_cast<int>(pid));
        traceConnection = 0;
    }
    close(connection);
}

// SIGTERM under -m: no new connections; those being served finish, then the agent ends.
[[noreturn]] void Stop(int listener)
{
    UnguardDescriptor(listener);
    close(listener);
    for (Waiting &w : waiting)
        if (w.used)
            Release(&w);
    Error("Terminated: the listener is closed; %d connections being served will finish.\n", childCount);
    for (;;) {
        pid_t pid = waitpid(-1, nullptr, 0);
        if (pid < 0 && errno != EINTR)
            break;
    }
    exit(0);
}

void Accept(int listener)
{
    struct sockaddr_in peer = {};
    socklen_t len = sizeof peer;
    int connection = accept(listener, reinterpret_cast<struct sockaddr *>(&peer), &len);
    if (connection < 0) {
        int e = errno;
        if (e == EMFILE || e == ENFILE) {
            struct timespec pause = {0, 100000000L}; // until a descriptor is free again
            nanosleep(&pause, nullptr);
        }
        if (e == EINTR || e == ECONNABORTED || e == EAGAIN || e == EMFILE || e == ENFILE)
            return;
        Error("Error attempting to connect to %s on %s.\n", settings.prog, launch ? launch->terminal->name : "any host");
        exit(0);
    }
    if (launch && !PeerIsTerminal(launch->terminal, &peer)) {
        close(connection);
        Error("Response from unexpected host.\n");
        return;
    }
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    if (settings.multi && childCount >= settings.multi) {
        Error("Connection refused: %d connections are being served; %s:%d turned away.\n", childCount, address,
              ntohs(peer.sin_port));
        close(connection);
        return;
    }
    SetConnectionOptions(connection, true);
    Waiting *w = PlaceFor(peer.sin_addr.s_addr);
    w->used = true;
    w->number = ++accepted;
    w->from = peer.sin_addr.s_addr;
    BeginAdmission(&w->admission, connection);
    traceConnection = settings.multi ? w->number : 0;
    Verbose("Accepted connection from peer.\n");
    if (settings.multi)
        Verbose("From %s:%d.\n", address, ntohs(peer.sin_port));
    traceConnection = 0;
}

int LaunchMillisecondsLeft()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = (launch->deadline.tv_sec - now.tv_sec) * 1000LL + (launch->deadline.tv_nsec - now.tv_nsec) / 1000000;
    return settings.timeout < 0 || ms <= 0 ? 0 : ms > 1000000000LL ? 1000000000 : static_cast<int>(ms);
}

[[noreturn]] void Admit(int listener);

} // namespace

void ServeLaunch(const Terminal *terminal, int listener, int clientArgc, char **clientArgv)
{
    static Launch given;
    given = {terminal, clientArgc, clientArgv, {}};
    clock_gettime(CLOCK_MONOTONIC, &given.deadline);
    given.deadline.tv_sec += settings.timeout > 0 ? settings.timeout : 0;
    launch = &given;
    Admit(listener);
}

void ServeDaemon(int listener) { Admit(listener); }

namespace {

void Admit(int listener)
{
    if (settings.multi && !(children = static_cast<Child *>(calloc(static_cast<size_t>(settings.multi), sizeof(Child))))) {
        Error("%s: no memory for %d connections.\n", settings.prog, settings.multi);
        exit(1);
    }
    listen(listener, DAEMON_BACKLOG);
    // SIGCHLD and SIGTERM arrive only inside the wait, so that none is missed between a check
    // and the wait.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGCHLD);
    if (settings.multi)
        sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &serviceMask);
    sigset_t waitMask = serviceMask; // even when the agent was started with them blocked
    sigdelset(&waitMask, SIGCHLD);
    sigdelset(&waitMask, SIGTERM);
    if (settings.multi) {
        struct sigaction sa = {};
        sigemptyset(&sa.sa_mask);
        sa.sa_handler = NoteChild;
        sigaction(SIGCHLD, &sa, nullptr);
        sa.sa_handler = NoteStop;
        sigaction(SIGTERM, &sa, nullptr);
    }
    // The launch looks at its listener until the -t limit (once, for a limit of 0, at a connection
    // already queued) and falls back when that has passed with no connection left in admission.
    for (bool first = true;; first = false) {
        if (stopAsked)
            Stop(listener);
        if (childEnded || childCount > 0)
            Reap();
        int launchLeft = launch ? LaunchMillisecondsLeft() : -1;
        bool look = !launch || launchLeft > 0 || (first && settings.timeout >= 0);
        bool admitting = false;
        for (const Waiting &w : waiting)
            admitting = admitting || w.used;
        if (!look && !admitting) {
            Error("Timedout attempting to connect to %s on %s.\n", settings.prog, launch->terminal->name);
            close(listener);
            RestoreSignals();
            StartBackupClient(launch->clientArgc, launch->clientArgv);
        }
        struct pollfd fds[WAITING_MAX + 1];
        Waiting *polled[WAITING_MAX + 1] = {};
        int n = 0, wait = launch && look ? launchLeft : -1;
        fds[n++] = {look ? listener : -1, POLLIN, 0};
        for (Waiting &w : waiting) {
            if (!w.used)
                continue;
            int left = AdmissionMillisecondsLeft(&w.admission);
            wait = wait < 0 || left < wait ? left : wait;
            polled[n] = &w;
            fds[n++] = {w.admission.connection, POLLIN, 0};
        }
        struct timespec limit = {wait / 1000, (wait % 1000) * 1000000L};
        int ready = ppoll(fds, static_cast<nfds_t>(n), wait < 0 ? nullptr : &limit, settings.multi ? &waitMask : &serviceMask);
        if (ready < 0 && errno != EINTR) {
            perror("poll");
            exit(1);
        }
        for (int i = 1; i < n && ready >= 0; i++) {
            Waiting *w = polled[i];
            bool expired = !(fds[i].revents) && AdmissionMillisecondsLeft(&w->admission) == 0;
            if (!fds[i].revents && !expired)
                continue;
            Admission result = Step(w, expired);
            if (result == ADMIT_GRANTED)
                HandOver(listener, w);
            else if (result != ADMIT_WAITING)
                w->used = false; // closed by its admission
        }
        if (ready > 0 && (fds[0].revents & POLLIN))
            Accept(listener);
    }
}

} // namespace
