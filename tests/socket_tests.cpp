// The real agent in daemon mode over loopback: framing, handshake, exit statuses, the calls that
// fork, exec or end a process and the hand-over between them, its own descriptors, resources;
// and the regression tests of faults found in review.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "service/protocol.h"
#include "tests/harness.h"

namespace fs = std::filesystem;

namespace {

using Words = std::vector<int32_t>;
int32_t Result(Link &link, const Msg &m) { return Ask(link, m).word(1); }
Words Results(Link &link, const std::vector<Msg> &ms) { Words w; for (const Msg &m : ms) w.push_back(Result(link, m)); return w; }
Words Head(const Reply &r) { return {r.length(), r.word(1), r.word(2)}; }

Msg Exec(int call, const std::string &path, const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    Msg m = Msg(call).w(static_cast<int32_t>(args.size()));
    if (call == CALL_EXECVE)
        m.w(static_cast<int32_t>(env.size()));
    for (const auto &text : std::vector<std::string>{path} + args + env)
        m.s(text);
    return m;
}

std::string Hello(uint32_t magic = PROTOCOL_MAGIC, int32_t version = 1, int len = 16)
{
    return Msg(CALL_CONNECTION).w(static_cast<int32_t>(magic)).w(version).w(0).len(len).Bytes(false);
}

class Orders : public testing::TestWithParam<bool> {};
BOTH_ORDERS(Orders);

// After an empty connection, a slow peer's handshake answered in its own byte order.
TEST_P(Orders, HandshakeInTheClientsByteOrderAfterAnEmptyConnection)
{
    Daemon d(true);
    { Link first = d.Connect(); } // closed before its first byte: the agent waits for the next
    Link link = d.Connect(GetParam());
    std::string hello = Msg(CALL_CONNECTION).w(static_cast<int32_t>(PROTOCOL_MAGIC)).w(1).w(7).Bytes(GetParam());
    for (size_t i = 0; i < hello.size(); i++) { // one byte at a time
        link.sendRaw(hello.substr(i, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 5 ? 0 : 20));
    }
    Reply r = link.receive();
    ASSERT_EQ(r.raw.size(), 16u);
    EXPECT_EQ(r.raw.substr(0, 8), std::string(GetParam() ? "\0\x10\0\0\x2e\xd7\x6d\x19" : "\x10\0\0\0\x19\x6d\xd7\x2e", 8));
    EXPECT_EQ(std::make_pair(r.word(2), r.word(3)), std::make_pair(1, 8));
    EXPECT_EQ(link.handshake(0xffffffffu), 0u); // a later connection request is answered again
    link.close();
    EXPECT_EQ(d.Wait(), 0);
    EXPECT_EQ(d.Err().rfind("Accepted connection from peer.\nEOF\nAccepted connection from peer.\n", 0), 0u) << d.Err();
}

TEST(Framing, FailuresEndTheServiceWithTheirStatusAndMessage)
{
    const std::string ok = Hello(); // the bytes sent, the exit status, the message, whether the handshake was answered
    for (auto [bytes, status, message, replied] : std::vector<std::tuple<std::string, int, const char *, bool>>{
             {ok.substr(0, 10), 1, "Connection length incorrect.\n", false}, {ok.substr(0, 10), 1, "", false}, // no -v
             {Hello(PROTOCOL_MAGIC, 2), 1, "Connection failed, unknown protocol\n", false},
             {Hello(PROTOCOL_MAGIC, 1, 20), 1, "Connection failed, unknown protocol\n", false},
             {Hello(0x12345678), 1, "Connection failed, unknown protocol\n", false},
             {ok + Msg(CALL_NONE).len(4).Bytes(false), 1, "Unknown function call 4\n", true},
             {ok + Msg(255).len(8).Bytes(false) + "abcd", 1, "Unknown function call 255\n", true},
             {ok + Msg(NUM_CALLS).len(2).Bytes(false), 1, "Unknown function call 48\n", true}, {ok, 0, "EOF\n", true},
             {ok + Msg(CALL_GETPID).len(4).Bytes(false).substr(0, 2), 1, "Trouble reading request\n", true},
             {ok + Msg(CALL_WRITE).len(65535).Bytes(false) + std::string(100, 'x'), 1, "Trouble reading request\n", true},
         }) {
        SCOPED_TRACE(message);
        Daemon d(*message);
        {
            Link link = d.Connect();
            link.sendRaw(bytes);
            shutdown(link.fd(), SHUT_WR);
            EXPECT_TRUE(!replied || link.receive().raw.size() == 16u);
            EXPECT_TRUE(link.atEof()); // nothing after the handshake's reply
        }
        EXPECT_EQ(d.Wait(), status);
        EXPECT_TRUE(*message ? d.Err().find(message) != std::string::npos : d.Err().empty()) << d.Err();
    }
}

class Processes : public testing::TestWithParam<bool> {
protected:
    Scratch dir;
    Daemon d{true};
    Link link = d.Open(GetParam());

