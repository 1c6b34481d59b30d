// Round trips per second of the connection request and of stat through the agent, and the
// throughput of reading a page-cached file in the largest chunks one reply carries, each next
// to a raw loopback ping-pong of the same request and reply sizes measured in the same run.
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

#include "client/files_api.h"
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

bool writeFull(int fd, const char *p, size_t n)
{
    while (n) {
        ssize_t r = write(fd, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// The physical limit: a server that reads a 4-byte header, the rest, and answers in one write.
// Returns round trips per second for requests and replies of the given sizes.
double RawPingPong(int requestSize, int replySize, int rounds)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    listen(listener, 1);
    std::thread server([listener, replySize] {
        int c = accept(listener, nullptr, nullptr);
        int on = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        static char in[hostlink::kMaxMessage], out[hostlink::kMaxMessage];
        uint16_t outLength = static_cast<uint16_t>(replySize);
        memcpy(out, &outLength, 2);
        while (readFull(c, in, 4)) {
            uint16_t l;
            memcpy(&l, in, 2);
            if ((l > 4 && !readFull(c, in + 4, l - 4u)) || !writeFull(c, out, static_cast<size_t>(replySize)))
                break;
        }
        close(c);
    });
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    static char msg[hostlink::kMaxMessage], reply[hostlink::kMaxMessage];
    uint16_t msgLength = static_cast<uint16_t>(requestSize);
    memcpy(msg, &msgLength, 2);
    auto t0 = Clock::now();
    for (int i = 0; i < rounds; i++) {
        if (!writeFull(fd, msg, static_cast<size_t>(requestSize)) || !readFull(fd, reply, static_cast<size_t>(replySize)))
            break;
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    close(fd);
    server.join();
    close(listener);
    return rounds / secs;
}

struct AgentFigures {
    double handshakes = 0; // per second
    double stats = 0;      // per second
    double reads = 0;      // MAX_DATA replies per second
};

// Starts the agent in daemon mode and measures the three workloads over its one connection.
bool MeasureAgent(const char *agent, int rounds, int readRounds, const std::string &file, pid_t *pidOut,
                  AgentFigures *fig)
{
    int out[2];
    if (pipe(out) < 0)
        return false;
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
        return false;
    try {
        auto link = hostlink::Link::connect("127.0.0.1", port);
        link.setTimeout(10);
        link.handshake(0);
        auto t0 = Clock::now();
        for (int i = 0; i < rounds; i++)
            link.handshake(static_cast<uint32_t>(i));
        fig->handshakes = rounds / std::chrono::duration<double>(Clock::now() - t0).count();

        hostlink::FileStatus st;
        t0 = Clock::now();
        for (int i = 0; i < rounds; i++)
            if (hostlink::stat(link, file, &st) != 0)
                return false;
        fig->stats = rounds / std::chrono::duration<double>(Clock::now() - t0).count();

        int fd = hostlink::open(link, file, hostlink::kOpenRead);
        if (fd < 0)
            return false;
        static char chunk[hostlink::kMaxData];
        t0 = Clock::now();
        for (int i = 0; i < readRounds; i++) {
            int32_t got = hostlink::read(link, fd, chunk, sizeof chunk);
            if (got < 0)
                return false;
            if (got < hostlink::kMaxData) { // end of the file: start again; the seek is counted too
                hostlink::lseek(link, fd, 0, SEEK_SET);
                i--;
            }
        }
        fig->reads = readRounds / std::chrono::duration<double>(Clock::now() - t0).count();
        hostlink::close(link, fd);
        return true;
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "agentbench: %s\n", e.what());
        return false;
    }
}

// A file of whole MAX_DATA chunks, written here so that it sits in the page cache.
std::string MakeFile(std::string *dir, int chunks)
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/agentbench-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        return "";
    *dir = tmpl;
    std::string path = tmpl + "/data";
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return "";
    std::string block(static_cast<size_t>(hostlink::kMaxData), 'd');
    for (int i = 0; i < chunks; i++)
        fwrite(block.data(), 1, block.size(), f);
    fclose(f);
    return path;
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
    int readRounds = quick ? 2000 : 40000;
    std::string dir;
    std::string file = MakeFile(&dir, 256); // about 16 MiB, read over and over
    if (file.empty()) {
        fprintf(stderr, "agentbench: cannot make the data file\n");
        return 1;
    }
    int statRequest = 4 + static_cast<int>(file.size()) + 1;
    double raw = RawPingPong(16, 16, rounds);
    double rawStat = RawPingPong(statRequest, 52, rounds);
    double rawRead = RawPingPong(12, hostlink::kMaxMessage, readRounds);
    pid_t pid = -1;
    AgentFigures agent;
    bool ok = MeasureAgent(argv[1], rounds, readRounds, file, &pid, &agent);
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    unlink(file.c_str());
    rmdir(dir.c_str());
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    const double mb = hostlink::kMaxData / 1e6;
    printf("%-44s %12s %12s %7s\n", "workload (request/reply bytes)", "agent", "raw", "ratio");
    printf("%-44s %10.0f/s %10.0f/s %7.3f\n", "connection request round trips (16/16)", agent.handshakes, raw,
           ratio(agent.handshakes, raw));
    std::string statLabel = "stat round trips (" + std::to_string(statRequest) + "/52)";
    printf("%-44s %10.0f/s %10.0f/s %7.3f\n", statLabel.c_str(), agent.stats, rawStat, ratio(agent.stats, rawStat));
    printf("%-44s %7.0f MB/s %7.0f MB/s %7.3f\n", "read, page-cached file, MAX_DATA (12/65520)", agent.reads * mb,
           rawRead * mb, ratio(agent.reads, rawRead));
    return ok ? 0 : 1;
}
