#include "hostsh/run.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <hostlink/calls.h>

namespace hostsh {

volatile sig_atomic_t gInterrupted = 0;

namespace {

constexpr int kConnectMs = 20000;
// The program gets /dev/null for input; its status goes to descriptor 0, the status channel.
constexpr const char *kWrapper = "\"$@\" </dev/null; echo $? >&0";

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

RunResult RunHostProgram(hostlink::Link &link, const std::vector<std::string> &argv, int out, int err)
{
    RunResult result;
    int port = 0;
    int listener = ListenBeside(link, &port);
    if (listener < 0) {
        result.failure = std::string("cannot listen: ") + strerror(errno);
        return result;
    }
    int socks[3] = {-1, -1, -1};
    auto cleanup = [&] {
        close(listener);
        for (int &s : socks)
            if (s >= 0)
                close(s), s = -1;
    };
    if (hostlink::fork(link) < 0) {
        result.failure = std::string("the host cannot fork: ") + strerror(errno);
        cleanup();
        return result;
    }
    // From here on the host's child serves the link until it execs or ends.
    const int targets[3] = {1, 2, 0};
    for (int k = 0; k < 3; k++) {
        int fd = hostlink::peerpipe(link, port);
        if (fd < 0) {
            result.failure = std::string("the host cannot connect back: ") + strerror(errno);
            hostlink::_exit(link, 127);
            cleanup();
            return result;
        }
        socks[k] = AcceptWithin(listener, kConnectMs);
        if (socks[k] < 0) {
            result.failure = "the host did not connect back";
            hostlink::_exit(link, 127);
            cleanup();
            return result;
        }
        if (fd != targets[k]) {
            if (hostlink::dup2(link, fd, targets[k]) < 0) {
                result.failure = std::string("the host cannot set up descriptors: ") + strerror(errno);
                hostlink::_exit(link, 127);
                cleanup();
                return result;
            }
            hostlink::close(link, fd);
        }
    }
    close(listener);
    listener = -1;
    std::vector<std::string> shArgv = {"sh", "-c", kWrapper, "sh"};
    shArgv.insert(shArgv.end(), argv.begin(), argv.end());
    if (hostlink::execvp(link, "sh", shArgv) < 0) {
        result.failure = std::string("cannot run sh on the host: ") + strerror(errno);
        hostlink::_exit(link, 127);
        for (int &s : socks)
            close(s), s = -1;
        return result;
    }
    // Copy output until all three channels end.
    std::string status;
    const int dest[2] = {out, err};
    char buf[65536];
    int open = 3;
    while (open > 0 && !gInterrupted) {
        struct pollfd p[3];
        for (int k = 0; k < 3; k++)
            p[k] = {socks[k], POLLIN, 0};
        if (poll(p, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int k = 0; k < 3; k++) {
            if (socks[k] < 0 || !(p[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(socks[k], buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                close(socks[k]);
                socks[k] = -1;
                open--;
                continue;
            }
            if (k == 2)
                status.append(buf, static_cast<size_t>(n));
            else
                WriteAll(dest[k], buf, static_cast<size_t>(n));
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
    for (int &s : socks)
        if (s >= 0)
            close(s), s = -1;
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
