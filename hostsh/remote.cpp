#include "hostsh/remote.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace hostsh {

using hostlink::kMaxData;
using hostlink::LinkError;
using hostlink::Reply;

namespace {

constexpr int kOpen = 1, kRead = 2, kWrite = 3, kClose = 6, kOpendir = 7, kReaddir = 8, kClosedir = 10, kStat = 18,
              kMkdir = 21, kSymlink = 31, kLstat = 32, kReadlink = 33,
              kGetuid = 13, kGetlogin = 27;
constexpr size_t kBatchBytes = 1 << 20; // requests sent in one go at most
constexpr int kReadWindow = 32;          // reads of a get in flight
constexpr int kWriteWindow = 32;         // writes of a put in flight
constexpr size_t kChunk = 16 * static_cast<size_t>(kMaxData);

void expect(const Reply &r, int call, int length)
{
    if (r.call() != call || r.length() < length)
        throw LinkError("malformed reply to call " + std::to_string(call));
}

int errnoOf(const Reply &r) { return hostlink::LocalErrno(r.word(2)); }

// Reads until n bytes or end of file; -1 on an error.
ssize_t readFull(int fd, char *p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

int writeFull(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = ::write(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return 0;
}

} // namespace

Remote::Remote(hostlink::Link &link) : link_(link) { link_.record(&single_); }
Remote::~Remote() { link_.record(nullptr); }

long Remote::waits() const { return static_cast<long>(single_.size()) + batchWaits_; }
void Remote::resetWaits()
{
    single_.clear();
    batchWaits_ = 0;
}

void Remote::queue(int call, std::initializer_list<int32_t> words, std::string_view strings)
{
    size_t len = 4 + 4 * words.size() + strings.size();
    if (len > static_cast<size_t>(hostlink::kMaxMessage))
        throw LinkError("request too long");
    uint16_t l = link_.encodeLength(static_cast<int>(len));
    char head[4];
    memcpy(head, &l, 2);
    head[2] = static_cast<char>(call);
    head[3] = 0;
    batch_.append(head, 4);
    for (int32_t w : words)
        batch_ += link_.encodeWord(w);
    batch_ += strings;
}

void Remote::queueDiscard(int call, std::initializer_list<int32_t> words)
{
    if (discardQueued_ == 0 && !batch_.empty())
        throw std::logic_error("a reply nobody waits for must lead its batch");
    queue(call, words);
    discardQueued_++;
}

void Remote::flush()
{
    if (batch_.empty())
        return;
    struct iovec v = {batch_.data(), batch_.size()};
    sendAll(&v, 1);
    batch_.clear();
    discardInFlight_ += discardQueued_;
    discardQueued_ = 0;
    sending_ = true;
}

// Writes everything; replies that come meanwhile are kept in in_.
void Remote::sendAll(const struct iovec *iov, int count)
{
    std::vector<struct iovec> v(iov, iov + count);
    size_t i = 0;
    int fd = link_.fd();
    while (i < v.size()) {
        struct msghdr m = {};
        m.msg_iov = &v[i];
        m.msg_iovlen = v.size() - i;
        ssize_t n = ::sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                throw LinkError(std::string("write to agent: ") + strerror(errno));
            struct pollfd p = {fd, POLLOUT | POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR)
                throw LinkError(std::string("poll: ") + strerror(errno));
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                if (inPos_ > 0 && inPos_ == in_.size()) {
                    in_.clear();
                    inPos_ = 0;
                }
                size_t old = in_.size();
                in_.resize(old + 65536);
                ssize_t r = ::recv(fd, in_.data() + old, 65536, MSG_DONTWAIT);
                in_.resize(old + static_cast<size_t>(r > 0 ? r : 0));
                if (r == 0)
                    throw LinkError("connection closed by the agent");
                if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    throw LinkError(std::string("read from agent: ") + strerror(errno));
            }
            continue;
        }
        size_t left = static_cast<size_t>(n);
        while (i < v.size() && left >= v[i].iov_len)
            left -= v[i++].iov_len;
        if (i < v.size()) {
            v[i].iov_base = static_cast<char *>(v[i].iov_base) + left;
            v[i].iov_len -= left;
        }
    }
}

