#include <hostlink/detail.h>
#include <hostlink/link.h>

#include "client/callnumbers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace hostlink {

using Kind = LinkError::Kind;

// The library's own access to the private parts of Link and Request.
struct LinkAccess {
    static std::vector<detail::Exchange> *&log(Link &l) { return l.log_; }
    static int &length(Request &r) { return r.length_; }
    // Appends the request as the wire carries it.
    static void encode(const Request &req, bool swapped, std::string *out)
    {
        size_t size = req.size();
        size_t start = out->size();
        out->reserve(start + size);
        out->resize(start + 4);
        for (const auto &p : req.parts_) {
            if (p.isWord) {
                uint32_t u = static_cast<uint32_t>(p.word);
                if (swapped)
                    u = __builtin_bswap32(u);
                out->append(reinterpret_cast<const char *>(&u), 4);
            } else
                out->append(p.bytes());
        }
        uint16_t l = static_cast<uint16_t>(req.length_ >= 0 ? req.length_ : static_cast<int>(size));
        if (swapped)
            l = __builtin_bswap16(l);
        memcpy(out->data() + start, &l, 2);
        (*out)[start + 2] = static_cast<char>(req.call_);
        (*out)[start + 3] = 0;
    }
};

namespace {

uint32_t bswap32(uint32_t v) { return __builtin_bswap32(v); }
uint16_t bswap16(uint16_t v) { return __builtin_bswap16(v); }

[[noreturn]] void readFailure(size_t got)
{
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        throw LinkError(Kind::TimedOut, "timed out waiting for the agent");
    if (errno == ECONNRESET)
        throw LinkError(Kind::Closed, got ? "connection reset inside a reply" : "connection reset by the agent");
    throw LinkError(Kind::Io, std::string("read from agent: ") + strerror(errno));
}

using Clock = std::chrono::steady_clock;

// Reads n bytes; with a deadline (not the epoch), gives up once it has passed, however the
// bytes trickle in.
void readAll(int fd, char *p, size_t n, Clock::time_point deadline = {})
{
    size_t got = 0;
    while (got < n) {
        if (deadline != Clock::time_point{}) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            struct pollfd q = {fd, POLLIN, 0};
            int ready = left > 0 ? poll(&q, 1, static_cast<int>(std::min<long long>(left, 1 << 30))) : 0;
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0)
                throw LinkError(Kind::TimedOut, "timed out waiting for the agent");
        }
        ssize_t r = ::read(fd, p + got, n - got);
        if (r == 0)
            throw LinkError(Kind::Closed, got == 0 ? "connection closed by the agent" : "connection closed inside a reply");
        if (r < 0) {
            if (errno == EINTR)
                continue;
            readFailure(got);
        }
        got += static_cast<size_t>(r);
    }
}

} // namespace

const char *kindName(LinkError::Kind kind)
{
    switch (kind) {
    case Kind::Closed: return "closed";
    case Kind::TimedOut: return "timed out";
    case Kind::Malformed: return "malformed reply";
    case Kind::Io: return "i/o error";
    case Kind::Connect: return "cannot connect";
    case Kind::Protocol: return "protocol mismatch";
    case Kind::Auth: return "authentication failed";
    case Kind::Busy: return "agent busy";
    }
    return "?";
}

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
size_t Request::size() const
{
    size_t size = 4;
    for (const auto &p : parts_)
        size += p.isWord ? 4 : p.bytes().size();
    return size;
}

int Reply::length() const
{
    if (raw.size() < 4)
        throw LinkError(Kind::Malformed, "reply without its header");
    uint16_t v;
    memcpy(&v, raw.data(), 2);
    return swapped ? bswap16(v) : v;
}

int Reply::call() const
{
    if (raw.size() < 4)
        throw LinkError(Kind::Malformed, "reply without its header");
    return static_cast<unsigned char>(raw[2]);
}

int32_t Reply::word(int n) const
{
    size_t off = static_cast<size_t>(4 * n);
    if (n < 0 || off + 4 > raw.size())
        throw LinkError(Kind::Malformed, "reply too short for word " + std::to_string(n));
    uint32_t v;
    memcpy(&v, raw.data() + off, 4);
    return static_cast<int32_t>(swapped ? bswap32(v) : v);
}

Link::Link(Link &&other) noexcept
    : fd_(other.fd_), swapped_(other.swapped_), timeout_(other.timeout_), log_(other.log_),
      out_(std::move(other.out_)), reply_(std::move(other.reply_))
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
        timeout_ = other.timeout_;
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

namespace {

// connect(2) that gives up after ms milliseconds (-1: never): 0, or -1 with errno.
int connectWithin(int fd, const struct sockaddr *addr, socklen_t len, int ms)
{
    if (ms < 0)
        return ::connect(fd, addr, len);
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, addr, len);
    if (rc < 0 && errno == EINPROGRESS) {
        struct pollfd p = {fd, POLLOUT, 0};
        int ready;
        while ((ready = poll(&p, 1, ms)) < 0 && errno == EINTR) {
        }
        int error = 0;
        socklen_t elen = sizeof error;
        if (ready == 0)
            error = ETIMEDOUT;
        else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &elen) < 0)
            error = errno;
        rc = error ? -1 : 0;
        errno = error;
    }
    int saved = errno;
    fcntl(fd, F_SETFL, flags);
    errno = saved;
    return rc;
}

} // namespace

