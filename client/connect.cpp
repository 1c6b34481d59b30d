#include <hostlink/auth.h>
#include <hostlink/connect.h>
#include <hostlink/detail.h>
#include <hostlink/ext.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

namespace {

using Kind = LinkError::Kind;

std::string showEndpoint(const Endpoint &where)
{
    return (where.host.find(':') != std::string::npos ? "[" + where.host + "]" : where.host) + ":" +
           std::to_string(where.port);
}

// The handshake, with every way it can fail told as what it means.
void shakeHands(Link &link, const Endpoint &where, uint32_t nonce)
{
    std::string at = showEndpoint(where);
    uint32_t answer;
    try {
        answer = link.handshake(nonce);
    } catch (const LinkError &e) {
        if (e.kind() == Kind::TimedOut)
            throw LinkError(Kind::Busy, at + " accepted the connection but does not answer: the agent there is "
                                             "serving another client (try again once it is done), or it is not a "
                                             "host agent");
        if (e.kind() == Kind::Closed)
            throw LinkError(Kind::Protocol, at + " closed the connection without answering: it is not a host "
                                                 "agent, or the agent refused this client's address");
        if (e.kind() == Kind::Malformed || e.kind() == Kind::Protocol)
            throw LinkError(Kind::Protocol, "something answered at " + at +
                                                ", but it is not a host agent (is this the port the agent printed?)");
        throw;
    }
    if (answer != nonce + 1)
        throw LinkError(Kind::Protocol, "something answered at " + at + ", but it is not a host agent (wrong nonce)");
}

void authenticateAt(Link &link, const Endpoint &where, std::string_view key, const std::string &source)
{
    std::string at = showEndpoint(where), from = source.empty() ? "the key" : "the key from " + source;
    std::vector<detail::Exchange> log;
    detail::record(link, &log);
    try {
        authenticate(link, key);
        detail::record(link, nullptr);
    } catch (const LinkError &e) {
        detail::record(link, nullptr);
        bool firstStep = log.size() <= 1;
        if (e.kind() == Kind::Closed && firstStep)
            throw LinkError(Kind::Auth, "the agent at " + at + " takes no key (it was started without -a or -k): "
                                        "connect without " + from);
        if (e.kind() == Kind::Closed)
            throw LinkError(Kind::Auth, "the agent at " + at + " refused " + from +
                                            ": it was started with another key (its -k file, or a launch key)");
        if (e.kind() == Kind::Auth && std::string_view(e.what()).find("does not hold") != std::string_view::npos)
            throw LinkError(Kind::Auth, "the agent at " + at + " does not hold " + from +
                                            ": it was started with another key, or it is not your agent");
        if (e.kind() == Kind::TimedOut)
            throw LinkError(Kind::Busy, "the agent at " + at + " does not go on with the authentication: it is "
                                                              "serving another client");
        throw;
    }
}

} // namespace

Connected connectEndpoint(const Endpoint &where, const ConnectOptions &options, const std::string &keySource)
{
    Connected c;
    c.where = where;
    double limit = options.connectSeconds > 0 ? options.connectSeconds : 0;
    c.link = Link::connect(where.host, where.port, options.swapped, limit);
    // The handshake and the authentication wait no longer than the connection may take.
    c.link.setTimeout(limit > 0 ? limit : options.timeoutSeconds);
    shakeHands(c.link, where, options.nonce);
    // The place of authentication: with a key, nothing else is sent before it has succeeded.
    if (options.key) {
        authenticateAt(c.link, where, *options.key, keySource);
        c.authenticated = true;
    }
    if (options.learnExtensions) {
        try {
            c.lastExtension = lastExtensionCall(c.link);
            c.extensions = c.lastExtension > 0;
        } catch (const LinkError &e) {
            if (e.kind() == Kind::Closed && !options.key)
                throw LinkError(Kind::Auth, "the agent at " + showEndpoint(where) +
                                                " wants a key: name its key file with --key FILE or in "
                                                "$HOSTAGENT_KEYFILE (a client the agent launches with -a gets the "
                                                "key on its standard input)");
            throw;
        }
    }
    c.link.setTimeout(options.timeoutSeconds);
    return c;
}

Link connectTo(const Endpoint &where, const ConnectOptions &options)
{
    return std::move(connectEndpoint(where, options).link);
}

Link connectPeer(int port, const ConnectOptions &options) { return connectTo(Endpoint{agentHost(), port}, options); }

Connected connectClient(const ClientArgs &args, const ConnectOptions &options)
{
    if (!args.complete())
        throw UsageError(std::string("no agent named: ") + kClientArgsUsage);
    ConnectOptions how = options;
    how.swapped = options.swapped || args.swapped;
    how.learnExtensions = true;
    std::string source;
    if (!how.key) {
        std::optional<FoundKey> found = args.key;
        if (!args.searched) {
            ClientArgs copy = args;
            copy.searchKey(-1);
            found = copy.key;
        }
        if (found) {
            how.key = found->key;
            source = found->source;
        }
    }
    Endpoint where = args.peer ? Endpoint{agentHost(), args.where.port} : args.where;
    try {
        return connectEndpoint(where, how, source);
    } catch (const LinkError &e) {
        // A launching agent answers only once its remote shell has ended: a client that stays
        // in the remote shell waits for nothing.
        if (e.kind() == Kind::Busy && args.peer)
            throw LinkError(Kind::Busy, std::string(e.what()) + "; a client the agent launches must leave the remote "
                                                                "shell first, since the agent answers once it has ended");
        throw;
    }
}

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
    // The directory must be this user's own, private, and no link (checked on the directory
    // opened, not on its name); when it is not (another user made it first, say), a fresh
    // private one beside it is made and used instead.
    int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct ::stat st;
    if (d < 0 || ::fstat(d, &st) < 0 || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
        if (d >= 0)
            ::close(d);
        std::string fresh = dir + ".XXXXXX";
        if (!::mkdtemp(fresh.data()))
            return -1;
        dir = fresh;
        *path = dir + "/" + name;
        d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (d < 0)
            return -1;
    }
    ::unlinkat(d, name.c_str(), 0);
    int fd = ::openat(d, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int error = errno;
    ::close(d);
    errno = error;
    return fd;
}

} // namespace hostlink
