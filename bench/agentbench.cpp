// The agent measured against the physical limit of this machine.
//
// Every remote call is one round trip on one connection with one request outstanding, so the
// limit is a raw loopback ping-pong of the same message sizes: a server process that reads the
// 4-byte header, reads the rest and answers in one write. Each workload runs through the real
// agent (daemon mode, client library) and, in the same run, through that raw server with the
// very request and reply sizes the agent's run used (recorded from the link). Blocks of the two
// alternate and the best block of each counts, so that a noisy neighbour hurts both alike.
//
//   agentbench AGENT_BINARY [--quick] [--malloc-count SHIM]
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <hostlink/calls.h>
#include <hostlink/detail.h>
#include <hostlink/link.h>

#include "rawserver.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using hostlink::detail::Exchange;
using hostlink::Link;
using rawbench::RawServer;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

long StatusKiB(pid_t pid, const char *field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    size_t n = strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0)
            return std::stol(line.substr(n + 1));
    return -1;
}

// One agent in daemon mode and the link to it.
struct Agent {
    pid_t pid = -1;
    Link link;
    long peakKiB = -1; // VmHWM, read just before the link closes

    bool Start(const char *binary, const std::vector<std::string> &env = {})
    {
        int out[2];
        if (pipe(out) < 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            for (const auto &e : env)
                putenv(const_cast<char *>(e.c_str()));
            execl(binary, binary, "-d", "--", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char line[64] = {};
        size_t n = 0;
        while (n < sizeof line - 1 && read(out[0], line + n, 1) == 1 && line[n] != '\n')
            n++;
        close(out[0]);
        int port = 0;
        if (sscanf(line, "port = %d", &port) != 1)
            return false;
        link = Link::connect("127.0.0.1", port);
        link.setTimeout(30);
        link.handshake(0);
        return true;
    }

    // Closing the link ends the agent (exit status 0).
    bool Stop()
    {
        if (pid <= 0)
            return false;
        long hwm = StatusKiB(pid, "VmHWM:");
        if (hwm > peakKiB)
            peakKiB = hwm;
        link.close();
        int status = 0;
        for (int i = 0; i < 500; i++) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            usleep(10000);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
        return false;
    }
};

struct Workload {
    std::string name;
    std::string unit;     // what one "item" is, for the figure's label
    double itemsPerIteration;
    int iterations;       // per block
    std::function<bool(Link &)> once; // one iteration through the agent
    bool smallCall = false; // counts towards the 0.85 target of small calls
    bool bulkRead = false;  // counts towards the 0.85 target of bulk read
    double bytesPerItem = 0; // when set, figures are shown as MB/s
};

struct Figure {
    double agent = 0, raw = 0;
    bool served = false;
    std::string sizes;
};

std::string SizesOf(const std::vector<Exchange> &script)
{
    if (script.empty())
        return "";
    // The script of one iteration, condensed: "12/20 x10001" for a run of equal exchanges.
    std::string s;
    size_t i = 0;
    while (i < script.size()) {
        size_t j = i;
        while (j < script.size() && script[j].request == script[i].request && script[j].reply == script[i].reply)
            j++;
        if (!s.empty())
            s += ", ";
        s += std::to_string(script[i].request) + "/" + std::to_string(script[i].reply);
        if (j - i > 1)
            s += " x" + std::to_string(j - i);
        i = j;
    }
    return s;
}

Figure Measure(Agent &agent, RawServer &raw, const Workload &w, int blocks)
{
    Figure f;
    std::vector<Exchange> script;
    try {
        // A first iteration warms the page cache and the agent and opens what stays open; the
        // second records the sizes.
        if (!w.once(agent.link))
            return f;
        hostlink::detail::record(agent.link, &script);
        bool ok = w.once(agent.link);
        hostlink::detail::record(agent.link, nullptr);
        if (!ok)
            return f;
        for (int b = 0; b < blocks; b++) {
            auto t0 = Clock::now();
            for (int i = 0; i < w.iterations; i++)
                if (!raw.Replay(script))
                    return f;
            f.raw = std::max(f.raw, w.iterations * w.itemsPerIteration / Seconds(t0));
            t0 = Clock::now();
            for (int i = 0; i < w.iterations; i++)
                if (!w.once(agent.link))
                    return f;
            f.agent = std::max(f.agent, w.iterations * w.itemsPerIteration / Seconds(t0));
        }
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "agentbench: %s: %s\n", w.name.c_str(), e.what());
        return f;
    }
    f.served = true;
    f.sizes = SizesOf(script);
    agent.peakKiB = std::max(agent.peakKiB, StatusKiB(agent.pid, "VmHWM:"));
    return f;
}

std::string TempDir()
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/agentbench-XXXXXX";
    return mkdtemp(tmpl.data()) ? tmpl : "";
}

