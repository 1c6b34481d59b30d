#include <hostlink/auth.h>
#include <hostlink/tools.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hostlink {

std::optional<Endpoint> parseEndpoint(std::string_view text)
{
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    std::string_view host = text.substr(0, colon), port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos)
        return std::nullopt; // a bare IPv6 address needs its brackets
    if (port.empty() || port.size() > 5)
        return std::nullopt;
    int n = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > 65535)
        return std::nullopt;
    return Endpoint{std::string(host), n};
}

std::string agentHost()
{
    if (const char *ssh = ::getenv("SSH_CONNECTION")) {
        std::string first(ssh, strcspn(ssh, " "));
        if (!first.empty())
            return first;
    }
    const char *host = ::getenv("HOSTAGENT_HOST");
    if (host && *host)
        return host;
    return "127.0.0.1";
}

Link connectTo(const Endpoint &where, const ConnectOptions &options)
{
    Link link = Link::connect(where.host, where.port, options.swapped);
    link.setTimeout(options.timeoutSeconds);
    if (link.handshake(options.nonce) != options.nonce + 1)
        throw LinkError(LinkError::Kind::Protocol, "the agent answered the handshake with another nonce");
    // The place of authentication: with a key, nothing else is sent before it has succeeded.
    if (options.key)
        authenticate(link, *options.key);
    return link;
}

Link connectPeer(int port, const ConnectOptions &options) { return connectTo(Endpoint{agentHost(), port}, options); }

int openClientLog(const std::string &program, int port, const char *envName, std::string *path)
{
    std::string name = program + "-" + std::to_string(port) + ".log";
    const char *explicitLog = envName ? ::getenv(envName) : nullptr;
    if (explicitLog && *explicitLog) {
        *path = explicitLog;
        return ::open(explicitLog, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    std::string dir;
    const char *runtime = ::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        dir = std::string(runtime) + "/hostagent";
    else {
        const char *tmp = ::getenv("TMPDIR");
        dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/hostagent-" + std::to_string(::getuid());
    }
    *path = dir + "/" + name;
    if (::mkdir(dir.c_str(), 0700) < 0 && errno != EEXIST)
        return -1;
    // The directory must be this user's own, private, and no link.
    struct ::stat st;
    if (::lstat(dir.c_str(), &st) < 0)
        return -1;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
        errno = EPERM;
        return -1;
    }
    int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (d < 0)
        return -1;
    ::unlinkat(d, name.c_str(), 0);
    int fd = ::openat(d, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int error = errno;
    ::close(d);
    errno = error;
    return fd;
}

} // namespace hostlink
