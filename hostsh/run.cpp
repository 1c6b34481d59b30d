#include "hostsh/run.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <hostlink/calls.h>

namespace hostsh {

volatile sig_atomic_t gInterrupted = 0;

namespace {

constexpr int kConnectMs = 20000;
// The wrapper's status channel is the host descriptor the fourth connection got; the shell
// moves it to 9 (8 when it is 9 already), out of the program's sight.
std::string Wrapper(int channel)
{
    std::string c = std::to_string(channel), t = channel == 9 ? "8" : "9";
    return "exec " + t + ">&" + c + " " + c + ">&-; \"$@\" " + t + ">&-; echo $? >&" + t;
}

// A listener on the address of this end of the link.
int ListenBeside(const hostlink::Link &link, int *port)
{
    struct sockaddr_in local = {};
    socklen_t len = sizeof local;
    if (getsockname(link.fd(), reinterpret_cast<struct sockaddr *>(&local), &len) < 0)
        return -1;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    local.sin_port = 0;
    len = sizeof local;
    if (bind(s, reinterpret_cast<struct sockaddr *>(&local), sizeof local) < 0 || listen(s, 4) < 0 ||
        getsockname(s, reinterpret_cast<struct sockaddr *>(&local), &len) < 0) {
        close(s);
        return -1;
    }
    *port = ntohs(local.sin_port);
    return s;
}

int AcceptWithin(int listener, int ms)
{
    struct pollfd p = {listener, POLLIN, 0};
    int r;
    while ((r = poll(&p, 1, ms)) < 0 && errno == EINTR && !gInterrupted) {
    }
    if (r != 1)
        return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int WriteAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return -1;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

} // namespace

RunResult RunHostProgram(hostlink::Link &link, const std::vector<std::string> &argv, int in, int out, int err)
{
    RunResult result;
    int port = 0;
    int listener = ListenBeside(link, &port);
    if (listener < 0) {
        result.failure = std::string("cannot listen: ") + strerror(errno);
        return result;
    }
    // out, err, input, status.
    int socks[4] = {-1, -1, -1, -1};
    auto cleanup = [&] {
        if (listener >= 0)
            close(listener), listener = -1;
        for (int &s : socks)
            if (s >= 0)
                close(s), s = -1;
    };
    auto giveUp = [&](const std::string &why) {
        result.failure = why;
        hostlink::_exit(link, 127);
        cleanup();
        return result;
    };
    if (hostlink::fork(link) < 0) {
        result.failure = std::string("the host cannot fork: ") + strerror(errno);
        cleanup();
        return result;
    }
    // From here on the host's child serves the link until it execs or ends.
    const int targets[4] = {1, 2, 0, -1};
    int channel = -1;
    for (int k = 0; k < 4; k++) {
        int fd = hostlink::peerpipe(link, port);
        if (fd < 0)
            return giveUp(std::string("the host cannot connect back: ") + strerror(errno));
        socks[k] = AcceptWithin(listener, kConnectMs);
        if (socks[k] < 0)
            return giveUp("the host did not connect back");
        if (targets[k] < 0)
            channel = fd;
        else if (fd != targets[k]) {
            if (hostlink::dup2(link, fd, targets[k]) < 0)
                return giveUp(std::string("the host cannot set up descriptors: ") + strerror(errno));
            hostlink::close(link, fd);
        }
    }
    close(listener);
    listener = -1;
    std::vector<std::string> shArgv = {"sh", "-c", Wrapper(channel), "sh"};
    shArgv.insert(shArgv.end(), argv.begin(), argv.end());
    if (hostlink::execvp(link, "sh", shArgv) < 0) {
        result.failure = std::string("cannot run sh on the host: ") + strerror(errno);
        hostlink::_exit(link, 127);
        cleanup();
        return result;
    }
    // Copy output until its three channels end; input goes the other way while in lasts.
    int feed = socks[2];
    socks[2] = -1;
    fcntl(feed, F_SETFL, fcntl(feed, F_GETFL) | O_NONBLOCK);
    auto endInput = [&] {
        if (feed >= 0) {
            shutdown(feed, SHUT_WR);
            close(feed);
            feed = -1;
        }
    };
    if (in < 0)
        endInput();
    std::string pending; // read from in, not yet taken by the host
    std::string status;
    const int dest[2] = {out, err};
    const int chan[3] = {0, 1, 3};
    char buf[65536];
    int open = 3;
    while (open > 0 && !gInterrupted) {
        struct pollfd p[5];
        for (int k = 0; k < 3; k++)
            p[k] = {socks[chan[k]], POLLIN, 0};
        p[3] = {feed >= 0 && pending.empty() ? in : -1, POLLIN, 0};
        p[4] = {feed >= 0 && !pending.empty() ? feed : -1, POLLOUT, 0};
        if (poll(p, 5, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int k = 0; k < 3; k++) {
            int &s = socks[chan[k]];
            if (s < 0 || !(p[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(s, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                close(s);
                s = -1;
                open--;
                continue;
            }
            if (k == 2)
                status.append(buf, static_cast<size_t>(n));
            else
                WriteAll(dest[k], buf, static_cast<size_t>(n));
        }
        if (p[3].fd >= 0 && (p[3].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = read(in, buf, sizeof buf);
            if (n > 0)
                pending.assign(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR)
                endInput();
        }
        if (feed >= 0 && !pending.empty()) {
            ssize_t n = send(feed, pending.data(), pending.size(), MSG_NOSIGNAL);
            if (n > 0)
                pending.erase(0, static_cast<size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                endInput(); // the program closed its input
        }
        // Once the status is in, a background process that still holds the output is not
        // waited for: what it has written so far is shown.
        if (status.find('\n') != std::string::npos && open > 0) {
            for (int k = 0; k < 2; k++) {
                struct pollfd q = {socks[k], POLLIN, 0};
                while (socks[k] >= 0 && poll(&q, 1, 100) == 1) {
                    ssize_t n = read(socks[k], buf, sizeof buf);
                    if (n <= 0)
                        break;
                    WriteAll(dest[k], buf, static_cast<size_t>(n));
                }
            }
            break;
        }
    }
    endInput();
    cleanup();
    if (gInterrupted) {
        result.failure = "interrupted";
        return result;
    }
    char *end = nullptr;
    long v = strtol(status.c_str(), &end, 10);
    if (end != status.c_str() && v >= 0 && v <= 255)
        result.status = static_cast<int>(v);
    else
        result.failure = "the program's status did not come back";
    return result;
}

} // namespace hostsh