void Remote::readSocket(char *p, size_t n)
{
    size_t have = std::min(n, in_.size() - inPos_);
    memcpy(p, in_.data() + inPos_, have);
    inPos_ += have;
    if (inPos_ == in_.size()) {
        in_.clear();
        inPos_ = 0;
    }
    p += have;
    n -= have;
    if (n > 0 && n < 4096) {
        // Small parts (headers, words, names) come through the buffer, with whatever else
        // has arrived: one system call for many replies.
        in_.resize(256 * 1024);
        ssize_t r;
        while ((r = ::recv(link_.fd(), in_.data(), in_.size(), 0)) < 0 && errno == EINTR) {
        }
        in_.resize(r > 0 ? static_cast<size_t>(r) : 0);
        if (r == 0)
            throw LinkError("connection closed by the agent");
        if (r < 0)
            throw LinkError(std::string("read from agent: ") + strerror(errno));
        readSocket(p, n);
        return;
    }
    while (n > 0) {
        ssize_t r = ::recv(link_.fd(), p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            throw LinkError("connection closed by the agent");
        if (r < 0)
            throw LinkError(std::string("read from agent: ") + strerror(errno));
        p += r;
        n -= static_cast<size_t>(r);
    }
}

void Remote::receive(Reply &r, int head, char *tail, size_t size, bool wanted)
{
    if (sending_) {
        batchWaits_++;
        sending_ = false;
    }
    for (;;) {
        r.swapped = link_.swapped();
        r.raw.resize(4);
        readSocket(r.raw.data(), 4);
        int len = r.length();
        if (len < 4 || len > hostlink::kMaxMessage || r.raw[3] != 0)
            throw LinkError("malformed reply: length " + std::to_string(len));
        int first = std::min(len, head);
        if (discardInFlight_ > 0 || !wanted)
            first = len;
        r.raw.resize(static_cast<size_t>(first));
        readSocket(r.raw.data() + 4, static_cast<size_t>(first - 4));
        size_t rest = static_cast<size_t>(len - first);
        if (rest > size)
            throw LinkError("reply longer than expected");
        readSocket(tail, rest);
        if (discardInFlight_ == 0 || !wanted)
            return;
        discardInFlight_--;
    }
}

void Remote::settle()
{
    flush();
    hostlink::Reply r;
    while (discardInFlight_ > 0) {
        discardInFlight_--;
        receive(r, hostlink::kMaxMessage, nullptr, 0, false);
    }
}

int Remote::listNames(const std::string &path, std::vector<std::string> *names)
{
    Reply r;
    queue(kOpendir, {}, std::string_view(path.c_str(), path.size() + 1));
    flush();
    receive(r);
    expect(r, kOpendir, 12);
    uint32_t dir = static_cast<uint32_t>(r.word(1));
    if (!dir) {
        errno = errnoOf(r);
        return -1;
    }
    auto handle = static_cast<int32_t>(dir);
    size_t window = 1024;
    for (bool end = false; !end;) {
        for (size_t i = 0; i < window; i++)
            queue(kReaddir, {handle});
        flush();
        for (size_t i = 0; i < window; i++) {
            receive(r);
            expect(r, kReaddir, 12);
            if (r.word(1) < 0) {
                end = true;
                continue;
            }
            std::string_view d = r.data(12);
            std::string name(d.substr(0, d.find('\0')));
            if (!end && name != "." && name != "..")
                names->push_back(std::move(name));
        }
        window = 16384;
    }
    // Closed with the next batch: its answer is of no use.
    queueDiscard(kClosedir, {handle});
    return 0;
}

std::vector<StatResult> Remote::statMany(const std::vector<std::string> &paths, bool follow)
{
    std::vector<StatResult> out(paths.size());
    Reply r;
    for (size_t done = 0; done < paths.size();) {
        size_t end = done;
        for (; end < paths.size() && batch_.size() < kBatchBytes; end++)
            queue(follow ? kStat : kLstat, {}, std::string_view(paths[end].c_str(), paths[end].size() + 1));
        flush();
        for (; done < end; done++) {
            receive(r);
            expect(r, follow ? kStat : kLstat, 52);
            StatResult &s = out[done];
            s.result = r.word(1);
            if (s.result < 0)
                s.error = errnoOf(r);
            else {
                int32_t *w = &s.st.mode;
                for (int k = 0; k < 10; k++)
                    w[k] = r.word(3 + k);
            }
        }
    }
    return out;
}

std::vector<std::optional<std::string>> Remote::readlinkMany(const std::vector<std::string> &paths)
{
    std::vector<std::optional<std::string>> out(paths.size());
    Reply r;
    for (size_t done = 0; done < paths.size();) {
        size_t end = done;
        for (; end < paths.size() && batch_.size() < kBatchBytes; end++)
            queue(kReadlink, {}, std::string_view(paths[end].c_str(), paths[end].size() + 1));
        flush();
        for (; done < end; done++) {
            receive(r);
            expect(r, kReadlink, 12);
            int32_t n = r.word(1);
            if (n >= 0 && static_cast<size_t>(n) <= r.raw.size() - 12)
                out[done] = std::string(r.data(12).substr(0, static_cast<size_t>(n)));
        }
    }
    return out;
}

std::vector<int> Remote::mkdirMany(const std::vector<std::string> &paths, int32_t mode)
{
    std::vector<int> out(paths.size());
    Reply r;
    for (size_t done = 0; done < paths.size();) {
        size_t end = done;
        for (; end < paths.size() && batch_.size() < kBatchBytes; end++) {
            queue(kMkdir, {mode}, std::string_view(paths[end].c_str(), paths[end].size() + 1));
        }
        flush();
        for (; done < end; done++) {
            receive(r);
            expect(r, kMkdir, 12);
            out[done] = r.word(1) < 0 ? errnoOf(r) : 0;
        }
    }
    return out;
}

std::vector<int> Remote::symlinkMany(const std::vector<std::pair<std::string, std::string>> &links)
{
    std::vector<int> out(links.size());
    Reply r;
    for (size_t done = 0; done < links.size();) {
        size_t end = done;
        for (; end < links.size() && batch_.size() < kBatchBytes; end++) {
            std::string s = links[end].first;
            s += '\0';
            s += links[end].second;
            s += '\0';
            queue(kSymlink, {}, s);
        }
        flush();
        for (; done < end; done++) {
            receive(r);
            expect(r, kSymlink, 12);
            out[done] = r.word(1) < 0 ? errnoOf(r) : 0;
        }
    }
    return out;
}

void Remote::identity(int32_t *uid, std::string *login)
{
    Reply r;
    queue(kGetuid, {});
    queue(kGetlogin, {});
    flush();
    receive(r);
    expect(r, kGetuid, 8);
    *uid = r.word(1);
    receive(r);
    expect(r, kGetlogin, 68);
    std::string_view field = r.data(4).substr(0, 64);
    *login = std::string(field.substr(0, field.find('\0')));
}

int Remote::getFile(const std::string &remote, int out, const ProgressFn &progress, char *where)
{
    std::string path = remote;
    path += '\0';
    queue(kOpen, {hostlink::kOpenRead, 0}, path);
    flush();
    Reply r;
    receive(r);
    expect(r, kOpen, 12);
    int32_t fd = r.word(1);
    if (fd < 0) {
        errno = errnoOf(r);
        *where = 'r';
        return -1;
    }
    std::vector<char> buffer(kChunk + 4);
    size_t filled = 0;
    int64_t done = 0;
    int error = 0;
    char side = 0;
    bool end = false;
    int inFlight = 0;
    while (!end || inFlight > 0) {
        if (!end && inFlight <= kReadWindow / 2) {
            for (; inFlight < kReadWindow; inFlight++)
                queue(kRead, {fd, kMaxData});
            flush();
        }
        if (buffer.size() - filled < static_cast<size_t>(kMaxData) + 4) {
            if (!error && writeFull(out, buffer.data(), filled) < 0)
                error = errno, side = 'l', end = true;
            filled = 0;
        }
        receive(r, 12, buffer.data() + filled, buffer.size() - filled);
        inFlight--;
        expect(r, kRead, 12);
        int32_t n = r.word(1);
        if (end)
            continue; // answers to reads sent before the end was seen
        if (n < 0) {
            error = errnoOf(r), side = 'r', end = true;
            continue;
        }
        filled += static_cast<size_t>(n);
        done += n;
        if (n < kMaxData)
            end = true;
        if (progress && !progress(done))
            error = EINTR, side = 'l', end = true;
    }
    if (!error && writeFull(out, buffer.data(), filled) < 0)
        error = errno, side = 'l';
    queue(kClose, {fd});
    flush();
    receive(r);
    if (error) {
        errno = error;
        *where = side;
        return -1;
    }
    return 0;
}

int Remote::putFile(int in, const std::string &remote, int32_t mode, const ProgressFn &progress, char *where)
{
    std::string path = remote;
    path += '\0';
    queue(kOpen, {hostlink::kOpenWrite | hostlink::kOpenCreate | hostlink::kOpenTruncate, mode}, path);
    flush();
    Reply r;
    receive(r);
    expect(r, kOpen, 12);
    int32_t fd = r.word(1);
    if (fd < 0) {
        errno = errnoOf(r);
        *where = 'r';
        return -1;
    }
    std::vector<char> buffer(kChunk);
    std::vector<int32_t> sizes; // of the writes in flight, oldest first
    size_t oldest = 0;
    int64_t done = 0;
    int error = 0;
    char side = 0;
    auto settleOne = [&] {
        receive(r);
        expect(r, kWrite, 12);
        int32_t n = r.word(1);
        int32_t want = sizes[oldest++];
        if (!error && n < 0)
            error = errnoOf(r), side = 'r';
        else if (!error && n != want)
            error = EIO, side = 'r';
    };
    for (bool end = false; !end && !error;) {
        ssize_t got = readFull(in, buffer.data(), buffer.size());
        if (got < 0) {
            error = errno, side = 'l';
            break;
        }
        if (static_cast<size_t>(got) < buffer.size())
            end = true;
        for (ssize_t off = 0; off < got && !error; off += kMaxData) {
            int32_t n = static_cast<int32_t>(std::min<ssize_t>(kMaxData, got - off));
            char head[12];
            uint16_t l = link_.encodeLength(12 + n);
            memcpy(head, &l, 2);
            head[2] = kWrite;
            head[3] = 0;
            memcpy(head + 4, link_.encodeWord(fd).data(), 4);
            memcpy(head + 8, link_.encodeWord(n).data(), 4);
            struct iovec v[2] = {{head, 12}, {buffer.data() + off, static_cast<size_t>(n)}};
            sendAll(v, 2);
            sending_ = true;
            sizes.push_back(n);
            while (sizes.size() - oldest >= static_cast<size_t>(kWriteWindow) && !error)
                settleOne();
        }
        done += got;
        if (!error && progress && !progress(done))
            error = EINTR, side = 'l';
    }
    while (oldest < sizes.size())
        settleOne();
    queue(kClose, {fd});
    flush();
    receive(r);
    expect(r, kClose, 12);
    if (!error && r.word(1) < 0)
        error = errnoOf(r), side = 'r';
    if (error) {
        errno = error;
        *where = side;
        return -1;
    }
    return 0;
}

} // namespace hostsh
