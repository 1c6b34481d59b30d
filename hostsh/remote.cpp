#include "hostsh/remote.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <unistd.h>

#include <hostlink/ext.h>
#include <hostlink/tools.h>

namespace hostsh {

using hostlink::Batch;
using hostlink::Pending;

namespace {

constexpr int kWindow = 32; // reads or writes of a transfer in flight

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

ssize_t preadFull(int fd, char *p, size_t n, off_t at)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::pread(fd, p + got, n - got, at + static_cast<off_t>(got));
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

Info FromPlain(const hostlink::FileStatus &s)
{
    Info i;
    i.mode = static_cast<uint32_t>(s.mode);
    i.nlink = static_cast<uint32_t>(s.nlink);
    i.uid = static_cast<uint32_t>(s.uid);
    i.gid = static_cast<uint32_t>(s.gid);
    i.size = s.size;
    i.ino = static_cast<uint32_t>(s.ino);
    i.dev = static_cast<uint32_t>(s.dev);
    i.atime = s.atime;
    i.mtime = s.mtime;
    i.ctime = s.ctime;
    return i;
}

Info FromWide(const hostlink::Status64 &s)
{
    Info i;
    i.mode = s.mode;
    i.nlink = s.nlink;
    i.uid = s.uid;
    i.gid = s.gid;
    i.size = s.size;
    i.ino = s.ino;
    i.dev = (static_cast<uint64_t>(s.devMajor) << 32) | s.devMinor;
    i.atime = s.atime.tv_sec;
    i.mtime = s.mtime.tv_sec;
    i.ctime = s.ctime.tv_sec;
    return i;
}

} // namespace

Remote::Remote(hostlink::Link &link) : link_(link) { hostlink::detail::record(link_, &single_); }
Remote::~Remote() { hostlink::detail::record(link_, nullptr); }

void Remote::detect() { ext_ = hostlink::hasExtensions(link_); }

long Remote::waits() const { return static_cast<long>(single_.size()) + rounds_; }
void Remote::resetWaits()
{
    single_.clear();
    rounds_ = 0;
}

void Remote::begin(Batch &batch)
{
    for (uint32_t h : toClose_)
        batch.closedir(h);
    toClose_.clear();
}

void Remote::settle()
{
    if (toClose_.empty())
        return;
    Batch batch(link_);
    begin(batch);
    batch.drain();
    rounds_++;
}

int Remote::listNames(const std::string &path, std::vector<std::string> *names)
{
    Batch batch(link_);
    begin(batch);
    Pending opened = batch.opendir(path);
    rounds_++;
    auto handle = static_cast<uint32_t>(opened.value());
    if (!handle)
        return -1;
    // Rounds of readdirs, each larger than the last: a small directory costs little on the host,
    // a large one few waits.
    int error = 0;
    for (size_t window = 64; !error;) {
        std::vector<Pending> round;
        for (size_t i = 0; i < window; i++)
            round.push_back(batch.readdir(handle));
        batch.flush();
        rounds_++;
        bool end = false;
        for (Pending &p : round) {
            const hostlink::Result &r = p.get();
            if (end)
                continue;
            if (r.value <= 0) {
                end = true;
                error = r.value < 0 ? r.error : 0;
                continue;
            }
            if (r.text != "." && r.text != "..")
                names->push_back(r.text);
        }
        if (end)
            break;
        window = std::min<size_t>(window * 16, 16384);
    }
    // Closed with the next round: its answer is of no use.
    toClose_.push_back(handle);
    if (error) {
        errno = error;
        return -1;
    }
    return 0;
}

std::vector<StatResult> Remote::statMany(const std::vector<std::string> &paths, bool follow)
{
    std::vector<StatResult> out(paths.size());
    if (paths.empty())
        return out;
    Batch batch(link_);
    begin(batch);
    std::vector<Pending> round;
    std::vector<hostlink::Status64> wide(ext_ ? paths.size() : 0);
    for (size_t k = 0; k < paths.size(); k++) {
        if (!ext_) {
            round.push_back(follow ? batch.stat(paths[k]) : batch.lstat(paths[k]));
            continue;
        }
        int call = follow ? hostlink::kCallStat64 : hostlink::kCallLstat64;
        hostlink::Status64 *into = &wide[k];
        round.push_back(batch.submit(hostlink::stat64Request(call, paths[k]),
                                     [call, into](const hostlink::Reply &r, hostlink::Result &res) {
                                         res.value = hostlink::parseStatus64(r, call, into);
                                         res.error = res.value < 0 ? errno : 0;
                                     }));
    }
    batch.flush();
    rounds_++;
    for (size_t k = 0; k < paths.size(); k++) {
        const hostlink::Result &r = round[k].get();
        out[k].result = r.value;
        out[k].error = r.error;
        if (r.value >= 0)
            out[k].st = ext_ ? FromWide(wide[k]) : FromPlain(r.status);
        // The plain status words cannot carry a size of 2 GiB or more: the agent refuses them.
        else if (!ext_ && r.error == EINVAL)
            out[k].error = EOVERFLOW;
    }
    return out;
}

std::vector<std::optional<std::string>> Remote::readlinkMany(const std::vector<std::string> &paths)
{
    std::vector<std::optional<std::string>> out(paths.size());
    if (paths.empty())
        return out;
    Batch batch(link_);
    begin(batch);
    std::vector<Pending> round;
    for (const std::string &p : paths)
        round.push_back(batch.readlink(p));
    batch.flush();
    rounds_++;
    for (size_t k = 0; k < paths.size(); k++) {
        const hostlink::Result &r = round[k].get();
        if (r.value >= 0)
            out[k] = r.text;
    }
    return out;
}

std::vector<int> Remote::mkdirMany(const std::vector<std::string> &paths, int32_t mode)
{
    std::vector<int> out(paths.size());
    Batch batch(link_);
    begin(batch);
    std::vector<Pending> round;
    for (const std::string &p : paths)
        round.push_back(batch.mkdir(p, mode));
    batch.flush();
    rounds_++;
    for (size_t k = 0; k < paths.size(); k++)
        out[k] = round[k].get().error;
    return out;
}

std::vector<int> Remote::symlinkMany(const std::vector<std::pair<std::string, std::string>> &links)
{
    std::vector<int> out(links.size());
    if (links.empty())
        return out;
    Batch batch(link_);
    begin(batch);
    std::vector<Pending> round;
    for (const auto &[text, path] : links)
        round.push_back(batch.symlink(text, path));
    batch.flush();
    rounds_++;
    for (size_t k = 0; k < links.size(); k++)
        out[k] = round[k].get().error;
    return out;
}

long Remote::removeMany(const std::vector<std::string> &paths, const std::vector<bool> &dirs, int *error)
{
    // In rounds of a few hundred, so that a failure stops the removal soon after it.
    for (size_t from = 0; from < paths.size();) {
        size_t to = std::min(paths.size(), from + 256);
        Batch batch(link_);
        begin(batch);
        std::vector<Pending> round;
        // The agent takes requests in order: a directory's entries go before it.
        for (size_t k = from; k < to; k++)
            round.push_back(dirs[k] ? batch.rmdir(paths[k]) : batch.unlink(paths[k]));
        batch.flush();
        rounds_++;
        for (size_t k = 0; k < round.size(); k++) {
            const hostlink::Result &r = round[k].get();
            if (r.value < 0) {
                *error = r.error;
                batch.drain();
                return static_cast<long>(from + k);
            }
        }
        from += round.size();
    }
    return -1;
}

void Remote::identity(int32_t *uid, std::string *login)
{
    // getlogin has no batch form; both go as single calls.
    *uid = hostlink::getuid(link_);
    if (hostlink::getlogin(link_, login) < 0)
        login->clear();
}


Pending Remote::readAt(Batch &batch, int32_t fd, char *buffer, size_t count, int64_t offset)
{
    if (!ext_)
        return batch.read(fd, buffer, count);
    hostlink::SubmitOptions o;
    o.into = buffer;
    o.intoSize = count;
    o.head = 12;
    return batch.submit(hostlink::pread64Request(fd, count, offset),
                        [count](const hostlink::Reply &r, hostlink::Result &res) {
                            res.value = hostlink::parseResult(r, hostlink::kCallPread64);
                            res.error = res.value < 0 ? errno : 0;
                            if (res.value >= 0 &&
                                (static_cast<size_t>(res.value) > count || static_cast<size_t>(res.value) > res.bytes))
                                throw hostlink::LinkError(hostlink::LinkError::Kind::Malformed,
                                                          "pread64 reply carries fewer bytes than it claims");
                        },
                        std::move(o));
}

int Remote::seekTo(Batch &batch, int32_t fd, int64_t offset)
{
    if (ext_ || offset == 0)
        return 0;
    if (offset > INT32_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    return batch.lseek(fd, static_cast<int32_t>(offset), SEEK_SET).value() < 0 ? -1 : 0;
}

int Remote::getFile(const std::string &remote, int out, int64_t offset, const ProgressFn &progress, char *where)
{
    const size_t chunk = hostlink::kMaxData;
    Batch batch(link_, kWindow * (chunk + 128) + 4096);
    begin(batch);
    int32_t fd = batch.open(remote, hostlink::kOpenRead).value();
    rounds_++;
    if (fd < 0 || seekTo(batch, fd, offset) < 0) {
        int error = errno;
        if (fd >= 0)
            batch.close(fd).get();
        *where = 'o';
        errno = error;
        return -1;
    }
    // Reads in flight return consecutive parts of the file; the first short one marks the end,
    // and the reads behind it return nothing more.
    std::vector<std::string> buffers(kWindow, std::string(chunk, '\0'));
    std::deque<std::pair<size_t, Pending>> reads;
    int64_t next = offset, done = 0;
    for (size_t i = 0; i < static_cast<size_t>(kWindow); i++, next += static_cast<int64_t>(chunk))
        reads.emplace_back(i, readAt(batch, fd, buffers[i].data(), chunk, next));
    int error = 0;
    char side = 0;
    bool atEnd = false;
    while (!reads.empty()) {
        auto [index, pending] = std::move(reads.front());
        reads.pop_front();
        const hostlink::Result &r = pending.get();
        if (atEnd)
            continue;
        if (r.value < 0) {
            error = r.error, side = 'r', atEnd = true;
            continue;
        }
        if (writeFull(out, buffers[index].data(), static_cast<size_t>(r.value)) < 0) {
            error = errno, side = 'l', atEnd = true;
            continue;
        }
        done += r.value;
        if (progress && !progress(done)) {
            error = EINTR, side = 'l', atEnd = true;
            continue;
        }
        if (static_cast<size_t>(r.value) < chunk) {
            atEnd = true;
            continue;
        }
        reads.emplace_back(index, readAt(batch, fd, buffers[index].data(), chunk, next));
        next += static_cast<int64_t>(chunk);
    }
    batch.close(fd).get();
    rounds_++;
    if (!error)
        return 0;
    *where = side;
    errno = error;
    return -1;
}

int Remote::sameStart(const std::string &remote, int local, int64_t length)
{
    if (length <= 0)
        return 1;
    const int64_t piece = hostlink::kMaxData;
    std::vector<int64_t> offsets = {0};
    if (length > piece)
        offsets.push_back(length - piece);
    Batch batch(link_);
    begin(batch);
    int32_t fd = batch.open(remote, hostlink::kOpenRead).value();
    rounds_++;
    if (fd < 0)
        return -1;
    int same = 1;
    std::string theirs(static_cast<size_t>(piece), '\0'), ours(static_cast<size_t>(piece), '\0');
    for (int64_t at : offsets) {
        size_t want = static_cast<size_t>(std::min(piece, length - at));
        if (seekTo(batch, fd, at) < 0) {
            same = -1;
            break;
        }
        Pending read = readAt(batch, fd, theirs.data(), want, at);
        const hostlink::Result &r = read.get();
        if (r.value < 0) {
            errno = r.error;
            same = -1;
            break;
        }
        ssize_t got = preadFull(local, ours.data(), want, static_cast<off_t>(at));
        if (static_cast<size_t>(r.value) != want || got != static_cast<ssize_t>(want) ||
            memcmp(theirs.data(), ours.data(), want) != 0) {
            same = 0;
            break;
        }
    }
    int error = errno;
    batch.close(fd).get();
    errno = error;
    return same;
}

int Remote::putFile(int in, const std::string &remote, int32_t mode, int64_t offset, bool sync,
                    const ProgressFn &progress, char *where)
{
    Batch batch(link_, kWindow * (hostlink::kMaxData + 128) + 4096);
    begin(batch);
    int32_t flags = hostlink::kOpenWrite | (offset ? 0 : hostlink::kOpenCreate | hostlink::kOpenTruncate);
    int32_t fd = batch.open(remote, flags, mode).value();
    rounds_++;
    if (fd < 0 || seekTo(batch, fd, offset) < 0) {
        int e = errno;
        if (fd >= 0)
            batch.close(fd).get();
        *where = 'o';
        errno = e;
        return -1;
    }
    std::deque<std::pair<size_t, Pending>> writes;
    int error = 0;
    char side = 0;
    auto collect = [&](size_t keep) {
        while (writes.size() > keep) {
            auto [want, pending] = std::move(writes.front());
            writes.pop_front();
            const hostlink::Result &r = pending.get();
            if (!error && r.value < 0)
                error = r.error, side = 'r';
            else if (!error && static_cast<size_t>(r.value) != want)
                error = ENOSPC, side = 'r'; // a short write: the disk took no more
        }
    };
    // pwrite64 carries a little less than write.
    const size_t piece = ext_ ? static_cast<size_t>(hostlink::kMaxPwrite) : static_cast<size_t>(hostlink::kMaxData);
    std::vector<char> buffer(16 * piece);
    int64_t done = 0, at = offset;
    for (bool end = false; !end && !error;) {
        ssize_t got = readFull(in, buffer.data(), buffer.size());
        if (got < 0) {
            error = errno, side = 'l';
            break;
        }
        end = static_cast<size_t>(got) < buffer.size();
        for (ssize_t off = 0; off < got && !error; off += static_cast<ssize_t>(piece)) {
            size_t n = std::min(piece, static_cast<size_t>(got - off));
            const char *p = buffer.data() + off;
            if (ext_) {
                // The request borrows the data: it is encoded at once by submit.
                writes.emplace_back(n, batch.submit(hostlink::pwrite64Request(fd, std::string_view(p, n), at),
                                                    [](const hostlink::Reply &r, hostlink::Result &res) {
                                                        res.value = hostlink::parseResult(r, hostlink::kCallPwrite64);
                                                        res.error = res.value < 0 ? errno : 0;
                                                    }));
            } else
                writes.emplace_back(n, batch.write(fd, p, n));
            at += static_cast<int64_t>(n);
            collect(kWindow);
        }
        done += got;
        if (!error && progress && !progress(done))
            error = EINTR, side = 'l';
    }
    collect(0);
    if (!error && sync && ext_) {
        Pending synced = batch.submit(hostlink::Request(hostlink::kCallFsync).word(fd).word(0),
                                      [](const hostlink::Reply &reply, hostlink::Result &res) {
                                          res.value = hostlink::parseResult(reply, hostlink::kCallFsync);
                                          res.error = res.value < 0 ? errno : 0;
                                      });
        if (synced.value() < 0)
            error = errno, side = 'r';
    }
    Pending closing = batch.close(fd);
    const hostlink::Result &closed = closing.get();
    if (!error && closed.value < 0)
        error = closed.error, side = 'r';
    if (error) {
        errno = error;
        *where = side;
        return -1;
    }
    return 0;
}

} // namespace hostsh
