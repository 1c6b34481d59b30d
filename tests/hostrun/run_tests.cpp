// hostrun itself, as root, against daemon-mode agents: programs run through it on the host's
// tree (under the prefix) and directly on the same tree print the same and end the same; the
// options; what is left behind; a lost agent; the launch. Skipped where /dev/fuse cannot be opened.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/harness.h"

namespace {

const std::string kHostrun = HOSTRUN_PATH;
const std::string kNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

void BecomeNobody()
{
    if (setgroups(0, nullptr) < 0 || setresgid(65534, 65534, 65534) < 0 || setresuid(65534, 65534, 65534) < 0)
        _exit(125);
}

std::string Replace(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

std::string Quoted(const std::string &s) { return "'" + Replace(s, "'", "'\\''") + "'"; }

struct Outcome {
    int status = -1;
    std::string output; // standard output and error together
};
Outcome Sh(const Scratch &dir, const std::string &line) // at most a minute long, its input /dev/null
{
    int st = system(("timeout -s KILL 60 sh -c " + Quoted(line) + " > " + dir / "sh.out" + " 2>&1 < /dev/null").c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, ReadFile(dir / "sh.out")};
}

#define REQUIRE_FUSE()                                                                                                 \
    if (int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC); fd < 0 || close(fd) != 0 || geteuid() != 0)                   \
    GTEST_SKIP() << "hostrun's tests run as root where /dev/fuse can be opened"

// A scratch directory with the host's tree and a local directory of the terminal's; Hostrun
// starts a daemon-mode agent (with the extension calls) and answers hostrun's command line.
struct Tree {
    Scratch s;
    std::string tree = s / "tree", local = s / "local";
    std::vector<std::unique_ptr<Agent>> agents; // a daemon agent serves one client
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
    Agent &agent() { return *agents.back(); }
    std::string Hostrun(const std::string &options, bool nobody = false)
    {
        agents.push_back(std::make_unique<Agent>());
        if (nobody)
            agent().beforeExec = BecomeNobody;
        agent().Start({"xt.term", "-x", "-d", "--"}, {"MARK=from-host", "LOGNAME=hostuser"});
        return kHostrun + " " + options + " 127.0.0.1:" + std::to_string(agent().port) + " ";
    }
};

// Programs run through hostrun on the host's tree and directly on the same tree print the same and
// end the same. Each row a sh -c text: $D the tree (under /host through hostrun).
const std::pair<const char *, const char *> kRows[] = {
    {"redirections", "date +%Y > $D/out && cat $D/out && echo more >> $D/out && wc -l < $D/out && "
                     "sort -n < $D/n.txt | head -3 && (echo out; echo err >&2) > $D/both 2>&1 && cat $D/both && "
                     "seq 1 5 | tee $D/seq | tail -1 && cat < $D/seq | wc -l && printf '%s\\n' x y >> $D/seq && "
                     "awk 'END { print NR }' $D/seq; ls $D/nope 2>&1; echo status $?"},
    {"mmap", "python3 -c 'import mmap, sys\nf = open(sys.argv[1], \"r+b\")\nm = mmap.mmap(f.fileno(), 0)\n"
             "m[0:5] = b\"HELLO\"\nm.flush()\nprint(m[:11])' $D/a.txt && cat $D/a.txt"},
    {"locks", "flock $D/lock -c 'echo locked' && flock -n $D/lock true && echo free; "
              "sqlite3 $D/db 'pragma journal_mode=wal; create table t(x); insert into t values(1),(2); "
              "select sum(x) from t;' && sqlite3 $D/db 'select count(*) from t'"},
    {"host_script", "printf '#!/bin/sh\\necho script \"$@\" $(cat a.txt | wc -l)\\n' > $D/s.sh && chmod 755 $D/s.sh && "
                    "cd $D && $D/s.sh one two && ./s.sh three"},
    // ldconfig is a static program: the kernel executes it with no loader to lean on.
    {"static", "cp /sbin/ldconfig $D/static && $D/static --version | head -1"},
    {"threads_forks_exec", "sort --parallel=4 -S 1M $D/big.txt | md5sum && "
                           "(cat $D/a.txt & wc -l < $D/n.txt & wait) | sort && "
                           "cd $D && ls | xargs -n1 -P3 sh -c 'exec wc -c < \"$0\"' | sort -n && "
                           "sh -c 'exec sh -c \"exec cat $0\"' $D/a.txt"},
};

TEST(Hostrun, ProgramsBehaveAsRunDirectly)
{
    REQUIRE_FUSE();
    for (const auto &[name, command] : kRows) {
        Tree direct, through;
        Outcome a = Sh(through.s, "LC_ALL=C D=/host" + through.tree + " " + through.Hostrun("") + "sh -c " + Quoted(command));
        Outcome b = Sh(direct.s, "LC_ALL=C D=" + direct.tree + " sh -c " + Quoted(command));
        EXPECT_EQ(Replace(a.output, "/host" + through.tree, direct.tree), b.output) << name;
        EXPECT_EQ(a.status, b.status) << name;
    }
}

// One host tree, an agent a row: -e and -i against an agent of another user; -p / (this machine's
// /proc, /dev, /tmp and working directory); without root, in a user namespace (the host's ids under
// -i; /dev/fuse stood in for by a node anyone may open); -p elsewhere; 128 + N for a signal; its
// agent killed ($A) under it: EIO, and hostrun says why. The mount and the prefix are seen nowhere
// outside, and a descendant that outlives the program keeps the mount.
TEST(Hostrun, OptionsIdentityAndEndings)
{
    REQUIRE_FUSE();
    Tree t;
    char name[256] = {}, cwd[4096] = {};
    gethostname(name, sizeof name - 1);
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    struct stat st;
    bool hostBefore = lstat("/host", &st) == 0;
    std::string fuse = t.s / "fuse", prefix = t.s / "p/q", a = prefix + t.tree + "/a.txt";
    ASSERT_EQ(mknod(fuse.c_str(), S_IFCHR | 0666, makedev(10, 229)), 0);
    chmod(fuse.c_str(), 0666);
    std::string show = "sh -c 'echo [$MARK] $(id -u) $(id -g) $(hostname) $LOGNAME'", host(name);
    std::string own = "sh -c 'echo $(id -u) $(id -g); cat $D/a.txt; echo made > $D/new; stat -c \"%u %g\" $D/new'";
    enum Who { Root, NobodyAgent, NobodyHere };
    const struct {
        std::string options, program, expected;
        int status;
        Who who;
    } rows[] = {
        {"-e -i", show, "[from-host] 65534 65534 " + host + " hostuser\n", 0, NobodyAgent},
        {"", show, "[] 0 0 " + host + " here\n", 0, NobodyAgent},
        {"-p /", "sh -c 'cat $T/a.txt; test -e /proc/self/status && test -c /dev/null && test -d /tmp && pwd'",
         "hello\nworld\n" + std::string(cwd) + "\n", 0, Root},
        {"", own, "65534 65534\nhello\nworld\n65534 65534\n", 0, NobodyHere},
        {"-i", own, "0 0\nhello\nworld\n0 0\n", 0, NobodyHere},
        {"-p " + prefix, "sh -c 'cat " + a + "; grep -c \" " + prefix + " \" /proc/self/mountinfo'", "hello\nworld\n1\n", 0, Root},
        {"-p " + prefix, "sh -c '(sleep 1; cat " + a + " > " + t.local + "/late) & echo started'", "started\n", 0, Root},
        {"", "sh -c 'kill -TERM $$'", "", 128 + SIGTERM, Root},
        {"", "sh -c 'exec 3< $D/a.txt && cat $D/a.txt && kill -9 $A && sleep 1; cat $D/a.txt; echo after $?; cat <&3 2>/dev/null; echo open $?'",
         "hello\nworld\nhostrun: the agent has closed the connection: the host's files fail from now on\ncat: /host" + t.tree +
             "/a.txt: Input/output error\nafter 1\nopen 1\n", 0, Root},
        {"", "no-such-program-here", "hostrun: no-such-program-here: No such file or directory\n", 127, Root},
    };
    for (const auto &row : rows) {
        std::string run = t.Hostrun(row.options, row.who == NobodyAgent) + row.program;
        ASSERT_GT(t.agent().pid, 0); // $A: one row kills its own agent
        if (row.who == NobodyHere)
            run = "unshare -m sh -c " + Quoted("mount --bind " + fuse + " /dev/fuse && cd / && " + kNobody + run);
        Outcome r = Sh(t.s, "MARK= LOGNAME=here A=" + std::to_string(t.agent().pid) + " T=" + t.tree + " D=/host" + t.tree + " " + run);
        EXPECT_EQ(r.output, row.expected) << row.program;
        EXPECT_EQ(r.status, row.status) << row.program;
        if (row.who == NobodyHere) {
            EXPECT_EQ(ReadFile(t.tree + "/new"), "made\n");
            unlink((t.tree + "/new").c_str());
        }
        EXPECT_NE(lstat((t.s / "p").c_str(), &st), 0) << "the prefix was made on this machine";
        EXPECT_EQ(lstat("/host", &st) == 0, hostBefore);
        EXPECT_EQ(Sh(t.s, "grep -F -e " + t.s.path() + " -e ' /host ' /proc/self/mountinfo").output, ""); // other suites mount elsewhere
    }
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(t.local + "/late") == "hello\nworld\n"; }));
}

