// Open files: reads through a window of chunks in flight that grows while a program reads in
// order, and writes sent ahead of their replies, whose failures come back at the next write,
// flush, fsync or close of the file.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <hostlink/calls.h>
#include <hostlink/ext.h>

#include "hostfs/fs.h"

namespace hostfs {

namespace {

// The host's refusal of a file whose creation was deferred: reported once, then EIO.
int deferredFailure(FileHandle *fh)
{
    int e = fh->deferredError;
    fh->deferredError = 0;
    return -e;
}

constexpr size_t kChunk = hl::kMaxData; // one read reply's data
constexpr int64_t kBehind = 2 << 20;    // read data kept behind the furthest read

void setError(FileHandle *fh, int e)
{
    int none = 0;
    fh->error.compare_exchange_strong(none, e ? e : EIO);
}

int64_t aheadEnd(const FileHandle *fh)
{
    return fh->ahead.empty() ? -1 : fh->ahead.back()->offset + static_cast<int64_t>(fh->ahead.back()->span);
}

} // namespace

static_assert(static_cast<size_t>(hl::kMaxOpenread) <= ChunkBuffers::kSize);

std::unique_ptr<char[]> ChunkBuffers::get()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!free_.empty()) {
            auto b = std::move(free_.back());
            free_.pop_back();
            return b;
        }
    }
    return std::unique_ptr<char[]>(new char[kSize]);
}

void ChunkBuffers::put(std::unique_ptr<char[]> buffer)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (free_.size() < kKept)
        free_.push_back(std::move(buffer));
}

int32_t wireOpenFlags(int flags)
{
    int32_t w = (flags & O_ACCMODE) == O_WRONLY ? hl::kOpenWrite
                : (flags & O_ACCMODE) == O_RDWR ? hl::kOpenReadWrite
                                                : hl::kOpenRead;
    if (flags & O_APPEND) // the host appends at its own end of the file, whatever is cached here
        w |= hl::kOpenAppend;
    if (flags & O_CREAT)
        w |= hl::kOpenCreate;
    if (flags & O_EXCL)
        w |= hl::kOpenExclusive;
    if (flags & O_TRUNC)
        w |= hl::kOpenTruncate;
    if (flags & O_NONBLOCK)
        w |= hl::kOpenNonblock;
    return w;
}

namespace {

// A chunk of the file from offset, span bytes, and where its reply goes (head bytes before the data).
std::unique_ptr<FileHandle::Chunk> newChunk(const std::shared_ptr<ChunkBuffers> &buffers, int64_t offset, size_t span, int head, hl::Expect *e)
{
    auto c = std::make_unique<FileHandle::Chunk>();
    c->offset = offset;
    c->span = span;
    c->data = buffers->get();
    c->from = buffers;
    *e = expectInto(&c->reply, head, c->data.get(), span, &c->placed);
    return c;
}

} // namespace

void Fs::sendOpenread(const std::string &path, int flags, int64_t end, std::deque<std::unique_ptr<FileHandle::Chunk>> *chunks)
{
    // The rest right behind the open on the wire, read from the descriptor it opens.
    link_->together([&](auto send) {
        hl::Expect e;
        chunks->push_back(newChunk(buffers_, 0, hl::kMaxOpenread, 16, &e));
        chunks->back()->ticket = send(hl::openreadRequest(hostPath(path.c_str()), wireOpenFlags(flags), 0, hl::kMaxOpenread), std::move(e));
        for (int64_t off = hl::kMaxOpenread; off < end; off += static_cast<int64_t>(kChunk)) {
            hl::Expect more;
            chunks->push_back(newChunk(buffers_, off, kChunk, 12, &more));
            chunks->back()->call = hl::kCallPreadlast;
            chunks->back()->ticket = send(hl::preadlastRequest(kChunk, off), std::move(more));
        }
    });
}

int32_t Fs::openedBy(std::deque<std::unique_ptr<FileHandle::Chunk>> &chunks)
{
    link_->wait(chunks.front()->ticket);
    FileHandle::Chunk &c = *chunks.front();
    if (c.reply.raw.size() < 16)
        throw hl::LinkError(hl::LinkError::Kind::Closed, "the link was lost while a call was in flight");
    int32_t fd = hl::parseOpenread(c.reply, c.placed, &c.count);
    if (fd < 0) {
        int error = errno;
        link_->wait(chunks.back()->ticket); // the reads behind a failed open fail too
        errno = error;
        return -1;
    }
    c.withOpen = true;
    c.error = c.count < 0 ? errno : 0;
    return fd;
}