Link Link::connect(const std::string &host, int port, bool swapped, double seconds)
{
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
    if (rc != 0)
        throw LinkError(Kind::Connect, "cannot resolve " + host + ": " + gai_strerror(rc));
    Link link;
    link.swapped_ = swapped;
    int lastErrno = 0;
    int ms = seconds > 0 ? static_cast<int>(std::ceil(seconds * 1000)) : -1;
    for (struct addrinfo *ai = res; ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            lastErrno = errno;
            continue;
        }
        if (connectWithin(fd, ai->ai_addr, ai->ai_addrlen, ms) == 0) {
            link.fd_ = fd;
            break;
        }
        lastErrno = errno;
        ::close(fd);
    }
    freeaddrinfo(res);
    std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    if (link.fd_ < 0 && lastErrno == ECONNREFUSED)
        throw LinkError(Kind::Connect, "nothing is listening at " + where +
                                           ": start the agent there (hostagent -d prints its port) or check the port");
    if (link.fd_ < 0 && lastErrno == ETIMEDOUT)
        throw LinkError(Kind::Connect, "no answer from " + where +
                                           " (a wrong address, or a firewall dropping the connection)");
    if (link.fd_ < 0)
        throw LinkError(Kind::Connect, "cannot connect to " + where + ": " + strerror(lastErrno));
    int on = 1;
    setsockopt(link.fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return link;
}

Link Link::adopt(int fd, bool swapped)
{
    Link link;
    link.fd_ = fd;
    link.swapped_ = swapped;
    return link;
}

void encodeRequest(const Request &req, bool swapped, std::string *out) { LinkAccess::encode(req, swapped, out); }

void Link::send(const Request &req)
{
    // The link's own buffer keeps its capacity from one request to the next.
    out_.clear();
    LinkAccess::encode(req, swapped_, &out_);
    if (auto *log = LinkAccess::log(*this))
        log->push_back({static_cast<int>(out_.size()), 0});
    sendRaw(out_);
}

void Link::sendRaw(std::string_view bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t r = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                throw LinkError(Kind::TimedOut, "timed out writing to the agent");
            if (errno == EPIPE || errno == ECONNRESET)
                throw LinkError(Kind::Closed, "connection closed by the agent");
            throw LinkError(Kind::Io, std::string("write to agent: ") + strerror(errno));
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
    // The timeout bounds the whole reply, not each read of it.
    Clock::time_point deadline{};
    if (timeout_ > 0)
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_));
    readAll(fd_, r.raw.data(), 4, deadline);
    int len = r.length();
    if (len < 4 || len > kMaxMessage)
        throw LinkError(Kind::Malformed, "malformed reply: length " + std::to_string(len));
    if (r.raw[3] != 0)
        throw LinkError(Kind::Malformed, "malformed reply: header byte 3 is not zero");
    int first = len < head ? len : head;
    r.raw.resize(static_cast<size_t>(first));
    if (first > 4)
        readAll(fd_, r.raw.data() + 4, static_cast<size_t>(first - 4), deadline);
    size_t rest = static_cast<size_t>(len - first);
    size_t kept = rest < tailSize ? rest : tailSize;
    if (kept)
        readAll(fd_, tail, kept, deadline);
    char drop[256];
    for (size_t left = rest - kept; left > 0;) {
        size_t n = left < sizeof drop ? left : sizeof drop;
        readAll(fd_, drop, n, deadline);
        left -= n;
    }
    auto *log = LinkAccess::log(*this);
    if (log && !log->empty())
        log->back().reply = len;
    return kept;
}

void Link::receive(Reply &r) { receive(r, kMaxMessage, nullptr, 0); }

void Link::setTimeout(double seconds)
{
    timeout_ = seconds > 0 ? seconds : 0;
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(timeout_);
    tv.tv_usec = static_cast<suseconds_t>((timeout_ - static_cast<double>(tv.tv_sec)) * 1e6);
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool Link::atEof()
{
    char c;
    for (;;) {
        ssize_t r = ::recv(fd_, &c, 1, MSG_PEEK);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            throw LinkError(Kind::TimedOut, "timed out waiting for the agent");
        return r == 0 || (r < 0 && errno == ECONNRESET);
    }
}

uint32_t Link::handshake(uint32_t nonce)
{
    Reply r = call(Request(wire::CALL_CONNECTION).word(static_cast<int32_t>(kMagic)).word(wire::PROTOCOL_VERSION).word(static_cast<int32_t>(nonce)));
    if (r.length() != 16 || r.call() != 0)
        throw LinkError(Kind::Malformed, "malformed connection reply");
    if (static_cast<uint32_t>(r.word(1)) != kMagic || r.word(2) != 1)
        throw LinkError(Kind::Protocol, "agent speaks another protocol");
    return static_cast<uint32_t>(r.word(3));
}

namespace detail {

void record(Link &link, std::vector<Exchange> *log) { LinkAccess::log(link) = log; }

std::string encodeWord(const Link &link, int32_t v)
{
    uint32_t u = static_cast<uint32_t>(v);
    if (link.swapped())
        u = bswap32(u);
    return std::string(reinterpret_cast<const char *>(&u), 4);
}

uint16_t encodeLength(const Link &link, int len)
{
    uint16_t v = static_cast<uint16_t>(len);
    return link.swapped() ? bswap16(v) : v;
}

void setLength(Request &req, int len) { LinkAccess::length(req) = len; }

} // namespace detail

} // namespace hostlink
