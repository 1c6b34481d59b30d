// The opt-in connection security against the real agent over loopback: the takeover of a launch
// by another local user, probes of a daemon with a key file, deadlines, socket activation
// through systemd-socket-activate, and quoting through loopsh.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/authkey.h"
#include "common/settings.h"
#include "launcher/launcher.h"
#include "tests/agent_process.h"
#include <hostlink/auth.h>
#include <hostlink/calls.h>

namespace fs = std::filesystem;
using hostlink::LinkError;

namespace {

const std::string kKeyHex = authkey::TEST_KEY;

std::string Await(const std::string &path, const std::string &text)
{
    std::string got;
    WaitUntil([&] { return (got = ReadFile(path)).find(text) != std::string::npos; });
    return got;
}

TEST(Options, NewLettersLeaveEveryExistingOptionAlone)
{
    Settings saved = settings;
    std::vector<std::string> args = {"xt.term", "-a", "-i", "-q", "-kK", "-l127.0.0.1", "-I7", "-help", "-r-a", "-c-q"};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    ProcessArgs(static_cast<int>(argv.size()), argv.data());
    EXPECT_TRUE(settings.auth && settings.inetd && settings.quoteArgs && settings.idleLimit == 7);
    EXPECT_STREQ(settings.keyFile, "K");
    EXPECT_STREQ(settings.listenAddress, "127.0.0.1");
    EXPECT_STREQ(settings.terminalName, "elp");
    EXPECT_STREQ(settings.remote_shell_commands[0], "-a");
    EXPECT_STREQ(settings.termCmd, "-q");
    settings = saved;
    for (const char *bad : {"-ax", "-I", "-I-1", "-iq"}) {
        char *v[] = {args[0].data(), const_cast<char *>(bad), nullptr};
        EXPECT_EXIT(ProcessArgs(2, v), testing::ExitedWithCode(1), "usage") << bad;
    }
    for (auto [in, out] : std::vector<std::pair<const char *, const char *>>{
             {"", "''"}, {"a b", "'a b'"}, {"it's", "'it'\\''s'"}, {"''", "''\\'''\\'''"}}) {
        char *q = QuoteArg(in);
        EXPECT_STREQ(q, out);
        free(q);
    }
}

// The remote shell records its arguments and keeps its standard input (the launch key) for the
// test, which then plays the intruders and the real client itself.
TEST(Takeover, IntruderOfAnotherUidIsRefusedAndTheRealClientServed)
{
    Scratch s;
    fs::create_directories(s / "bin");
    s.Put("bin/rsh", "#!/bin/sh\ncat >" + (s / "stdin") + "\necho \"$@\" >" + (s / "args.tmp") + "\nmv " +
                         (s / "args.tmp") + " " + (s / "args") + "\n", 0755);
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"xt.term", "-a", "-h127.0.0.1", "-t20", "--", "x"},
                            {"PATH=" + (s / "bin") + ":/usr/bin:/bin"}, false));
    std::string args = Await(s / "args", "\n");
    int port = 0;
    ASSERT_EQ(sscanf(args.c_str(), "127.0.0.1 term -peer %d x", &port), 1) << args << agent.Stderr();
    std::string stdinText = ReadFile(s / "stdin");
    EXPECT_EQ(stdinText.size(), 14 + 64 + 1u);
    EXPECT_EQ(args.find(stdinText.substr(14, 64)), std::string::npos); // not on the command line

    for (bool withKey : {false, true}) {
        pid_t intruder = fork();
        if (intruder == 0) {
            if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(3);
            try {
                auto link = Dial(port);
                if (withKey)
                    hostlink::authenticate(link, *hostlink::parseKey(kKeyHex));
                hostlink::forkNExec(link, "/bin/true", {"true"});
            } catch (const LinkError &) {
                _exit(0);
            }
            _exit(2);
        }
        int status = -1;
        waitpid(intruder, &status, 0);
        EXPECT_EQ(status, 0) << "intruder with a wrong key: " << withKey;
    }
    int in = open((s / "stdin").c_str(), O_RDONLY);
    auto key = hostlink::readLaunchKey(in, 1);
    close(in);
    ASSERT_TRUE(key.has_value());
    auto link = Dial(port);
    hostlink::authenticate(link, *key);
    EXPECT_EQ(hostlink::getpid(link), agent.pid);
    link.close();
    EXPECT_EQ(agent.Wait(10), 0);
    EXPECT_NE(agent.Stderr().find("Connection refused: the first request is not the authentication exchange.\n"),
              std::string::npos)
        << agent.Stderr();
}

