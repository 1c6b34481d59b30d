#include <hostlink/auth.h>
#include <hostlink/tools.h>

#include <cstdlib>
#include <cstring>

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

} // namespace hostlink