bool MakeFile(const std::string &path, size_t bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    std::string block(static_cast<size_t>(hostlink::kMaxData), 'd');
    for (size_t done = 0; done < bytes; done += block.size())
        fwrite(block.data(), 1, std::min(block.size(), bytes - done), f);
    return fclose(f) == 0;
}

// Remote calls without a typed wrapper here, as requests of their own.
int32_t RemoteGetpid(Link &link)
{
    hostlink::Reply r = link.call(hostlink::Request(wire::CALL_GETPID));
    return r.length() == 12 ? r.word(1) : -1;
}

int32_t RemoteForkNExec(Link &link, const std::string &path)
{
    hostlink::Reply r = link.call(hostlink::Request(wire::CALL_FORKNEXEC).word(1).str(path).str(path));
    return r.length() == 12 ? r.word(1) : -1;
}

// Calls per second with depth requests of call (data behind the header: tail) sent in one piece
// before their replies are read; depth 1 is one request at a time. The link speaks host order.
double PipelinedRate(Link &link, int call, const std::string &tail, int depth, int calls)
{
    std::string one(4, '\0');
    one += tail;
    uint16_t length = static_cast<uint16_t>(one.size());
    memcpy(&one[0], &length, 2);
    one[2] = static_cast<char>(call);
    std::string batch;
    for (int i = 0; i < depth; i++)
        batch += one;
    hostlink::Reply reply;
    Clock::time_point t0 = Clock::now();
    for (int done = 0; done < calls; done += depth) {
        link.sendRaw(batch);
        for (int i = 0; i < depth; i++)
            link.receive(reply);
    }
    return calls / Seconds(t0);
}

// Starting the same program here, waiting only until it runs, as ForkNExec does.
double LocalSpawns(const char *path, int count)
{
    auto t0 = Clock::now();
    char *argv[] = {const_cast<char *>(path), nullptr};
    for (int i = 0; i < count; i++) {
        pid_t pid;
        if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0)
            return 0;
        waitpid(pid, nullptr, 0);
    }
    return count / Seconds(t0);
}

unsigned long ReadCount(const std::string &path)
{
    unsigned long n = 0;
    std::ifstream(path) >> n;
    return n;
}

// Heap allocations the agent makes per request, from a counting allocator preloaded into two
// agents that serve the same mix a different number of times: start-up and the first requests
// cancel out.
std::optional<double> AllocationsPerRequest(const char *binary, const std::string &shim, const std::string &dir,
                                            const std::string &file, int *requestsPerMix)
{
    auto run = [&](int mixes, int *requests) -> std::optional<unsigned long> {
        std::string countFile = dir + "/allocations";
        unlink(countFile.c_str());
        Agent a;
        if (!a.Start(binary, {"LD_PRELOAD=" + shim, "MALLOC_COUNT_FILE=" + countFile}))
            return std::nullopt;
        std::vector<Exchange> log;
        hostlink::detail::record(a.link, &log);
        char buffer[4096];
        hostlink::FileStatus st;
        for (int i = 0; i < mixes; i++) {
            hostlink::stat(a.link, file, &st);
            int fd = hostlink::open(a.link, file, hostlink::kOpenRead);
            hostlink::fstat(a.link, fd, &st);
            hostlink::read(a.link, fd, buffer, sizeof buffer);
            hostlink::lseek(a.link, fd, 0, SEEK_SET);
            hostlink::close(a.link, fd);
            hostlink::access(a.link, dir + "/missing", hostlink::kAccessExists);
            std::string cwd;
            hostlink::getcwd(a.link, &cwd);
        }
        hostlink::detail::record(a.link, nullptr);
        *requests = static_cast<int>(log.size());
        if (!a.Stop())
            return std::nullopt;
        return ReadCount(countFile);
    };
    try {
        int fewRequests = 0, manyRequests = 0;
        auto few = run(100, &fewRequests);
        auto many = run(2100, &manyRequests);
        if (!few || !many || manyRequests <= fewRequests)
            return std::nullopt;
        *requestsPerMix = (manyRequests - fewRequests) / 2000;
        return (static_cast<double>(*many) - static_cast<double>(*few)) / (manyRequests - fewRequests);
    } catch (const hostlink::LinkError &e) {
        fprintf(stderr, "agentbench: allocation count: %s\n", e.what());
        return std::nullopt;
    }
}

