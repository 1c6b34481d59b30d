#include <hostlink/calls.h>
#include <hostlink/run.h>

#include "client/callnumbers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

RunResult failed(RunFailure why, int error)
{
    RunResult r;
    r.failure = why;
    r.error = error;
    return r;
}

// Where the program's output goes: a descriptor, or a string up to a limit.
struct Sink {
    int fd = -1;
    std::string *text = nullptr;
    size_t limit = 0;
    bool *truncated = nullptr;
    void put(const char *p, size_t n)
    {
        if (!text) {
            detail::writeAllLocal(fd, p, n);
            return;
        }
        size_t room = text->size() < limit ? limit - text->size() : 0;
        if (n > room)
            *truncated = true;
        text->append(p, n < room ? n : room);
    }
};

// Copies the program's output and error output as they come, feeds its input, and collects
// the status line; the status ends the wait.
RunResult pump(Fd conns[3], Sink sinks[2], const RunOptions &options)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
    std::string status, input;
    bool open[3] = {true, true, true};
    bool inputOpen = options.inFd >= 0, haveStatus = false;
    size_t inputDone = 0;
    char buf[16384];
    if (inputOpen) {
        int flags = fcntl(conns[2].fd, F_GETFL);
        fcntl(conns[2].fd, F_SETFL, flags | O_NONBLOCK);
    }
    while (open[0] || open[1] || (open[2] && !haveStatus)) {
        if (options.stop && *options.stop)
            return failed(RunFailure::Interrupted, EINTR);
        bool wantInput = inputOpen && inputDone == input.size();
        bool sending = inputOpen && inputDone < input.size();
        struct pollfd p[4];
        for (int i = 0; i < 3; i++)
            p[i] = {open[i] ? conns[i].fd : -1, static_cast<short>(POLLIN | (i == 2 && sending ? POLLOUT : 0)), 0};
        p[3] = {wantInput ? options.inFd : -1, POLLIN, 0};
        int wait = options.stop ? 200 : -1;
        if (options.timeoutSeconds > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return failed(RunFailure::TimedOut, ETIMEDOUT);
            if (wait < 0 || left.count() < wait)
                wait = static_cast<int>(left.count());
        }
        int r = poll(p, 4, wait);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return failed(RunFailure::Lost, errno);
        if (p[3].revents) {
            ssize_t got = ::read(options.inFd, buf, sizeof buf);
            if (got > 0) {
                input.assign(buf, static_cast<size_t>(got));
                inputDone = 0;
            } else if (got == 0 || errno != EINTR) {
                inputOpen = false;
                ::shutdown(conns[2].fd, SHUT_WR);
            }
        }
        if (sending && (p[2].revents & (POLLOUT | POLLERR))) {
            ssize_t w = ::send(conns[2].fd, input.data() + inputDone, input.size() - inputDone, MSG_NOSIGNAL);
            if (w > 0)
                inputDone += static_cast<size_t>(w);
            else if (w < 0 && errno != EINTR && errno != EAGAIN)
                inputOpen = false; // the program stopped reading and ended
        }
        for (int i = 0; i < 3; i++) {
            if (!open[i] || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t got = ::read(conns[i].fd, buf, sizeof buf);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0) {
                open[i] = false;
                continue;
            }
            if (i < 2)
                sinks[i].put(buf, static_cast<size_t>(got));
            else if (status.size() < 64) {
                status.append(buf, static_cast<size_t>(got));
                haveStatus = status.find('\n') != std::string::npos;
            }
        }
        // A program that leaves a background process holding its output: once the status is
        // in, what has been written is shown and the rest is not waited for.
        if (haveStatus && (open[0] || open[1])) {
            for (int i = 0; i < 2; i++) {
                for (int rounds = 0; open[i] && rounds < 1024; rounds++) {
                    struct pollfd q = {conns[i].fd, POLLIN, 0};
                    if (poll(&q, 1, 100) != 1)
                        break;
                    ssize_t got = ::read(conns[i].fd, buf, sizeof buf);
                    if (got <= 0)
                        open[i] = false;
                    else
                        sinks[i].put(buf, static_cast<size_t>(got));
                }
            }
            break;
        }
    }
    char *end = nullptr;
    long v = haveStatus ? strtol(status.c_str(), &end, 10) : -1;
    if (!haveStatus || end == status.c_str() || v < 0 || v > 255)
        return failed(RunFailure::Lost, EPIPE); // the shell ended without saying (killed)
    RunResult done;
    done.status = static_cast<int>(v);
    return done;
}