std::string Dir(const std::string &path) { return path.substr(0, path.rfind('/')); }

// Launched as xt.hostrun through loopsh: the output goes to the log, the status its last line. A
// wrong command line, or /dev/fuse closed to this user (nobody), stops before any connection with
// one line (a launched tool's failure and the agent's fall-back: launch_tests).
TEST(Hostrun, LaunchedOrRefusedBeforeConnecting)
{
    REQUIRE_FUSE();
    Tree t;
    std::string log = t.s / "hostrun.log", path = "PATH=" + Dir(LOOPSH_PATH) + ":" + Dir(HOSTRUN_PATH) + ":/usr/bin:/bin";
    Agent launched;
    launched.Start({"xt.hostrun", "-rloopsh", "-h127.0.0.1", "-t20", "-nfs", "-x", "--", "sh", "-c", "cat /host" + t.tree + "/a.txt; exit 3"},
                   {path, "HOSTAGENT_LOG=" + log}, false);
    EXPECT_EQ(launched.Wait(30), 0) << launched.Err();
    EXPECT_EQ(launched.Out(), "");
    EXPECT_EQ(ReadFile(log), "hello\nworld\nhostrun: sh ended with status 3\n");

    int port, listener = Listen(&port);
    ASSERT_GE(listener, 0);
    std::string at = " 127.0.0.1:" + std::to_string(port) + " true";
    Outcome usage = Sh(t.s, kHostrun + " -q" + at);
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.output.find("usage: hostrun"), 0u) << usage.output;
    if (Sh(t.s, kNobody + "sh -c 'exec 3<>/dev/fuse' && echo usable").output != "usable\n") {
        Outcome r = Sh(t.s, kNobody + kHostrun + at);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output.find("hostrun: /dev/fuse cannot be opened"), 0u) << r.output;
    }
    EXPECT_LT(AcceptWithin(listener, 200), 0);
    close(listener);
}

} // namespace