TEST(Daemon, KeyFileProbesAreRefusedAndTheNextRightClientServed)
{
    Scratch s;
    std::string keyFile = s.Put("key", kKeyHex + "\n");
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"xt.term", "-d", "-k" + keyFile, "--"}));
    {
        auto keyless = Dial(agent.port, "127.0.0.2"); // without -l, every loopback address
        EXPECT_THROW(hostlink::getuid(keyless), LinkError);
        auto http = agent.Connect();
        http.sendRaw("GET / HTTP/1.0\r\n\r\n");
        EXPECT_TRUE(http.atEof());
        auto wrong = Dial(agent.port);
        EXPECT_THROW(hostlink::authenticate(wrong, *hostlink::parseKey(std::string(64, '7'))), LinkError);
    }
    EXPECT_TRUE(agent.Running());
    auto link = Dial(agent.port, "127.0.0.1", true); // of the other byte order
    hostlink::authenticate(link, hostlink::loadKeyFile(keyFile));
    EXPECT_EQ(hostlink::getuid(link), static_cast<int>(getuid()));
}

TEST(Deadlines, SilentAndIdleConnectionsAreDropped)
{
    Scratch s;
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"xt.term", "-d", "-k" + s.Put("key", kKeyHex), "-I1", "--"}));
    auto silent = agent.Connect();
    EXPECT_TRUE(silent.atEof());
    auto link = Dial(agent.port);
    hostlink::authenticate(link, *hostlink::parseKey(kKeyHex));
    EXPECT_TRUE(link.atEof());
    EXPECT_EQ(agent.Wait(10), 0);
    EXPECT_NE(agent.Stderr().find("No request for 1 seconds: connection closed.\n"), std::string::npos);
}

TEST(SocketActivation, EightClientsAtOnceEachServedByItsOwnAgent)
{
    if (access("/usr/bin/systemd-socket-activate", X_OK) != 0)
        GTEST_SKIP() << "systemd-socket-activate (package systemd) is not installed";
    Scratch s;
    std::string key = s.Put("key", kKeyHex);
    pid_t manager = -1;
    int port = -1;
    for (int attempt = 0; attempt < 5 && manager < 0; attempt++) {
        close(Listen(&port)); // a port free a moment ago
        manager = fork();
        if (manager == 0) {
            int err = open((s / "manager").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, 2);
            execl("/usr/bin/systemd-socket-activate", "systemd-socket-activate", "--accept", "--inetd", "-l",
                  ("127.0.0.1:" + std::to_string(port)).c_str(), AGENT_PATH, "-i", ("-k" + key).c_str(), "--",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        std::string log = Await(s / "manager", "Listening on");
        if (log.find("Listening on") == std::string::npos) {
            kill(manager, SIGKILL);
            waitpid(manager, nullptr, 0);
            manager = -1;
        }
    }
    ASSERT_GT(manager, 0) << ReadFile(s / "manager");
    {
        std::vector<hostlink::Link> links;
        for (int i = 0; i < 8; i++) {
            links.push_back(Dial(port));
            hostlink::authenticate(links.back(), *hostlink::parseKey(kKeyHex));
        }
        std::set<int> agents;
        for (auto &link : links)
            agents.insert(hostlink::getpid(link));
        EXPECT_EQ(agents.size(), 8u);
    }
    kill(manager, SIGTERM);
    waitpid(manager, nullptr, 0);
}

TEST(Quoting, EveryMetacharacterReachesTheClientThroughLoopshVerbatim)
{
    Scratch s;
    std::vector<std::string> args = {"$(touch " + (s / "ran)"), "`touch " + (s / "ran`"), "a b\tc", "*", "?",
                                     "<x", ">" + (s / "ran"), "|", "&", ";", "'", "\"", "\\", "~", "#", "!",
                                     "[a]", "{b,c}", "(d)", "$HOME", "%", "line\nbreak", ""};
    std::vector<std::string> argv = {"xt.termclient", "-a", "-q", "-rloopsh", "-h127.0.0.1", "-t10", "--"};
    argv.insert(argv.end(), args.begin(), args.end());
    AgentProcess agent;
    std::string path = fs::path(LOOPSH_PATH).parent_path().string() + ":" +
                       fs::path(TERMCLIENT_PATH).parent_path().string() + ":/usr/bin:/bin";
    ASSERT_TRUE(agent.Start(argv, {"PATH=" + path, "HOSTAGENT_LOG=" + (s / "log")}, false));
    EXPECT_EQ(agent.Wait(20), 0) << agent.Stderr();
    std::string log = Await(s / "log", "connection closed\n");
    EXPECT_NE(log.find("authenticated: the agent holds the key\n"), std::string::npos) << log;
    EXPECT_NE(log.find("with " + std::to_string(args.size()) + " argument(s)\n"), std::string::npos) << log;
    for (size_t i = 0; i < args.size(); i++)
        EXPECT_NE(log.find("arg " + std::to_string(i + 1) + ": " + args[i] + "\n"), std::string::npos) << args[i];
    EXPECT_FALSE(fs::exists(s / "ran"));
}

} // namespace
