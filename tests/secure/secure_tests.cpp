// The opt-in connection security: key texts and files as the agent and the library
// read them, the takeover of a launch, probes, deadlines, crowds, socket activation, quoting.
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/authkey.h"
#include "tests/agent_process.h"
#include <hostlink/auth.h>
#include <hostlink/calls.h>

namespace fs = std::filesystem;
using hostlink::LinkError;

namespace {

const std::string kKey = authkey::TEST_KEY;

std::string Await(const std::string &path, const std::string &text)
{
    std::string got;
    WaitUntil([&] { return (got = ReadFile(path)).find(text) != std::string::npos; });
    return got;
}

// The remote shell keeps args and launch key; twenty idle connections, a keyless and a wrong key come first.
TEST(Takeover, IntrudersAndIdleConnectionsDoNotKeepTheRealClientOut)
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
    std::vector<Link> idle; // admitted one after another, they would keep the client out
    for (int i = 0; i < 20; i++)
        idle.push_back(Link::connect("127.0.0.1", port));
    auto keyless = Dial(port), wrong = Dial(port);
    EXPECT_THROW(hostlink::forkNExec(keyless, "/bin/true", {"true"}), LinkError);
    EXPECT_THROW(hostlink::authenticate(wrong, *hostlink::parseKey(std::string(64, '7'))), LinkError);
    int in = open((s / "stdin").c_str(), O_RDONLY);
    auto key = hostlink::readLaunchKey(in, 1);
    close(in);
    ASSERT_TRUE(key.has_value());
    auto link = Dial(port);
    hostlink::authenticate(link, *key);
    EXPECT_EQ(hostlink::getpid(link), agent.pid);
    EXPECT_EQ(agent.Stderr().find("no connection request in time"), std::string::npos) << agent.Stderr();
    idle.clear();
    link.close();
    EXPECT_EQ(agent.Wait(10), 0);
    EXPECT_NE(agent.Stderr().find("Connection refused: the first request is not the authentication exchange.\n"), std::string::npos);
}

// Probes of a daemon with a key file are refused and the right client served, until it idles.
TEST(Daemon, ProbesRefusedSilentAndIdleConnectionsDropped)
{
    Scratch s;
    std::string keyFile = s.Put("key", kKey + "\n");
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"xt.term", "-d", "-k" + keyFile, "-I1", "--"}));
    {
        EXPECT_TRUE(agent.Connect().atEof()); // silent
        auto http = agent.Connect();
        http.sendRaw("GET / HTTP/1.0\r\n\r\n");
        EXPECT_TRUE(http.atEof());
    }
    auto link = Dial(agent.port, "127.0.0.1", true); // of the other byte order
    hostlink::authenticate(link, hostlink::loadKeyFile(keyFile));
    EXPECT_EQ(hostlink::getuid(link), static_cast<int>(getuid()));
    EXPECT_TRUE(link.atEof());
    EXPECT_EQ(agent.Wait(10), 0);
    EXPECT_NE(agent.Stderr().find("No request for 1 seconds: connection closed.\n"), std::string::npos);
}

