// delayrelay: stands in for a network link with a round trip of its own on loopback. It forwards
// every byte both ways and releases each one a fixed time after it arrived, so a request and its
// reply pay twice the delay while a stream keeps its bandwidth: each chunk read is stamped and
// written out when due, never slept on.
//
//   delayrelay [-d MS] [-l PORT] [-n CONNECTIONS] [-b MIB] [-t SECONDS] HOST:PORT
//     listens on 127.0.0.1:PORT (default 0: the system picks; "port = N" is printed on standard
//     output once it listens) and connects each accepted connection to HOST:PORT;
//   delayrelay -s [-d MS] [-b MIB] [-t SECONDS] HOST:PORT
//     forwards its own standard input and output to one connection to HOST:PORT, for a client
//     that reaches its server through a command (sftp -S).
//
// -d is the delay of each direction in milliseconds (default 5, a round trip of 10 ms); -n bounds
// the connections relayed at once (default 16); -b bounds the bytes held per direction (default
// 64 MiB; reading stops while it is full); -t bounds the relay's life (default 3600 s). Only
// loopback addresses are accepted. It ends on SIGTERM or SIGINT, closing what it holds.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <list>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "loopnet.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    long delayMs = 5;
    long port = 0;
    long connections = 16;
    long bufferMiB = 64;
    long lifetime = 3600;
    bool stdio = false;
    sockaddr_in target = {};
};

// Bytes read from one side, waiting for their time; an empty chunk marks the end of the stream.
struct Chunk {
    Clock::time_point due;
    std::vector<char> bytes;
    size_t sent = 0;
};

// One direction of a connection.
struct Flow {
    int from = -1, to = -1;
    std::deque<Chunk> queue;
    size_t held = 0;
    bool ended = false;     // the end of the stream was read
    bool delivered = false; // ... and passed on
};

struct Link {
    Flow up, down; // client to server, server to client
    bool broken = false;
    bool Done() const { return broken || (up.delivered && down.delivered); }
};

volatile sig_atomic_t stopping = 0;
void OnSignal(int) { stopping = 1; }

constexpr size_t kReadSize = 256 * 1024;
char readBuffer[kReadSize];

void Usage()
{
    fprintf(stderr, "usage: delayrelay [-d MS] [-l PORT] [-n CONNECTIONS] [-b MIB] [-t SECONDS] HOST:PORT\n"
                    "       delayrelay -s [-d MS] [-b MIB] [-t SECONDS] HOST:PORT\n"
                    "HOST is a loopback address (127.0.0.0/8)\n");
    exit(2);
}

Options ParseOptions(int argc, char **argv)
{
    Options o;
    int c;
    while ((c = getopt(argc, argv, "d:l:n:b:t:s")) != -1) {
        bool ok = true;
        switch (c) {
        case 'd': ok = loopnet::ParseNumber(optarg, 0, 60000, &o.delayMs); break;
        case 'l': ok = loopnet::ParseNumber(optarg, 0, 65535, &o.port); break;
        case 'n': ok = loopnet::ParseNumber(optarg, 1, 1024, &o.connections); break;
        case 'b': ok = loopnet::ParseNumber(optarg, 1, 4096, &o.bufferMiB); break;
        case 't': ok = loopnet::ParseNumber(optarg, 1, 86400, &o.lifetime); break;
        case 's': o.stdio = true; break;
        default: ok = false;
        }
        if (!ok)
            Usage();
    }
    if (optind + 1 != argc || !loopnet::ParseEndpoint(argv[optind], &o.target))
        Usage();
    return o;
}

void NonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is there into a new chunk due after the delay; false when the link is broken.
bool ReadSide(Flow &f, Clock::duration delay, size_t limit)
{
    size_t room = std::min(kReadSize, limit - f.held);
    ssize_t n = read(f.from, readBuffer, room);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    Chunk c;
    c.due = Clock::now() + delay;
    c.bytes.assign(readBuffer, readBuffer + n);
    f.held += static_cast<size_t>(n);
    f.queue.push_back(std::move(c));
    if (n == 0)
        f.ended = true;
    return true;
}

// Passes on what is due, in order, as far as the other side takes it; false when it is broken.
bool WriteSide(Flow &f, Clock::time_point now)
{
    while (!f.queue.empty() && f.queue.front().due <= now) {
        Chunk &c = f.queue.front();
        if (c.bytes.empty()) { // the end of the stream, passed on as the sender gave it
            struct stat st;
            if (fstat(f.to, &st) == 0 && S_ISSOCK(st.st_mode))
                shutdown(f.to, SHUT_WR);
            else
                close(f.to), f.to = -1;
            f.queue.pop_front();
            f.delivered = true;
            return true;
        }
        ssize_t n = write(f.to, c.bytes.data() + c.sent, c.bytes.size() - c.sent);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        c.sent += static_cast<size_t>(n);
        if (c.sent < c.bytes.size())
            return true;
        f.held -= c.bytes.size();
        f.queue.pop_front();
    }
    return true;
}

