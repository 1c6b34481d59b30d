#include <hostlink/tools.h>

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

// A descriptor of this process, closed when it goes.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd &operator=(Fd &&o) noexcept
    {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// A listener on the address of this end of the link (where the host's peerpipe connects).
Fd listenOnLinkAddress(const Link &link, int *port)
{
    struct sockaddr_storage local = {};
    socklen_t len = sizeof local;
    if (getsockname(link.fd(), reinterpret_cast<struct sockaddr *>(&local), &len) < 0)
        return Fd();
    Fd s(socket(local.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd < 0)
        return Fd();
    if (local.ss_family == AF_INET)
        reinterpret_cast<struct sockaddr_in *>(&local)->sin_port = 0;
    else
        reinterpret_cast<struct sockaddr_in6 *>(&local)->sin6_port = 0;
    if (bind(s.fd, reinterpret_cast<struct sockaddr *>(&local), len) < 0 || listen(s.fd, 4) < 0 ||
        getsockname(s.fd, reinterpret_cast<struct sockaddr *>(&local), &len) < 0)
        return Fd();
    *port = ntohs(local.ss_family == AF_INET ? reinterpret_cast<struct sockaddr_in *>(&local)->sin_port
                                             : reinterpret_cast<struct sockaddr_in6 *>(&local)->sin6_port);
    return s;
}

// The connection the host has just opened to the listener (its connect finished before the
// agent answered peerpipe, so it waits in the queue).
Fd acceptOne(int listener, int waitMs)
{
    struct pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, waitMs) != 1)
        return Fd();
    return Fd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

bool copyAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int failWith(int error)
{
    errno = error;
    return -1;
}

} // namespace

int runProgram(Link &link, const std::string &name, const std::vector<std::string> &argv, const RunOptions &options)
{
    int port = 0;
    Fd listener = listenOnLinkAddress(link, &port);
    if (listener.fd < 0)
        return -1;
    int waitMs = link.timeout() > 0 ? static_cast<int>(link.timeout() * 1000) : 30000;
    if (fork(link) < 0)
        return -1;
    // From here the host child serves the link: every way out that does not exec ends it, so
    // that the agent's parent serves again.
    auto abandon = [&](int error) {
        _exit(link, 127);
        return failWith(error);
    };
    Fd conns[3]; // standard output, standard error, exit status
    int hostFds[3];
    for (int i = 0; i < 3; i++) {
        hostFds[i] = peerpipe(link, port);
        if (hostFds[i] < 0)
            return abandon(errno);
        conns[i] = acceptOne(listener.fd, waitMs);
        if (conns[i].fd < 0)
            return abandon(ECONNREFUSED);
    }
    listener = Fd();
    // Output and error onto 1 and 2; the status connection onto 0, which the shell moves to 9
    // before it gives the program /dev/null as its input (dash names descriptors 0 to 9 only,
    // and 0 is the one number that is surely not the agent's own connection).
    const int wanted[3] = {1, 2, 0};
    for (int i = 0; i < 3; i++)
        if (dup2(link, hostFds[i], wanted[i]) < 0)
            return abandon(errno);
    for (int i = 0; i < 3; i++)
        if (hostFds[i] > 2)
            close(link, hostFds[i]);
    // sh -c SCRIPT sh NAME ARGS...: "$@" is the program, searched along PATH, and its arguments.
    std::vector<std::string> shell = {"sh", "-c", "exec 9>&0 </dev/null; \"$@\" 9>&-; echo $? >&9", "sh", name};
    if (!argv.empty())
        shell.insert(shell.end(), argv.begin() + 1, argv.end());
    if (execvp(link, "/bin/sh", shell) < 0)
        return abandon(errno);

    // Copy output and error as they come; the status line ends the wait.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
    std::string status;
    bool open[3] = {true, true, true};
    bool haveStatus = false;
    char buf[16384];
    while (open[0] || open[1] || (open[2] && !haveStatus)) {
        struct pollfd p[3];
        for (int i = 0; i < 3; i++)
            p[i] = {open[i] ? conns[i].fd : -1, POLLIN, 0};
        int wait = -1;
        if (options.timeoutSeconds > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return failWith(ETIMEDOUT);
            wait = static_cast<int>(left.count());
        }
        int r = poll(p, 3, wait);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        for (int i = 0; i < 3; i++) {
            if (!open[i] || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t got = ::read(conns[i].fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                open[i] = false;
                continue;
            }
            if (i < 2)
                copyAll(i == 0 ? options.outFd : options.errFd, buf, static_cast<size_t>(got));
            else {
                status.append(buf, static_cast<size_t>(got));
                haveStatus = status.find('\n') != std::string::npos;
            }
        }
        // A program that leaves a background process holding its output: once the status is
        // in, what has been written is shown and the rest is not waited for.
        if (haveStatus && (open[0] || open[1])) {
            for (int i = 0; i < 2; i++) {
                while (open[i]) {
                    struct pollfd q = {conns[i].fd, POLLIN, 0};
                    if (poll(&q, 1, 100) != 1)
                        break;
                    ssize_t got = ::read(conns[i].fd, buf, sizeof buf);
                    if (got <= 0)
                        open[i] = false;
                    else
                        copyAll(i == 0 ? options.outFd : options.errFd, buf, static_cast<size_t>(got));
                }
            }
            break;
        }
    }
    if (!haveStatus)
        return failWith(EPIPE); // the shell ended without saying (killed)
    return atoi(status.c_str());
}

} // namespace hostlink