int32_t Fs::openWithData(const char *path, int flags, int64_t size, std::deque<std::unique_ptr<FileHandle::Chunk>> *chunks)
{
    std::deque<std::unique_ptr<FileHandle::Chunk>> all;
    int64_t end = size <= kWholeAtOpen && serves(hl::kCallPreadlast)
                      ? std::min<int64_t>(size, static_cast<int64_t>(opt_.readaheadChunks) * kChunk)
                      : 0;
    try {
        // A file read ahead with the directory's next files comes from there; either way the
        // files after this one go out before its reply is awaited.
        bool streamed = false;
        if (auto s = takeStreamed(path, flags)) {
            all = std::move(s->chunks);
            streamed = true;
        } else {
            sendOpenread(path, flags, end, &all);
        }
        streamAfter(path);
        int32_t fd = openedBy(all);
        if (fd < 0 && streamed) { // refused then: asked again now
            all.clear();
            sendOpenread(path, flags, end, &all);
            fd = openedBy(all);
        }
        if (fd >= 0)
            *chunks = std::move(all);
        return fd;
    } catch (...) {
        link_->abandon(std::current_exception()); // nothing is written into the chunks any more when they go
        throw;
    }
}

int Fs::openOn(const char *path, int flags, mode_t mode, FileHandle **out)
{
    // A file opened for reading comes with its first chunk: the open's round trip is the read's.
    std::deque<std::unique_ptr<FileHandle::Chunk>> first;
    uint64_t generation = generation_;
    struct stat st;
    int64_t size = cache_.recall(path, &st) == StatusCache::Answer::Found && S_ISREG(st.st_mode) ? st.st_size : -1;
    int32_t fd;
    if (serves(hl::kCallOpenread) && (flags & O_ACCMODE) != O_WRONLY && !(flags & (O_CREAT | O_TRUNC))) {
        fd = openWithData(path, flags, size, &first);
    } else {
        hl::Request req = hl::Request(wire::CALL_OPEN).word(wireOpenFlags(flags)).word(static_cast<int32_t>(mode & 07777)).str(hostPath(path));
        // A file made here: its status comes in the same round trip, for the lookup that follows.
        if (flags & O_CREAT) {
            cache_.added(path);
            fd = callThenStatus(req, path);
        } else {
            fd = hl::parseResult(call(req), wire::CALL_OPEN);
        }
    }
    if (fd < 0)
        return -errno;
    auto *fh = new FileHandle;
    fh->path = path;
    fh->flags = flags;
    fh->fd = fd;
    fh->epoch = epoch_;
    if (!first.empty()) {
        fh->ahead = std::move(first);
        fh->aheadGeneration = generation;
    }
    {
        std::lock_guard<std::mutex> lock(openMu_);
        open_.insert(fh);
    }
    if (flags & O_TRUNC) {
        generation_++;
        cache_.changed(path);
    }
    if (!(flags & O_TRUNC))
        fh->sizeHint = size;
    *out = fh;
    return 0;
}

int Fs::open(const char *path, int flags, FileHandle **out)
{
    return guard(
        [&] {
            if (int r = openPreloaded(path, flags, out); r <= 0)
                return r;
            return openOn(path, flags, 0, out);
        },
        !(flags & (O_TRUNC | O_CREAT)));
}

int Fs::create(const char *path, mode_t mode, int flags, FileHandle **out)
{
    return guard([&] {
        int r;
        if (deferCreate(path, mode, flags, out)) {
            r = 0;
        } else if (ext_) {
            r = openOn(path, flags | O_CREAT, mode, out);
        } else {
            // Made here, so the mode asked for is set whole: the agent's umask may narrow it.
            r = openOn(path, flags | O_CREAT | O_EXCL, mode, out);
            if (r == -EEXIST && !(flags & O_EXCL))
                r = openOn(path, flags & ~O_CREAT, mode, out);
            else if (r == 0 && (mode & 022)) {
                link_->send(hl::Request(wire::CALL_CHMOD).word(static_cast<int32_t>(mode & 07777)).str(hostPath(path)));
                cache_.changed(path);
            }
        }
        return r;
    }, false, true);
}