    std::string Trace()
    {
        link.close();
        return d.Wait() == 0 ? d.Err() : "the agent did not end with status 0";
    }
};

#define EXPECT_TRACE(trace, line) EXPECT_NE((trace).find(line), std::string::npos) << "missing: " << (line)

// ForkNExec starts a program in a group of its own; a fork child serves until its exit, forks nest.
TEST_P(Processes, ForkNExecForkThenExitNestedForksAndGroups)
{
    std::string out = dir / "out", mark = std::string("PROCESS_TEST_MARK=set by the client") + '\0';
    Ask(link, Msg(CALL_SETENV).w(static_cast<int32_t>(mark.size())).b(mark));
    // The shell writes its own argument vector (argument 0 included) and the variable.
    std::string script = "tr '\\0' '|' < /proc/$$/cmdline > " + out + "; echo \" $PROCESS_TEST_MARK\" >> " + out;
    ASSERT_GT(Result(link, Exec(CALL_FORKNEXEC, "/bin/sh", {"custom-zero", "-c", script, "a b"})), 0);
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(out).find('\n') != std::string::npos; }));
    EXPECT_EQ(ReadFile(out), "custom-zero|-c|" + script + "|a b| set by the client\n");
    // A bare name is not searched along PATH: it is taken relative to the working directory.
    EXPECT_EQ(Head(Ask(link, Exec(CALL_FORKNEXEC, "true", {"true"}))), (Words{12, -1, 2}));
    ASSERT_EQ(Result(link, Msg(CALL_CHDIR).s("/bin")), 0);
    EXPECT_GT(Result(link, Exec(CALL_FORKNEXEC, "true", {})), 0);
    // The reply comes once the program runs, not when it ends: the calls below are served meanwhile.
    int32_t sleeper = Result(link, Exec(CALL_FORKNEXEC, "/bin/sleep", {"sleep", "5"}));
    ASSERT_GT(sleeper, 0);
    EXPECT_EQ(getpgid(sleeper), sleeper);
    Reply r = Ask(link, Msg(CALL_FORK));
    int32_t child = r.word(1);
    ASSERT_TRUE(r.length() == 12 && child > 0 && child != d.pid) << child;
    const Msg pid(CALL_GETPID), ppid(CALL_GETPPID), pgrp(CALL_GETPGRP);
    EXPECT_EQ(Results(link, {pid, ppid, pgrp}), (Words{child, d.pid, getpgrp()})); // the child stays in the group
    EXPECT_EQ(Ask(link, Msg(CALL_EXIT).w(3)).raw, Msg(CALL_EXIT).Bytes(GetParam()));
    EXPECT_EQ(Result(link, pid), d.pid);
    int32_t first = Result(link, Msg(CALL_FORK)), second = Result(link, Msg(CALL_FORK)); // forks nest
    // The second child becomes true; a fork child leads a group of its own, and as its leader starts no session.
    EXPECT_EQ(Results(link, {ppid, Exec(CALL_EXECVP, "true", {"true"}), pid, Msg(CALL_SETPGID).w(0).w(0), pgrp}),
              (Words{first, 0, first, 0, first}));
    EXPECT_EQ(Head(Ask(link, Msg(CALL_SETSID))), (Words{12, -1, 1}));
    Ask(link, Msg(CALL_EXIT).w(0));
    EXPECT_EQ(Result(link, pgrp), getpgrp());
    Signal(sleeper, SIGKILL);
    std::string t = Trace();
    EXPECT_TRACE(t, Fmt("Request: %d = fork()\n", second));
    EXPECT_TRACE(t, "Request: _exit(3)\nPARENT PEER RESTARTED\n");
    EXPECT_TRACE(t, "Request: ForkNExec\n/bin/sh custom-zero -c " + script + " a b\n");
}

