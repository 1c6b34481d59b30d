// The one connect: the shared command line, where the key comes from, and what each way of
// failing tells the user, against fake agents and the real one with and without a key.
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <hostlink/hostlink.h>

#include "common/authkey.h"
#include "tests/agent_process.h"
#include "tests/lib/fake_agent.h"

namespace {

using Kind = hostlink::LinkError::Kind;

const std::string kKeyHex = authkey::TEST_KEY;
const std::string kOtherHex = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

hostlink::ClientArgs Parse(std::vector<std::string> words)
{
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    hostlink::ClientArgs args;
    int argc = static_cast<int>(argv.size());
    for (int i = 0; i < argc;) {
        int n = args.take(argc, argv.data(), i);
        if (n == 0)
            throw hostlink::UsageError("not taken: " + words[static_cast<size_t>(i)]);
        i += n;
    }
    return args;
}

// The LinkError a connect raises: its kind and message, or kind -1 when it connected.
std::pair<int, std::string> Failure(const hostlink::ClientArgs &args, double connectSeconds = 2)
{
    hostlink::ConnectOptions how;
    how.connectSeconds = connectSeconds;
    try {
        hostlink::connectClient(args, how);
        return {-1, ""};
    } catch (const hostlink::LinkError &e) {
        return {static_cast<int>(e.kind()), e.what()};
    }
}

TEST(ClientArgs, SharedCommandLine)
{
    struct Row {
        std::vector<std::string> words;
        const char *host;
        int port;
        bool peer, swapped;
        const char *keyFile;
    };
    const std::vector<Row> rows = {
        {{"127.0.0.1:80"}, "127.0.0.1", 80, false, false, ""},
        {{"[::1]:7", "-swapped"}, "::1", 7, false, true, ""},
        {{"-peer", "4000", "--key", "k"}, "", 4000, true, false, "k"},
        {{"--key=k2", "localhost:9"}, "localhost", 9, false, false, "k2"},
        {{"-keyfile", "k3", "-peer", "1"}, "", 1, true, false, "k3"},
        {{"localhost:65535"}, "localhost", 65535, false, false, ""},
    };
    for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
             {"-peer", "0"}, {"-peer", "65536"}, {"-peer"}, {"--key"}, {"--key="}, {"::1:80"}, {"host:0"}, {"host:65536"},
             {"host:"}, {":80"}, {"host:8x"}, {"host"}, {"a:1", "b:2"}, {"-peer", "5", "a:1"}, {"-x"}}) // -x: the tool's
        EXPECT_THROW(Parse(bad), hostlink::UsageError) << bad[0] << " " << bad.size();
    for (const Row &row : rows) {
        const std::string &line = row.words[0]; // each row's own
        auto args = Parse(row.words);
        EXPECT_EQ(args.where.host, row.host) << line;
        EXPECT_EQ(args.where.port, row.port) << line;
        EXPECT_EQ(args.peer, row.peer) << line;
        EXPECT_EQ(args.swapped, row.swapped) << line;
        EXPECT_EQ(args.keyFile, row.keyFile) << line;
    }
}

// The launch key line first (only as the agent's terminal client), then --key, then
// $HOSTAGENT_KEYFILE.
TEST(ClientArgs, KeyIsSearchedInItsDocumentedOrder)
{
    Scratch d;
    std::string named = d.Put("named", kKeyHex + "\n"), env = d.Put("env", kOtherHex);
    std::string keyBytes = *hostlink::parseKey(kKeyHex), otherBytes = *hostlink::parseKey(kOtherHex);
    EnvVar var("HOSTAGENT_KEYFILE", env.c_str());
    struct Row {
        bool peer;
        const char *stdinText; // nullptr: /dev/null
        std::string keyFile;
        std::string expectKey, expectSource;
    };
    const std::vector<Row> rows = {
        {true, "hostagent-key ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100\n", named,
         otherBytes, "the launch key line"},
        {false, "hostagent-key ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100\n", named, keyBytes,
         "--key " + named},
        {true, nullptr, named, keyBytes, "--key " + named},
        {true, "some other line\n", "", otherBytes, "$HOSTAGENT_KEYFILE (" + env + ")"},
    };
    for (const Row &row : rows) {
        hostlink::ClientArgs args;
        args.peer = row.peer;
        args.where.port = 1;
        args.keyFile = row.keyFile;
        int in = open("/dev/null", O_RDONLY);
        if (row.stdinText) {
            close(in);
            int p[2];
            ASSERT_EQ(pipe(p), 0);
            ASSERT_GT(write(p[1], row.stdinText, strlen(row.stdinText)), 0);
            close(p[1]);
            in = p[0];
        }
        args.searchKey(in, 1);
        close(in);
        ASSERT_TRUE(args.key.has_value()) << row.expectSource;
        EXPECT_EQ(args.key->key, row.expectKey) << row.expectSource;
        EXPECT_EQ(args.key->source, row.expectSource);
    }
    // A named key file that cannot be used is an error, not a fall-through to the next place.
    hostlink::ClientArgs args;
    args.keyFile = d / "missing";
    EXPECT_THROW(args.searchKey(-1), hostlink::LinkError);
}

