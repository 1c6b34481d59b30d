// Regression tests of faults found in review: the wire vocabulary's tables, the reply padding,
// and (on the real binary over loopback, in both byte orders) the faults that show on a socket.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/wire.h"
#include "service/environ.h"
#include "service/protocol.h"

namespace {

TEST(Wire, ErrorNumbersRoundTrip)
{
    std::set<int> wires;
    for (const wire::ErrorRow &row : wire::ERROR_ROWS) {
        EXPECT_EQ(wire::WireErrno(row.host), row.wire) << row.host;
        EXPECT_EQ(wire::LocalErrno(row.wire), row.host) << row.wire;
        EXPECT_TRUE(wires.insert(row.wire).second) << row.wire;
    }
    // Hosts errors without a row travel as EINVAL; wire numbers without one arrive as EIO.
    for (int host : {0, -1, EOVERFLOW, ESTALE, 100000})
        EXPECT_EQ(wire::WireErrno(host), 22) << host;
    EXPECT_EQ(wire::WireErrno(EWOULDBLOCK), 11);
    for (int w : {0, -1, 67, 74, 1000})
        EXPECT_EQ(wire::LocalErrno(w), EIO) << w;
    for (int host = 1; host < 300; host++)
        EXPECT_EQ(wire::WireErrno(wire::LocalErrno(wire::WireErrno(host))), wire::WireErrno(host)) << host;
}

// String-list replies clear the pad bytes behind their last string, as file replies do.
TEST(Replies, StringListPaddingIsCleared)
{
    char name[] = "hostx", alias[] = "al", proto[] = "tcp";
    char *aliases[] = {alias, nullptr};
    char *noaddr[] = {nullptr};
    struct hostent host = {name, aliases, 2, 4, noaddr};
    struct servent serv = {name, aliases, 0, proto};
    char getenv[4] = {};
    SetLength(getenv, 4);
    getenv[2] = wire::CALL_GETENV;
    const std::function<char *()> builders[] = {[&] { return HostReply(&host); }, [&] { return ServiceReply(&serv, 0); },
                                                [&] { return ProcessRequest(-1, getenv); }};
    for (const auto &build : builders) {
        memset(replybuf, 0xee, sizeof replybuf);
        char *reply = build();
        int length = MsgLength(reply);
        ASSERT_GT(length, 12);
        EXPECT_NE(reply[length - 4], '\xee'); // the last word is used or padding
        for (int i = length - 3; i < length; i++)
            EXPECT_NE(reply[i], '\xee') << i;
    }
}

// Bytes from fd until the text ends with stop, the stream ends or nothing comes for ms.
std::string ReadUntil(int fd, const std::string &stop, int ms)
{
    std::string text;
    struct pollfd p = {fd, POLLIN, 0};
    char buf[4096];
    for (ssize_t n; poll(&p, 1, ms) > 0 && (n = read(fd, buf, stop.empty() ? sizeof buf : 1)) > 0;) {
        text.append(buf, static_cast<size_t>(n));
        if (!stop.empty() && text.ends_with(stop))
            break;
    }
    return text;
}

// The real agent (in daemon mode unless told otherwise), spoken to in either byte order.
struct Agent {
    pid_t pid = -1;
    int port = -1, sock = -1, out = -1, err = -1, status = -1;
    bool swapped = false;

