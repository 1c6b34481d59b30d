// Whole-file transfers of Remote: one file streamed with many reads or writes in flight, or
// many small files a group at a time.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <deque>
#include <unistd.h>

#include <hostlink/ext.h>

#include "hostsh/remote.h"

namespace hostsh {

using hostlink::Batch;
using hostlink::Pending;

namespace {

// Reads or writes of one transfer in flight: 2 MiB on a link as near as loopback (the buffers
// stay in the processor's cache), 16 MiB where the open took a while to come back, so that a
// link of some milliseconds' round trip stays busy.
constexpr int kWindow = 256;
constexpr int kNearWindow = 32; // while the open came back within kFarRound
// Files at most this long go a group at a time, each in one read or write.
constexpr size_t kGroup = 64;

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

// Reads n bytes or up to the end of the file; from offset at when it is not negative.
ssize_t readFull(int fd, char *p, size_t n, off_t at = -1)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = at < 0 ? ::read(fd, p + got, n - got) : ::pread(fd, p + got, n - got, at + static_cast<off_t>(got));
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

} // namespace

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
    // The file may have been opened already, in the round of its status.
    auto opened = std::find_if(opened_.begin(), opened_.end(), [&](const Opened &o) { return o.path == remote; });
    int32_t fd;
    size_t window;
    if (opened != opened_.end()) {
        fd = opened->fd;
        errno = opened->error;
        window = opened->far ? kWindow : kNearWindow;
        opened_.erase(opened);
    } else {
        auto asked = std::chrono::steady_clock::now();
        fd = batch.open(remote, hostlink::kOpenRead).value();
        window = std::chrono::steady_clock::now() - asked < kFarRound ? kNearWindow : kWindow;
        rounds_++;
    }
    if (fd < 0 || seekTo(batch, fd, offset) < 0) {
        int error = errno;
        if (fd >= 0)
            batch.close(fd).get();
        *where = 'o';
        errno = error;
        return -1;
    }
    // Reads in flight return consecutive parts of the file; the first short one marks the end,
    // and the reads behind it return nothing more. Their buffers lie side by side, so that the
    // parts that have come in one after another go to the local file in one write, and are
    // asked for again after it.
    std::vector<char> buffers(window * chunk);
    const size_t run = std::max<size_t>(window / 8, 1);
    std::deque<std::pair<size_t, Pending>> reads;
    int64_t next = offset, done = 0;
    for (size_t i = 0; i < window; i++, next += static_cast<int64_t>(chunk))
        reads.emplace_back(i, readAt(batch, fd, buffers.data() + i * chunk, chunk, next));
    int error = 0;
    char side = 0;
    bool atEnd = false;
    size_t first = 0, held = 0, bytes = 0; // the parts in buffers not yet written
    while (!reads.empty()) {
        auto [index, pending] = std::move(reads.front());
        reads.pop_front();
        const hostlink::Result &r = pending.get();
        if (atEnd)
            continue;
        if (r.value < 0)
            error = r.error, side = 'r', atEnd = true;
        else {
            if (held == 0)
                first = index;
            held++;
            bytes += static_cast<size_t>(r.value);
            atEnd = static_cast<size_t>(r.value) < chunk;
        }
        if (held == 0 || (!atEnd && held < run && index + 1 < window))
            continue;
        if (writeFull(out, buffers.data() + first * chunk, bytes) < 0) {
            error = errno, side = 'l', atEnd = true;
            continue;
        }
        done += static_cast<int64_t>(bytes);
        if (progress && !progress(done)) {
            error = EINTR, side = 'l', atEnd = true;
            continue;
        }
        for (size_t k = first; k < first + held && !atEnd; k++, next += static_cast<int64_t>(chunk))
            reads.emplace_back(k, readAt(batch, fd, buffers.data() + k * chunk, chunk, next));
        held = bytes = 0;
    }
    // Nothing is waited for the close of a file only read: it goes out with the next batch.
    filesToClose_.push_back(fd);
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
        ssize_t got = readFull(local, ours.data(), want, static_cast<off_t>(at));
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
    auto asked = std::chrono::steady_clock::now();
    int32_t fd = batch.open(remote, flags, mode).value();
    size_t window = std::chrono::steady_clock::now() - asked < kFarRound ? kNearWindow : kWindow;
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
            collect(window);
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

int64_t Remote::smallLimit() { return hostlink::kMaxData - 1; }

void Remote::getSmall(std::vector<SmallFile> &files, bool stopAtFailure)
{
    for (size_t from = 0; from < files.size(); from += kGroup) {
        size_t to = std::min(files.size(), from + kGroup);
        Batch batch(link_, kGroup * (hostlink::kMaxData + 256) + 4096);
        begin(batch);
        std::vector<Pending> opens;
        for (size_t k = from; k < to; k++)
            opens.push_back(batch.open(files[k].remote, hostlink::kOpenRead));
        batch.flush();
        rounds_++;
        // One read a byte longer than the file: a file that has grown shows.
        std::vector<std::string> buffers(to - from);
        std::vector<Pending> reads(to - from), closes(to - from);
        for (size_t k = from; k < to; k++) {
            SmallFile &f = files[k];
            int32_t fd = opens[k - from].value();
            if (fd < 0) {
                f.error = errno, f.where = 'o';
                continue;
            }
            std::string &b = buffers[k - from];
            b.resize(static_cast<size_t>(std::min<int64_t>(f.size + 1, hostlink::kMaxData)));
            reads[k - from] = batch.read(fd, b.data(), b.size());
            closes[k - from] = batch.close(fd);
        }
        batch.flush();
        rounds_++;
        bool failed = false;
        for (size_t k = from; k < to; k++) {
            SmallFile &f = files[k];
            if (f.error) {
                failed = true;
                continue;
            }
            const hostlink::Result &r = reads[k - from].get();
            int32_t closed = closes[k - from].value();
            if (r.value < 0)
                f.error = r.error, f.where = 'r';
            else if (r.value > f.size)
                f.grew = true;
            else if (writeFull(f.local, buffers[k - from].data(), static_cast<size_t>(r.value)) < 0)
                f.error = errno, f.where = 'l';
            else if (closed < 0)
                f.error = errno, f.where = 'r';
            failed = failed || f.error;
        }
        if (failed && stopAtFailure) {
            for (size_t k = to; k < files.size(); k++)
                files[k].error = ECANCELED, files[k].where = 'o';
            return;
        }
    }
}

void Remote::putSmall(std::vector<SmallFile> &files, bool stopAtFailure)
{
    for (size_t from = 0; from < files.size(); from += kGroup) {
        size_t to = std::min(files.size(), from + kGroup);
        Batch batch(link_, kGroup * (hostlink::kMaxData + 256) + 4096);
        begin(batch);
        std::vector<std::string> data(to - from);
        std::vector<Pending> opens(to - from);
        for (size_t k = from; k < to; k++) {
            SmallFile &f = files[k];
            std::string &d = data[k - from];
            d.resize(static_cast<size_t>(f.size) + 1);
            ssize_t got = readFull(f.local, d.data(), d.size());
            if (got < 0 || got > f.size) {
                f.error = got < 0 ? errno : EAGAIN, f.where = 'l'; // a file that grows goes on its own
                continue;
            }
            d.resize(static_cast<size_t>(got));
            opens[k - from] = batch.open(f.remote, hostlink::kOpenWrite | hostlink::kOpenCreate | hostlink::kOpenTruncate,
                                         f.mode);
        }
        batch.flush();
        rounds_++;
        std::vector<Pending> writes(to - from), closes(to - from);
        for (size_t k = from; k < to; k++) {
            SmallFile &f = files[k];
            if (f.error)
                continue;
            int32_t fd = opens[k - from].value();
            if (fd < 0) {
                f.error = errno, f.where = 'o';
                continue;
            }
            const std::string &d = data[k - from];
            if (!d.empty())
                writes[k - from] = batch.write(fd, d.data(), d.size());
            closes[k - from] = batch.close(fd);
        }
        batch.flush();
        rounds_++;
        bool failed = false;
        for (size_t k = from; k < to; k++) {
            SmallFile &f = files[k];
            if (!f.error && !data[k - from].empty()) {
                const hostlink::Result &r = writes[k - from].get();
                if (r.value < 0)
                    f.error = r.error, f.where = 'r';
                else if (static_cast<size_t>(r.value) != data[k - from].size())
                    f.error = ENOSPC, f.where = 'r';
            }
            if (!f.error && closes[k - from].value() < 0)
                f.error = errno, f.where = 'r';
            failed = failed || (f.error && f.error != EAGAIN);
        }
        if (failed && stopAtFailure) {
            for (size_t k = to; k < files.size(); k++)
                files[k].error = ECANCELED, files[k].where = 'o';
            return;
        }
    }
}

} // namespace hostsh
