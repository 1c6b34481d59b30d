// What the agent's tests share: scratch directories, requests in either byte order, the agent
// binary as a child process, the trace of in-process calls.
#pragma once
#include <cstdint>
#include <gtest/gtest.h>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include <hostlink/link.h>
#include "common/wire.h"

using namespace wire;
using hostlink::Link;
using hostlink::Reply;

void WriteFile(const std::string &path, std::string_view text, mode_t mode = 0644);

// A fresh directory of its own, removed with its contents on every way out of its scope.
// Throws when none can be made: a test never works in a shared directory instead.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
    std::string Put(std::string_view name, std::string_view text, mode_t mode = 0600) const // its path
    {
        return WriteFile(*this / name, text, mode), *this / name;
    }

private:
    std::string path_;
};

// A request: the call number, then words (in the chosen byte order) and bytes as they go.
struct Msg {
    explicit Msg(int c) : call(c) {}
    Msg &w(int32_t v) { return Add(true, std::string(reinterpret_cast<const char *>(&v), 4)); }
    Msg &s(std::string_view text) { return Add(false, std::string(text) + '\0'); }
    Msg &b(std::string_view bytes) { return Add(false, std::string(bytes)); }
    Msg &len(int n) { return length = n, *this; }
    Msg &Add(bool word, std::string bytes) { return parts.emplace_back(word, std::move(bytes)), *this; }
    std::string Bytes(bool swapped) const;

    int call;
    int length = -1; // the header's length field; -1 for the real length
    std::vector<std::pair<bool, std::string>> parts; // {is a word, its bytes in host order}
};

Reply Ask(Link &link, const Msg &m);
inline std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    return a.insert(a.end(), b.begin(), b.end()), a;
}
std::string ReadFile(const std::string &path);
std::string Fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
bool WaitUntil(const std::function<bool()> &cond, double seconds = 10); // cond's last answer
int OpenDescriptors(pid_t pid); // those below 100
std::set<int> Children(pid_t pid); // its child processes, ended ones not yet collected among them
std::string CaptureStderr(const std::function<void()> &f); // what f writes on descriptor 2
// kill(pid, sig) for one process the test started; any pid <= 0 (a group, or every process) is refused.
bool Signal(pid_t pid, int sig);

// The real agent as a child process whose output goes to files in its scratch directory.
// env entries are NAME=value to set or NAME alone to remove; DISPLAY and SSH_CONNECTION are
// removed unless set there. Ends only its own process.
struct Agent {
    Scratch dir;
    pid_t pid = -1;
    int port = -1;
    int status = -1; // exit status, 256 + signal, -1 while running
    std::function<void()> beforeExec; // runs in the child just before the exec
    std::string program = AGENT_PATH;  // what is executed, argv[0] as given

    // With daemon, waits for "port = N"; throws when the agent does not get that far.
    void Start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {}, bool daemon = true);
    int Wait(double seconds = 10) { return WaitUntil([&] { return !Running(); }, seconds) ? status : -1; }
    bool Running();
    std::string Err() const { return ReadFile(dir / "stderr"); }
    std::string Out() const { return ReadFile(dir / "stdout"); }
    Link Connect(bool swapped = false, bool handshake = false); // every wait on it bounded
    Link Open(bool swapped = false) { return Connect(swapped, true); }
    ~Agent();
};

struct Daemon : Agent { // the agent in daemon mode, started as xt.term
    explicit Daemon(bool verbose = false, const std::vector<std::string> &env = {}, std::function<void()> before = {});
};

inline std::string OrderName(const testing::TestParamInfo<bool> &p) { return p.param ? "Swapped" : "Native"; }
#define BOTH_ORDERS(Suite) INSTANTIATE_TEST_SUITE_P(BothOrders, Suite, testing::Bool(), OrderName)

int Listen(int *port);                 // a listener on 127.0.0.1, or -1
// A connection to port whose every wait is bounded (10 seconds), handshaken unless told not to.
Link Dial(int port, const char *host = "127.0.0.1", bool swapped = false, bool handshake = true);
int AcceptWithin(int listener, int ms); // a connection accepted within ms, or -1
