#include "client/process_api.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>


namespace hostlink {

namespace {

// A listening socket on the loopback address this link came from, and its port.
int listenFor(const Link &link, int *port)
{
    struct sockaddr_in local = {};
    socklen_t len = sizeof local;
    if (getsockname(link.fd(), reinterpret_cast<struct sockaddr *>(&local), &len) < 0)
        throw LinkError("cannot name the link's own end");
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        throw LinkError("cannot make a listener");
    local.sin_port = 0;
    len = sizeof local;
    if (bind(s, reinterpret_cast<struct sockaddr *>(&local), sizeof local) < 0 || listen(s, 1) < 0 ||
        getsockname(s, reinterpret_cast<struct sockaddr *>(&local), &len) < 0) {
        ::close(s);
        throw LinkError("cannot make a listener");
    }
    *port = ntohs(local.sin_port);
    return s;
}

} // namespace

std::string runHostProgram(Link &link, const std::string &name, const std::vector<std::string> &argv,
                           double timeoutSeconds)
{
    int port = 0;
    int listener = listenFor(link, &port);
    auto fail = [&](const std::string &what) {
        ::close(listener);
        throw LinkError(what);
    };
    if (fork(link) < 0)
        fail("the host cannot fork: " + std::string(strerror(errno)));
    int pipefd = peerpipe(link, port);
    if (pipefd < 0 || dup2(link, pipefd, 1) < 0) {
        int error = errno;
        _exit(link, 127);
        fail("the host cannot connect back: " + std::string(strerror(error)));
    }
    if (pipefd != 1)
        close(link, pipefd);
    struct pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeoutSeconds * 1000)) != 1) {
        _exit(link, 127); // the host child gives the link back to its parent
        fail("the host never connected back");
    }
    int out = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    if (out < 0)
        throw LinkError("cannot accept the host's connection");
    if (execvp(link, name, argv) < 0) {
        int error = errno;
        ::close(out);
        _exit(link, 127);
        throw LinkError("cannot run " + name + " on the host: " + strerror(error));
    }
    // The program's output, to its end, within the time allowed.
    std::string output;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        struct pollfd q = {out, POLLIN, 0};
        if (left.count() <= 0 || poll(&q, 1, static_cast<int>(left.count())) != 1)
            break;
        ssize_t n = ::read(out, buf, sizeof buf);
        if (n <= 0)
            break;
        output.append(buf, static_cast<size_t>(n));
    }
    ::close(out);
    return output;
}

} // namespace hostlink
