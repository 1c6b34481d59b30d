// Every terminal-side program against the real agent with the key from $HOSTAGENT_KEYFILE, --key
// and a launch through loopsh or a real sshd; a wrong or missing key ends it with the library's line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "tests/agent_process.h"
#include "tests/sshd.h"

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const std::string kKey = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

// A program of the test's own, started through the harness; killed when it outlives its object.
struct Child : Agent {
    void Start(const Strings &argv, const Strings &env = {}, const std::string &cwd = "")
    {
        program = argv[0];
        if (!cwd.empty())
            beforeExec = [cwd] { if (chdir(cwd.c_str()) != 0) _exit(126); };
        Agent::Start(argv, Strings{"HOSTAGENT_KEYFILE", "HOSTAGENT_HOST"} + env, false);
    }
    std::string Output() const { return Out() + Err(); }
};

// What a short command printed, or "(did not end)" after 20 seconds.
std::string Sh(const Strings &argv)
{
    Child c;
    c.Start(argv);
    return c.Wait(20) < 0 ? "(did not end)" : c.Output();
}

bool FuseUsable()
{
    int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    return fd >= 0 && close(fd) == 0 && !Sshd::Which("fusermount3").empty();
}

// A scratch tree: key files, a host directory with one file, a mount point.
struct Tree {
    Scratch s;
    std::string key = s / "key", wrong = s / "wrong", data = s / "data", work = s / "work", mnt = work + "/mnt";
    Strings within; // runs a command in the mount namespace where the mount is
    Tree()
    {
        WriteFile(key, kKey + "\n", 0600);
        WriteFile(wrong, std::string(64, '7') + "\n", 0600);
        fs::create_directories(data);
        fs::create_directories(mnt);
        WriteFile(data + "/f.txt", "hello\n");
        WriteFile(work + "/commands", "cat " + data + "/f.txt\n");
    }
    Strings Fill(Strings args) const
    {
        for (auto &a : args)
            for (auto [from, to] : {std::pair{"DATA", data}, std::pair{"WORK", work}})
                if (size_t at = a.find(from); at != std::string::npos)
                    a.replace(at, 4, to);
        return args;
    }
    std::string ReadMounted() { return Sh(within + Strings{"/bin/cat", mnt + "/f.txt"}); }
    ~Tree() { Sh(within + Strings{Sshd::Which("fusermount3"), "-u", "-z", mnt}); }
};

// A path empty when it is not built here; the arguments after the endpoint, where DATA and WORK stand
// for the tree's directories; what keeps it in front of a shell in daemon mode; what it shows once
// served; its exit status when it cannot connect.
struct Program { std::string name, path; Strings args; std::string foreground, served; int failure = 1; bool mounts = false; };

const std::vector<Program> kPrograms = {
    {"termclient", TERMCLIENT_PATH, {}, "-foreground", "authenticated: the agent holds the key\n"},
    {"list", LIST_PATH, {"DATA"}, "", "6 f.txt\n"},
    {"fetch", FETCH_PATH, {"DATA/f.txt", "WORK/copy"}, "", "fetched 6 bytes\n"},
    {"hostfs", HOSTFS_PATH, {"WORK/mnt", "-o", "root=DATA"}, "-f", "mounted: hello\n", 1, true},
    {"hostrun", HOSTRUN_PATH, {"/bin/cat", "/hostDATA/f.txt"}, "", "hello\n"},
    {"hostsh", HOSTSH_PATH, {"-b", "WORK/commands"}, "", "hello\n", 2},
};

class ToolKeys : public testing::TestWithParam<std::string> {
protected:
    const Program &program =
        *std::find_if(kPrograms.begin(), kPrograms.end(), [&](const Program &p) { return p.name == GetParam(); });
    void SetUp() override
    {
        if (program.path.empty())
            GTEST_SKIP() << program.name << " is not built here (libfuse3 or libedit missing)";
        if ((program.mounts || program.name == "hostrun") && !FuseUsable())
            GTEST_SKIP() << program.name << ": /dev/fuse cannot be opened or fusermount3 is missing";
    }
};

enum class Key { Env, Option, Wrong, None };