bool DueNow(const Flow &f, Clock::time_point now)
{
    return !f.queue.empty() && f.queue.front().due <= now;
}

void CloseLink(Link &l)
{
    // In the relayed form both flows share the two sockets; in the standard-stream form the
    // socket is up.to and down.from, and 0 and 1 are ours to close too.
    int fds[] = {l.up.from, l.up.to, l.down.from, l.down.to};
    std::sort(std::begin(fds), std::end(fds));
    for (size_t i = 0; i < 4; i++)
        if (fds[i] >= 0 && (i == 0 || fds[i] != fds[i - 1]))
            close(fds[i]);
}

} // namespace

int main(int argc, char **argv)
{
    Options o = ParseOptions(argc, argv);
    const auto delay = std::chrono::milliseconds(o.delayMs);
    const size_t limit = static_cast<size_t>(o.bufferMiB) << 20;
    const auto deadline = Clock::now() + std::chrono::seconds(o.lifetime);

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);

    std::list<Link> links;
    int listener = -1;
    if (o.stdio) {
        int s = loopnet::Connect(o.target);
        if (s < 0) {
            fprintf(stderr, "delayrelay: cannot connect to the target: %s\n", strerror(errno));
            return 1;
        }
        Link l;
        l.up.from = 0, l.up.to = s, l.down.from = s, l.down.to = 1;
        for (int fd : {0, 1, s})
            NonBlocking(fd);
        links.push_back(std::move(l));
    } else {
        int bound = 0;
        listener = loopnet::Listen(static_cast<int>(o.port), 64, &bound);
        if (listener < 0) {
            fprintf(stderr, "delayrelay: cannot listen: %s\n", strerror(errno));
            return 1;
        }
        NonBlocking(listener);
        printf("port = %d\n", bound);
        fflush(stdout);
    }

    std::vector<pollfd> fds;
    std::vector<Flow *> owners; // the flow each entry of fds after the listener belongs to
    while (!stopping && Clock::now() < deadline && (listener >= 0 || !links.empty())) {
        auto now = Clock::now();
        for (auto &l : links) {
            if (!WriteSide(l.up, now) || !WriteSide(l.down, now))
                l.broken = true;
        }
        for (auto it = links.begin(); it != links.end();) {
            if (it->Done()) {
                CloseLink(*it);
                it = links.erase(it);
            } else {
                ++it;
            }
        }
        if (o.stdio && links.empty())
            break;

        fds.clear();
        owners.clear();
        bool accepting = listener >= 0 && links.size() < static_cast<size_t>(o.connections);
        fds.push_back({accepting ? listener : -1, POLLIN, 0});
        auto wake = deadline;
        for (auto &l : links) {
            for (Flow *f : {&l.up, &l.down}) {
                if (!f->ended && f->held < limit) {
                    fds.push_back({f->from, POLLIN, 0});
                    owners.push_back(f);
                }
                if (DueNow(*f, now)) {
                    fds.push_back({f->to, POLLOUT, 0});
                    owners.push_back(f);
                } else if (!f->queue.empty()) {
                    wake = std::min(wake, f->queue.front().due);
                }
            }
        }
        auto wait = std::max(Clock::duration::zero(), wake - now);
        auto secs = std::chrono::duration_cast<std::chrono::seconds>(wait);
        timespec ts = {static_cast<time_t>(secs.count()),
                       static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(wait - secs).count())};
        if (ppoll(fds.data(), fds.size(), &ts, &waiting) < 0) {
            if (errno == EINTR)
                continue;
            perror("delayrelay: poll");
            break;
        }

        for (size_t i = 1; i < fds.size(); i++) {
            if (fds[i].revents == 0)
                continue;
            Flow *f = owners[i - 1];
            Link *l = nullptr;
            for (auto &cand : links)
                if (&cand.up == f || &cand.down == f)
                    l = &cand;
            if (l == nullptr || l->broken)
                continue;
            bool ok = fds[i].events == POLLIN ? ReadSide(*f, delay, limit) : WriteSide(*f, Clock::now());
            if (!ok)
                l->broken = true;
        }
        if (fds[0].revents & POLLIN) {
            int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                loopnet::NoDelay(c);
                int s = loopnet::Connect(o.target);
                if (s < 0) {
                    close(c);
                } else {
                    NonBlocking(c);
                    NonBlocking(s);
                    Link l;
                    l.up.from = c, l.up.to = s, l.down.from = s, l.down.to = c;
                    links.push_back(std::move(l));
                }
            }
        }
    }
    for (auto &l : links)
        CloseLink(l);
    if (listener >= 0)
        close(listener);
    return 0;
}
