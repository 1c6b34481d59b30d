// Round trips per second of the connection request through the agent, next to a raw
// loopback ping-pong of the same sizes measured in the same run.
//   agentbench AGENT_BINARY [--quick]
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "client/hostlink.h"

namespace {

using Clock = std::chrono::steady_clock;

bool readFull(int fd, char *p, size_t n)
{
    while (n) {
        ssize_t r = read(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// The physical limit: a server that reads a 4-byte header, the rest, and answers in one write.
double RawPingPong(int rounds)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    listen(listener, 1);
    std::thread server([listener] {
        int c = accept(listener, nullptr, nullptr);
        int on = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        char buf[16];
        while (readFull(c, buf, 4) && readFull(c, buf + 4, 12))
            if (write(c, buf, 16) != 16)
                break;
        close(c);
    });
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char msg[16] = {16, 0, 0, 0};
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; i++) {
        if (write(fd, msg, 16) != 16 || !readFull(fd, msg, 16))
            break;
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    close(fd);
    server.join();
    close(listener);
    return rounds / secs;
}

double AgentHandshakes(const char *agent, int rounds, pid_t *pidOut)
{
    int out[2];
    if (pipe(out) < 0)
        return 0;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(agent, agent, "-d", "--", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    *pidOut = pid;
    char line[64] = {};
    size_t n = 0;
    while (n < sizeof line - 1 && read(out[0], line + n, 1) == 1 && line[n] != '\n')
        n++;
    close(out[0]);
    int port = 0;
    if (sscanf(line, "port = %d", &port) != 1)
        return 0;
    try {
        auto link = hostlink::Link::connect("127.0.0.1", port);
        link.setTimeout(10);
        link.handshake(0);
        auto t0 = Clock::now();
        for (int i = 0; i < rounds; i++)
            link.handshake(static_cast<uint32_t>(i));
        return rounds / std::chrono::duration<double>(Clock::now() - t0).count();
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "agentbench: %s\n", e.what());
        return 0;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s AGENT_BINARY [--quick]\n", argv[0]);
        return 2;
    }
    bool quick = argc > 2 && strcmp(argv[2], "--quick") == 0;
    int rounds = quick ? 5000 : 100000;
    double raw = RawPingPong(rounds);
    pid_t pid = -1;
    double agent = AgentHandshakes(argv[1], rounds, &pid);
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    printf("%-34s %12s %12s %7s\n", "workload (16-byte request/reply)", "agent/s", "raw/s", "ratio");
    printf("%-34s %12.0f %12.0f %7.3f\n", "connection request round trips", agent, raw, raw > 0 ? agent / raw : 0.0);
    return agent > 0 ? 0 : 1;
}
