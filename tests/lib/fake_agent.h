// A scripted stand-in for the agent on loopback: it answers each request with what the script
// says, so that tests can send what no real agent would.
#pragma once
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <hostlink/link.h>

struct FakeAgent {
    // Given the request number (0 = the handshake) and its bytes, returns what to send back;
    // returning std::nullopt-like "\x01close" ends the connection instead.
    using Script = std::function<std::string(int n, const std::string &request)>;
    explicit FakeAgent(Script script);
    ~FakeAgent();
    hostlink::Link Open(double timeout = 5);
    int port = 0;
    static inline const std::string kClose = "\x01close";
    static inline const std::string kSilence = "\x01silence";
    // kTrickle + bytes: the bytes one at a time, 100 ms apart.
    static inline const std::string kTrickle = "\x01trickle";
    // kLater + bytes: the bytes at once, after 50 ms.
    static inline const std::string kLater = "\x01later";

private:
    int listener_ = -1;
    Script script_;
    std::thread thread_;
};

// A reply as the agent builds it in host byte order: header, then words.
std::string FakeReply(int call, std::initializer_list<int32_t> words, const std::string &data = "");
// The answer to a connection request.
std::string FakeHello(const std::string &request);

// Restores an environment variable when it goes.
struct EnvVar {
    std::string name, saved;
    bool had;
    EnvVar(const char *n, const char *value) : name(n)
    {
        const char *v = getenv(n);
        had = v != nullptr;
        saved = v ? v : "";
        value ? setenv(n, value, 1) : unsetenv(n);
    }
    ~EnvVar() { had ? setenv(name.c_str(), saved.c_str(), 1) : unsetenv(name.c_str()); }
};
