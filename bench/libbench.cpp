// The client library's pipelining measured side by side, in one run, against one request at a
// time and against OpenSSH's sftp-server over loopback TCP (where it is installed):
//   listing 10,000 entries with their status: listDirectory (readdirs and lstats pipelined)
//     vs opendir/readdir/lstat one at a time vs sftp-server's READDIR (names with attributes);
//   reading a page-cached file (512 MiB) with readFile's window of 16 vs sftp-server's READ
//     with 16 requests of 64 KiB outstanding;
//   stat and getpid pipelined in a batch vs one at a time.
// Each figure is the median of several runs; the ratios compare medians.
//
//   libbench AGENT_BINARY [--quick] [--sftp-server PATH]
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <hostlink/hostlink.h>

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

[[noreturn]] void Die(const std::string &what)
{
    fprintf(stderr, "libbench: %s\n", what.c_str());
    exit(1);
}

int Listener(int *port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(s, 1) < 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) < 0)
        Die("cannot listen on loopback");
    *port = ntohs(a.sin_port);
    return s;
}

int Connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0)
        Die("cannot connect to the server");
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// The agent in daemon mode, serving one connection.
struct Agent {
    pid_t pid = -1;
    hostlink::Link link;
    explicit Agent(const std::string &binary, const std::string &dir)
    {
        int out[2];
        if (pipe(out) < 0)
            Die("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            if (chdir(dir.c_str()) < 0)
                _exit(127);
            execl(binary.c_str(), "xt.bench", "-d", "--", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char c;
        while (text.find('\n') == std::string::npos && read(out[0], &c, 1) == 1)
            text.push_back(c);
        close(out[0]);
        int port = 0;
        if (sscanf(text.c_str(), "port = %d", &port) != 1)
            Die("the agent printed no port");
        hostlink::ConnectOptions o;
        o.timeoutSeconds = 120;
        link = hostlink::connectTo({"127.0.0.1", port}, o);
    }
    ~Agent()
    {
        link.close();
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// ---- A small SFTP version 3 client over TCP to sftp-server ----

struct Sftp {
    pid_t pid = -1;
    int fd = -1;
    uint32_t nextId = 1;
    std::string in;
    size_t inPos = 0;

    Sftp(const std::string &server)
    {
        int port;
        int l = Listener(&port);
        pid = fork();
        if (pid == 0) {
            int c = accept(l, nullptr, nullptr);
            int on = 1; // as sshd sets it on the connection it hands to the server
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            dup2(c, 0);
            dup2(c, 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execl(server.c_str(), "sftp-server", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(l);
        fd = Connect(port);
        std::string init;
        Put32(init, 3);
        Send(1, init);
        if (Receive().type != 2)
            Die("sftp-server did not answer INIT");
    }
    ~Sftp()
    {
        close(fd);
        waitpid(pid, nullptr, 0);
    }

    static void Put32(std::string &s, uint32_t v)
    {
        v = htonl(v);
        s.append(reinterpret_cast<const char *>(&v), 4);
    }
    static void Put64(std::string &s, uint64_t v)
    {
        Put32(s, static_cast<uint32_t>(v >> 32));
        Put32(s, static_cast<uint32_t>(v));
    }
    static void PutString(std::string &s, const std::string &v)
    {
        Put32(s, static_cast<uint32_t>(v.size()));
        s += v;
    }

    std::string pendingOut;
    // Queues a packet; Flush sends what is queued.
    uint32_t Queue(int type, const std::string &payloadAfterId, bool withId = true)
    {
        std::string body(1, static_cast<char>(type));
        uint32_t id = nextId++;
        if (withId)
            Put32(body, id);
        body += payloadAfterId;
        Put32(pendingOut, static_cast<uint32_t>(body.size()));
        pendingOut += body;
        return id;
    }
    void Flush()
    {
        size_t off = 0;
        while (off < pendingOut.size()) {
            ssize_t w = write(fd, pendingOut.data() + off, pendingOut.size() - off);
            if (w <= 0)
                Die("write to sftp-server");
            off += static_cast<size_t>(w);
        }
        pendingOut.clear();
    }
    uint32_t Send(int type, const std::string &payload)
    {
        uint32_t id = Queue(type, payload, type != 1);
        Flush();
        return id;
    }

    struct Packet {
        int type = 0;
        std::string body; // after the type byte
        size_t pos = 0;
        uint32_t U32()
        {
            if (pos + 4 > body.size())
                Die("short sftp packet");
            uint32_t v;
            memcpy(&v, body.data() + pos, 4);
            pos += 4;
            return ntohl(v);
        }
        uint64_t U64()
        {
            uint64_t hi = U32();
            return hi << 32 | U32();
        }
        std::string Str()
        {
            uint32_t n = U32();
            if (pos + n > body.size())
                Die("short sftp string");
            std::string s = body.substr(pos, n);
            pos += n;
            return s;
        }
        void Attrs(uint64_t *size)
        {
            uint32_t flags = U32();
            if (flags & 1)
                *size = U64();
            if (flags & 2)
                pos += 8;
            if (flags & 4)
                pos += 4;
            if (flags & 8)
                pos += 8;
            if (flags & 0x80000000u) {
                uint32_t n = U32();
                for (uint32_t i = 0; i < 2 * n; i++)
                    Str();
            }
        }
    };

    void Fill(size_t need)
    {
        if (inPos > 0 && inPos == in.size()) {
            in.clear();
            inPos = 0;
        }
        char buf[262144];
        while (in.size() - inPos < need) {
            ssize_t r = read(fd, buf, sizeof buf);
            if (r <= 0)
                Die("sftp-server closed");
            in.append(buf, static_cast<size_t>(r));
        }
    }
    Packet Receive()
    {
        Fill(4);
        uint32_t len;
        memcpy(&len, in.data() + inPos, 4);
        len = ntohl(len);
        Fill(4 + len);
        Packet p;
        p.type = static_cast<unsigned char>(in[inPos + 4]);
        p.body = in.substr(inPos + 5, len - 1);
        inPos += 4 + len;
        return p;
    }

    std::string Handle(int type, const std::string &payload)
    {
        Send(type, payload);
        Packet p = Receive();
        if (p.type != 102)
            Die("sftp-server refused to open");
        p.U32();
        return p.Str();
    }
    void Close(const std::string &handle)
    {
        std::string s;
        PutString(s, handle);
        Send(4, s);
        Receive();
    }

    // READDIR one at a time, as sftp clients do; the names and their attributes.
    size_t List(const std::string &dir)
    {
        std::string s;
        PutString(s, dir);
        std::string h = Handle(11, s);
        std::string hs;
        PutString(hs, h);
        size_t names = 0;
        for (;;) {
            Send(12, hs);
            Packet p = Receive();
            if (p.type != 104)
                break;
            p.U32();
            uint32_t n = p.U32();
            for (uint32_t i = 0; i < n; i++) {
                std::string name = p.Str();
                p.Str();
                uint64_t size = 0;
                p.Attrs(&size);
                names += name != "." && name != "..";
            }
        }
        Close(h);
        return names;
    }

    // READ with `outstanding` requests of `chunk` bytes in flight.
    uint64_t Read(const std::string &path, int outstanding, uint32_t chunk)
    {
        std::string s;
        PutString(s, path);
        Put32(s, 1); // SSH_FXF_READ
        Put32(s, 0); // no attributes
        std::string h = Handle(3, s);
        uint64_t offset = 0, got = 0;
        int inFlight = 0;
        bool atEnd = false;
        auto request = [&] {
            std::string r;
            PutString(r, h);
            Put64(r, offset);
            Put32(r, chunk);
            Queue(5, r);
            offset += chunk;
            inFlight++;
        };
        for (int i = 0; i < outstanding; i++)
            request();
        Flush();
        while (inFlight > 0) {
            Packet p = Receive();
            inFlight--;
            if (p.type == 103) {
                p.U32();
                got += p.U32(); // the data follow; their length is what counts here
            } else
                atEnd = true;
            if (!atEnd) {
                request();
                Flush();
            }
        }
        Close(h);
        return got;
    }
};

void Report(const char *what, double value, const char *unit)
{
    printf("  %-52s %12.0f %s\n", what, value, unit);
}

void Ratio(const char *what, double a, double b, double target)
{
    printf("  %-52s %11.2fx  (target %.1fx: %s)\n", what, b > 0 ? a / b : 0, target,
           b > 0 && a / b >= target ? "met" : "missed");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: libbench AGENT_BINARY [--quick] [--sftp-server PATH]\n");
        return 2;
    }
    char *resolved = realpath(argv[1], nullptr);
    if (!resolved)
        Die(std::string("no agent at ") + argv[1]);
    std::string agent = resolved;
    free(resolved);
    bool quick = false;
    std::string server = "/usr/lib/openssh/sftp-server";
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (strcmp(argv[i], "--sftp-server") == 0 && i + 1 < argc)
            server = argv[++i];
    }
    bool sftp = access(server.c_str(), X_OK) == 0;
    const int entries = quick ? 2000 : 10000;
    const size_t fileSize = quick ? (16u << 20) : (512u << 20);
    const int runs = quick ? 3 : 5;
    const int small = quick ? 2000 : 20000;

    char tmpl[] = "/tmp/libbench-XXXXXX";
    if (!mkdtemp(tmpl))
        Die("mkdtemp failed");
    std::string dir = tmpl;
    std::string listDir = dir + "/many", file = dir + "/big";
    std::filesystem::create_directory(listDir);
    for (int i = 0; i < entries; i++) {
        int fd = open((listDir + "/entry-" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0 || write(fd, "x", static_cast<size_t>(i % 3)) < 0)
            Die("cannot make the directory");
        close(fd);
    }
    {
        std::string block(1 << 20, 'd');
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (size_t done = 0; done < fileSize; done += block.size())
            if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                Die("cannot write the file");
        close(fd);
    }
    printf("libbench: %d entries, %zu MiB file, median of %d runs%s\n", entries, fileSize >> 20, runs,
           sftp ? "" : " (no sftp-server: its columns are left out)");

    fflush(stdout);
    Agent a(agent, dir);
    std::vector<double> piped, single, server1, readAgent, readServer, statPiped, statSingle, pidPiped, pidSingle;
    std::unique_ptr<Sftp> s;
    if (sftp)
        s = std::make_unique<Sftp>(server);
    std::string sink;
    for (int run = 0; run < runs; run++) {
        // Listing with status.
        auto t = Clock::now();
        std::vector<hostlink::DirEntry> list;
        if (hostlink::listDirectory(a.link, listDir, &list) < 0 || list.size() != static_cast<size_t>(entries))
            Die("listDirectory failed");
        piped.push_back(entries / Since(t));
        t = Clock::now();
        uint32_t h = hostlink::opendir(a.link, listDir);
        std::string name;
        int n = 0;
        hostlink::FileStatus st;
        while (hostlink::readdir(a.link, h, &name) == 1) {
            if (name != "." && name != "..") {
                hostlink::lstat(a.link, listDir + "/" + name, &st);
                n++;
            }
        }
        hostlink::closedir(a.link, h);
        single.push_back(n / Since(t));
        if (s) {
            t = Clock::now();
            if (s->List(listDir) != static_cast<size_t>(entries))
                Die("sftp listing is short");
            server1.push_back(entries / Since(t));
        }
        // The file, page-cached after the first pass.
        t = Clock::now();
        hostlink::TransferOptions o;
        o.window = 16;
        int64_t got = hostlink::readFile(a.link, file, [](const char *, size_t) { return true; }, o);
        if (got != static_cast<int64_t>(fileSize))
            Die("readFile is short");
        readAgent.push_back(static_cast<double>(fileSize) / (1 << 20) / Since(t));
        if (s) {
            t = Clock::now();
            if (s->Read(file, 16, 65536) != fileSize)
                Die("sftp read is short");
            readServer.push_back(static_cast<double>(fileSize) / (1 << 20) / Since(t));
        }
        // Small calls.
        t = Clock::now();
        {
            hostlink::Batch b(a.link);
            std::vector<hostlink::Pending> ps;
            ps.reserve(static_cast<size_t>(small));
            for (int i = 0; i < small; i++)
                ps.push_back(b.stat(file));
            b.drain();
        }
        statPiped.push_back(small / Since(t));
        t = Clock::now();
        for (int i = 0; i < small; i++)
            hostlink::stat(a.link, file, &st);
        statSingle.push_back(small / Since(t));
        t = Clock::now();
        {
            hostlink::Batch b(a.link);
            for (int i = 0; i < small; i++)
                b.getpid();
            b.drain();
        }
        pidPiped.push_back(small / Since(t));
        t = Clock::now();
        for (int i = 0; i < small; i++)
            hostlink::getpid(a.link);
        pidSingle.push_back(small / Since(t));
    }

    printf("listing %d entries with status (names/s):\n", entries);
    Report("agent, readdir and lstat pipelined (listDirectory)", Median(piped), "names/s");
    Report("agent, one request at a time", Median(single), "names/s");
    if (s)
        Report("sftp-server READDIR (names with attributes)", Median(server1), "names/s");
    Ratio("pipelined / one at a time", Median(piped), Median(single), 1.0);
    if (s)
        Ratio("pipelined / sftp-server", Median(piped), Median(server1), 1.0);
    printf("reading a %zu MiB page-cached file (MiB/s):\n", fileSize >> 20);
    Report("agent, readFile with 16 reads in flight", Median(readAgent), "MiB/s");
    if (s) {
        Report("sftp-server READ, 16 x 64 KiB outstanding", Median(readServer), "MiB/s");
        Ratio("agent / sftp-server", Median(readAgent), Median(readServer), 1.3);
    }
    printf("small requests (calls/s):\n");
    Report("stat, pipelined", Median(statPiped), "calls/s");
    Report("stat, one at a time", Median(statSingle), "calls/s");
    Ratio("stat pipelined / one at a time", Median(statPiped), Median(statSingle), 4.0);
    Report("getpid, pipelined", Median(pidPiped), "calls/s");
    Report("getpid, one at a time", Median(pidSingle), "calls/s");
    Ratio("getpid pipelined / one at a time", Median(pidPiped), Median(pidSingle), 4.0);

    s.reset();
    std::filesystem::remove_all(dir);
    return 0;
}