RunResult run(Link &link, const std::string &name, const std::vector<std::string> &argv, const RunOptions &options,
              Sink sinks[2])
{
    int port = 0;
    Fd listener = listenOnLinkAddress(link, &port);
    if (listener.fd < 0)
        return failed(RunFailure::Listen, errno);
    int waitMs = link.timeout() > 0 ? static_cast<int>(link.timeout() * 1000) : 30000;
    if (fork(link) < 0)
        return failed(RunFailure::HostFork, errno);
    // From here the host child serves the link: every way out that does not exec ends it, so
    // that the agent's parent serves again.
    auto abandon = [&](RunFailure why, int error) {
        _exit(link, 127);
        return failed(why, error);
    };
    Fd conns[3]; // standard output, standard error, exit status (and input)
    int hostFds[3];
    for (int i = 0; i < 3; i++) {
        hostFds[i] = peerpipe(link, port);
        if (hostFds[i] < 0)
            return abandon(RunFailure::ConnectBack, errno);
        conns[i] = acceptOne(listener.fd, waitMs);
        if (conns[i].fd < 0)
            return abandon(RunFailure::ConnectBack, ECONNREFUSED);
    }
    listener = Fd();
    // Output and error onto 1 and 2; the status connection onto 0, which the shell moves to 9
    // before it gives the program /dev/null as its input (dash names descriptors 0 to 9 only,
    // and 0 is the one number that is surely not the agent's own connection).
    const int wanted[3] = {1, 2, 0};
    for (int i = 0; i < 3; i++)
        if (dup2(link, hostFds[i], wanted[i]) < 0)
            return abandon(RunFailure::ConnectBack, errno);
    for (int i = 0; i < 3; i++)
        if (hostFds[i] > 2)
            close(link, hostFds[i]);
    // sh -c SCRIPT sh NAME ARGS...: "$@" is the program, searched along PATH, and its arguments.
    const char *script = options.inFd >= 0 ? "exec 9>&0; \"$@\" 9>&-; echo $? >&9"
                                           : "exec 9>&0 </dev/null; \"$@\" 9>&-; echo $? >&9";
    std::vector<std::string> shell = {"sh", "-c", script, "sh", name};
    if (!argv.empty())
        shell.insert(shell.end(), argv.begin() + 1, argv.end());
    if (execvp(link, "/bin/sh", shell) < 0)
        return abandon(RunFailure::Start, errno);
    return pump(conns, sinks, options);
}

} // namespace

std::string RunResult::message() const
{
    std::string why = error ? std::string(": ") + strerror(error) : "";
    switch (failure) {
    case RunFailure::None: return "";
    case RunFailure::Listen: return "cannot listen for the host's connections" + why;
    case RunFailure::HostFork: return "the host cannot fork" + why;
    case RunFailure::ConnectBack: return "the host cannot connect back" + why;
    case RunFailure::Start: return "the host cannot start sh" + why;
    case RunFailure::TimedOut: return "the program ran past its time limit";
    case RunFailure::Interrupted: return "interrupted";
    case RunFailure::Lost: return "the program's status did not come back";
    }
    return "?";
}

RunResult runHost(Link &link, const std::string &name, const std::vector<std::string> &argv, const RunOptions &options)
{
    Sink sinks[2];
    sinks[0].fd = options.outFd;
    sinks[1].fd = options.errFd;
    return run(link, name, argv, options, sinks);
}

RunResult runCapture(Link &link, const std::string &name, const std::vector<std::string> &argv,
                     const RunOptions &options)
{
    std::string out, err;
    bool truncated = false;
    Sink sinks[2] = {{-1, &out, options.captureLimit, &truncated}, {-1, &err, options.captureLimit, &truncated}};
    RunResult r = run(link, name, argv, options, sinks);
    r.out = std::move(out);
    r.err = std::move(err);
    r.truncated = truncated;
    return r;
}

int runProgram(Link &link, const std::string &name, const std::vector<std::string> &argv, const RunOptions &options)
{
    RunResult r = runHost(link, name, argv, options);
    if (!r.ok()) {
        errno = r.error ? r.error : EIO;
        return -1;
    }
    return r.status;
}

int errnoFromMessage(std::string_view message)
{
    // The messages of the C library's strerror as GNU and BSD tools print them, and a few
    // of mv's and cp's own words; the first that occurs wins.
    static const struct {
        std::string_view words;
        int error;
    } kKnown[] = {
        {"No such file or directory", ENOENT},
        {"Permission denied", EACCES},
        {"Operation not permitted", EPERM},
        {"Directory not empty", ENOTEMPTY},
        {"Not a directory", ENOTDIR},
        {"Is a directory", EISDIR},
        {"File exists", EEXIST},
        {"Read-only file system", EROFS},
        {"No space left on device", ENOSPC},
        {"Disk quota exceeded", EDQUOT},
        {"Invalid cross-device link", EXDEV},
        {"File name too long", ENAMETOOLONG},
        {"Too many levels of symbolic links", ELOOP},
        {"Device or resource busy", EBUSY},
        {"Text file busy", ETXTBSY},
        {"Invalid argument", EINVAL},
        {"File too large", EFBIG},
        {"Input/output error", EIO},
        {"cannot overwrite directory", EISDIR},
        {"cannot overwrite non-directory", ENOTDIR},
        {"are the same file", EINVAL},
        {"to a subdirectory of itself", EINVAL},
        {"No such file", ENOENT},
        {"not empty", ENOTEMPTY},
        {"invalid", EINVAL},
    };
    for (const auto &k : kKnown)
        if (message.find(k.words) != std::string_view::npos)
            return k.error;
    return EIO;
}

} // namespace hostlink
