// Regression tests of faults found in review: the wire tables, the reply padding, and on the
// real binary the listener, the relay, the trace and the batched loop.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "service/environ.h"
#include "service/protocol.h"
#include "tests/harness.h"

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

int32_t Result(Link &link, const Msg &m) { return Ask(link, m).word(1); }

class Orders : public testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Regress, Orders, testing::Bool());
// The wait for the connection takes any descriptor number: here the listener lies above 1100.
TEST(Regress, ListenerAboveThe1024Limit)
{
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 2048 && geteuid() != 0)
        GTEST_SKIP() << "the descriptor limit cannot be raised";
    Daemon d(false, {}, [] {
        struct rlimit raised = {2048, 2048};
        setrlimit(RLIMIT_NOFILE, &raised);
        int null = open("/dev/null", O_RDONLY);
        for (int fd = 3; fd <= 1100; fd++)
            dup2(null, fd);
    });
    Link link = d.Open();
    EXPECT_EQ(Result(link, Msg(CALL_GETPID)), d.pid);
    link.close();
    EXPECT_EQ(std::make_pair(d.Wait(), d.Err()), std::make_pair(0, std::string()));
}

// What the remote shell prints is relayed as it comes, in chunks: about 4 MB in one launch.
TEST(Regress, RemoteShellOutputRelayedWhole)
{
    Scratch bin;
    WriteFile(bin / "bigsh", "#!/bin/sh\nexec seq 600000\n", 0755);
    std::string data;
    for (int i = 1; i <= 600000; i++)
        data += std::to_string(i) + "\n";
    Agent a;
    a.Start({"xt.term", "-rbigsh", "-nfs", "--"}, {"PATH=" + bin.path() + ":/usr/bin:/bin", "DISPLAY=localhost:0"}, false);
    EXPECT_EQ(a.Wait(10), 1); // output means a failed launch, and -nfs ends there
    EXPECT_TRUE(a.Out() == data) << a.Out().size() << " bytes of " << data.size();
}

// Trace lines show control bytes of client strings escaped, for standard and extension calls.
TEST_P(Orders, TraceEscapesControlBytes)
{
    const std::pair<std::string, std::string> names[] = {
        {"/no/such/a\nRequest: 0 = unlink(/etc)", "/no/such/a\\nRequest: 0 = unlink(/etc)"},
        {"/no/such/\x1b[31mred\t\r\x7f\x01", "/no/such/\\x1b[31mred\\t\\r\\x7f\\x01"},
        {"/no/such/caf\xc3\xa9 \\n", "/no/such/caf\xc3\xa9 \\n"},
    };
    const std::pair<Msg, std::string> cases[] = { // mknod of a device is refused before any lookup
        {Msg(CALL_STAT), "stat(%s,...)"}, {Msg(CALL_STAT64), "stat64(%s,...)"}, {Msg(CALL_LSTAT64), "lstat64(%s,...)"},
        {Msg(CALL_STATVFS), "statvfs(%s,...)"}, {Msg(CALL_TRUNCATE).w(0).w(0), "truncate(%s,0)"},
        {Msg(CALL_LCHOWN).w(-1).w(-1), "lchown(%s,-1,-1)"}, {Msg(CALL_MKNOD).w(020644), "mknod(%s,020644)"},
        {Msg(CALL_UTIMENS).w(0).w(0).w(0).w(0).w(0).w(0).w(0), "utimens(%s,0.000000000,0.000000000,0x0)"},
        {Msg(CALL_RENAME), "rename(%s,%s)"}};
    Agent a;
    a.Start({"xt.term", "-v", "-x", "-d", "--"});
    Link link = a.Open(GetParam());
    std::vector<std::string> expected;
    for (const auto &[name, shown] : names)
        for (auto [m, trace] : cases) {
            std::string line = "Request: -1 = " + trace + "\n";
            for (size_t at; (at = line.find("%s")) != std::string::npos;) {
                line.replace(at, 2, shown);
                m.s(name);
            }
            EXPECT_EQ(Result(link, m), -1) << line;
            expected.push_back(line);
        }
    link.close();
    a.Wait();
    for (const std::string &line : expected)
        EXPECT_NE(a.Err().find(line), std::string::npos) << line << "\nin:\n" << a.Err();
    EXPECT_EQ(a.Err().find("\x1b"), std::string::npos);
}

// Requests sent in one piece are answered in order; a hand-over finds every earlier reply
// written and no later request taken; a cut request ends the service after the replies before it.
TEST_P(Orders, PipelinedRequestsAndHandOver)
{
    constexpr int P = -1000, C = -1001, H = -1002, S = -1003; // the agent's pid, the fork child's, a bare header, a status
    const Msg pid(CALL_GETPID), fork(CALL_FORK);
    const struct {
        std::vector<std::pair<Msg, int>> steps; // a request and what its reply must be
        std::string cut; // bytes sent after the steps
        int status;
    } rows[] = {
        {{{pid, P}, {fork, C}, {pid, C}, {Msg(CALL_STAT).s("/"), S}, {pid, C}, {Msg(CALL_EXIT).w(0), H}, {pid, P}}, "", 0},
        {{{pid, P}, {fork, C}, {Msg(CALL_EXECVP).w(1).s("/bin/true").s("true"), 0}, {pid, P}}, "", 0},
        {{{pid, P}, {pid, P}, {Msg(CALL_EXIT).w(3), H}}, "", 3},
        {{{pid, P}, {pid, P}}, std::string("\x0c\x0c", 2), 1},
    };
    for (const auto &row : rows) {
        Daemon d;
        Link link = d.Open(GetParam());
        std::string batch;
        for (const auto &[m, expect] : row.steps)
            batch += m.Bytes(GetParam());
        link.sendRaw(batch + row.cut);
        shutdown(link.fd(), SHUT_WR);
        int32_t child = 0;
        for (const auto &[m, expect] : row.steps) {
            Reply r = link.receive();
            if (m.call == CALL_FORK)
                child = r.word(1);
            if (expect == H || expect == S)
                EXPECT_EQ(r.raw.size(), expect == H ? 4u : 52u);
            else
                EXPECT_EQ(r.word(1), expect == P ? d.pid : expect == C ? child : expect) << "call " << m.call;
        }
        EXPECT_TRUE(link.atEof());
        link.close();
        EXPECT_EQ(d.Wait(), row.status);
    }
}

// A reply goes out while the agent waits for the rest of the request behind it, or on a read of
// an empty fifo.
TEST_P(Orders, RepliesGoOutBeforeACallThatWaits)
{
    Scratch dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << strerror(errno);
    Daemon d;
    Link link = d.Open(GetParam());
    std::string stat = Msg(CALL_STAT).s("/").Bytes(GetParam());
    link.sendRaw(Msg(CALL_GETPID).Bytes(GetParam()) + stat.substr(0, 4));
    EXPECT_EQ(link.receive().word(1), d.pid);
    link.sendRaw(stat.substr(4));
    EXPECT_EQ(link.receive().word(1), 0);

    int32_t fd = Result(link, Msg(CALL_OPEN).w(WIRE_O_RDWR).w(0).s(fifo));
    ASSERT_GE(fd, 0);
    link.sendRaw(Msg(CALL_GETPID).Bytes(GetParam()) + Msg(CALL_READ).w(fd).w(1).Bytes(GetParam()));
    EXPECT_EQ(link.receive().word(1), d.pid);
    int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0) << strerror(errno);
    EXPECT_EQ(write(writer, "x", 1), 1);
    close(writer);
    EXPECT_EQ(link.receive().word(1), 1);
}

} // namespace
