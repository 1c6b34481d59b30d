// The client library against arbitrary replies: an in-process fake agent on a socket pair
// answers every request with the input's bytes, whatever was asked, while the library decodes,
// lists, reads and batches. The library must raise LinkError or fail with errno, never read or
// write outside its memory, and never grow without bound.
//
// Input: one mode byte, then the bytes the agent sends. Mode bits 0-2 pick the work, bit 3 the
// byte order. Mode 0 decodes the bytes directly as one reply with every decoder.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <hostlink/hostlink.h>

namespace {

using namespace hostlink;

// The agent's side: sends the replies, reads and drops the requests, until the client closes.
void Agent(int fd, std::string replies)
{
    size_t sent = 0;
    bool closedOut = false;
    char sink[65536];
    for (int rounds = 0; rounds < 100000; rounds++) {
        if (sent == replies.size() && !closedOut) {
            ::shutdown(fd, SHUT_WR);
            closedOut = true;
        }
        struct pollfd p = {fd, static_cast<short>(POLLIN | (closedOut ? 0 : POLLOUT)), 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        if (p.revents & POLLIN) {
            ssize_t n = ::read(fd, sink, sizeof sink);
            if (n <= 0)
                break;
        }
        if (!closedOut && (p.revents & POLLOUT)) {
            ssize_t n = ::send(fd, replies.data() + sent, replies.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
    }
    ::close(fd);
}

void Decoders(const std::string &bytes, bool swapped)
{
    Reply r;
    r.raw = bytes;
    r.swapped = swapped;
    auto attempt = [](auto f) {
        try {
            f();
        } catch (const LinkError &) {
        }
    };
    attempt([&] { FileStatus s; if (r.raw.size() >= 4) decodeStatus(r, 3, &s); });
    attempt([&] { decodeEnvironment(r); });
    attempt([&] { HostEntry e; decodeHostEntry(r, &e); });
    attempt([&] { ServiceEntry e; decodeServiceEntry(r, &e); });
    attempt([&] { std::string t; decodeReadlink(r, &t); });
    attempt([&] { std::string t; decodeReaddir(r, &t); });
    attempt([&] { decodeString(r, 12); });
    attempt([&] { Status64 s; parseStatus64(r, kCallStat64, &s); });
    attempt([&] { std::vector<DirEntryPlus> v; parseReaddirplus(r, v); });
    attempt([&] { char b[64]; parsePread64(r, b, sizeof b); });
    attempt([&] { FsStats f; parseStatvfs(r, &f); });
}

void Work(Link &link, int mode)
{
    switch (mode) {
    case 1: {
        std::vector<DirEntry> entries;
        ListOptions o;
        o.withStatus = true;
        o.maxEntries = 4096;
        o.totalSeconds = 5;
        listDirectory(link, "/d", &entries, o);
        break;
    }
    case 2: {
        std::string contents;
        TransferOptions o;
        o.window = 4;
        o.maxBytes = 1 << 20;
        o.totalSeconds = 5;
        readFile(link, "/f", &contents, o);
        break;
    }
    case 3: {
        // A batch of every kind, some results taken, the rest abandoned with reads in flight.
        std::vector<char> a(4096), b(70000);
        Batch batch(link);
        Pending p1 = batch.stat("/s");
        Pending p2 = batch.read(3, a.data(), a.size());
        Pending p3 = batch.readdir(1);
        Pending p4 = batch.readlink("/l");
        Pending p5 = batch.getcwd();
        batch.read(3, b.data(), b.size());
        batch.getpid();
        p1.get();
        p2.get();
        p3.get();
        p4.get();
        p5.get();
        break;
    }
    case 4: {
        getenv(link);
        HostEntry h;
        gethostbyname(link, "x", &h);
        ServiceEntry s;
        getservbyname(link, "a", "tcp", &s);
        std::vector<DirEntryPlus> entries;
        readdirplus(link, 1, entries);
        Status64 st;
        stat64(link, "/s", &st);
        FsStats fs;
        statvfs(link, "/", &fs);
        char buf[512];
        pread64(link, 3, buf, sizeof buf, 0);
        std::string text;
        readlink(link, "/l", &text);
        TimeValue tv;
        gettimeofday(link, &tv);
        break;
    }
    default: {
        std::vector<char> buf(1000);
        read(link, 3, buf.data(), buf.size());
        std::string cwd;
        getcwd(link, &cwd);
        std::string name;
        readdir(link, 1, &name);
        getlogin(link, &name);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    int mode = data[0] & 7;
    bool swapped = data[0] & 8;
    std::string replies(reinterpret_cast<const char *>(data + 1), size - 1);
    if (mode == 0) {
        Decoders(replies, swapped);
        return 0;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
        return 0;
    std::thread agent(Agent, sv[1], std::move(replies));
    {
        Link link = Link::adopt(sv[0], swapped);
        link.setTimeout(2);
        try {
            Work(link, mode);
        } catch (const LinkError &) {
        }
    }
    agent.join();
    return 0;
}
