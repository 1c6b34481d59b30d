// hostrun itself, as root, against daemon-mode agents: programs run through it on the host's
// tree (under the prefix) and directly on the same tree print the same and end the same; the
// options; what is left behind; a lost agent. Skipped where /dev/fuse cannot be opened.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/agent_process.h"

namespace {

constexpr uid_t kNobody = 65534;

struct Outcome {
    int status = -1; // exit status, 256 + signal, -1 when it ran out of time
    std::string output;
};

void BecomeNobody()
{
    if (setgroups(0, nullptr) < 0 || setresgid(kNobody, kNobody, kNobody) < 0 || setresuid(kNobody, kNobody, kNobody) < 0)
        _exit(125);
}

// argv with env added, standard output and error together, for at most seconds.
Outcome Capture(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                const std::function<void()> &before = {}, double seconds = 60)
{
    Outcome r;
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        if (null < 0 || dup2(null, 0) < 0 || dup2(p[1], 1) < 0 || dup2(p[1], 2) < 0)
            _exit(125);
        for (const auto &e : env)
            putenv(const_cast<char *>(e.c_str()));
        if (before)
            before();
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(p[1]);
    bool late = false;
    for (int waited = 0;;) {
        struct pollfd pf = {p[0], POLLIN, 0};
        if (poll(&pf, 1, 100) > 0) {
            char buf[8192];
            ssize_t got = read(p[0], buf, sizeof buf);
            if (got <= 0)
                break;
            r.output.append(buf, static_cast<size_t>(got));
        } else if ((waited += 100) > seconds * 1000) {
            kill(pid, SIGKILL);
            late = true;
            break;
        }
    }
    close(p[0]);
    int st;
    if (waitpid(pid, &st, 0) == pid && !late)
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 256 + WTERMSIG(st);
    return r;
}

std::string Replace(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

// The lines of this machine's mount table about a path under dir or about /host (other suites
// mount meanwhile, elsewhere).
std::string MountsOf(const std::string &dir)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line, found;
    while (std::getline(in, line))
        if (line.find(dir) != std::string::npos || line.find(" /host ") != std::string::npos)
            found += line + "\n";
    return found;
}

// Why these tests cannot run here, or empty.
std::string Unfit()
{
    if (geteuid() != 0)
        return "hostrun's tests run as root";
    int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::string("/dev/fuse cannot be opened: ") + strerror(errno);
    close(fd);
    return "";
}

#define REQUIRE_FUSE()                                                                                                 \
    if (std::string why = Unfit(); !why.empty())                                                                       \
    GTEST_SKIP() << why

// A scratch directory with the host's tree and a local directory of the terminal's.
struct Tree {
    Scratch s;
    std::string tree = s / "tree", local = s / "local";
    Tree()
    {
        mkdir(tree.c_str(), 0755);
        mkdir(local.c_str(), 0755);
        WriteFile(tree + "/a.txt", "hello\nworld\n");
        std::string numbers, big;
        for (int i = 1; i <= 300; i++)
            numbers += std::to_string(i * 7919 % 1000) + "\n";
        for (int i = 0; i < 9000; i++)
            big += "line " + std::to_string(i * 37 % 9000) + " of a file larger than a few messages\n";
        WriteFile(tree + "/n.txt", numbers);
        WriteFile(tree + "/big.txt", big);
    }
};

// hostrun with options against a fresh daemon-mode agent (with the extension calls).
Outcome Hostrun(const std::vector<std::string> &options, const std::vector<std::string> &command,
                const std::vector<std::string> &env, AgentProcess &agent)
{
    if (!agent.Start({"xt.term", "-x", "-d", "--"}))
        return {-1, "the agent did not start: " + agent.Stderr()};
    std::vector<std::string> argv = {HOSTRUN_PATH};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("127.0.0.1:" + std::to_string(agent.port));
    argv.insert(argv.end(), command.begin(), command.end());
    return Capture(argv, env);
}

struct Row {
    const char *name;
    const char *command; // sh -c text: $D the tree (under /host through hostrun), $L local, $S static cat
};

const Row kRows[] = {
    {"redirections", "date +%Y > $D/out && cat $D/out && echo more >> $D/out && wc -l < $D/out && "
                     "sort -n < $D/n.txt | head -3 && (echo out; echo err >&2) > $D/both 2>&1 && cat $D/both && "
                     "seq 1 5 | tee $D/seq | tail -1 && cat < $D/seq | wc -l && printf '%s\\n' x y >> $D/seq && "
                     "awk 'END { print NR }' $D/seq; ls $D/nope 2>&1; echo status $?"},
    {"mmap", "python3 -c 'import mmap, sys\nf = open(sys.argv[1], \"r+b\")\nm = mmap.mmap(f.fileno(), 0)\n"
             "m[0:5] = b\"HELLO\"\nm.flush()\nprint(m[:11])' $D/a.txt && cat $D/a.txt"},
    {"locks", "flock $D/lock -c 'echo locked' && flock -n $D/lock true && echo free; "
              "sqlite3 $D/db 'pragma journal_mode=wal; create table t(x); insert into t values(1),(2); "
              "select sum(x) from t;' && sqlite3 $D/db 'select count(*) from t'"},
    {"fifo", "mkfifo $D/fifo && { echo through > $D/fifo & } && cat $D/fifo && wait && "
             "ls -l $D/fifo | cut -c1 && rm $D/fifo"},
    {"host_script", "printf '#!/bin/sh\\necho script \"$@\" $(cat a.txt | wc -l)\\n' > $D/s.sh && chmod 755 $D/s.sh && "
                    "cd $D && $D/s.sh one two && ./s.sh three"},
    {"static", "cp $S $D/static && $D/static $D/a.txt $D/n.txt | md5sum"},
    {"threads_forks_exec", "sort --parallel=4 -S 1M $D/big.txt | md5sum && "
                           "(cat $D/a.txt & wc -l < $D/n.txt & wait) | sort && "
                           "cd $D && ls | xargs -n1 -P3 sh -c 'exec wc -c < \"$0\"' | sort -n && "
                           "sh -c 'exec sh -c \"exec cat $0\"' $D/a.txt"},
    {"status", "cat $D/a.txt; exit 7"},
};

void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

class HostrunPrograms : public testing::TestWithParam<Row> {};

TEST_P(HostrunPrograms, BehaveAsRunDirectly)
{
    REQUIRE_FUSE();
    const Row &row = GetParam();
    if (std::string(row.name) == "static" && !*STATIC_CAT_PATH)
        GTEST_SKIP() << "no static C library to build a static program with";
    Tree direct, through;
    AgentProcess agent;
    std::string hostTree = "/host" + through.tree;
    Outcome a = Hostrun({}, {"sh", "-c", row.command},
                        {"D=" + hostTree, "L=" + through.local, "S=" STATIC_CAT_PATH, "LC_ALL=C"}, agent);
    Outcome b = Capture({"sh", "-c", row.command}, {"D=" + direct.tree, "L=" + direct.local, "S=" STATIC_CAT_PATH, "LC_ALL=C"});
    EXPECT_EQ(Replace(a.output, hostTree, direct.tree), b.output) << row.command;
    EXPECT_EQ(a.status, b.status);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostrunPrograms, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

// -e and -i against an agent of another user: the host's environment, ids, name and login name.
TEST(Hostrun, HostEnvironmentAndIdentity)
{
    REQUIRE_FUSE();
    const std::string show = "echo \"[$MARK]\" $(id -u) $(id -g) $(hostname) $LOGNAME; test -r /host/etc/hostname && echo read";
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    const struct {
        std::vector<std::string> options;
        std::string expected;
    } rows[] = {
        {{"-e", "-i"}, "[from-host] 65534 65534 " + std::string(name) + " hostuser\nread\n"},
        {{}, "[] 0 0 " + std::string(name) + " here\nread\n"},
    };
    for (const auto &row : rows) {
        AgentProcess agent;
        agent.beforeExec = BecomeNobody;
        ASSERT_TRUE(agent.Start({"xt.term", "-x", "-d", "--"}, {"MARK=from-host", "LOGNAME=hostuser"})) << agent.Stderr();
        std::vector<std::string> argv = {HOSTRUN_PATH};
        argv.insert(argv.end(), row.options.begin(), row.options.end());
        argv.insert(argv.end(), {"127.0.0.1:" + std::to_string(agent.port), "sh", "-c", show});
        Outcome r = Capture(argv, {"MARK=", "LOGNAME=here"});
        EXPECT_EQ(r.output, row.expected);
        EXPECT_EQ(r.status, 0);
    }
}

// -p /: the host's / is the root, with this machine's /proc, /dev and /tmp; the program starts
// in the agent's working directory.
TEST(Hostrun, HostRootWithTheTerminalsProcDevAndTmp)
{
    REQUIRE_FUSE();
    Tree t;
    AgentProcess agent;
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    Outcome r = Hostrun({"-p", "/"}, {"sh", "-c", "cat $T/a.txt; test -e /proc/self/status && test -c /dev/null && "
                                                  "test -d /tmp && echo local; pwd"},
                        {"T=" + t.tree}, agent);
    EXPECT_EQ(r.output, "hello\nworld\nlocal\n" + std::string(cwd) + "\n");
    EXPECT_EQ(r.status, 0);
}

// Neither the mount nor the prefix (made of directories that do not exist) is seen outside,
// during the run or after it; the program's status, 128 + N for a signal, is hostrun's.
TEST(Hostrun, LeavesNothingBehindAndEndsAsTheProgram)
{
    REQUIRE_FUSE();
    Tree t;
    struct stat st;
    bool hostBefore = lstat("/host", &st) == 0;
    std::string prefix = t.s / "p/q";
    const struct {
        std::vector<std::string> options;
        std::string command, expected;
        int status;
    } rows[] = {
        {{"-p", prefix}, "cat " + prefix + t.tree + "/a.txt; grep -c ' " + prefix + " ' /proc/self/mountinfo; "
                         "test -e " + t.s.path() + "/p && echo inside",
         "hello\nworld\n1\ninside\n", 0},
        // a descendant left running keeps the mount until it ends
        {{"-p", prefix}, "(sleep 1; cat " + prefix + t.tree + "/a.txt > " + t.local + "/late) & echo started", "started\n", 0},
        {{}, "kill -TERM $$", "", 128 + SIGTERM},
        {{}, "no-such-program-here", "", 127},
    };
    for (const auto &row : rows) {
        AgentProcess agent;
        Outcome r = Hostrun(row.options, {"sh", "-c", row.command}, {}, agent);
        if (row.status != 127)
            EXPECT_EQ(r.output, row.expected) << row.command;
        EXPECT_EQ(r.status, row.status) << row.command << "\n" << r.output;
        EXPECT_NE(lstat((t.s / "p").c_str(), &st), 0) << "the prefix was made on this machine";
        EXPECT_EQ(lstat("/host", &st) == 0, hostBefore);
        EXPECT_EQ(MountsOf(t.s.path()), "");
    }
    EXPECT_EQ(ReadFile(t.local + "/late"), "hello\nworld\n");
}

// A lost agent: the program's file operations fail with EIO, hostrun says what happened.
TEST(Hostrun, KilledAgentEndsFileOperationsWithEio)
{
    REQUIRE_FUSE();
    Tree t;
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"xt.term", "-x", "-d", "--"})) << agent.Stderr();
    std::string out = t.s / "out";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        std::string script = "exec 3< $D/a.txt && cat $D/a.txt && touch $L/started; for i in $(seq 100); do test -e $L/killed && break; "
                             "sleep 0.1; done; sleep 1; cat $D/a.txt; echo after $?; cat <&3; echo open $?";
        setenv("D", ("/host" + t.tree).c_str(), 1);
        setenv("L", t.local.c_str(), 1);
        execl(HOSTRUN_PATH, "hostrun", ("127.0.0.1:" + std::to_string(agent.port)).c_str(), "sh", "-c", script.c_str(),
              nullptr);
        _exit(127);
    }
    struct stat st;
    ASSERT_TRUE(WaitUntil([&] { return stat((t.local + "/started").c_str(), &st) == 0; }, 30)) << ReadFile(out);
    EXPECT_EQ(MountsOf(t.s.path()), "") << "the mount is seen outside while the program runs";
    kill(agent.pid, SIGKILL);
    agent.Wait(10);
    WriteFile(t.local + "/killed", "");
    int status = -1;
    ASSERT_TRUE(WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30));
    std::string said = ReadFile(out);
    EXPECT_NE(said.find("Input/output error"), std::string::npos) << said;
    EXPECT_NE(said.find("after 1"), std::string::npos) << said;
    EXPECT_NE(said.find("open 1"), std::string::npos) << said;
    EXPECT_EQ(said.find("No such file"), std::string::npos) << said;
    EXPECT_EQ(said.find("not connected"), std::string::npos) << said;
    EXPECT_NE(said.find("hostrun: the agent has closed the connection"), std::string::npos) << said;
}