int Fs::ready(FileHandle *fh, bool needFd)
{
    if (fh->lost)
        return -EIO;
    if (fh->preloaded && fh->fd < 0) {
        if (!needFd)
            return 0;
        fh->epoch = 0; // opened below like a file after a reconnect, but nothing was lost
    }
    if (fh->epoch == epoch_)
        return 0;
    // The link was made again: what was in flight is gone with the old one.
    forgetChunks(fh);
    fh->writes.clear();
    if (fh->unanswered.exchange(0) > 0)
        setError(fh, EIO); // writes whose fate is unknown
    int flags = fh->flags & ~(O_CREAT | O_EXCL | O_TRUNC);
    hl::Reply r = call(hl::Request(wire::CALL_OPEN).word(wireOpenFlags(flags)).word(0).str(hostPath(fh->path.c_str())));
    int32_t fd = hl::parseResult(r, wire::CALL_OPEN);
    if (fd < 0) {
        fh->lost = true;
        return -EIO;
    }
    fh->fd = fd;
    fh->epoch = epoch_;
    fh->position = -1;
    return 0;
}

void Fs::dropAhead(FileHandle *fh)
{
    // Nothing may still be bound for a chunk's buffer when it goes: chunks whose replies are
    // still coming wait among the abandoned until they are in.
    for (auto &c : fh->ahead)
        fh->abandoned.push_back(std::move(c));
    fh->ahead.clear();
    if (!fh->abandoned.empty() && link_->done(fh->abandoned.back()->ticket))
        fh->abandoned.clear();
}

void Fs::forgetChunks(FileHandle *fh)
{
    if (!fh->abandoned.empty() || !fh->ahead.empty())
        link_->settle();
    fh->ahead.clear();
    fh->abandoned.clear();
}

int Fs::waitWrites(FileHandle *fh)
{
    if (!fh->writes.empty())
        link_->wait(fh->writes.back());
    fh->writes.clear();
    if (fh->unanswered.load() > 0) // answered on no link: lost in a reconnect
        throw hl::LinkError(hl::LinkError::Kind::Closed, "the link was lost with writes in flight");
    return -fh->error.exchange(0);
}

// Sends the chunk requests that cover [off, off + size) and, for a reader going in order, a
// window beyond it that doubles with every read up to the read-ahead option.
int Fs::fillAhead(FileHandle *fh, off_t off, size_t size)
{
    bool inWindow = !fh->ahead.empty() && off >= fh->ahead.front()->offset && off <= aheadEnd(fh);
    bool sequential = off == 0 || off == fh->lastEnd || inWindow;
    if (!inWindow) {
        dropAhead(fh);
        fh->window = 0;
    }
    if (sequential) {
        // The first window covers the whole file as far as its size is known; then it doubles.
        size_t first = 1;
        if (fh->window == 0 && fh->sizeHint > off)
            first = static_cast<size_t>((fh->sizeHint - off + static_cast<int64_t>(kChunk) - 1) / static_cast<int64_t>(kChunk));
        fh->window = std::min<size_t>(std::max<size_t>(first, fh->window * 2), static_cast<size_t>(opt_.readaheadChunks));
    }
    int64_t want = off + static_cast<int64_t>(size) + static_cast<int64_t>(sequential ? fh->window * kChunk : 0);
    // Nothing beyond the size the mount saw while the read stays within it: the kernel, which
    // knows the same size, asks for nothing past it.
    if (fh->sizeHint >= 0 && off + static_cast<int64_t>(size) <= fh->sizeHint)
        want = std::min(want, fh->sizeHint);
    int64_t next = fh->ahead.empty() ? off : aheadEnd(fh);
    if (!ext_) {
        if (off > INT32_MAX - static_cast<int64_t>(kChunk))
            return -EOVERFLOW; // the plain calls cannot go past 2 GiB
        want = std::min<int64_t>(want, INT32_MAX - static_cast<int64_t>(kChunk));
        if (next < want && fh->position != next) {
            hl::Reply r = call(hl::Request(wire::CALL_LSEEK).word(fh->fd).word(static_cast<int32_t>(next)).word(SEEK_SET));
            if (hl::parseResult(r, wire::CALL_LSEEK) < 0)
                return -errno;
            fh->position = next;
        }
    }
    // A chunk already in that came back short marks the end of the file: nothing beyond it.
    for (const auto &c : fh->ahead)
        if (link_->done(c->ticket) && (c->reply.raw.size() < 12 || c->placed < c->span))
            return 0;
    for (; next < want; next += static_cast<int64_t>(kChunk)) {
        hl::Expect e;
        auto c = newChunk(buffers_, next, kChunk, 12, &e);
        if (ext_) {
            c->ticket = link_->send(hl::pread64Request(fh->fd, kChunk, next), std::move(e));
        } else {
            c->ticket = link_->send(hl::Request(wire::CALL_READ).word(fh->fd).word(static_cast<int32_t>(kChunk)), std::move(e));
            fh->position = next + static_cast<int64_t>(kChunk); // as far as the host knows
        }
        fh->ahead.push_back(std::move(c));
    }
    return 0;
}

