// Every terminal-side program against the real agent over loopback: served with the key from
// $HOSTAGENT_KEYFILE and from --key by a daemon with -kFILE, and with the launch key line when an
// agent started with -a launches it through loopsh or a real sshd; and every way of not getting
// there (wrong key, no key, a key for an agent that takes none, a port that is no agent's, nothing
// listening, an agent busy with another client) ends it non-zero with the library's words.
// Each row runs in a scratch directory of its own; mounts are undone on every way out.
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/agent_process.h"
#include "tests/sshd.h"
#include <hostlink/auth.h>

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const std::string kKey = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

Strings operator+(Strings a, const Strings &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

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
    if (fd >= 0)
        close(fd);
    return fd >= 0 && !Sshd::Which("fusermount3").empty();
}

// A scratch tree: key files, a host directory with one file, a mount point.
struct Tree {
    Scratch s;
    std::string key = s / "key", wrong = s / "wrong", loose = s / "loose", data = s / "data", work = s / "work", mnt = work + "/mnt";
    Strings within; // runs a command in the mount namespace where the mount is
    Tree()
    {
        WriteFile(key, kKey + "\n", 0600);
        WriteFile(wrong, std::string(64, '7') + "\n", 0600);
        WriteFile(loose, kKey + "\n", 0644);
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

struct Program {
    std::string name, path; // path empty: not built here
    Strings args;           // after the endpoint; DATA and WORK stand for the tree's directories
    std::string foreground; // what keeps it in front of a shell, in daemon mode
    std::string served;     // what it shows once served
    int failure = 1;        // its exit status when it cannot connect
    bool mounts = false;
};

const std::vector<Program> &Programs()
{
    static const std::vector<Program> programs = {
        {"termclient", TERMCLIENT_PATH, {}, "-foreground", "authenticated: the agent holds the key\n"},
        {"list", LIST_PATH, {"DATA"}, "", "6 f.txt\n"},
        {"fetch", FETCH_PATH, {"DATA/f.txt", "WORK/copy"}, "", "fetched 6 bytes\n"},
        {"hostfs", HOSTFS_PATH, {"WORK/mnt", "-o", "root=DATA"}, "-f", "mounted: hello\n", 1, true},
        {"hostrun", HOSTRUN_PATH, {"/bin/cat", "/hostDATA/f.txt"}, "", "hello\n"},
        {"hostsh", HOSTSH_PATH, {"-b", "WORK/commands"}, "", "hello\n", 2},
    };
    return programs;
}

class ToolKeys : public testing::TestWithParam<std::string> {
protected:
    const Program &program = *std::find_if(Programs().begin(), Programs().end(),
                                           [&](const Program &p) { return p.name == GetParam(); });
    void SetUp() override
    {
        if (program.path.empty())
            GTEST_SKIP() << program.name << " is not built here (libfuse3 or libedit missing)";
        if ((program.mounts || program.name == "hostrun") && !FuseUsable())
            GTEST_SKIP() << program.name << ": /dev/fuse cannot be opened or fusermount3 is missing";
    }
};

// A listener of the test's own that answers every connection as an SSH server would, for at
// most 30 seconds.
struct NotAnAgent {
    int port = 0, listener = Listen(&port);
    std::atomic<bool> stop{false};
    std::thread answering{[this] {
        static constexpr char kBanner[] = "SSH-2.0-OpenSSH_9.2\r\n\0\0\0\x7f and more";
        for (int i = 0; i < 300 && !stop; i++)
            if (int c = AcceptWithin(listener, 100); c >= 0) {
                char request[4096];
                struct pollfd p = {c, POLLIN, 0};
                if (poll(&p, 1, 2000) == 1 && read(c, request, sizeof request) > 0 &&
                    write(c, kBanner, sizeof kBanner - 1) > 0 && shutdown(c, SHUT_WR) == 0)
                    for (int j = 0; j < 20 && poll(&p, 1, 100) == 1 && read(c, request, sizeof request) > 0; j++) {
                    }
                close(c);
            }
    }};
    ~NotAnAgent()
    {
        stop = true;
        answering.join();
        close(listener);
    }
};

enum class Key { Env, Option, Wrong, Loose, None };
enum class There { Keyed, Keyless, Busy, NotAnAgent, Nothing };

struct Way {
    const char *label;
    Key key;
    There there;
    bool served;
    std::string message; // empty: the program's own sign of being served
};

const std::vector<Way> kWays = {
    {"$HOSTAGENT_KEYFILE", Key::Env, There::Keyed, true, ""},
    {"--key", Key::Option, There::Keyed, true, ""},
    {"wrong key", Key::Wrong, There::Keyed, false, "does not hold the key from --key "},
    {"key file open to others", Key::Loose, There::Keyed, false, "refused: group or others have access to it"},
    {"no key", Key::None, There::Keyed, false, "wants a key: name its key file with --key FILE or in $HOSTAGENT_KEYFILE"},
    {"key, agent without -k", Key::Option, There::Keyless, false, "takes no key (it was started without -a or -k)"},
    {"not an agent's port", Key::Env, There::NotAnAgent, false, "but it is not a host agent (is this the port the agent printed?)"},
    {"nothing listening", Key::None, There::Nothing, false, "nothing is listening at 127.0.0.1:"},
    {"busy agent", Key::Option, There::Busy, false, "accepted the connection but does not answer: the agent there is serving another client"},
};

// One row: its tree, the agent (or not) at the endpoint, the program.
struct Row {
    explicit Row(const Way &w) : way(w) {}
    const Way &way;
    Tree tree;
    AgentProcess agent;
    Link holder; // the other client of a busy agent
    Child program;
};

// All rows run side by side: a busy agent keeps its caller waiting out the connect's 10 seconds.
TEST_P(ToolKeys, ServedByADaemonWithTheKeyEitherWayElseTheLibrarysMessage)
{
    NotAnAgent impostor;
    int nothing = 0;
    close(Listen(&nothing));
    std::vector<std::unique_ptr<Row>> rows;
    for (const Way &way : kWays) {
        auto &r = *rows.emplace_back(std::make_unique<Row>(way));
        int port = way.there == There::NotAnAgent ? impostor.port : nothing;
        if (way.there != There::NotAnAgent && way.there != There::Nothing) {
            Strings argv = {"xt.term", "-d", "--"};
            if (way.there != There::Keyless)
                argv.insert(argv.begin() + 1, "-k" + r.tree.key);
            ASSERT_TRUE(r.agent.Start(argv)) << r.agent.Stderr();
            port = r.agent.port;
        }
        if (way.there == There::Busy) {
            r.holder = Dial(port);
            hostlink::authenticate(r.holder, *hostlink::parseKey(kKey));
        }
        Strings argv = {program.path};
        if (way.key == Key::Option || way.key == Key::Wrong || way.key == Key::Loose)
            argv.insert(argv.end(), {"--key", way.key == Key::Option  ? r.tree.key
                                              : way.key == Key::Wrong ? r.tree.wrong
                                                                      : r.tree.loose});
        argv.push_back("127.0.0.1:" + std::to_string(port));
        argv = r.tree.Fill(argv + program.args);
        if (!program.foreground.empty())
            argv.push_back(program.foreground);
        r.program.Start(argv, way.key == Key::Env ? Strings{"HOSTAGENT_KEYFILE=" + r.tree.key} : Strings{}, r.tree.work);
    }
    for (auto &row : rows) {
        Row &r = *row;
        SCOPED_TRACE(r.way.label);
        std::string mounted;
        if (program.mounts && r.way.served) {
            WaitUntil([&] { return (mounted = r.tree.ReadMounted()) == "hello\n" || !r.program.Running(); }, 20);
            Sh({Sshd::Which("fusermount3"), "-u", r.tree.mnt});
        }
        EXPECT_EQ(r.program.Wait(30), r.way.served ? 0 : program.failure) << r.program.Output() << r.agent.Stderr();
        std::string shown = r.program.Output() + (mounted.empty() ? "" : "mounted: " + mounted);
        std::string want = r.way.message.empty() ? program.served : r.way.message;
        EXPECT_NE(shown.find(want), std::string::npos) << want << " not in:\n" << shown;
    }
}

INSTANTIATE_TEST_SUITE_P(Each, ToolKeys, testing::Values("termclient", "list", "fetch", "hostfs", "hostrun", "hostsh"),
                         [](const auto &p) { return p.param; });

// Launched by an agent with -a: the key comes on the remote shell's standard input; what the
// program shows goes to its log.
void ExpectLaunchServed(const Program &program, const std::string &shell, Tree &tree, const Strings &options,
                        const Strings &env)
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
