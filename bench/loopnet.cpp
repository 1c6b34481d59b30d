#include "loopnet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loopnet {

bool ParseNumber(const char *text, long lo, long hi, long *out)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool ParseEndpoint(const std::string &text, sockaddr_in *out)
{
    auto colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = text.substr(0, colon);
    long port = 0;
    if (!ParseNumber(text.c_str() + colon + 1, 1, 65535, &port))
        return false;
    if (host == "localhost")
        host = "127.0.0.1";
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
        return false;
    if ((ntohl(a.sin_addr.s_addr) >> 24) != 127)
        return false;
    a.sin_port = htons(static_cast<uint16_t>(port));
    *out = a;
    return true;
}

int Listen(int port, int backlog, int *bound)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(s, backlog) < 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) < 0) {
        close(s);
        return -1;
    }
    *bound = ntohs(a.sin_port);
    return s;
}

int Connect(const sockaddr_in &to)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0) {
        close(s);
        return -1;
    }
    NoDelay(s);
    return s;
}

void NoDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace loopnet