// Each way of failing to reach a host agent, from fake agents on loopback.
TEST(Connect, FailuresSayWhatToDo)
{
    EnvVar var("HOSTAGENT_KEYFILE", nullptr), ssh("SSH_CONNECTION", nullptr), host("HOSTAGENT_HOST", nullptr);
    Scratch d;
    std::string keyFile = d.Put("key", kKeyHex);
    struct Row {
        const char *what;
        FakeAgent::Script script; // nullptr: nothing listens
        bool withKey;
        Kind kind;
        const char *words;
        bool peer = false; // -peer PORT: started by a launching agent
    };
    auto hello = [](const std::string &then) {
        return [then](int n, const std::string &req) { return n == 0 ? FakeHello(req) : then; };
    };
    const std::vector<Row> rows = {
        {"nothing listening", nullptr, false, Kind::Connect, "nothing is listening at 127.0.0.1:"},
        {"another protocol", [](int, const std::string &) { return std::string("HTTP/1.0 400 Bad request\r\n\r\n"); },
         false, Kind::Protocol, "not a host agent"},
        {"closes at once", [](int, const std::string &) { return FakeAgent::kClose; }, false, Kind::Protocol,
         "closed the connection without answering"},
        {"silent: serving another", [](int, const std::string &) { return FakeAgent::kSilence; }, false, Kind::Busy,
         "serving another client"},
        {"silent to a launched client", [](int, const std::string &) { return FakeAgent::kSilence; }, false,
         Kind::Busy, "must leave the remote shell first", true},
        {"wrong nonce",
         [](int, const std::string &) { return FakeReply(0, {static_cast<int32_t>(hostlink::kMagic), 1, 7}); }, false,
         Kind::Protocol, "not a host agent"},
        {"wants a key", hello(FakeAgent::kClose), false, Kind::Auth, "wants a key: name its key file with --key"},
        {"takes no key", hello(FakeAgent::kClose), true, Kind::Auth, "takes no key"},
        {"wrong proof", hello(FakeReply(48, {0, 0}, std::string(64, 'x'))), true, Kind::Auth,
         "does not hold the key from --key"},
    };
    for (const Row &row : rows) {
        hostlink::ClientArgs args;
        args.where = {"127.0.0.1", 0};
        args.peer = row.peer;
        if (row.withKey)
            args.keyFile = keyFile;
        std::unique_ptr<FakeAgent> agent;
        if (row.script) {
            agent = std::make_unique<FakeAgent>(row.script);
            args.where.port = agent->port;
        } else {
            int port, s = Listen(&port);
            close(s);
            args.where.port = port;
        }
        auto [kind, message] = Failure(args, 0.5);
        EXPECT_EQ(kind, static_cast<int>(row.kind)) << row.what << ": " << message;
        EXPECT_NE(message.find(row.words), std::string::npos) << row.what << ": " << message;
    }
}

// The real agent with a key file (a daemon serves one client, so one agent a row): served with
// the right key, each wrong case told apart.
TEST(Connect, RealAgentWithAKeyFile)
{
    if (!hostlink::authenticationAvailable())
        GTEST_SKIP() << "built without libsodium";
    EnvVar var("HOSTAGENT_KEYFILE", nullptr);
    Scratch d;
    std::string key = d.Put("key", kKeyHex), other = d.Put("other", kOtherHex);
    struct Row {
        bool keyedAgent;
        std::string keyFile;
        bool viaEnvironment;
        int kind; // -1: served
        const char *words;
    };
    const std::vector<Row> rows = {
        {true, key, false, -1, ""},
        {true, key, true, -1, ""},
        {true, "", false, static_cast<int>(Kind::Auth), "wants a key"},
        {true, other, false, static_cast<int>(Kind::Auth), "does not hold the key"},
        {false, key, false, static_cast<int>(Kind::Auth), "takes no key"},
        {false, "", false, -1, ""},
    };
    for (const Row &row : rows) {
        AgentProcess agent;
        ASSERT_TRUE(row.keyedAgent ? agent.Start({"xt.term", "-d", "-x", "-k" + key, "--"})
                                   : agent.Start({"xt.term", "-d", "--"}));
        hostlink::ClientArgs args;
        args.where = {"127.0.0.1", agent.port};
        EnvVar env("HOSTAGENT_KEYFILE", row.viaEnvironment ? row.keyFile.c_str() : nullptr);
        if (!row.viaEnvironment)
            args.keyFile = row.keyFile;
        auto [kind, message] = Failure(args);
        EXPECT_EQ(kind, row.kind) << row.keyFile << ": " << message;
        EXPECT_NE(message.find(row.words), std::string::npos) << message;
    }
    // Served: authenticated, with the extensions it offers, and answering calls.
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"xt.term", "-d", "-x", "-k" + key, "--"}));
    hostlink::ClientArgs args;
    args.where = {"127.0.0.1", agent.port};
    args.keyFile = key;
    hostlink::Connected c = hostlink::connectClient(args);
    EXPECT_TRUE(c.authenticated);
    EXPECT_TRUE(c.extensions);
    int pid = hostlink::getpid(c.link);
    EXPECT_GT(pid, 0);
    // The connected socket handed on (as to a child): adopted, it goes on where it was.
    hostlink::Link adopted = hostlink::Link::adopt(dup(c.link.fd()), c.link.swapped());
    c.link.close();
    adopted.setTimeout(10);
    EXPECT_EQ(hostlink::getpid(adopted), pid);
}

} // namespace
