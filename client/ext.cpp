#include <hostlink/ext.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <hostlink/calls.h>

namespace hostlink {

namespace {

constexpr int kStatusWords = 24;
constexpr int kEntryHeadWords = 2 + kStatusWords;

Request &word64(Request &req, int64_t v)
{
    uint64_t u = static_cast<uint64_t>(v);
    return req.word(static_cast<int32_t>(static_cast<uint32_t>(u >> 32))).word(static_cast<int32_t>(static_cast<uint32_t>(u)));
}

int64_t get64(const Reply &r, int n)
{
    return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(r.word(n))) << 32) |
                                static_cast<uint32_t>(r.word(n + 1)));
}

void getStatus(const Reply &r, int n, Status64 *s)
{
    s->mode = static_cast<uint32_t>(r.word(n));
    s->nlink = static_cast<uint32_t>(r.word(n + 1));
    s->uid = static_cast<uint32_t>(r.word(n + 2));
    s->gid = static_cast<uint32_t>(r.word(n + 3));
    s->size = get64(r, n + 4);
    s->ino = static_cast<uint64_t>(get64(r, n + 6));
    s->devMajor = static_cast<uint32_t>(r.word(n + 8));
    s->devMinor = static_cast<uint32_t>(r.word(n + 9));
    s->rdevMajor = static_cast<uint32_t>(r.word(n + 10));
    s->rdevMinor = static_cast<uint32_t>(r.word(n + 11));
    s->blocks = get64(r, n + 12);
    s->blksize = r.word(n + 14);
    s->atime = {static_cast<time_t>(get64(r, n + 15)), r.word(n + 17)};
    s->mtime = {static_cast<time_t>(get64(r, n + 18)), r.word(n + 20)};
    s->ctime = {static_cast<time_t>(get64(r, n + 21)), r.word(n + 23)};
}

Request timesRequest(std::string_view path, const struct timespec times[2], bool nofollow)
{
    Request req(kCallUtimens);
    req.word(nofollow ? 1 : 0);
    for (int i = 0; i < 2; i++) {
        word64(req, times[i].tv_sec);
        req.word(static_cast<int32_t>(times[i].tv_nsec));
    }
    return req.str(path);
}

int32_t simple(Link &link, const Request &req) { return parseResult(link.exchange(req), req.call()); }

} // namespace

int32_t parseResult(const Reply &r, int call, int minLength)
{
    if (r.call() != call || r.length() < minLength || static_cast<int>(r.raw.size()) < minLength)
        throw LinkError("malformed reply to call " + std::to_string(call));
    int32_t result = r.word(1);
    if (result < 0)
        errno = localErrno(r.word(2));
    return result;
}

int lastExtensionCall(const std::vector<std::string> &entries)
{
    constexpr std::string_view kCalls = "HOSTAGENT_EXTENSION_CALLS=";
    constexpr int kMostCalls = 65535;
    if (std::find(entries.begin(), entries.end(), "HOSTAGENT_EXTENSIONS=1") == entries.end())
        return 0;
    for (const std::string &entry : entries) {
        if (!entry.starts_with(kCalls))
            continue;
        std::string_view digits = std::string_view(entry).substr(kCalls.size());
        if (digits.empty() || digits.size() > 5 || digits[0] == '0')
            return kLastFirstExtension;
        int n = 0;
        for (char c : digits) {
            if (c < '0' || c > '9')
                return kLastFirstExtension;
            n = n * 10 + (c - '0');
        }
        return n >= kLastFirstExtension && n <= kMostCalls ? n : kLastFirstExtension;
    }
    return kLastFirstExtension;
}

int lastExtensionCall(Link &link) { return lastExtensionCall(getenv(link)); }

bool hasExtensions(Link &link) { return lastExtensionCall(link) > 0; }

int32_t rename(Link &link, std::string_view from, std::string_view to)
{
    return simple(link, Request(kCallRename).str(from).str(to));
}

int32_t truncate(Link &link, std::string_view path, int64_t length)
{
    Request req(kCallTruncate);
    word64(req, length).str(path);
    return simple(link, req);
}

int32_t ftruncate(Link &link, int32_t fd, int64_t length)
{
    Request req(kCallFtruncate);
    req.word(fd);
    word64(req, length);
    return simple(link, req);
}

int32_t utimens(Link &link, std::string_view path, const struct timespec times[2], bool nofollow)
{
    return simple(link, timesRequest(path, times, nofollow));
}

