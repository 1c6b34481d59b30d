// Terminal-side client library: one connection to a host agent, requests out, replies in.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hostlink {

constexpr uint32_t kMagic = 0x2ed76d19;
constexpr int kMaxMessage = 65520;

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
    // Overrides the header's length field (for malformed requests in tests).
    Request &length(int len) { length_ = len; return *this; }
    int call() const { return call_; }

private:
    friend class Link;
    struct Part {
        bool isWord;
        int32_t word;
        std::string data;
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

class Link {
public:
    Link() = default;
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    Link(Link &&other) noexcept;
    ~Link();

    // Connects to host:port; swapped makes this client speak the opposite byte order.
    static Link connect(const std::string &host, int port, bool swapped = false);
    // Sends the connection request; returns the agent's nonce reply (nonce + 1).
    uint32_t handshake(uint32_t nonce = 1);

    void send(const Request &req);
    void sendRaw(std::string_view bytes);
    Reply receive();
    Reply call(const Request &req) { send(req); return receive(); }
    bool atEof(); // true when the agent has closed the connection
    // Limits every later wait for the agent to seconds; a wait that runs out raises LinkError.
    void setTimeout(double seconds);
    int fd() const { return fd_; }
    bool swapped() const { return swapped_; }
    void close();

    std::string encodeWord(int32_t v) const;
    uint16_t encodeLength(int len) const;

private:
    int fd_ = -1;
    bool swapped_ = false;
};

} // namespace hostlink
