// Process-control calls, against the real agent over loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "client/environ_api.h"
#include "client/files_api.h"
#include "client/process_api.h"
#include "tests/agent_process.h"

using hostlink::Link;
using hostlink::Reply;
using hostlink::Request;
namespace fs = std::filesystem;

namespace {

#define EXPECT_TRACE(trace, line) EXPECT_NE((trace).find(line), std::string::npos) << "missing: " << (line)

// Children of pid, and how many of them have ended without being collected.
struct Children {
    int all = 0;
    int zombies = 0;
};

Children ChildrenOf(pid_t pid)
{
    Children c;
    DIR *proc = opendir("/proc");
    if (!proc)
        return c;
    while (struct dirent *e = readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/status");
        std::string line, state;
        int ppid = -1;
        while (std::getline(in, line)) {
            if (line.rfind("State:", 0) == 0)
                state = line.substr(6);
            else if (line.rfind("PPid:", 0) == 0)
                ppid = std::stoi(line.substr(5));
        }
        if (ppid == pid) {
            c.all++;
            if (state.find('Z') != std::string::npos)
                c.zombies++;
        }
    }
    closedir(proc);
    return c;
}

// Waits, within seconds, for pid to have no children left at all.
bool ChildrenGone(pid_t pid, double seconds = 10)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ChildrenOf(pid).all == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The contents of path once it has some, within seconds.
std::string WaitForFile(const std::string &path, double seconds = 10)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string s = ReadFile(path);
        if (!s.empty() && s.back() == '\n')
            return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ReadFile(path);
}

// A listener on 127.0.0.1 with its port.
int Listen(int *port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0)
        return -1;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(s, 4) < 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) < 0) {
        close(s);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return s;
}

