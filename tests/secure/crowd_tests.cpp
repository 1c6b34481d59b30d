// The agent in daemon mode under a crowd, against the real binary over loopback: idle
// connections wait out their deadlines side by side while the key holder gets in, and a client
// that stops reading its replies is dropped instead of holding the agent.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "common/authkey.h"
#include "tests/harness.h"
#include <hostlink/auth.h>
#include <hostlink/calls.h>

namespace {

using hostlink::LinkError;

TEST(Crowd, TwentyIdleConnectionsDoNotKeepTheKeyHolderOut)
{
    if (!hostlink::authenticationAvailable())
        GTEST_SKIP() << "built without libsodium";
    for (bool multi : {false, true}) {
        Agent agent;
        std::string key = agent.dir.Put("key", authkey::TEST_KEY);
        std::vector<std::string> argv = {"xt.term", "-d", "-k" + key, "--"};
        if (multi)
            argv.insert(argv.begin() + 1, "-m");
        agent.Start(argv);
        std::vector<Link> idle;
        for (int i = 0; i < 20; i++)
            idle.push_back(Link::connect("127.0.0.1", agent.port));
        // Served while every idle connection is still short of its five-second deadline: the
        // link waits at most ten seconds, the idle ones one after another would take a hundred.
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
            kill(agent.pid, SIGTERM);
        EXPECT_EQ(agent.Wait(10), 0) << multi << agent.Err();
    }
}

// The launch under -a: the remote shell keeps the launch key and the port for the test, which
// opens twenty idle connections from the terminal's address before it connects as the client.
TEST(Crowd, LaunchAdmitsTheClientPastTwentyIdleConnections)
{
    if (!hostlink::authenticationAvailable())
        GTEST_SKIP() << "built without libsodium";
    Agent agent;
    std::string bin = agent.dir / "bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0700), 0);
    WriteFile(bin + "/rsh", "#!/bin/sh\ncat >" + (agent.dir / "stdin") + "\necho \"$4\" >" + (agent.dir / "port.tmp") +
                                "\nmv " + (agent.dir / "port.tmp") + " " + (agent.dir / "port") + "\n",
              0755);
    agent.Start({"xt.term", "-a", "-h127.0.0.1", "-t20", "-nfs", "--"}, {"PATH=" + bin + ":/usr/bin:/bin"}, false);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(agent.dir / "port").find('\n') != std::string::npos; }));
    int port = std::stoi(ReadFile(agent.dir / "port"));
    auto key = hostlink::parseKey(ReadFile(agent.dir / "stdin").substr(authkey::KEY_LINE_PREFIX_LENGTH));
    ASSERT_TRUE(key.has_value());
    std::vector<Link> idle;
    for (int i = 0; i < 20; i++)
        idle.push_back(Link::connect("127.0.0.1", port));
    Link client = Dial(port);
    hostlink::authenticate(client, *key);
    EXPECT_EQ(hostlink::getpid(client), agent.pid);
    EXPECT_EQ(agent.Err().find("no connection request in time"), std::string::npos) << agent.Err();
    idle.clear();
    client.close();
    EXPECT_EQ(agent.Wait(10), 0) << agent.Err();
}

// The client asks for far more than the socket buffers hold and reads none of it: its server
// ends after the -I time spent blocked in a write, and the listener serves the next client.
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
    } catch (const LinkError &) {
        // the agent has already gone from this connection
    }
    EXPECT_TRUE(WaitUntil([&] { return agent.Err().find("Write failure") != std::string::npos; })) << agent.Err();
    Link next = agent.Open();
    EXPECT_GT(hostlink::getpid(next), 0);
    link.close();
    next.close();
    kill(agent.pid, SIGTERM);
    EXPECT_EQ(agent.Wait(10), 0) << agent.Err();
}

} // namespace