    explicit Agent(bool verbose, const std::function<void()> &beforeExec = {})
        : Agent({"xt.term", verbose ? "-v" : "-d", "-d", "--"}, beforeExec, true)
    {
    }
    Agent(std::vector<const char *> args, const std::function<void()> &beforeExec, bool daemon)
    {
        int o[2], e[2];
        if (pipe(o) < 0 || pipe(e) < 0)
            return;
        if ((pid = fork()) == 0) {
            dup2(o[1], 1);
            dup2(e[1], 2);
            for (int fd = 3; fd < 1024; fd++)
                close(fd);
            if (beforeExec)
                beforeExec();
            args.push_back(nullptr);
            execv(AGENT_PATH, const_cast<char **>(args.data()));
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        out = o[0];
        err = e[0];
        if (daemon && sscanf(ReadUntil(out, "\n", 10000).c_str(), "port = %d", &port) != 1)
            ADD_FAILURE() << "no port line: " << Finish();
    }
    ~Agent()
    {
        if (pid > 0 && status < 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (int fd : {sock, out, err})
            if (fd >= 0)
                close(fd);
    }
    bool Connect(bool swap)
    {
        swapped = swap;
        sock = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        struct timeval limit = {10, 0};
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (connect(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
            return false;
        return Call(wire::CALL_CONNECTION, {static_cast<int32_t>(wire::PROTOCOL_MAGIC), 1, 41}, 3) == 42;
    }
    uint32_t Order(uint32_t v) const { return swapped ? __builtin_bswap32(v) : v; }
    uint16_t Order16(size_t v) const { return static_cast<uint16_t>(swapped ? (v >> 8 | v << 8) : v); }
    std::string Msg(int call, const std::vector<int32_t> &words, const std::string &tail = "") const
    {
        std::string m(4, '\0');
        for (int32_t w : words) {
            uint32_t v = Order(static_cast<uint32_t>(w));
            m.append(reinterpret_cast<const char *>(&v), 4);
        }
        m += tail;
        uint16_t len = Order16(m.size());
        memcpy(&m[0], &len, 2);
        m[2] = static_cast<char>(call);
        return m;
    }
    void Send(const std::string &bytes) const { ASSERT_EQ(write(sock, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    // One reply, or an empty string at the end of the stream or after ten seconds.
    std::string Receive() const
    {
        std::string m(4, '\0');
        if (recv(sock, &m[0], 4, MSG_WAITALL) != 4)
            return "";
        uint16_t len;
        memcpy(&len, m.data(), 2);
        len = Order16(len);
        m.resize(len < 4 ? 4 : len);
        return len <= 4 || recv(sock, &m[4], len - 4u, MSG_WAITALL) == len - 4 ? m : "";
    }
    int32_t Word(const std::string &m, int n) const
    {
        uint32_t v = 0;
        if (m.size() >= 4u * n + 4)
            memcpy(&v, m.data() + 4 * n, 4);
        return static_cast<int32_t>(Order(v));
    }
    int32_t Call(int call, const std::vector<int32_t> &words, int word = 1)
    {
        Send(Msg(call, words));
        return Word(Receive(), word);
    }
    // Closes the link, waits for the agent's end and returns its standard error.
    std::string Finish()
    {
        if (sock >= 0)
            close(sock);
        sock = -1;
        for (int i = 0, ended = 0; i < 1000 && status < 0; i++, usleep(10000))
            if (waitpid(pid, &ended, WNOHANG) == pid)
                status = WIFEXITED(ended) ? WEXITSTATUS(ended) : 256;
        return ReadUntil(err, "", 2000);
    }
};

// The descriptors from 3 to 63 of a process that are sockets or pipes.
std::vector<int> SocketsAndPipes(pid_t pid)
{
    std::vector<int> fds;
    for (int fd = 3; fd < 64; fd++) {
        char link[64], target[256] = {};
        snprintf(link, sizeof link, "/proc/%d/fd/%d", static_cast<int>(pid), fd);
        if (readlink(link, target, sizeof target - 1) > 0 && (!strncmp(target, "socket:", 7) || !strncmp(target, "pipe:", 5)))
            fds.push_back(fd);
    }
    return fds;
}

class Orders : public testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Regress, Orders, testing::Bool());

// The connection, the listener and the fork's control pipe answer EBADF to every call on a
// client descriptor, in the forked child as in the parent.
TEST_P(Orders, PrivateDescriptorsAreRefused)
{
    Agent agent(false);
    ASSERT_TRUE(agent.Connect(GetParam()));
    for (int forked = 0; forked < 2; forked++) {
        pid_t server = forked ? agent.Call(wire::CALL_FORK, {}) : agent.pid;
        std::vector<int> fds = SocketsAndPipes(server);
        EXPECT_EQ(fds.size(), forked ? 3u : 2u);
        for (int fd : fds) {
            const std::pair<int, std::vector<int32_t>> calls[] = {
                {wire::CALL_READ, {fd, 1}},  {wire::CALL_LSEEK, {fd, 0, 0}}, {wire::CALL_FSTAT, {fd}},
                {wire::CALL_DUP2, {fd, 60}}, {wire::CALL_DUP2, {0, fd}},      {wire::CALL_CLOSE, {fd}}};
            for (const auto &[call, words] : calls)
                EXPECT_EQ(agent.Call(call, words, 2), 9) << "call " << call << " fd " << fd;
            agent.Send(agent.Msg(wire::CALL_WRITE, {fd, 1}, "x"));
            EXPECT_EQ(agent.Word(agent.Receive(), 2), 9) << "write fd " << fd;
        }
        EXPECT_EQ(SocketsAndPipes(server), fds);
    }
}

// After a remote fork, a client that closes or overwrites every descriptor above 2 must still
// be served by the child alone until it ends.
TEST_P(Orders, OneServerAfterTheChildClosesItsDescriptors)
{
    for (int call : {wire::CALL_CLOSE, wire::CALL_DUP2}) {
        Agent agent(true);
        ASSERT_TRUE(agent.Connect(GetParam()));
        int32_t child = agent.Call(wire::CALL_FORK, {});
        ASSERT_GT(child, 0);
        for (int fd = 3; fd < 32; fd++)
            agent.Call(call, call == wire::CALL_CLOSE ? std::vector<int32_t>{fd} : std::vector<int32_t>{0, fd});
        std::string batch;
        for (int i = 0; i < 20; i++)
            batch += agent.Msg(wire::CALL_GETPID, {});
        agent.Send(batch);
        for (int i = 0; i < 20; i++)
            EXPECT_EQ(agent.Word(agent.Receive(), 1), child) << i;
        agent.Send(agent.Msg(wire::CALL_EXIT, {0}));
        EXPECT_EQ(agent.Receive().size(), 4u);
        EXPECT_EQ(agent.Call(wire::CALL_GETPID, {}), agent.pid);
        const std::string err = agent.Finish();
        EXPECT_EQ(err.find("PARENT PEER RESTARTED"), err.rfind("PARENT PEER RESTARTED")) << err;
    }
}

// The wait for the connection takes any descriptor number: here the listener lies above 1100.
TEST(Regress, ListenerAboveThe1024Limit)
{
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 2048 && geteuid() != 0)
        GTEST_SKIP() << "the descriptor limit cannot be raised";
    Agent agent(false, [] {
        struct rlimit raised = {2048, 2048};
        setrlimit(RLIMIT_NOFILE, &raised);
        int null = open("/dev/null", O_RDONLY);
        for (int fd = 3; fd <= 1100; fd++)
            dup2(null, fd);
    });
    ASSERT_TRUE(agent.Connect(false));
    EXPECT_EQ(agent.Call(wire::CALL_GETPID, {}), agent.pid);
    EXPECT_EQ(agent.Finish(), "");
    EXPECT_EQ(agent.status, 0);
}

// What the remote shell prints is relayed as it comes, in chunks: about 4 MB in one launch.
TEST(Regress, RemoteShellOutputRelayedWhole)
{
    char name[] = "/tmp/regress.XXXXXX";
    ASSERT_TRUE(mkdtemp(name)) << strerror(errno);
    std::unique_ptr<char, void (*)(char *)> scratch(name, [](char *dir) {
        unlink((std::string(dir) + "/bigsh").c_str());
        rmdir(dir);
    });
    std::string script = std::string(name) + "/bigsh", data;
    for (int i = 1; i <= 600000; i++)
        data += std::to_string(i) + "\n";
    FILE *f = fopen(script.c_str(), "w");
    ASSERT_TRUE(f);
    fputs("#!/bin/sh\nexec seq 600000\n", f);
    fclose(f);
    chmod(script.c_str(), 0755);
    std::string path = "PATH=" + std::string(name) + ":/usr/bin:/bin";
    time_t start = time(nullptr);
    Agent agent({"xt.term", "-rbigsh", "-nfs", "--"}, [&] {
        putenv(const_cast<char *>(path.c_str()));
        putenv(const_cast<char *>("DISPLAY=localhost:0"));
    }, false);
    std::string out = ReadUntil(agent.out, "", 10000);
    agent.Finish();
    EXPECT_TRUE(out == data) << out.size() << " bytes of " << data.size();
    EXPECT_EQ(agent.status, 1);             // output means a failed launch, and -nfs ends there
    EXPECT_LT(time(nullptr) - start, 10); // one byte at a time took about 19 s for 4 MiB
}

// Trace lines show control bytes of client strings escaped, and every other byte as it is, for
// the standard calls and the extension calls alike.
TEST_P(Orders, TraceEscapesControlBytes)
{
    const std::pair<std::string, std::string> names[] = {
        {"/no/such/a\nRequest: 0 = unlink(/etc)", "/no/such/a\\nRequest: 0 = unlink(/etc)"},
        {"/no/such/\x1b[31mred\t\r\x7f\x01", "/no/such/\\x1b[31mred\\t\\r\\x7f\\x01"},
        {"/no/such/caf\xc3\xa9 \\n", "/no/such/caf\xc3\xa9 \\n"},
    };
    // A failing call on one client string (two for rename), and its trace with %s for the string.
    struct Case {
        int call;
        std::vector<int32_t> words;
        std::string trace;
    };
    const Case cases[] = {
        {wire::CALL_STAT, {}, "stat(%s,...)"},
        {wire::CALL_STAT64, {}, "stat64(%s,...)"},
        {wire::CALL_LSTAT64, {}, "lstat64(%s,...)"},
        {wire::CALL_STATVFS, {}, "statvfs(%s,...)"},
        {wire::CALL_TRUNCATE, {0, 0}, "truncate(%s,0)"},
        {wire::CALL_LCHOWN, {-1, -1}, "lchown(%s,-1,-1)"},
        {wire::CALL_MKNOD, {020644}, "mknod(%s,020644)"}, // a device: refused before any lookup
        {wire::CALL_UTIMENS, {0, 0, 0, 0, 0, 0, 0}, "utimens(%s,0.000000000,0.000000000,0x0)"},
        {wire::CALL_RENAME, {}, "rename(%s,%s)"},
    };
    Agent agent({"xt.term", "-v", "-x", "-d", "--"}, {}, true);
    ASSERT_TRUE(agent.Connect(GetParam()));
    std::vector<std::string> expected;
    for (const auto &[name, shown] : names) {
        for (const Case &c : cases) {
            std::string strings, line = "Request: -1 = " + c.trace + "\n";
            for (size_t at; (at = line.find("%s")) != std::string::npos;) {
                line.replace(at, 2, shown);
                strings += name + '\0';
            }
            agent.Send(agent.Msg(c.call, c.words, strings));
            EXPECT_EQ(agent.Word(agent.Receive(), 1), -1) << line;
            expected.push_back(line);
        }
    }
    const std::string err = agent.Finish();
    for (const std::string &line : expected)
        EXPECT_NE(err.find(line), std::string::npos) << line << "\nin:\n" << err;
    EXPECT_EQ(err.find("\x1b"), std::string::npos);
}

// Requests sent in one piece are answered in order; a call that hands the connection over finds
// every earlier reply written and no later request taken, and a cut request still ends the
// service after the replies before it.
TEST_P(Orders, PipelinedRequestsAndHandOver)
{
    constexpr int P = -1000, C = -1001, H = -1002, S = -1003; // the agent's pid, the fork child's, a bare header, a status
    struct Step {
        int call;
        std::vector<int32_t> words;
        std::string tail;
        int expect;
    };
    const std::string truePath = std::string("/bin/true\0true\0", 15);
    const struct {
        std::vector<Step> steps;
        std::string cut; // bytes sent after the steps
        int status;
    } rows[] = {
        {{{wire::CALL_GETPID, {}, "", P}, {wire::CALL_FORK, {}, "", C}, {wire::CALL_GETPID, {}, "", C},
          {wire::CALL_STAT, {}, std::string("/", 2), S}, {wire::CALL_GETPID, {}, "", C}, {wire::CALL_EXIT, {0}, "", H},
          {wire::CALL_GETPID, {}, "", P}},
         "", 0},
        {{{wire::CALL_GETPID, {}, "", P}, {wire::CALL_FORK, {}, "", C}, {wire::CALL_EXECVP, {1}, truePath, 0},
          {wire::CALL_GETPID, {}, "", P}},
         "", 0},
        {{{wire::CALL_GETPID, {}, "", P}, {wire::CALL_GETPID, {}, "", P}, {wire::CALL_EXIT, {3}, "", H}}, "", 3},
        {{{wire::CALL_GETPID, {}, "", P}, {wire::CALL_GETPID, {}, "", P}}, std::string("\x0c\x0c", 2), 1},
    };
    for (const auto &row : rows) {
        Agent agent(false);
        ASSERT_TRUE(agent.Connect(GetParam()));
        std::string batch;
        for (const Step &step : row.steps)
            batch += agent.Msg(step.call, step.words, step.tail);
        agent.Send(batch + row.cut);
        shutdown(agent.sock, SHUT_WR);
        int32_t child = 0;
        for (const Step &step : row.steps) {
            std::string r = agent.Receive();
            if (step.call == wire::CALL_FORK)
                child = agent.Word(r, 1);
            if (step.expect == H)
                EXPECT_EQ(r.size(), 4u);
            else if (step.expect == S)
                EXPECT_EQ(r.size(), 52u);
            else
                EXPECT_EQ(agent.Word(r, 1), step.expect == P ? agent.pid : step.expect == C ? child : step.expect)
                    << "call " << step.call;
        }
        EXPECT_EQ(agent.Receive(), "");
        agent.Finish();
        EXPECT_EQ(agent.status, row.status);
    }
}

// A reply goes out while the agent waits for the rest of the request behind it.
TEST_P(Orders, NoReplyHeldWhileWaiting)
{
    Agent agent(false);
    ASSERT_TRUE(agent.Connect(GetParam()));
    std::string stat = agent.Msg(wire::CALL_STAT, {}, std::string("/", 2));
    agent.Send(agent.Msg(wire::CALL_GETPID, {}) + stat.substr(0, 4));
    EXPECT_EQ(agent.Word(agent.Receive(), 1), agent.pid);
    agent.Send(stat.substr(4));
    EXPECT_EQ(agent.Word(agent.Receive(), 1), 0);
}

// A call that may wait on something outside the agent, here a read of an empty fifo, finds every
// reply before it written: the client has getpid's answer while the read still waits.
TEST_P(Orders, RepliesGoOutBeforeACallThatWaits)
{
    char name[] = "/tmp/regress.XXXXXX";
    ASSERT_TRUE(mkdtemp(name)) << strerror(errno);
    std::unique_ptr<char, void (*)(char *)> scratch(name, [](char *dir) {
        unlink((std::string(dir) + "/fifo").c_str());
        rmdir(dir);
    });
    const std::string fifo = std::string(name) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << strerror(errno);
    Agent agent(false);
    ASSERT_TRUE(agent.Connect(GetParam()));
    agent.Send(agent.Msg(wire::CALL_OPEN, {wire::WIRE_O_RDWR, 0}, fifo + '\0'));
    int32_t fd = agent.Word(agent.Receive(), 1);
    ASSERT_GE(fd, 0);
    agent.Send(agent.Msg(wire::CALL_GETPID, {}) + agent.Msg(wire::CALL_READ, {fd, 1}));
    EXPECT_EQ(agent.Word(agent.Receive(), 1), agent.pid);
    int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0) << strerror(errno);
    EXPECT_EQ(write(writer, "x", 1), 1);
    close(writer);
    EXPECT_EQ(agent.Word(agent.Receive(), 1), 1);
}

} // namespace
