// delayrelay and tcpexec as the benchmarks use them: the real binaries on loopback sockets.
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A program the test started, ended by its pid when the test is done with it.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1; // its standard input and output, when asked for
    ~Child()
    {
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    int Wait() // exit status, or -1 when it is still running after ten seconds
    {
        for (int i = 0; i < 1000; i++) {
            int st = 0;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            usleep(10000);
        }
        return -1;
    }
};

void Start(Child &c, std::vector<std::string> args, bool pipeIn = false)
{
    int out[2], in[2] = {-1, -1};
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    if (pipeIn) {
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    }
    c.pid = fork();
    if (c.pid == 0) {
        dup2(out[1], 1);
        if (pipeIn)
            dup2(in[0], 0);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    c.out = out[0];
    if (pipeIn) {
        close(in[0]);
        c.in = in[1];
    }
}

// What fd gives until its end, which must come within ten seconds of silence and 64 MiB;
// "(no end)" after what was read when it does not.
std::string ReadAll(int fd)
{
    std::string all;
    char buf[65536];
    while (all.size() < (64u << 20)) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            return all;
        if (n < 0)
            break;
        all.append(buf, static_cast<size_t>(n));
    }
    return all + "(no end)";
}

int PortOf(const Child &c) // from the "port = N" line, within ten seconds
{
    std::string line;
    char ch;
    pollfd p = {c.out, POLLIN, 0};
    while (line.size() < 64 && poll(&p, 1, 10000) > 0 && read(c.out, &ch, 1) == 1 && ch != '\n')
        line += ch;
    return line.rfind("port = ", 0) == 0 ? atoi(line.c_str() + 7) : -1;
}

int Connect(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        close(s);
        return -1;
    }
    return s;
}

void WriteAll(int fd, const std::string &data)
{
    for (size_t off = 0; off < data.size();) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

std::string RandomBytes(size_t n)
{
    std::mt19937 rng(42);
    std::string s(n, '\0');
    for (auto &ch : s)
        ch = static_cast<char>(rng());
    return s;
}

// An echo server: cat on every connection, through the launcher.
int StartEcho(Child &c)
{
    Start(c, {TCPEXEC_PATH, "-t", "60", "/bin/cat"});
    return PortOf(c);
}

TEST(DelayRelay, HoldsEachDirectionItsDelayAndCarriesAStreamIntactBothWays)
{
    Child echo, relay;
    int eport = StartEcho(echo);
    ASSERT_GT(eport, 0);
    Start(relay, {RELAY_PATH, "-t", "60", "-d", "30", "127.0.0.1:" + std::to_string(eport)});
    int rport = PortOf(relay);
    ASSERT_GT(rport, 0);
    int s = Connect(rport);
    ASSERT_GE(s, 0);

    auto t0 = Clock::now();
    ASSERT_EQ(write(s, "ping", 4), 4);
    char buf[4];
    ASSERT_EQ(recv(s, buf, 4, MSG_WAITALL), 4);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(60)); // two directions of 30 ms
    EXPECT_EQ(std::string(buf, 4), "ping");

    // A stream larger than the sockets' buffers, written while the echo is read, then the end
    // of it, which comes back as the end of the echo.
    std::string data = RandomBytes(8 << 20);
    std::thread writer([&] { WriteAll(s, data), shutdown(s, SHUT_WR); });
    std::string back = ReadAll(s);
    writer.join();
    close(s);
    EXPECT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data);
}

TEST(DelayRelay, RelaysItsStandardStreamsAndEndsWithThem)
{
    Child echo, relay;
    int eport = StartEcho(echo);
    ASSERT_GT(eport, 0);
    Start(relay, {RELAY_PATH, "-s", "-d", "5", "127.0.0.1:" + std::to_string(eport)}, true);
    std::string data = RandomBytes(1 << 20);
    std::thread writer([&] { WriteAll(relay.in, data), close(relay.in), relay.in = -1; });
    std::string back = ReadAll(relay.out);
    writer.join();
    EXPECT_TRUE(back == data);
    EXPECT_EQ(relay.Wait(), 0);
}

TEST(DelayRelay, EndsOnSigterm)
{
    Child echo, relay;
    int eport = StartEcho(echo);
    ASSERT_GT(eport, 0);
    Start(relay, {RELAY_PATH, "127.0.0.1:" + std::to_string(eport)});
    int rport = PortOf(relay);
    ASSERT_GT(rport, 0);
    int s = Connect(rport); // a connection it holds does not keep it
    ASSERT_GE(s, 0);
    kill(relay.pid, SIGTERM);
    EXPECT_EQ(relay.Wait(), 0);
    kill(echo.pid, SIGTERM);
    EXPECT_EQ(echo.Wait(), 0);
    close(s);
}

TEST(TcpExec, HandsTheProgramItsSocketWithNagleOff)
{
    Child server;
    Start(server, {TCPEXEC_PATH, "-t", "60", "/usr/bin/python3", "-c",
                   "import socket; s = socket.socket(fileno=0); "
                   "print(s.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) != 0, flush=True)"});
    int port = PortOf(server);
    ASSERT_GT(port, 0);
    int s = Connect(port);
    ASSERT_GE(s, 0);
    EXPECT_EQ(ReadAll(s), "True\n");
    close(s);
}

TEST(CommandLine, RefusalsEndWithTheUsageStatus)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {RELAY_PATH, "10.0.0.1:22"}, // another host
             {RELAY_PATH, "example.org:22"}, // a name
             {RELAY_PATH, "127.0.0.1:0"},
             {RELAY_PATH, "127.0.0.1:70000"},
             {RELAY_PATH, "-d", "5ms", "127.0.0.1:22"}, // a delay with a unit
             {RELAY_PATH, "-b", "0", "127.0.0.1:22"},
             {RELAY_PATH},
             {TCPEXEC_PATH},
             {TCPEXEC_PATH, "-n", "0", "/bin/cat"},
             {TCPEXEC_PATH, "-t", "x", "/bin/cat"}}) {
        Child c;
        Start(c, args);
        EXPECT_EQ(c.Wait(), 2) << args.back();
    }
}

} // namespace
