#include "client/process_api.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client/files_api.h"

namespace hostlink {

namespace {

int32_t result12(Link &link, const Request &req)
{
    const Reply &r = link.exchange(req);
    if (r.call() != req.call() || r.length() < 12)
        throw LinkError("malformed reply to call " + std::to_string(req.call()));
    int32_t result = r.word(1);
    if (result < 0)
        errno = LocalErrno(r.word(2));
    return result;
}

Request withStrings(Request req, const std::string &first, const std::vector<std::string> &rest)
{
    req.str(first);
    for (const std::string &s : rest)
        req.str(s);
    return req;
}

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

int32_t forkNExec(Link &link, const std::string &path, const std::vector<std::string> &argv)
{
    return result12(link, withStrings(Request(23).word(static_cast<int32_t>(argv.size())), path, argv));
}

int32_t fork(Link &link) { return result12(link, Request(36)); }

int32_t execve(Link &link, const std::string &path, const std::vector<std::string> &argv,
               const std::vector<std::string> &env)
{
    Request req(37);
    req.word(static_cast<int32_t>(argv.size())).word(static_cast<int32_t>(env.size())).str(path);
    for (const std::string &s : argv)
        req.str(s);
    for (const std::string &s : env)
        req.str(s);
    return result12(link, req);
}

int32_t execvp(Link &link, const std::string &name, const std::vector<std::string> &argv)
{
    return result12(link, withStrings(Request(38).word(static_cast<int32_t>(argv.size())), name, argv));
}

void exit(Link &link, int32_t status)
{
    const Reply &r = link.exchange(Request(39).word(status));
    if (r.call() != 39 || r.length() != 4)
        throw LinkError("malformed reply to call 39");
}

int32_t dup2(Link &link, int32_t from, int32_t to) { return result12(link, Request(40).word(from).word(to)); }
int32_t peerpipe(Link &link, int port) { return result12(link, Request(42).word(port)); }
int32_t setpgid(Link &link, int32_t pid, int32_t group) { return result12(link, Request(43).word(pid).word(group)); }
int32_t setsid(Link &link) { return result12(link, Request(44)); }
int32_t getpgrp(Link &link) { return result12(link, Request(45)); }
int32_t getpid(Link &link) { return result12(link, Request(46)); }
int32_t getppid(Link &link) { return result12(link, Request(47)); }

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
        exit(link, 127);
        fail("the host cannot connect back: " + std::string(strerror(error)));
    }
    if (pipefd != 1)
        close(link, pipefd);
    struct pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeoutSeconds * 1000)) != 1) {
        exit(link, 127); // the host child gives the link back to its parent
        fail("the host never connected back");
    }
    int out = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    if (out < 0)
        throw LinkError("cannot accept the host's connection");
    if (execvp(link, name, argv) < 0) {
        int error = errno;
        ::close(out);
        exit(link, 127);
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