TEST(SocketActivation, TwoClientsAtOnceEachServedByItsOwnAgent)
{
    if (access("/usr/bin/systemd-socket-activate", X_OK) != 0)
        GTEST_SKIP() << "systemd-socket-activate (package systemd) is not installed";
    Agent manager; // the harness's process, running another program
    manager.program = "/usr/bin/systemd-socket-activate";
    std::string key = manager.dir.Put("key", kKey);
    int port = -1;
    for (int attempt = 0; attempt < 5 && !manager.Running(); attempt++) {
        close(Listen(&port)); // a port free a moment ago
        manager.Start({"systemd-socket-activate", "--accept", "--inetd", "-l", Fmt("127.0.0.1:%d", port), AGENT_PATH, "-i",
                       "-k" + key, "--"}, {}, false);
        WaitUntil([&] { return manager.Err().find("Listening on") != std::string::npos || !manager.Running(); });
    }
    ASSERT_TRUE(manager.Running()) << manager.Err();
    hostlink::Link first = Dial(port), second = Dial(port);
    for (hostlink::Link *link : {&first, &second})
        hostlink::authenticate(*link, *hostlink::parseKey(kKey));
    EXPECT_NE(hostlink::getpid(first), hostlink::getpid(second)); // each served by an agent of its own
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

TEST(KeyText, OneParserForFilesAndLaunchLines)
{
    for (auto [text, ok] : std::vector<std::pair<std::string, bool>>{
             {kKey, true}, {kKey + "\n", true}, {kKey + " \t\r\n\n", true},
             {"00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff", true}, {kKey.substr(0, 63), false},
             {kKey + "0", false}, {" " + kKey, false}, {kKey + std::string("\0garbage", 8), false},
             {kKey + std::string(1, '\0'), false}, {"0x" + kKey.substr(2), false}}) {
        unsigned char key[authkey::KEY_BYTES] = {};
        EXPECT_EQ(authkey::ParseKeyText(text.data(), text.size(), key), ok) << text;
        EXPECT_EQ(hostlink::parseKey(text).has_value(), ok) << text;
        EXPECT_EQ(key[1], ok ? 0x11 : key[1]);
    }
}

// Agent (-d -kFILE) and library accept or refuse each file alike; a FIFO makes neither wait.
TEST(KeyFile, AgentAndLibraryAgreeOnEveryFile)
{
    if (!hostlink::authenticationAvailable())
        GTEST_SKIP() << "built without libsodium";
    Scratch s;
    struct Row { std::string name, text; mode_t mode; const char *reason; }; // reason null: accepted
    std::vector<Row> rows = {
        {"good", kKey + "\n", 0600, nullptr}, {"padded", kKey + std::string(authkey::KEY_FILE_MAX_BYTES, ' '), 0600, "holds no key"},
        {"nul", kKey + std::string("\0garbage", 8), 0600, "holds no key"}, {"short", "abc", 0600, "holds no key"},
        {"open", kKey, 0640, "group or others have access"}, {"fifo", "", 0600, "not a regular file"},
        {"missing", "", 0600, "No such file"}};
    if (geteuid() == 0)
        rows.push_back({"foreign", kKey, 0600, "owned by another user"});
    for (const Row &r : rows) {
        std::string path = s / r.name;
        if (r.name == "fifo")
            ASSERT_EQ(mkfifo(path.c_str(), r.mode), 0);
        else if (r.name != "missing")
            WriteFile(path, r.text, r.mode);
        ASSERT_TRUE(r.name != "foreign" || chown(path.c_str(), 65534, 65534) == 0);
        std::string libraryError;
        try {
            hostlink::loadKeyFile(path);
        } catch (const hostlink::LinkError &e) {
            libraryError = e.what();
        }
        Agent agent;
        agent.Start({"xt.term", "-d", "-k" + path, "--"}, {}, r.reason == nullptr);
        if (!r.reason) {
            EXPECT_EQ(libraryError, "") << r.name;
            EXPECT_TRUE(agent.Running()) << r.name << agent.Err();
            continue;
        }
        EXPECT_EQ(agent.Wait(10), 1) << r.name;
        EXPECT_NE(agent.Err().find(r.reason), std::string::npos) << r.name << ": " << agent.Err();
        EXPECT_NE(libraryError.find(r.reason), std::string::npos) << r.name << ": " << libraryError;
    }
}

TEST(Crowd, TwentyIdleConnectionsDoNotKeepTheKeyHolderOut)
{
    if (!hostlink::authenticationAvailable())
        GTEST_SKIP() << "built without libsodium";
    for (bool multi : {false, true}) {
        Agent agent;
        std::string key = agent.dir.Put("key", authkey::TEST_KEY);
        agent.Start({"xt.term", "-d", multi ? "-m" : "-d", "-k" + key, "--"});
        std::vector<Link> idle;
        for (int i = 0; i < 20; i++)
            idle.push_back(Link::connect("127.0.0.1", agent.port));
        // Served within the link's ten seconds: the idle ones one after another would take a hundred.
        Link holder = agent.Open();
        hostlink::authenticate(holder, *hostlink::parseKey(authkey::TEST_KEY));
        EXPECT_EQ(hostlink::getuid(holder), static_cast<int32_t>(getuid())) << multi;
        if (multi) { // a keyless client refused while the key holder is still served
            Link keyless = agent.Open(true);
            EXPECT_THROW(hostlink::getuid(keyless), LinkError);
            EXPECT_NE(agent.Err().find("the first request is not the authentication exchange"), std::string::npos);
        }
        EXPECT_EQ(agent.Err().find("no connection request in time"), std::string::npos) << multi << agent.Err();
        EXPECT_NE(agent.Err().find("too many connections waiting"), std::string::npos) << multi << agent.Err();
        idle.clear();
        holder.close();
        if (multi)
            Signal(agent.pid, SIGTERM);
        EXPECT_EQ(agent.Wait(10), 0) << multi << agent.Err();
    }
}

// A client that reads none of its replies: its server ends after -I seconds blocked in a write.
TEST(Crowd, ClientThatNeverReadsIsDropped)
{
    Agent agent;
    agent.Start({"xt.term", "-d", "-m", "-I1", "--"});
    Link link = agent.Connect();
    int small = 4096;
    setsockopt(link.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    link.handshake(1);
    int32_t fd = hostlink::open(link, "/dev/zero", O_RDONLY);
    ASSERT_GE(fd, 0);
    try {
        for (int i = 0; i < 2000; i++)
            link.send(hostlink::Request(CALL_READ).word(fd).word(MAX_DATA));
    } catch (const LinkError &) { // the agent has already gone from this connection
    }
    EXPECT_TRUE(WaitUntil([&] { return agent.Err().find("Write failure") != std::string::npos; })) << agent.Err();
    Link next = agent.Open();
    EXPECT_GT(hostlink::getpid(next), 0);
    next.close();
    Signal(agent.pid, SIGTERM);
    EXPECT_EQ(agent.Wait(10), 0) << agent.Err();
}

} // namespace
