#include "client/hostlink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace hostlink {

namespace {

uint32_t bswap32(uint32_t v) { return __builtin_bswap32(v); }
uint16_t bswap16(uint16_t v) { return __builtin_bswap16(v); }

void readAll(int fd, char *p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, p + got, n - got);
        if (r == 0)
            throw LinkError(got == 0 ? "connection closed by the agent" : "connection closed inside a reply");
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                throw LinkError("timed out waiting for the agent");
            throw LinkError(std::string("read from agent: ") + strerror(errno));
        }
        got += static_cast<size_t>(r);
    }
}

} // namespace

Request &Request::word(int32_t v)
{
    parts_.push_back({true, v, {}, {}});
    return *this;
}
Request &Request::str(std::string_view s)
{
    std::string d(s);
    d.push_back('\0');
    parts_.push_back({false, 0, std::move(d), {}});
    return *this;
}
Request &Request::bytes(std::string_view b)
{
    parts_.push_back({false, 0, std::string(b), {}});
    return *this;
}
Request &Request::borrow(std::string_view b)
{
    parts_.push_back({false, 0, {}, b});
    return *this;
}

int Reply::length() const
{
    uint16_t v;
    memcpy(&v, raw.data(), 2);
    return swapped ? bswap16(v) : v;
}

int32_t Reply::word(int n) const
{
    size_t off = static_cast<size_t>(4 * n);
    if (off + 4 > raw.size())
        throw LinkError("reply too short for word " + std::to_string(n));
    uint32_t v;
    memcpy(&v, raw.data() + off, 4);
    return static_cast<int32_t>(swapped ? bswap32(v) : v);
}

Link::Link(Link &&other) noexcept
    : fd_(other.fd_), swapped_(other.swapped_), log_(other.log_), out_(std::move(other.out_)),
      reply_(std::move(other.reply_))
{
    other.fd_ = -1;
    other.log_ = nullptr;
}
Link &Link::operator=(Link &&other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        swapped_ = other.swapped_;
        log_ = other.log_;
        out_ = std::move(other.out_);
        reply_ = std::move(other.reply_);
        other.fd_ = -1;
        other.log_ = nullptr;
    }
    return *this;
}

Link::~Link() { close(); }

void Link::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

Link Link::connect(const std::string &host, int port, bool swapped)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
    if (rc != 0)
        throw LinkError("cannot resolve " + host + ": " + gai_strerror(rc));
    Link link;
    link.swapped_ = swapped;
    int lastErrno = 0;
    for (struct addrinfo *ai = res; ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            link.fd_ = fd;
            break;
        }
        lastErrno = errno;
        ::close(fd);
    }
    freeaddrinfo(res);
    if (link.fd_ < 0)
        throw LinkError("cannot connect to " + host + ":" + std::to_string(port) + ": " + strerror(lastErrno));
    int on = 1;
    setsockopt(link.fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return link;
}

std::string Link::encodeWord(int32_t v) const
{
    uint32_t u = static_cast<uint32_t>(v);
    if (swapped_)
        u = bswap32(u);
    return std::string(reinterpret_cast<const char *>(&u), 4);
}

uint16_t Link::encodeLength(int len) const
{
    uint16_t v = static_cast<uint16_t>(len);
    return swapped_ ? bswap16(v) : v;
}

void Link::send(const Request &req)
{
    size_t size = 4;
    for (const auto &p : req.parts_)
        size += p.isWord ? 4 : p.bytes().size();
    // The link's own buffer keeps its capacity from one request to the next.
    std::string &msg = out_;
    msg.clear();
    msg.reserve(size);
    msg.resize(4);
    for (const auto &p : req.parts_) {
        if (p.isWord) {
            uint32_t u = static_cast<uint32_t>(p.word);
            if (swapped_)
                u = bswap32(u);
            msg.append(reinterpret_cast<const char *>(&u), 4);
        } else
            msg += p.bytes();
    }
    int len = req.length_ >= 0 ? req.length_ : static_cast<int>(size);
    uint16_t l = encodeLength(len);
    memcpy(msg.data(), &l, 2);
    msg[2] = static_cast<char>(req.call_);
    if (log_)
        log_->push_back({static_cast<int>(size), 0});
    sendRaw(msg);
}

void Link::sendRaw(std::string_view bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t r = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            throw LinkError(std::string("write to agent: ") + strerror(errno));
        }
        sent += static_cast<size_t>(r);
    }
}

Reply Link::receive()
{
    Reply r;
    receive(r);
    return r;
}

size_t Link::receive(Reply &r, int head, char *tail, size_t tailSize)
{
    r.swapped = swapped_;
    r.raw.resize(4);
    readAll(fd_, r.raw.data(), 4);
    int len = r.length();
    if (len < 4 || len > kMaxMessage)
        throw LinkError("malformed reply: length " + std::to_string(len));
    if (r.raw[3] != 0)
        throw LinkError("malformed reply: header byte 3 is not zero");
    int first = len < head ? len : head;
    r.raw.resize(static_cast<size_t>(first));
    if (first > 4)
        readAll(fd_, r.raw.data() + 4, static_cast<size_t>(first - 4));
    size_t rest = static_cast<size_t>(len - first);
    size_t kept = rest < tailSize ? rest : tailSize;
    if (kept)
        readAll(fd_, tail, kept);
    char drop[256];
    for (size_t left = rest - kept; left > 0;) {
        size_t n = left < sizeof drop ? left : sizeof drop;
        readAll(fd_, drop, n);
        left -= n;
    }
    if (log_ && !log_->empty())
        log_->back().reply = len;
    return kept;
}

void Link::receive(Reply &r) { receive(r, kMaxMessage, nullptr, 0); }

void Link::setTimeout(double seconds)
{
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1e6);
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool Link::atEof()
{
    char c;
    for (;;) {
        ssize_t r = ::recv(fd_, &c, 1, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            throw LinkError("timed out waiting for the agent");
        return r == 0 || (r < 0 && errno == ECONNRESET);
    }
}

uint32_t Link::handshake(uint32_t nonce)
{
    Reply r = call(Request(0).word(static_cast<int32_t>(kMagic)).word(1).word(static_cast<int32_t>(nonce)));
    if (r.length() != 16 || r.call() != 0)
        throw LinkError("malformed connection reply");
    if (static_cast<uint32_t>(r.word(1)) != kMagic || r.word(2) != 1)
        throw LinkError("agent speaks another protocol");
    return static_cast<uint32_t>(r.word(3));
}

} // namespace hostlink
