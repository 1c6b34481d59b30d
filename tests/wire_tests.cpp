// The real agent in daemon mode over loopback: handshake, framing, failures, fall-back.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "client/hostlink.h"
#include "tests/agent_process.h"

using hostlink::Link;
using hostlink::Request;

namespace {

std::string Header(int len, int call, bool swapped = false)
{
    std::string h(4, '\0');
    h[swapped ? 1 : 0] = static_cast<char>(len & 0xff);
    h[swapped ? 0 : 1] = static_cast<char>(len >> 8);
    h[2] = static_cast<char>(call);
    return h;
}

class ByteOrder : public testing::TestWithParam<bool> {};

TEST_P(ByteOrder, HandshakeAnswersNonceAndWraps)
{
    Daemon d(true);
    Link link = d.Connect(GetParam());
    EXPECT_EQ(link.handshake(41), 42u);
    EXPECT_EQ(link.handshake(0xffffffffu), 0u); // a later connection request is answered again
    Request bad(4);
    link.send(bad);
    EXPECT_TRUE(link.atEof());
    EXPECT_EQ(d.agent.Wait(), 1);
    std::string err = d.agent.Stderr();
    EXPECT_NE(err.find("Accepted connection from peer.\n"), std::string::npos);
    EXPECT_NE(err.find("Request: Connection\n"), std::string::npos);
    EXPECT_EQ(err.find("Swapping the requests\n") != std::string::npos, GetParam());
    EXPECT_NE(err.find("Unknown function call 4\n"), std::string::npos);
}

TEST_P(ByteOrder, RawReplyBytesAreInTheClientsOrder)
{
    Daemon d;
    Link link = d.Connect(GetParam());
    link.send(Request(0).word(static_cast<int32_t>(hostlink::kMagic)).word(1).word(7));
    auto r = link.receive();
    ASSERT_EQ(r.raw.size(), 16u);
    const char *expectMagic = GetParam() ? "\x2e\xd7\x6d\x19" : "\x19\x6d\xd7\x2e";
    EXPECT_EQ(r.raw.substr(4, 4), std::string(expectMagic, 4));
    EXPECT_EQ(r.raw[2], 0);
    EXPECT_EQ(r.raw[3], 0);
    EXPECT_EQ(r.word(3), 8);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, ByteOrder, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &p) { return p.param ? "Swapped" : "Native"; });

struct FailureCase {
    const char *name;
    std::string bytes;
    int status;
    const char *message;
};

std::string Hello(uint32_t magic = hostlink::kMagic, int version = 1, int len = 16)
{
    std::string m = Header(len, 0);
    m.append(reinterpret_cast<const char *>(&magic), 4);
    m.append(reinterpret_cast<const char *>(&version), 4);
    m.append(4, '\0');
    return m;
}

TEST(Service, FailureRows)
{
    const std::string ok = Hello();
    std::vector<FailureCase> cases = {
        {"short connection request", ok.substr(0, 10), 1, "Connection length incorrect.\n"},
        {"wrong version", Hello(hostlink::kMagic, 2), 1, "Connection failed, unknown protocol\n"},
        {"wrong length", Hello(hostlink::kMagic, 1, 20), 1, "Connection failed, unknown protocol\n"},
        {"wrong magic", Hello(0x12345678), 1, "Connection failed, unknown protocol\n"},
        {"call 48", ok + Header(4, 48), 1, "Unknown function call 48\n"},
        {"call 255", ok + Header(8, 255) + "abcd", 1, "Unknown function call 255\n"},
        {"eof at a boundary", ok, 0, "EOF\n"},
        {"header cut", ok + Header(4, 46).substr(0, 2), 1, "Trouble reading request\n"},
        {"body cut", ok + Header(12, 2) + "ab", 1, "Trouble reading request\n"},
        {"length above the buffer", ok + Header(65535, 3) + std::string(100, 'x'), 1, "Trouble reading request\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Daemon d(true);
        {
            Link link = d.Connect();
            link.sendRaw(c.bytes);
            shutdown(link.fd(), SHUT_WR);
            std::string got;
            char buf[64];
            ssize_t n;
            while ((n = read(link.fd(), buf, sizeof buf)) > 0)
                got.append(buf, static_cast<size_t>(n));
            if (c.status == 0) {
                EXPECT_EQ(got.size(), 16u);
            } else if (c.bytes.size() < 16 || c.bytes.substr(0, 16) != ok) {
                EXPECT_EQ(got, ""); // no reply to a failed connection request
            }
        }
        EXPECT_EQ(d.agent.Wait(), c.status);
        EXPECT_NE(d.agent.Stderr().find(c.message), std::string::npos) << d.agent.Stderr();
    }
}

TEST(Service, QuietWithoutVerbose)
{
    Daemon d;
    {
        Link link = d.Connect();
        link.sendRaw(Hello().substr(0, 10));
    }
    EXPECT_EQ(d.agent.Wait(), 1);
    EXPECT_EQ(d.agent.Stderr(), "");
}

TEST(Service, HeaderOnlyRequestsReadNothingMore)
{
    Daemon d(true);
    Link link = d.Connect();
    link.handshake(1);
    // A length of 0 to 4 means a header alone: it is dispatched without waiting for more.
    link.sendRaw(Header(2, 48));
    EXPECT_TRUE(link.atEof());
    EXPECT_EQ(d.agent.Wait(), 1);
    EXPECT_NE(d.agent.Stderr().find("Unknown function call 48\n"), std::string::npos);
}

TEST(Daemon, ConnectionClosedBeforeFirstByteIsFollowedByAnother)
{
    Daemon d(true);
    { Link first = d.Connect(); }
    Link second = d.Connect(true);
    EXPECT_EQ(second.handshake(9), 10u);
    second.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    std::string err = d.agent.Stderr();
    EXPECT_NE(err.find("EOF\n"), std::string::npos);
    EXPECT_EQ(std::string(d.agent.Stdout()).rfind("port = ", 0), 0u);
    EXPECT_EQ(d.agent.Stdout().find('\n'), d.agent.Stdout().size() - 1);
}

TEST(Daemon, TraceLinesCarryTheElapsedTime)
{
    Daemon d(true);
    Link link = d.Connect();
    link.handshake(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    link.handshake(2);
    link.close();
    EXPECT_EQ(d.agent.Wait(), 0);
    std::string err = d.agent.Stderr();
    // The first request is traced right after the start, the second about half a second later.
    size_t first = err.find(" Request: Connection\n");
    ASSERT_NE(first, std::string::npos) << err;
    size_t second = err.find(" Request: Connection\n", first + 1);
    ASSERT_NE(second, std::string::npos) << err;
    size_t lineStart = err.rfind('\n', second) + 1;
    double t = std::stod(err.substr(lineStart, second - lineStart));
    EXPECT_GE(t, 0.5);
    EXPECT_LT(t, 5.0);
}

TEST(CommandLine, UsageAndExitStatus)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {"xt.term", "-t", "--"}, {"xt.term", "--", "-v", "--"}, {"xt.term", "-t99999999999", "--"},
             {"xt.term", "-xy", "--"}}) {
        AgentProcess a;
        ASSERT_TRUE(a.Start(args, {}, false));
        EXPECT_EQ(a.Wait(), 1);
        EXPECT_EQ(a.Stderr(), "usage: xt.term [ [-fs] [-nfs] [-v] [-d] [-r<remsh>] [-p<path>]\n\t[-t<timeout>] "
                              "[-c<command>] -- ] ....\n");
    }
}

} // namespace