// A fork child's execve gets exactly the request's environment; the parent serves again, then execs.
TEST_P(Processes, ForkExecveThenExecWithNoForkPending)
{
    ASSERT_GT(Result(link, Msg(CALL_FORK)), 0);
    std::string out = dir / "out", script = "echo \"$ONLY_THIS|${HOME-unset}\" \"a b\" \"c;d\" >" + out;
    Reply r = Ask(link, Exec(CALL_EXECVE, "/bin/sh", {"sh", "-c", script}, {"ONLY_THIS=1"}));
    EXPECT_EQ(r.raw.substr(0, 8), Msg(CALL_EXECVE).w(0).len(12).Bytes(GetParam()));
    r = Ask(link, Msg(CALL_GETPID)); // the next reply is the parent's, and only it
    EXPECT_EQ(std::make_pair(r.call(), r.word(1)), std::make_pair(static_cast<int>(CALL_GETPID), d.pid));
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(out).find('\n') != std::string::npos; }));
    EXPECT_EQ(ReadFile(out), "1|unset a b c;d\n");
    r = Ask(link, Exec(CALL_EXECVP, "true", {"true"})); // answered, then the agent's process is true
    EXPECT_EQ(r.raw.substr(0, 8), Msg(CALL_EXECVP).w(0).len(12).Bytes(GetParam()));
    EXPECT_TRUE(link.atEof());
    EXPECT_EQ(d.Wait(), 0);
    EXPECT_TRACE(d.Err(), "Request: execve(\"/bin/sh\",sh,-c," + script + ",...);\nPARENT PEER RESTARTED\n");
}

// Bad counts and strings start nothing; a failed exec keeps the same process serving and reaping;
// many calls and processes leave no descriptor or child behind.
TEST_P(Processes, BadCallsStartNothingAndManyLeaveNothingBehind)
{
    for (auto [m, error] : std::vector<std::pair<Msg, int>>{
             {Msg(CALL_FORKNEXEC).w(-1).s("/bin/true"), 22}, {Msg(CALL_FORKNEXEC).w(2).s("/bin/true").s("true"), 22},
             {Msg(CALL_FORKNEXEC).w(0x7fffffff).s("/bin/true"), 22}, {Msg(CALL_FORKNEXEC).w(1).s("/bin/true").b("true"), 22},
             {Msg(CALL_FORKNEXEC).w(0).b("/bin/true"), 22}, {Msg(CALL_FORKNEXEC), 22},
             {Msg(CALL_EXECVE).w(1).w(-1).s("/bin/true").s("true"), 22}, {Msg(CALL_EXECVE).w(1).w(1).s("/bin/true").s("true"), 22},
             {Msg(CALL_EXECVE).w(-5).w(0).s("/bin/true"), 22}, {Msg(CALL_EXECVE).w(1), 22}, {Msg(CALL_EXECVP).w(-1).s("true"), 22},
             {Msg(CALL_EXECVP).w(3).s("true").s("true"), 22}, {Msg(CALL_EXECVP).w(1).b("true"), 22},
             {Exec(CALL_EXECVP, "no-such-program-here", {"no-such-program-here"}), 2}, {Exec(CALL_EXECVE, "/nonexistent/x", {"x"}), 2}}) {
        EXPECT_EQ(Head(Ask(link, m)), (Words{12, -1, error}));
        EXPECT_TRUE(error != 22 || Children(d.pid).empty());
    }
    EXPECT_EQ(Result(link, Msg(CALL_GETPID)), d.pid);
    for (int i = 0; i < 20; i++)
        ASSERT_GT(Result(link, Exec(CALL_FORKNEXEC, "/bin/true", {"true"})), 0);
    WriteFile(dir / "f", "x");
    int fds = OpenDescriptors(d.pid);
    for (int i = 0; i < 200; i++) {
        int32_t fd = Result(link, Msg(CALL_OPEN).w(0).w(0).s(dir / "f")), h = Result(link, Msg(CALL_OPENDIR).s(dir.path()));
        ASSERT_TRUE(fd >= 0 && h != 0);
        ASSERT_EQ(Result(link, Msg(CALL_CLOSE).w(fd)) + Result(link, Msg(CALL_CLOSEDIR).w(h)), 0);
        ASSERT_EQ(Result(link, Exec(CALL_FORKNEXEC, "/nonexistent", {"x"})), -1);
    }
    for (int i = 0; i < 40; i++) {
        ASSERT_GT(Result(link, Msg(CALL_FORK)), 0);
        if (i % 2)
            Ask(link, Msg(CALL_EXIT).w(0));
        else
            ASSERT_EQ(Result(link, Exec(CALL_EXECVP, "true", {"true"})), 0);
    }
    EXPECT_TRUE(WaitUntil([&] { return Children(d.pid).empty(); })) << Children(d.pid).size() << " children left";
    EXPECT_EQ(OpenDescriptors(d.pid), fds);
    EXPECT_TRACE(Trace(), "Request: execvp(\"no-such-program-here\",no-such-program-here);\n");
}