int Fs::read(FileHandle *fh, char *buf, size_t size, off_t off)
{
    return guard(
        [&]() -> int {
            std::lock_guard<std::mutex> lock(fh->mu);
            if (int e = ready(fh, false))
                return e;
            if (fh->preloaded && fh->fd < 0) {
                if (off >= static_cast<off_t>(fh->content.size()))
                    return 0;
                size_t n = std::min(size, fh->content.size() - static_cast<size_t>(off));
                memcpy(buf, fh->content.data() + off, n);
                return static_cast<int>(n);
            }
            if (fh->aheadGeneration != generation_)
                dropAhead(fh);
            fh->aheadGeneration = generation_;
            if (int e = fillAhead(fh, off, size))
                return e;
            size_t copied = 0;
            int error = 0;
            int call = ext_ ? int(hl::kCallPread64) : int(wire::CALL_READ);
            for (const auto &c : fh->ahead) {
                int64_t at = off + static_cast<int64_t>(copied);
                if (copied == size || c->offset > at)
                    break;
                if (c->offset + static_cast<int64_t>(c->span) <= at)
                    continue;
                link_->wait(c->ticket);
                if (c->reply.raw.size() < 12)
                    throw hl::LinkError(hl::LinkError::Kind::Closed, "the link was lost while a read was in flight");
                int32_t n = c->withOpen ? c->count : hl::parseResult(c->reply, c->call ? c->call : call);
                if (n < 0) {
                    error = c->withOpen ? c->error : errno;
                    break;
                }
                if (static_cast<size_t>(n) > c->placed)
                    throw hl::LinkError(hl::LinkError::Kind::Malformed, "read reply shorter than its count");
                int64_t inChunk = at - c->offset;
                if (n > inChunk) {
                    size_t take = std::min(size - copied, static_cast<size_t>(n - inChunk));
                    memcpy(buf + copied, c->data.get() + inChunk, take);
                    copied += take;
                }
                if (static_cast<size_t>(n) < c->span)
                    break; // the end of the file
            }
            // Chunks well behind the read go. (The kernel's reads of one file may come in any
            // order from its threads: those a little behind are kept for the slower ones.)
            int64_t end = off + static_cast<int64_t>(copied);
            while (!fh->ahead.empty() && fh->ahead.front()->offset + static_cast<int64_t>(fh->ahead.front()->span) + kBehind <= end) {
                if (!link_->done(fh->ahead.front()->ticket))
                    fh->abandoned.push_back(std::move(fh->ahead.front()));
                fh->ahead.pop_front();
            }
            fh->lastEnd = end;
            if (copied == 0 && error) {
                dropAhead(fh);
                return -error;
            }
            return static_cast<int>(copied);
        },
        true);
}