std::string Dir(const std::string &path) { return path.substr(0, path.rfind('/')); }

// Launched by an agent as xt.hostrun through loopsh: the program's output goes to the log, its
// status is the log's last line; where it cannot work (an agent of a user who may not use
// /dev/fuse) its one line comes back through the remote shell and the agent falls back.
TEST(Hostrun, LaunchedByTheAgent)
{
    REQUIRE_FUSE();
    Tree t;
    std::string log = t.s / "hostrun.log";
    std::string path = "PATH=" + Dir(LOOPSH_PATH) + ":" + Dir(HOSTRUN_PATH) + ":/usr/bin:/bin";
    Agent served;
    served.Start({"xt.hostrun", "-x", "-rloopsh", "-h127.0.0.1", "-t20", "-nfs", "--", "sh", "-c",
                  "cat /host" + t.tree + "/a.txt; exit 3"},
                 {path, "HOSTAGENT_LOG=" + log}, false);
    EXPECT_EQ(served.Wait(30), 0) << served.Err();
    EXPECT_EQ(served.Out(), "");
    EXPECT_EQ(ReadFile(log), "hello\nworld\nhostrun: sh ended with status 3\n");

    Agent refused;
    refused.beforeExec = BecomeNobody;
    refused.Start({"xt.hostrun", "-rloopsh", "-h127.0.0.1", "-t20", "-nfs", "--", "true"}, {path}, false);
    EXPECT_EQ(refused.Wait(30), 1);
    if (refused.Out().find("/dev/fuse") == std::string::npos) // nobody may use /dev/fuse here
        EXPECT_EQ(refused.Out(), "");
    else
        EXPECT_EQ(refused.Out().find("hostrun: /dev/fuse cannot be opened"), 0u) << refused.Out();
}

// What cannot work stops at once, before any connection: a wrong command line, /dev/fuse that
// this user may not open.
TEST(Hostrun, StopsBeforeConnecting)
{
    REQUIRE_FUSE();
    int port;
    int listener = Listen(&port);
    ASSERT_GE(listener, 0);
    std::string at = "127.0.0.1:" + std::to_string(port);
    Outcome usage = Capture({HOSTRUN_PATH, "-q", at, "true"}, {});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.output.find("usage: hostrun"), std::string::npos);
    pid_t probe = fork();
    if (probe == 0) {
        BecomeNobody();
        _exit(open("/dev/fuse", O_RDWR) < 0 ? 0 : 1);
    }
    int st;
    ASSERT_EQ(waitpid(probe, &st, 0), probe);
    if (WEXITSTATUS(st) == 0) { // nobody may not use /dev/fuse here
        Outcome r = Capture({HOSTRUN_PATH, at, "true"}, {}, BecomeNobody);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find("hostrun: /dev/fuse cannot be opened"), std::string::npos) << r.output;
    }
    EXPECT_LT(AcceptWithin(listener, 200), 0);
    close(listener);
}

} // namespace
