// Terminal-side client library: one connection to a host agent, requests out, replies in.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/wire.h>

namespace hostlink {

constexpr uint32_t kMagic = wire::PROTOCOL_MAGIC;
constexpr int kMaxMessage = wire::MAX_MESSAGE;

struct LinkError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A request under construction: integer words are stored in the link's byte order when sent.
class Request {
public:
    explicit Request(int call) : call_(call) {}
    Request &word(int32_t v);
    Request &str(std::string_view s); // with its NUL
    Request &bytes(std::string_view b);
    // Like bytes, without a copy: b must stay valid until the request is sent.
    Request &borrow(std::string_view b);
    // Overrides the header's length field (for malformed requests in tests).
    Request &length(int len) { length_ = len; return *this; }
    int call() const { return call_; }

private:
    friend class Link;
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
    std::string raw; // exactly as received
    int length() const;
    int call() const { return static_cast<unsigned char>(raw.at(2)); }
    int32_t word(int n) const; // decoded in the link's byte order
    std::string_view data(int offset) const { return std::string_view(raw).substr(static_cast<size_t>(offset)); }
    bool swapped = false;
};

// The sizes of one request and of the reply that answered it, as they went over the wire.
struct Exchange {
    int request = 0;
    int reply = 0;
};

class Link {
public:
    Link() = default;
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    Link(Link &&other) noexcept;
    Link &operator=(Link &&other) noexcept;
    ~Link();

    // Connects to host:port; swapped makes this client speak the opposite byte order.
    static Link connect(const std::string &host, int port, bool swapped = false);
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
    bool atEof(); // true when the agent has closed the connection
    // Limits every later wait for the agent to seconds; a wait that runs out raises LinkError.
    void setTimeout(double seconds);
    int fd() const { return fd_; }
    bool swapped() const { return swapped_; }
    void close();

    // While log is set, every request sent and reply received adds its size to it.
    void record(std::vector<Exchange> *log) { log_ = log; }

    std::string encodeWord(int32_t v) const;
    uint16_t encodeLength(int len) const;

private:
    int fd_ = -1;
    bool swapped_ = false;
    std::vector<Exchange> *log_ = nullptr;
    std::string out_;
    Reply reply_;
};

} // namespace hostlink