const char *Verdict(bool met) { return met ? "met" : "MISSED"; }

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s AGENT_BINARY [--quick] [--malloc-count SHIM]\n", argv[0]);
        return 2;
    }
    const char *binary = argv[1];
    bool quick = false;
    std::string shim;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (strcmp(argv[i], "--malloc-count") == 0 && i + 1 < argc)
            shim = argv[++i];
    }
    if (shim.empty()) { // built next to the benchmark
        std::string self = argv[0];
        size_t slash = self.rfind('/');
        shim = (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/libmalloc_count.so";
        if (access(shim.c_str(), R_OK) != 0)
            shim.clear();
    } else if (shim[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd))
            shim = std::string(cwd) + "/" + shim;
    }
    signal(SIGPIPE, SIG_IGN);

    const int scale = quick ? 1 : 10;
    const int blocks = quick ? 2 : 5;
    std::string dir = TempDir();
    const size_t bigBytes = 64u << 20; // read over and over; stays in the page cache
    std::string big = dir + "/big", small = dir + "/small", out = dir + "/written", entries = dir + "/entries";
    bool made = !dir.empty() && MakeFile(big, bigBytes) && MakeFile(small, 4096) && mkdir(entries.c_str(), 0755) == 0;
    const int entryCount = 10000;
    for (int i = 0; made && i < entryCount; i++) {
        char name[32];
        snprintf(name, sizeof name, "/e%05d", i);
        int fd = ::open((entries + name).c_str(), O_CREAT | O_WRONLY, 0644);
        made = fd >= 0 && ::close(fd) == 0;
    }
    if (!made) {
        fprintf(stderr, "agentbench: cannot make the data files\n");
        return 1;
    }

    static char chunk[hostlink::kMaxData];
    int bigFd = -1, outFd = -1, statFd = -1, nullFd = -1;
    long bigChunks = 0, outChunks = 0;
    const long chunksPerFile = static_cast<long>(bigBytes / hostlink::kMaxData);
    hostlink::FileStatus st;
    std::vector<Workload> workloads = {
        {"getpid", "calls", 1, 2000 * scale, [](Link &l) { return RemoteGetpid(l) > 0; }, true},
        {"stat of one path", "calls", 1, 2000 * scale, [&](Link &l) { return hostlink::stat(l, small, &st) == 0; }, true},
        {"fstat", "calls", 1, 2000 * scale, [&](Link &l) {
             if (statFd < 0)
                 statFd = hostlink::open(l, small, hostlink::kOpenRead);
             return hostlink::fstat(l, statFd, &st) == 0;
         }, true},
        {"open, read 4 KiB, close", "files", 1, 700 * scale, [&](Link &l) {
             int fd = hostlink::open(l, small, hostlink::kOpenRead);
             bool ok = fd >= 0 && hostlink::read(l, fd, chunk, 4096) == 4096;
             return hostlink::close(l, fd) == 0 && ok;
         }},
        {"read, page-cached file, MAX_DATA chunks", "bytes", hostlink::kMaxData, 1500 * scale, [&](Link &l) {
             if (bigFd < 0)
                 bigFd = hostlink::open(l, big, hostlink::kOpenRead);
             if (bigChunks++ == chunksPerFile) { // whole chunks only: start again
                 bigChunks = 1;
                 hostlink::lseek(l, bigFd, 0, SEEK_SET);
             }
             return hostlink::read(l, bigFd, chunk, sizeof chunk) == hostlink::kMaxData;
         }, false, true, 1},
        {"write to /dev/null, MAX_DATA chunks", "bytes", hostlink::kMaxData, 1500 * scale, [&](Link &l) {
             if (nullFd < 0)
                 nullFd = hostlink::open(l, "/dev/null", hostlink::kOpenWrite);
             return hostlink::write(l, nullFd, chunk, sizeof chunk) == hostlink::kMaxData;
         }, false, false, 1},
        {"write to a file, MAX_DATA chunks", "bytes", hostlink::kMaxData, 1500 * scale, [&](Link &l) {
             if (outFd < 0)
                 outFd = hostlink::open(l, out, hostlink::kOpenWrite | hostlink::kOpenCreate | hostlink::kOpenTruncate);
             if (outChunks++ == chunksPerFile) { // the same 64 MiB over again
                 outChunks = 1;
                 hostlink::lseek(l, outFd, 0, SEEK_SET);
             }
             return hostlink::write(l, outFd, chunk, sizeof chunk) == hostlink::kMaxData;
         }, false, false, 1},
        {"readdir of 10,000 entries", "entries", entryCount, quick ? 1 : 3, [&](Link &l) {
             uint32_t h = hostlink::opendir(l, entries);
             int n = 0;
             while (h && n <= entryCount + 2 && hostlink::readdir(l, h, nullptr) > 0)
                 n++;
             return hostlink::closedir(l, h) == 0 && n == entryCount + 2;
         }},
        {"ForkNExec of /bin/true", "programs", 1, 50 * scale, [](Link &l) { return RemoteForkNExec(l, "/bin/true") > 0; }},
    };

    RawServer raw;
    if (!raw.Start()) {
        fprintf(stderr, "agentbench: cannot start the raw server\n");
        return 1;
    }
    std::vector<Figure> figures;
    long peakKiB = -1;
    Agent agent;
    bool up = false;
    for (const Workload &w : workloads) {
        if (!up) {
            try {
                up = agent.Start(binary);
            } catch (const hostlink::LinkError &e) {
                fprintf(stderr, "agentbench: %s\n", e.what());
            }
            bigFd = outFd = statFd = nullFd = -1;
            bigChunks = outChunks = 0;
        }
        figures.push_back(up ? Measure(agent, raw, w, blocks) : Figure{});
        peakKiB = std::max(peakKiB, agent.peakKiB);
        if (!figures.back().served && up) { // the agent may have ended: a fresh one goes on
            agent.Stop();
            up = false;
        }
    }

    // Resident memory over many requests: sampled early and at the end of a long run.
    const int longRun = quick ? 100000 : 1000000;
    long earlyKiB = -1, lateKiB = -1;
    std::string pipelined;
    if (!up) {
        try {
            up = agent.Start(binary);
        } catch (const hostlink::LinkError &e) {
            fprintf(stderr, "agentbench: %s\n", e.what());
        }
    }
    if (up) {
        try {
            for (int i = 0; i < longRun; i++) {
                if (hostlink::stat(agent.link, small, &st) != 0)
                    break;
                if (i == longRun / 10)
                    earlyKiB = StatusKiB(agent.pid, "VmRSS:");
            }
            lateKiB = StatusKiB(agent.pid, "VmRSS:");
            const std::string path = small + std::string(1, '\0');
            for (int call : {wire::CALL_GETPID, wire::CALL_STAT}) {
                const std::string tail = call == wire::CALL_STAT ? path : "";
                double single = PipelinedRate(agent.link, call, tail, 1, 2000 * scale);
                double piped = PipelinedRate(agent.link, call, tail, 64, 64 * 100 * scale);
                pipelined += std::string(wire::CallName(call)) + ": " + std::to_string(static_cast<long>(piped)) +
                             "/s with 64 in flight, " + std::to_string(static_cast<long>(single)) +
                             "/s one at a time (" + std::to_string(piped / single).substr(0, 4) + "x)\n";
            }
        } catch (const hostlink::LinkError &e) {
            fprintf(stderr, "agentbench: long run: %s\n", e.what());
        }
        agent.Stop();
        peakKiB = std::max(peakKiB, agent.peakKiB);
    }
    raw.Stop();
    double spawns = LocalSpawns("/bin/true", 50 * scale);
    int perMix = 0;
    std::optional<double> allocations;
    if (!shim.empty())
        allocations = AllocationsPerRequest(binary, shim, dir, small, &perMix);

    for (const char *p : {"/big", "/small", "/written", "/allocations"})
        unlink((dir + p).c_str());
    for (int i = 0; i < entryCount; i++) {
        char name[32];
        snprintf(name, sizeof name, "/e%05d", i);
        unlink((entries + name).c_str());
    }
    rmdir(entries.c_str());
    rmdir(dir.c_str());

    // The report.
    printf("%-42s %14s %14s %7s  %s\n", "workload", "agent", "raw limit", "ratio", "request/reply bytes per round trip");
    bool smallMet = true, bulkMet = true, anyMissing = false;
    for (size_t i = 0; i < workloads.size(); i++) {
        const Workload &w = workloads[i];
        const Figure &f = figures[i];
        if (!f.served) {
            printf("%-42s %14s\n", w.name.c_str(), "not served");
            anyMissing = true;
            if (w.smallCall)
                smallMet = false;
            if (w.bulkRead)
                bulkMet = false;
            continue;
        }
        double ratio = f.raw > 0 ? f.agent / f.raw : 0;
        char a[32], r[32];
        if (w.bytesPerItem > 0) {
            snprintf(a, sizeof a, "%.0f MB/s", f.agent / 1e6);
            snprintf(r, sizeof r, "%.0f MB/s", f.raw / 1e6);
        } else {
            snprintf(a, sizeof a, "%.0f/s", f.agent);
            snprintf(r, sizeof r, "%.0f/s", f.raw);
        }
        printf("%-42s %14s %14s %7.3f  %s\n", w.name.c_str(), a, r, ratio, f.sizes.c_str());
        if (w.smallCall && ratio < 0.85)
            smallMet = false;
        if (w.bulkRead && ratio < 0.85)
            bulkMet = false;
    }
    printf("(per second: calls, files, MB, entries or programs started)\n");
    printf("programs started here with posix_spawn and waited for: %.0f/s\n", spawns);
    printf("%s", pipelined.c_str());
    printf("agent peak resident memory (VmHWM): %ld KiB\n", peakKiB);
    if (earlyKiB >= 0 && lateKiB >= 0)
        printf("agent resident memory over %d stat requests: %ld KiB after a tenth, %ld KiB at the end\n", longRun,
               earlyKiB, lateKiB);
    if (allocations)
        printf("heap allocations per request (mix of %d calls: stat, open, fstat, read, lseek, close, "
               "access, getcwd): %.3f\n",
               perMix, *allocations);
    else
        printf("heap allocations per request: not measured%s\n", shim.empty() ? " (no counting allocator)" : "");

    bool memoryFlat = earlyKiB >= 0 && lateKiB >= 0 && lateKiB - earlyKiB <= 64;
    bool memorySmall = peakKiB > 0 && peakKiB < 8 * 1024;
    bool noAllocation = allocations && *allocations < 0.001;
    printf("\ntargets\n");
    printf("  small calls at least 0.85 of the raw limit: %s\n", Verdict(smallMet));
    printf("  bulk read at least 0.85 of the raw limit:   %s\n", Verdict(bulkMet));
    printf("  resident memory flat over the long run:     %s\n", Verdict(memoryFlat));
    printf("  peak resident memory under 8 MiB:           %s\n", Verdict(memorySmall));
    printf("  no allocation on the request path:          %s\n", Verdict(noAllocation));
    (void)anyMissing; // a call this agent does not serve is reported above, not a failure of the run
    return 0;
}