int Fs::write(FileHandle *fh, const char *buf, size_t size, off_t off)
{
    return guard([&]() -> int {
        std::lock_guard<std::mutex> lock(fh->mu);
        if (fh->deferredError)
            return deferredFailure(fh);
        if (fh->deferred) {
            if (int n = keepWrite(fh, buf, size, off); n >= 0)
                return n;
            if (int e = makeOnHost(fh, true))
                return e;
        }
        if (int e = ready(fh))
            return e;
        if (int e = fh->error.exchange(0))
            return -e;
        dropAhead(fh);
        generation_++;
        cache_.changed(fh->path);
        bool append = fh->flags & O_APPEND;
        if (!ext_ && static_cast<int64_t>(off) + static_cast<int64_t>(size) > INT32_MAX)
            return -EFBIG;
        if (!ext_ && !append && fh->position != off) {
            hl::Expect e;
            e.onDone = [fh](const hl::Reply &r) {
                if (hl::parseResult(r, wire::CALL_LSEEK) < 0)
                    setError(fh, errno);
            };
            fh->lastRequest = link_->send(
                hl::Request(wire::CALL_LSEEK).word(fh->fd).word(static_cast<int32_t>(off)).word(SEEK_SET), std::move(e));
        }
        size_t chunk = ext_ ? hl::kMaxPwrite : hl::kMaxData;
        int call = ext_ ? int(hl::kCallPwrite64) : int(wire::CALL_WRITE);
        for (size_t done = 0; done < size; done += chunk) {
            size_t n = std::min(chunk, size - done);
            std::string_view piece(buf + done, n);
            hl::Expect e;
            e.onDone = [fh, n, call](const hl::Reply &r) {
                int32_t v = hl::parseResult(r, call);
                if (v < 0)
                    setError(fh, errno);
                else if (static_cast<size_t>(v) != n)
                    setError(fh, ENOSPC);
                fh->unanswered--;
            };
            hl::Request req = ext_ ? hl::pwrite64Request(fh->fd, piece, off + static_cast<off_t>(done))
                                   : hl::Request(wire::CALL_WRITE).word(fh->fd).word(static_cast<int32_t>(n)).borrow(piece);
            fh->unanswered++;
            hl::SharedLink::Ticket t = link_->send(req, std::move(e));
            fh->writes.push_back(t);
            fh->lastRequest = t;
            while (!fh->writes.empty() && (fh->writes.size() > static_cast<size_t>(opt_.writeWindowChunks) ||
                                           link_->done(fh->writes.front()))) {
                link_->wait(fh->writes.front());
                fh->writes.pop_front();
            }
        }
        fh->position = append ? -1 : off + static_cast<off_t>(size);
        if (opt_.writeWindowChunks == 0)
            if (int e = fh->error.exchange(0))
                return -e;
        return static_cast<int>(size);
    }, false, true);
}

int Fs::flush(FileHandle *fh)
{
    return guard(
        [&] {
            std::lock_guard<std::mutex> lock(fh->mu);
            if (fh->deferredError)
                return deferredFailure(fh);
            if (fh->deferred) // made on the host with its data and closed: one round trip
                return makeOnHost(fh, false);
            if (int e = ready(fh, false))
                return e;
            return waitWrites(fh);
        },
        true, true);
}

int Fs::fsync(FileHandle *fh, bool dataOnly)
{
    return guard(
        [&] {
            std::lock_guard<std::mutex> lock(fh->mu);
            if (fh->deferredError)
                return deferredFailure(fh);
            if (int e = ready(fh))
                return e;
            if (int e = waitWrites(fh))
                return e;
            if (!ext_)
                return 0; // the plain calls have no fsync; the writes are on the host already
            return simpleErr(hl::Request(hl::kCallFsync).word(fh->fd).word(dataOnly ? 1 : 0));
        },
        true);
}

int Fs::release(FileHandle *fh)
{
    std::unique_ptr<FileHandle> owned(fh);
    {
        std::lock_guard<std::mutex> lock(openMu_);
        open_.erase(fh);
    }
    int r = guard([&] {
        std::lock_guard<std::mutex> lock(fh->mu);
        if (fh->deferred) { // released without a flush: made on the host all the same
            makeOnHost(fh, false);
            return 0;
        }
        if (fh->lost || fh->epoch != epoch_ || fh->fd < 0) {
            forgetChunks(fh);
            return 0;
        }
        dropAhead(fh);
        if (!fh->abandoned.empty())
            link_->wait(fh->abandoned.back()->ticket);
        if (!fh->writes.empty())
            link_->wait(fh->writes.back());
        if (fh->lastRequest)
            link_->wait(fh->lastRequest);
        // Closed behind: nobody waits for the answer.
        link_->send(hl::Request(wire::CALL_CLOSE).word(fh->fd));
        return 0;
    }, false, true);
    {
        std::lock_guard<std::mutex> lock(deferMu_);
        auto it = deferred_.find(fh->path);
        if (it != deferred_.end() && it->second == fh)
            deferred_.erase(it);
        std::lock_guard<std::mutex> own(fh->mu);
        if (fh->deferred) { // the link broke first: lost
            fh->deferred = false;
            deferredNow_--;
        }
    }
    if (link_ && (!fh->ahead.empty() || !fh->abandoned.empty()))
        forgetChunks(fh); // the link broke meanwhile
    return r;
}

} // namespace hostfs