int32_t lchown(Link &link, std::string_view path, int32_t uid, int32_t gid)
{
    return simple(link, Request(kCallLchown).word(uid).word(gid).str(path));
}

int32_t mknod(Link &link, std::string_view path, uint32_t mode)
{
    return simple(link, Request(kCallMknod).word(static_cast<int32_t>(mode)).str(path));
}

int32_t statvfs(Link &link, std::string_view path, FsStats *stats)
{
    return parseStatvfs(link.exchange(Request(kCallStatvfs).str(path)), stats);
}

int32_t parseStatvfs(const Reply &r, FsStats *stats)
{
    int32_t result = parseResult(r, kCallStatvfs, 84);
    if (result == 0 && stats) {
        stats->bsize = static_cast<uint32_t>(r.word(3));
        stats->frsize = static_cast<uint32_t>(r.word(4));
        uint64_t *fields[] = {&stats->blocks, &stats->bfree, &stats->bavail, &stats->files,
                              &stats->ffree,  &stats->favail, &stats->fsid};
        for (int i = 0; i < 7; i++)
            *fields[i] = static_cast<uint64_t>(get64(r, 5 + 2 * i));
        stats->flags = static_cast<uint32_t>(r.word(19));
        stats->namemax = static_cast<uint32_t>(r.word(20));
    }
    return result;
}

Request pread64Request(int32_t fd, size_t count, int64_t offset)
{
    Request req(kCallPread64);
    req.word(fd).word(static_cast<int32_t>(count > static_cast<size_t>(kMaxData) ? kMaxData : count));
    word64(req, offset);
    return req;
}

int32_t parsePread(const Reply &r, int call, void *buffer, size_t count)
{
    int32_t n = parseResult(r, call);
    if (n < 0)
        return n;
    if (static_cast<size_t>(n) > count || 12 + static_cast<size_t>(n) > r.raw.size())
        throw LinkError("read reply longer than asked");
    memcpy(buffer, r.raw.data() + 12, static_cast<size_t>(n));
    return n;
}

int32_t parsePread64(const Reply &r, void *buffer, size_t count) { return parsePread(r, kCallPread64, buffer, count); }

int32_t pread64(Link &link, int32_t fd, void *buffer, size_t count, int64_t offset)
{
    if (count > static_cast<size_t>(kMaxData))
        count = kMaxData;
    return parsePread64(link.exchange(pread64Request(fd, count, offset)), buffer, count);
}

Request pwrite64Request(int32_t fd, std::string_view data, int64_t offset)
{
    if (data.size() > static_cast<size_t>(kMaxPwrite))
        data = data.substr(0, kMaxPwrite);
    Request req(kCallPwrite64);
    req.word(fd).word(static_cast<int32_t>(data.size()));
    word64(req, offset);
    return req.borrow(data);
}

int32_t pwrite64(Link &link, int32_t fd, const void *buffer, size_t count, int64_t offset)
{
    return simple(link, pwrite64Request(fd, std::string_view(static_cast<const char *>(buffer), count), offset));
}

Request stat64Request(int call, std::string_view path) { return Request(call).str(path); }

int32_t parseStatus64(const Reply &r, int call, Status64 *status)
{
    int32_t result = parseResult(r, call, 12 + 4 * kStatusWords);
    if (result == 0 && status)
        getStatus(r, 3, status);
    return result;
}

int32_t stat64(Link &link, std::string_view path, Status64 *status)
{
    return parseStatus64(link.exchange(stat64Request(kCallStat64, path)), kCallStat64, status);
}

int32_t lstat64(Link &link, std::string_view path, Status64 *status)
{
    return parseStatus64(link.exchange(stat64Request(kCallLstat64, path)), kCallLstat64, status);
}

int32_t fstat64(Link &link, int32_t fd, Status64 *status)
{
    return parseStatus64(link.exchange(Request(kCallFstat64).word(fd)), kCallFstat64, status);
}