// Each way of failing to connect is tests/lib's; here the key both ways and two refusals.
TEST_P(ToolKeys, ServedByADaemonWithTheKeyEitherWayElseTheLibrarysMessage)
{
    const struct { const char *label; Key key; std::string message; } ways[] = { // no message: served{"$HOSTAGENT_KEYFILE", Key::Env, ""}, {"--key", Key::Option, ""},
                {"wrong key", Key::Wrong, "does not hold the key from --key "},
                {"no key", Key::None, "wants a key: name its key file with --key FILE or in $HOSTAGENT_KEYFILE"}};
    for (const auto &way : ways) {
        SCOPED_TRACE(way.label);
        Tree tree;
        AgentProcess agent;
        ASSERT_TRUE(agent.Start({"xt.term", "-d", "-k" + tree.key, "--"})) << agent.Stderr();
        Strings argv = {program.path};
        if (way.key == Key::Option || way.key == Key::Wrong)
            argv.insert(argv.end(), {"--key", way.key == Key::Option ? tree.key : tree.wrong});
        argv = tree.Fill(argv + Strings{"127.0.0.1:" + std::to_string(agent.port)} + program.args);
        if (!program.foreground.empty())
            argv.push_back(program.foreground);
        Child run;
        run.Start(argv, way.key == Key::Env ? Strings{"HOSTAGENT_KEYFILE=" + tree.key} : Strings{}, tree.work);
        std::string mounted;
        if (program.mounts && way.message.empty()) {
            WaitUntil([&] { return (mounted = tree.ReadMounted()) == "hello\n" || !run.Running(); }, 20);
            Sh({Sshd::Which("fusermount3"), "-u", tree.mnt});
        }
        EXPECT_EQ(run.Wait(30), way.message.empty() ? 0 : program.failure) << run.Output() << agent.Stderr();
        std::string shown = run.Output() + (mounted.empty() ? "" : "mounted: " + mounted);
        std::string want = way.message.empty() ? program.served : way.message;
        EXPECT_NE(shown.find(want), std::string::npos) << want << " not in:\n" << shown;
    }
}

INSTANTIATE_TEST_SUITE_P(Each, ToolKeys, testing::Values("termclient", "list", "fetch", "hostfs", "hostrun", "hostsh"),
                         [](const auto &p) { return p.param; });

// Launched by an agent with -a: the key comes on the remote shell's standard input; what the
// program shows goes to its log.
void ExpectLaunchServed(const Program &program, const std::string &shell, Tree &tree, const Strings &options, const Strings &env)
{
    AgentProcess agent;
    Strings argv = Strings{"xt." + program.name, "-a", "-v", "-h127.0.0.1", "-t20", "-r" + shell} + options +
                   Strings{"--"} + tree.Fill(program.args);
    std::string log = tree.work + "/log";
    ASSERT_TRUE(agent.Start(argv, env + Strings{"HOSTAGENT_LOG=" + log, "HOSTFS_LOG=" + log, "HOSTSH_LOG=" + log}, false));
    std::string shown;
    if (program.mounts) {
        WaitUntil([&] { return agent.Stderr().find("= chdir(") != std::string::npos || !agent.Running(); }, 30);
        std::string mounted;
        WaitUntil([&] { return (mounted = tree.ReadMounted()) == "hello\n" || !agent.Running(); }, 10);
        shown = "mounted: " + mounted;
        Sh(tree.within + Strings{Sshd::Which("fusermount3"), "-u", tree.mnt});
    }
    EXPECT_EQ(agent.Wait(40), 0) << agent.Stderr() << ReadFile(log);
    EXPECT_NE(agent.Stderr().find("auth(2)"), std::string::npos) << agent.Stderr();
    if (!program.mounts)
        WaitUntil([&] { return (shown = ReadFile(log)).find(program.served) != std::string::npos; }, 10);
    EXPECT_NE(shown.find(program.served), std::string::npos) << program.served << " not in:\n" << shown;
}

using ToolLaunch = ToolKeys;

TEST_P(ToolLaunch, ThroughLoopsh)
{
    Tree tree;
    std::string path = "PATH=" + fs::path(LOOPSH_PATH).parent_path().string() + ":" +
                       fs::path(program.path).parent_path().string() + ":/usr/bin:/bin";
    ExpectLaunchServed(program, "loopsh", tree, {}, {path});
}

TEST_P(ToolLaunch, ThroughARealSshd)
{
    if (getuid() != 0)
        GTEST_SKIP() << "logs in as root through its own sshd; run as root (as CI does)";
    Sshd sshd;
    if (sshd.ssh.empty())
        GTEST_SKIP() << sshd.why;
    ASSERT_EQ(sshd.why, "") << "the test could not start its own sshd";
    Tree tree;
    // Without /run/sshd the sshd runs in a mount namespace of its own, and so does the mount.
    if (access("/run/sshd", F_OK) != 0)
        tree.within = {Sshd::Which("nsenter"), "-t", std::to_string(sshd.pid), "-m", "--"};
    WriteFile(tree.s / "sshloop", "#!/bin/sh\nexec " + sshd.ssh + " -F " + (sshd.dir / "ssh_config") + " \"$@\"\n", 0755);
    ExpectLaunchServed(program, "sshloop", tree, {"-c" + program.path}, {"PATH=" + tree.s.path() + ":/usr/bin:/bin"});
}

INSTANTIATE_TEST_SUITE_P(Each, ToolLaunch, testing::Values("termclient", "hostfs", "hostrun", "hostsh"),
                         [](const auto &p) { return p.param; });

} // namespace
