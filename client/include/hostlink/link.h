// The connection to a host agent: one TCP connection, requests out, replies in, strictly in order.
//
// Naming: types are PascalCase, functions and methods lowerCamelCase; a typed call keeps the
// spelling of the C library function it stands for (stat, gettimeofday, getservbyname), which
// is all lower case. Constants are kPascalCase.
//
// Errors: a typed call returns its C-like result and leaves this machine's errno value in
// errno when the host reports a failure (never a wire error number). A fault of the connection
// itself (closed, timed out, a reply that does not fit its request) raises LinkError, whose
// kind() tells which.
//
// Threads: a Link is used by one thread at a time. To share one connection between threads,
// wrap it in a LockedLink (below) and hold its guard for each exchange or batch.
#pragma once
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/wire.h>

namespace hostlink {

namespace detail {
struct Exchange;
}

// The wire vocabulary (call numbers, limits, flags, error numbers) is <hostlink/wire.h>,
// namespace wire; these are its names in the library's style.
constexpr uint32_t kMagic = wire::PROTOCOL_MAGIC;
constexpr int kMaxMessage = wire::MAX_MESSAGE; // no request or reply is longer
constexpr int kMaxData = wire::MAX_DATA;       // most bytes one read, write or readlink moves

class LinkError : public std::runtime_error {
public:
    enum class Kind {
        Closed,    // the agent closed the connection
        TimedOut,  // a wait for the agent ran past the link's timeout
        Malformed, // a reply that does not fit its request (the stream is out of step)
        Io,        // a read or write on the connection failed
        Connect,   // the connection could not be made (name, refusal)
        Protocol,  // the agent answered the handshake with another protocol
        Auth,      // authentication refused or not available
        Busy,      // connected, but the agent does not answer (it serves another client)
    };
    LinkError(Kind kind, const std::string &what) : std::runtime_error(what), kind_(kind) {}
    explicit LinkError(const std::string &what) : LinkError(Kind::Io, what) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// The kind's name ("closed", "timed out", "malformed reply", ...).
const char *kindName(LinkError::Kind kind);

// A request under construction: integer words are stored in the link's byte order when sent.
class Request {
public:
    explicit Request(int call) : call_(call) {}
    Request &word(int32_t v);
    Request &str(std::string_view s); // with its NUL
    Request &bytes(std::string_view b);
    // Like bytes, without a copy: b must stay valid until the request is sent.
    Request &borrow(std::string_view b);
    int call() const { return call_; }
    // Bytes the request takes on the wire, header included.
    size_t size() const;

private:
    friend class Link;
    friend struct LinkAccess;
    struct Part {
        bool isWord;
        int32_t word;
        std::string data;
        std::string_view borrowed;
        std::string_view bytes() const { return data.empty() ? borrowed : std::string_view(data); }
    };
    int call_;
    int length_ = -1;
    std::vector<Part> parts_;
};

struct Reply {
    std::string raw; // exactly as received (for a read into a caller's buffer: its first bytes)
    int length() const;
    int call() const;   // LinkError (Malformed) when shorter than its header
    int32_t word(int n) const; // decoded in the link's byte order; LinkError when past the end
    std::string_view data(int offset) const { return std::string_view(raw).substr(static_cast<size_t>(offset)); }
    bool swapped = false;
};

class Link {
public:
    Link() = default;
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    Link(Link &&other) noexcept;
    Link &operator=(Link &&other) noexcept;
    ~Link();

    // Connects to host:port; swapped makes this client speak the opposite byte order. With
    // seconds above 0 a connection not made by then fails (LinkError of kind Connect).
    static Link connect(const std::string &host, int port, bool swapped = false, double seconds = 0);
    // Takes over fd, a connected socket whose handshake (and authentication) has been done,
    // e.g. one a parent process handed to this one; swapped as the handshake settled it.
    static Link adopt(int fd, bool swapped);
    // Sends the connection request; returns the agent's nonce reply (nonce + 1).
    uint32_t handshake(uint32_t nonce = 1);

    void send(const Request &req);
    void sendRaw(std::string_view bytes);
    Reply receive();
    void receive(Reply &into); // reuses into's storage
    // A reply whose first head bytes go to into and whose bytes beyond them go straight to
    // tail, up to tailSize; any further bytes are read and dropped. Returns the bytes put in tail.
    size_t receive(Reply &into, int head, char *tail, size_t tailSize);
    Reply call(const Request &req) { send(req); return receive(); }
    // A call whose reply lives in the link until the next exchange: no allocation once the link
    // has carried a message of the size.
    const Reply &exchange(const Request &req)
    {
        send(req);
        receive(reply_);
        return reply_;
    }
    // True when the agent has closed the connection. Looks without taking: a byte that is
    // there stays for the next receive. Waits (up to the timeout) when nothing has arrived.
    bool atEof();
    // Limits every later wait for the agent to seconds (0: no limit); a wait that runs out
    // raises LinkError of kind TimedOut.
    void setTimeout(double seconds);
    double timeout() const { return timeout_; }
    int fd() const { return fd_; }
    bool swapped() const { return swapped_; }
    bool isOpen() const { return fd_ >= 0; }
    void close();

private:
    friend struct LinkAccess;
    int fd_ = -1;
    bool swapped_ = false;
    double timeout_ = 0;
    std::vector<detail::Exchange> *log_ = nullptr; // see detail.h
    std::string out_;
    Reply reply_;
};

// One Link shared by threads: each holder of a Guard has the link to itself.
//     LockedLink shared(std::move(link));
//     { auto g = shared.lock(); hostlink::getpid(*g); }
class LockedLink {
public:
    explicit LockedLink(Link link) : link_(std::move(link)) {}
    class Guard {
    public:
        Link &operator*() const { return *link_; }
        Link *operator->() const { return link_; }

    private:
        friend class LockedLink;
        Guard(std::mutex &m, Link &l) : lock_(m), link_(&l) {}
        std::unique_lock<std::mutex> lock_;
        Link *link_;
    };
    Guard lock() { return Guard(mutex_, link_); }
    // Runs f(link) under the lock and returns what it returns.
    template <class F> auto with(F &&f) -> decltype(f(std::declval<Link &>()))
    {
        std::lock_guard<std::mutex> g(mutex_);
        return f(link_);
    }

private:
    std::mutex mutex_;
    Link link_;
};

} // namespace hostlink