int32_t parseReaddirplus(const Reply &r, std::vector<DirEntryPlus> &entries)
{
    int32_t count = parseResult(r, kCallReaddirplus);
    size_t length = std::min(static_cast<size_t>(r.length()), r.raw.size());
    size_t pos = 12;
    for (int32_t i = 0; i < count; i++) {
        if (pos + 4 * kEntryHeadWords > length)
            throw LinkError("readdirplus reply cut short");
        int n = static_cast<int>(pos / 4);
        int32_t reclen = r.word(n);
        if (reclen < 4 * kEntryHeadWords + 1 || reclen % 4 || pos + static_cast<size_t>(reclen) > length)
            throw LinkError("readdirplus entry of a bad length");
        DirEntryPlus e;
        int32_t wire = r.word(n + 1);
        e.error = wire ? localErrno(wire) : 0;
        if (!wire)
            getStatus(r, n + 2, &e.status);
        const char *name = r.raw.data() + pos + 4 * kEntryHeadWords;
        e.name.assign(name, strnlen(name, static_cast<size_t>(reclen) - 4 * kEntryHeadWords));
        entries.push_back(std::move(e));
        pos += static_cast<size_t>(reclen);
    }
    return count;
}

int32_t readdirplus(Link &link, uint32_t handle, std::vector<DirEntryPlus> &entries, int32_t most)
{
    return parseReaddirplus(link.exchange(Request(kCallReaddirplus).word(static_cast<int32_t>(handle)).word(most)),
                            entries);
}

int32_t fsync(Link &link, int32_t fd, bool dataOnly)
{
    return simple(link, Request(kCallFsync).word(fd).word(dataOnly ? 1 : 0));
}

int32_t umask(Link &link, uint32_t mask) { return simple(link, Request(kCallUmask).word(static_cast<int32_t>(mask))); }

Request openreadRequest(std::string_view path, int32_t flags, int32_t mode, size_t count)
{
    Request req(kCallOpenread);
    req.word(flags).word(mode).word(static_cast<int32_t>(count > static_cast<size_t>(kMaxOpenread) ? kMaxOpenread : count));
    return req.str(path);
}

int32_t parseOpenread(const Reply &r, size_t available, int32_t *got)
{
    int32_t fd = parseResult(r, kCallOpenread, 16);
    int32_t n = r.word(3);
    if (n > kMaxOpenread || (n > 0 && static_cast<size_t>(n) > available) || (fd < 0 && n >= 0))
        throw LinkError("openread reply longer than it says");
    if (fd >= 0 && n < 0)
        errno = localErrno(r.word(2));
    *got = n < 0 ? -1 : n;
    return fd;
}

int32_t openread(Link &link, std::string_view path, int32_t flags, int32_t mode, void *buffer, size_t count, int32_t *got)
{
    if (count > static_cast<size_t>(kMaxOpenread))
        count = kMaxOpenread;
    Reply r = link.exchange(openreadRequest(path, flags, mode, count));
    size_t available = r.raw.size() > 16 ? r.raw.size() - 16 : 0;
    int32_t fd = parseOpenread(r, std::min(available, count), got);
    if (*got > 0)
        memcpy(buffer, r.raw.data() + 16, static_cast<size_t>(*got));
    return fd;
}

Request openwriteRequest(std::string_view path, int32_t flags, int32_t mode, std::string_view data, bool keep)
{
    data = data.substr(0, maxOpenwrite(path.size()));
    Request req(kCallOpenwrite);
    req.word(flags).word(mode).word(static_cast<int32_t>(data.size())).word(keep ? 1 : 0);
    return req.str(path).borrow(data);
}

int32_t parseOpenwrite(const Reply &r, size_t count, int32_t *put)
{
    int32_t result = parseResult(r, kCallOpenwrite, 16);
    int32_t n = r.word(3);
    if (n > 0 && static_cast<size_t>(n) > count)
        throw LinkError("openwrite reply counts more than was sent");
    if (result >= 0 && r.word(2) != 0)
        errno = localErrno(r.word(2));
    *put = n < 0 ? -1 : n;
    return result;
}

int32_t openwrite(Link &link, std::string_view path, int32_t flags, int32_t mode, std::string_view data, bool keep,
                  int32_t *put)
{
    data = data.substr(0, maxOpenwrite(path.size()));
    return parseOpenwrite(link.exchange(openwriteRequest(path, flags, mode, data, keep)), data.size(), put);
}

Request preadlastRequest(size_t count, int64_t offset)
{
    Request req(kCallPreadlast);
    req.word(static_cast<int32_t>(count > static_cast<size_t>(kMaxData) ? kMaxData : count));
    word64(req, offset);
    return req;
}

int32_t preadlast(Link &link, void *buffer, size_t count, int64_t offset)
{
    if (count > static_cast<size_t>(kMaxData))
        count = kMaxData;
    return parsePread(link.exchange(preadlastRequest(count, offset)), kCallPreadlast, buffer, count);
}

} // namespace hostlink