int AcceptWithin(int listener, int ms)
{
    struct pollfd p = {listener, POLLIN, 0};
    if (poll(&p, 1, ms) != 1)
        return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// A port on 127.0.0.1 on which nobody listens.
int ClosedPort()
{
    int port = 0;
    int s = Listen(&port);
    close(s);
    return port;
}

class Process : public testing::TestWithParam<bool> {
protected:
    bool Swapped() const { return GetParam(); }
};

TEST_P(Process, ForkNExecRunsTheProgramWithItsArgumentsAndEnvironment)
{
    Daemon d;
    Link link = d.Open(Swapped());
    std::string dir = TempDir();
    std::string out = dir + "/out";
    hostlink::setEnvironment(link, {"PROCESS_TEST_MARK=set by the client"});
    // The shell writes its own argument vector (argument 0 included) and the variable.
    std::string script = "tr '\\0' '|' < /proc/$$/cmdline > " + out + "; echo \" $PROCESS_TEST_MARK\" >> " + out;
    int32_t pid = hostlink::forkNExec(link, "/bin/sh", {"custom-zero", "-c", script, "a b"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitForFile(out), "custom-zero|-c|" + script + "|a b| set by the client\n");

    // Not searched along PATH: a bare name is taken relative to the working directory.
    EXPECT_EQ(hostlink::forkNExec(link, "true", {"true"}), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(hostlink::forkNExec(link, dir + "/missing", {"missing"}), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(hostlink::chdir(link, "/bin"), 0);
    EXPECT_GT(hostlink::forkNExec(link, "true", {"true"}), 0);

    // The reply comes once the program runs, not when it ends; it leads a group of its own.
    pid = hostlink::forkNExec(link, "/bin/sleep", {"sleep", "5"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(getpgid(pid), pid);
    EXPECT_EQ(hostlink::getpid(link), d.agent.pid); // the agent still serves
    kill(pid, SIGKILL);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    fs::remove_all(dir);
}

TEST_P(Process, ForkThenExitInTheChild)
{
    Daemon d(true);
    Link link = d.Open(Swapped());
    Reply r = link.call(Request(36));
    ASSERT_EQ(r.length(), 12);
    int32_t child = r.word(1);
    EXPECT_GT(child, 0);
    EXPECT_NE(child, d.agent.pid);
    EXPECT_EQ(hostlink::getpid(link), child);
    EXPECT_EQ(hostlink::getppid(link), d.agent.pid);
    r = link.call(Request(39).word(3));
    EXPECT_EQ(r.length(), 4);
    EXPECT_EQ(r.raw.size(), 4u);
    EXPECT_EQ(r.call(), 39);
    EXPECT_EQ(hostlink::getpid(link), d.agent.pid);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    std::string t = d.agent.Stderr();
    EXPECT_TRACE(t, "Request: " + std::to_string(child) + " = fork()\n");
    EXPECT_TRACE(t, "Request: _exit(3)\n");
    EXPECT_TRACE(t, "PARENT PEER RESTARTED\n");
    EXPECT_LT(t.find("Request: _exit(3)\n"), t.find("PARENT PEER RESTARTED\n"));
}

TEST_P(Process, ForkThenExecveInTheChild)
{
    Daemon d(true);
    Link link = d.Open(Swapped());
    std::string dir = TempDir();
    int32_t child = hostlink::fork(link);
    ASSERT_GT(child, 0);
    // Exactly the environment of the request reaches the program.
    std::string script = "echo \"$ONLY_THIS|${HOME-unset}\" > " + dir + "/env";
    Reply r = link.call(Request(37).word(3).word(1).str("/bin/sh").str("sh").str("-c").str(script).str("ONLY_THIS=1"));
    EXPECT_EQ(r.length(), 12);
    EXPECT_EQ(r.word(1), 0);
    // The next reply is the parent's, and only it.
    r = link.call(Request(46));
    EXPECT_EQ(r.call(), 46);
    EXPECT_EQ(r.word(1), d.agent.pid);
    EXPECT_EQ(WaitForFile(dir + "/env"), "1|unset\n");
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    std::string t = d.agent.Stderr();
    EXPECT_TRACE(t, "Request: execve(\"/bin/sh\",sh,-c," + script + ",...);\n");
    fs::remove_all(dir);
}

TEST_P(Process, NestedForksResumeInOrder)
{
    Daemon d;
    Link link = d.Open(Swapped());
    int32_t first = hostlink::fork(link);
    ASSERT_GT(first, 0);
    int32_t second = hostlink::fork(link);
    ASSERT_GT(second, 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(hostlink::getppid(link), first);
    EXPECT_EQ(hostlink::execvp(link, "true", {"true"}), 0); // the second child becomes true
    EXPECT_EQ(hostlink::getpid(link), first);
    hostlink::exit(link, 0);
    EXPECT_EQ(hostlink::getpid(link), d.agent.pid);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
}

TEST_P(Process, FailedExecKeepsTheSameProcessServing)
{
    Daemon d(true);
    Link link = d.Open(Swapped());
    Reply r = link.call(Request(38).word(1).str("no-such-program-here").str("no-such-program-here"));
    EXPECT_EQ(r.length(), 12);
    EXPECT_EQ(r.word(1), -1);
    EXPECT_EQ(r.word(2), 2);
    EXPECT_EQ(link.call(Request(37).word(1).word(0).str("/nonexistent/x").str("x")).word(2), 2);
    EXPECT_EQ(hostlink::getpid(link), d.agent.pid);
    // Children started after the failure are still collected.
    for (int i = 0; i < 20; i++)
        ASSERT_GT(hostlink::forkNExec(link, "/bin/true", {"true"}), 0);
    EXPECT_TRUE(ChildrenGone(d.agent.pid));
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    EXPECT_TRACE(d.agent.Stderr(), "Request: execvp(\"no-such-program-here\",no-such-program-here);\n");
}

TEST_P(Process, ExecWithNoForkPendingAnswersThenEnds)
{
    Daemon d;
    Link link = d.Open(Swapped());
    Reply r = link.call(Request(38).word(1).str("true").str("true"));
    EXPECT_EQ(r.length(), 12);
    EXPECT_EQ(r.word(1), 0);
    EXPECT_TRUE(link.atEof());
    EXPECT_EQ(d.agent.Wait(), 0); // the agent's process is now true
}

TEST_P(Process, PeerpipeConnectsBackToTheClient)
{
    Daemon d(true);
    Link link = d.Open(Swapped());
    int port = 0;
    int listener = Listen(&port);
    ASSERT_GE(listener, 0);
    int fd = hostlink::peerpipe(link, port | 0x7fff0000); // only the low 16 bits count
    ASSERT_GE(fd, 0);
    int accepted = AcceptWithin(listener, 5000);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(hostlink::write(link, fd, "through", 7), 7);
    char buf[16] = {};
    EXPECT_EQ(read(accepted, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "through");
    EXPECT_EQ(hostlink::close(link, fd), 0);
    close(accepted);
    close(listener);

    Reply r = link.call(Request(42).word(ClosedPort()));
    EXPECT_EQ(r.length(), 12);
    EXPECT_EQ(r.word(1), -1);
    EXPECT_EQ(r.word(2), 61);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    EXPECT_TRACE(d.agent.Stderr(), std::to_string(fd) + " = peerpipe()\n");
    EXPECT_TRACE(d.agent.Stderr(), "-1 = peerpipe()\n");
}

TEST_P(Process, HostProgramOutputComesBackThroughPeerpipe)
{
    Daemon d(true);
    Link link = d.Open(Swapped());
    EXPECT_EQ(hostlink::runHostProgram(link, "echo", {"echo", "a b", "c;d"}, 10), "a b c;d\n");
    EXPECT_EQ(hostlink::getpid(link), d.agent.pid);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    std::string t = d.agent.Stderr();
    EXPECT_TRACE(t, " = dup2(");
    EXPECT_TRACE(t, ",1);\n");
    EXPECT_TRACE(t, "Request: execvp(\"echo\",echo,a b,c;d);\n");
}

TEST_P(Process, GroupsSessionsAndIds)
{
    Daemon d(true);
    Link link = d.Open(Swapped());
    pid_t agent = d.agent.pid;
    EXPECT_EQ(hostlink::getpid(link), agent);
    EXPECT_EQ(hostlink::getppid(link), getpid());
    EXPECT_EQ(hostlink::getpgrp(link), getpgrp());
    int32_t child = hostlink::fork(link);
    ASSERT_GT(child, 0);
    EXPECT_EQ(hostlink::getpgrp(link), getpgrp()); // the fork child stays in the group
    EXPECT_EQ(hostlink::setpgid(link, 0, 0), 0);
    EXPECT_EQ(hostlink::getpgrp(link), child);
    EXPECT_EQ(hostlink::setsid(link), -1); // a group leader cannot start a session
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(hostlink::setpgid(link, 1, 1), -1);
    hostlink::exit(link, 0);
    EXPECT_EQ(hostlink::getpgrp(link), getpgrp());
    child = hostlink::fork(link);
    ASSERT_GT(child, 0);
    EXPECT_EQ(hostlink::setsid(link), child);
    EXPECT_EQ(hostlink::getpgrp(link), child);
    // The error word is written whatever the result: 12 bytes every time.
    Reply r = link.call(Request(46));
    EXPECT_EQ(r.length(), 12);
    EXPECT_EQ(r.raw.size(), 12u);
    hostlink::exit(link, 0);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    std::string t = d.agent.Stderr();
    EXPECT_TRACE(t, std::to_string(agent) + " = getpid()\n");
    EXPECT_TRACE(t, "0 = setpgid(0,0)\n");
    EXPECT_TRACE(t, "-1 = setpgid(1,1)\n");
    EXPECT_TRACE(t, std::to_string(child) + " = setsid()\n");
    EXPECT_TRACE(t, std::to_string(child) + " = getpgrp()\n");
}

TEST_P(Process, BadCountsAndStringsStartNothing)
{
    Daemon d;
    Link link = d.Open(Swapped());
    auto refused = [&](const Request &req) {
        Reply r = link.call(req);
        EXPECT_EQ(r.length(), 12);
        EXPECT_EQ(r.word(1), -1);
        EXPECT_EQ(r.word(2), 22);
    };
    refused(Request(23).word(-1).str("/bin/true"));
    refused(Request(23).word(2).str("/bin/true").str("true"));
    refused(Request(23).word(0x7fffffff).str("/bin/true"));
    refused(Request(23).word(1).str("/bin/true").bytes("true"));
    refused(Request(23).word(0).bytes("/bin/true"));
    refused(Request(23));
    refused(Request(37).word(1).word(-1).str("/bin/true").str("true"));
    refused(Request(37).word(1).word(1).str("/bin/true").str("true"));
    refused(Request(37).word(-5).word(0).str("/bin/true"));
    refused(Request(37).word(1));
    refused(Request(38).word(-1).str("true"));
    refused(Request(38).word(3).str("true").str("true"));
    refused(Request(38).word(1).bytes("true"));
    // The connection is the agent's own: it is never copied, nor replaced.
    int connection = -1;
    for (int fd = 3; fd < 64 && connection < 0; fd++) {
        hostlink::FileStatus st{};
        if (hostlink::fstat(link, fd, &st) == -1 && errno == EBADF && hostlink::close(link, fd) == -1)
            connection = fd;
    }
    ASSERT_GE(connection, 0);
    EXPECT_EQ(hostlink::dup2(link, connection, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(hostlink::dup2(link, 0, connection), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(hostlink::dup2(link, 12345, 20), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(link.call(Request(40).word(0)).word(2), 22);
    EXPECT_EQ(link.call(Request(42)).word(2), 22);
    EXPECT_EQ(link.call(Request(43).word(0)).word(2), 22);
    EXPECT_EQ(ChildrenOf(d.agent.pid).all, 0);
    EXPECT_EQ(hostlink::getpid(link), d.agent.pid);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, Process, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &i) { return i.param ? "Swapped" : "Native"; });

TEST(ProcessTrace, ForkNExecTracesTheProgramAndItsArguments)
{
    Daemon d(true);
    Link link = d.Open();
    ASSERT_GT(hostlink::forkNExec(link, "/bin/true", {"zero", "one two"}), 0);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    std::string t = d.agent.Stderr();
    EXPECT_TRACE(t, "Request: ForkNExec\n");
    EXPECT_TRACE(t, "/bin/true zero one two\n");
}

// Hundreds of started and forked processes: every one is collected and no descriptor stays.
TEST(Reaping, NoChildIsLeftAndNoDescriptorStays)
{
    Daemon d;
    Link link = d.Open();
    int fds = OpenDescriptors(d.agent.pid);
    for (int i = 0; i < 300; i++)
        ASSERT_GT(hostlink::forkNExec(link, "/bin/true", {"true"}), 0);
    for (int i = 0; i < 100; i++) {
        ASSERT_GT(hostlink::fork(link), 0);
        if (i % 2)
            hostlink::exit(link, 0);
        else
            ASSERT_EQ(hostlink::execvp(link, "true", {"true"}), 0);
    }
    for (int i = 0; i < 50; i++)
        ASSERT_EQ(hostlink::forkNExec(link, "/nonexistent", {"x"}), -1);
    EXPECT_TRUE(ChildrenGone(d.agent.pid)) << ChildrenOf(d.agent.pid).zombies << " zombies";
    EXPECT_EQ(OpenDescriptors(d.agent.pid), fds);
    EXPECT_EQ(hostlink::getpid(link), d.agent.pid);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
}

// Children that end while the agent waits in a long read do not cut the read short.
TEST(Reaping, LongReadFromAPipeSurvivesEndingChildren)
{
    Daemon d;
    Link link = d.Open();
    std::string dir = TempDir();
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (int i = 0; i < 20; i++) {
        std::string delay = "0." + std::to_string(1 + i % 5);
        ASSERT_GT(hostlink::forkNExec(link, "/bin/sleep", {"sleep", delay}), 0);
    }
    std::thread writer([&] {
        int fd = ::open(fifo.c_str(), O_WRONLY);
        if (fd < 0)
            return;
        std::string chunk(1000, 'p');
        for (int i = 0; i < 60; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (::write(fd, chunk.data(), chunk.size()) < 0)
                break;
        }
        ::close(fd);
    });
    int fd = hostlink::open(link, fifo, hostlink::kOpenRead);
    ASSERT_GE(fd, 0);
    std::string buf(60000, '\0');
    EXPECT_EQ(hostlink::read(link, fd, buf.data(), buf.size()), 60000);
    writer.join();
    EXPECT_TRUE(ChildrenGone(d.agent.pid));
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    fs::remove_all(dir);
}

// With the process limit reached, the calls that create processes fail and service goes on.
TEST(Reaping, ProcessLimitAnswersTheHostsFailure)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the agent as another user whose process count is known";
    const uid_t nobody = 65534;
    // The leak check of the sanitizer build needs a process of its own at exit, which the
    // limit refuses; it is left to the other tests.
    Daemon d(false, {"ASAN_OPTIONS=detect_leaks=0"}, [nobody] {
        // Only the agent itself fits under the limit (other processes of the user count too).
        int others = 0;
        for (const auto &e : fs::directory_iterator("/proc")) {
            struct stat st;
            if (stat(e.path().c_str(), &st) == 0 && st.st_uid == nobody && isdigit(e.path().filename().string()[0]))
                others++;
        }
        struct rlimit lim = {static_cast<rlim_t>(others + 1), static_cast<rlim_t>(others + 1)};
        if (setgid(nobody) != 0 || setuid(nobody) != 0 || setrlimit(RLIMIT_NPROC, &lim) != 0)
            _exit(126);
    });
    ASSERT_GT(d.agent.port, 0) << d.agent.Stderr();
    Link link = d.Open();
    Reply r = link.call(Request(23).word(1).str("/bin/true").str("true"));
    EXPECT_EQ(r.word(1), -1);
    EXPECT_EQ(r.word(2), 11); // EAGAIN
    r = link.call(Request(36));
    EXPECT_EQ(r.length(), 12);
    EXPECT_EQ(r.word(1), -1);
    EXPECT_EQ(r.word(2), 11);
    EXPECT_EQ(link.call(Request(38).word(1).str("true").str("true")).word(2), 11); // no watcher
    EXPECT_EQ(hostlink::getpid(link), d.agent.pid);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0) << d.agent.Stderr();
}

} // namespace