// The agent's own descriptors (and a fork child's control pipe) answer EBADF to every call.
TEST_P(Processes, TheAgentsOwnDescriptorsAreNotTheClients)
{
    auto guarded = [&](pid_t pid, size_t expected) {
        std::vector<int> own;
        for (const auto &e : fs::directory_iterator(Fmt("/proc/%d/fd", pid)))
            if (int fd = std::stoi(e.path().filename()); fd > 2 && fd < 100)
                own.push_back(fd);
        EXPECT_EQ(own.size(), expected);
        for (int fd : own) {
            SCOPED_TRACE(fd);
            for (const Msg &m : {Msg(CALL_CLOSE).w(fd), Msg(CALL_READ).w(fd).w(4), Msg(CALL_WRITE).w(fd).w(4).b("abcd"),
                                 Msg(CALL_LSEEK).w(fd).w(0).w(0), Msg(CALL_FSTAT).w(fd), Msg(CALL_DUP2).w(fd).w(50),
                                 Msg(CALL_DUP2).w(0).w(fd)})
                EXPECT_EQ(Head(Ask(link, m)), (Words{m.call == CALL_FSTAT ? 52 : 12, -1, 9})) << m.call;
        }
    };
    guarded(d.pid, 2);
    int32_t child = Result(link, Msg(CALL_FORK));
    ASSERT_GT(child, 0);
    guarded(child, 3);
    Ask(link, Msg(CALL_EXIT).w(0));
    EXPECT_EQ(Results(link, {Msg(CALL_GETPID), Msg(CALL_DUP2).w(0).w(60)}), (Words{d.pid, 60})); // others are the client's
}

BOTH_ORDERS(Processes);

// The wait for the connection takes any descriptor number: here the listener lies above 1100.
TEST(Regress, ListenerAboveThe1024Limit)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || (limit.rlim_max < 2048 && geteuid() != 0))
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

// Pipelined requests: a hand-over finds earlier replies written, later untaken; a cut one ends it.
// A reply goes out while the agent waits for the rest of a request, or on an empty fifo's read.
TEST_P(Orders, PipelinedRequestsHandOversAndCallsThatWait)
{
    constexpr int P = -1000, C = -1001, H = -1002, S = -1003; // the agent's pid, the fork child's, a bare header, a status
    const Msg pid(CALL_GETPID), fork(CALL_FORK);
    // Requests with what each reply must be, the bytes sent after them, the exit status.
    const std::tuple<std::vector<std::pair<Msg, int>>, std::string, int> rows[] = {
        {{{pid, P}, {fork, C}, {pid, C}, {Msg(CALL_STAT).s("/"), S}, {pid, C}, {Msg(CALL_EXIT).w(0), H}, {pid, P}}, "", 0},
        {{{pid, P}, {fork, C}, {Msg(CALL_EXECVP).w(1).s("/bin/true").s("true"), 0}, {pid, P}}, "", 0},
        {{{pid, P}, {pid, P}, {Msg(CALL_EXIT).w(3), H}}, "", 3},
        {{{pid, P}, {pid, P}}, std::string("\x0c\x0c", 2), 1},
    };
    for (const auto &[steps, cut, status] : rows) {
        Daemon d;
        Link link = d.Open(GetParam());
        std::string batch;
        for (const auto &[m, expect] : steps)
            batch += m.Bytes(GetParam());
        link.sendRaw(batch + cut);
        shutdown(link.fd(), SHUT_WR);
        int32_t child = 0;
        for (const auto &[m, expect] : steps) {
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
        EXPECT_EQ(d.Wait(), status);
    }
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
    WriteFile(fifo, "x"); // the agent holds the fifo open for reading: no wait
    EXPECT_EQ(link.receive().word(1), 1);
}

} // namespace
