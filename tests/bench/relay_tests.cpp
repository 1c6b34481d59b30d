// delayrelay and tcpexec as the benchmarks use them: the real binaries on loopback sockets.
#include <chrono>
#include <csignal>
#include <sys/socket.h>
#include <thread>

#include "tests/harness.h"

namespace {

struct Tool : Agent { // a program of the test's, ended by its pid; with daemon, its port is read
    Tool(const char *path, std::vector<std::string> args, bool daemon = true)
    {
        program = path;
        args.insert(args.begin(), path);
        Start(args, {}, daemon);
    }
};

// data written to port and its end, in a thread, while the answer is read back (each wait bounded).
std::string Echoed(int port, const std::string &data)
{
    Link link = Dial(port, "127.0.0.1", false, false);
    timeval t = {10, 0};
    for (int option : {SO_SNDTIMEO, SO_RCVTIMEO})
        setsockopt(link.fd(), SOL_SOCKET, option, &t, sizeof t);
    std::thread writer([&] {
        for (ssize_t off = 0, n = 1; off < static_cast<ssize_t>(data.size()) && n > 0; off += n)
            n = write(link.fd(), data.data() + off, data.size() - static_cast<size_t>(off));
        shutdown(link.fd(), SHUT_WR);
    });
    std::string back;
    char buf[65536];
    for (ssize_t n = 1; n > 0 && back.size() < data.size() + sizeof buf;)
        if ((n = recv(link.fd(), buf, sizeof buf, 0)) > 0)
            back.append(buf, static_cast<size_t>(n));
    writer.join();
    return back;
}

// Each direction held its delay; a stream larger than the sockets' buffers and its end carried
// intact both ways, also on standard streams (-s); SIGTERM ends both programs with 0.
TEST(DelayRelay, DelaysAndCarriesStreamsIntact)
{
    Tool echo(TCPEXEC_PATH, {"-t", "60", "/bin/cat"});
    Tool relay(RELAY_PATH, {"-t", "60", "-d", "30", "127.0.0.1:" + std::to_string(echo.port)});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Echoed(relay.port, "ping"), "ping");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(60));
    std::string data(8 << 20, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>(i * 2654435761u >> 11); // no byte value favoured
    EXPECT_TRUE(Echoed(relay.port, data) == data);
    data.resize(1 << 20);
    Tool piped("/bin/sh", {"-c", "exec \"$0\" -s -d 5 127.0.0.1:$1 < \"$2\" > \"$3\"", RELAY_PATH,
                           std::to_string(echo.port), relay.dir.Put("in", data), relay.dir / "out"}, false);
    EXPECT_EQ(piped.Wait(30), 0) << piped.Err();
    EXPECT_TRUE(ReadFile(relay.dir / "out") == data);
    Link held = Dial(relay.port, "127.0.0.1", false, false); // a connection it holds does not keep it
    for (Tool *t : {&relay, &echo}) {
        ASSERT_TRUE(Signal(t->pid, SIGTERM)); // still running
        EXPECT_EQ(t->Wait(), 0);
    }
}

TEST(TcpExec, HandsTheProgramItsSocketWithNagleOff)
{
    Tool server(TCPEXEC_PATH, {"-t", "60", "/usr/bin/python3", "-c",
                               "import socket; s = socket.socket(fileno=0); "
                               "print(s.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) != 0, flush=True)"});
    EXPECT_EQ(Echoed(server.port, ""), "True\n");
}

TEST(CommandLine, RefusalsEndWithTheUsageStatus)
{
    for (auto [path, args] : std::vector<std::pair<const char *, std::vector<std::string>>>{
             {RELAY_PATH, {"10.0.0.1:22"}}, {RELAY_PATH, {"example.org:22"}}, {RELAY_PATH, {"127.0.0.1:0"}},
             {RELAY_PATH, {"127.0.0.1:70000"}}, {RELAY_PATH, {"-d", "5ms", "127.0.0.1:22"}},
             {RELAY_PATH, {"-b", "0", "127.0.0.1:22"}}, {RELAY_PATH, {}}, {TCPEXEC_PATH, {}},
             {TCPEXEC_PATH, {"-n", "0", "/bin/cat"}}, {TCPEXEC_PATH, {"-t", "x", "/bin/cat"}}})
        EXPECT_EQ(Tool(path, args, false).Wait(), 2) << path << " " << (args.empty() ? "" : args.back());
}

} // namespace
