// Deferred creation: a small file copied into a directory this mount made costs one round trip.
//
// A create of a name known absent (its directory made through the mount, within the cache time)
// is answered here with a provisional status; what is written to it is kept, up to what one
// openwrite carries. Its first flush (the close) sends openwrite, which makes the file with O_EXCL,
// writes the data and closes it, and returns the error of any of these to close(2). Anything else
// that needs the host's file first makes it there with openwrite keeping the descriptor, and then
// goes the usual way: a read, fsync, truncation, a write beyond the kept block, or any operation
// of the mount but the status of a path (a lookup, listing, rename, unlink ...). A name made on
// the host meanwhile is not overwritten: the open fails with EEXIST, which the close reports.
#include <cerrno>
#include <cstring>
#include <ctime>

#include <hostlink/ext.h>
#include <hostlink/status.h>

#include "hostfs/fs.h"

namespace hostfs {

void Fs::madeDirectory(const char *path)
{
    struct stat st;
    if (!serves(hl::kCallOpenwrite) || opt_.nodefer || cache_.recall(path, &st) != StatusCache::Answer::Found)
        return;
    std::lock_guard<std::mutex> lock(deferMu_);
    if (madeDirs_.size() >= 4096)
        madeDirs_.clear();
    madeDirs_[path] = {st.st_uid, st.st_gid};
}

bool Fs::deferCreate(const char *path, mode_t mode, int flags, FileHandle **out)
{
    struct stat st;
    if (!serves(hl::kCallOpenwrite) || opt_.nodefer || opt_.multiUser || (flags & O_ACCMODE) == O_RDONLY ||
        cache_.recall(path, &st) != StatusCache::Answer::Missing)
        return false;
    std::lock_guard<std::mutex> lock(deferMu_);
    auto dir = madeDirs_.find(StatusCache::parentOf(path));
    if (dir == madeDirs_.end())
        return false;
    auto *fh = new FileHandle;
    fh->path = path;
    fh->flags = flags & ~O_TRUNC;
    fh->epoch = epoch_;
    fh->deferred = true;
    struct stat &p = fh->provisional;
    p.st_mode = S_IFREG | (mode & 07777);
    p.st_nlink = 1;
    p.st_uid = dir->second.first; // a new file takes its directory's owners, which the agent gave it
    p.st_gid = dir->second.second;
    p.st_ino = provisionalIno_++;
    p.st_blksize = 4096;
    clock_gettime(CLOCK_REALTIME, &p.st_mtim);
    p.st_atim = p.st_ctim = p.st_mtim;
    {
        std::lock_guard<std::mutex> open(openMu_);
        open_.insert(fh);
    }
    deferred_[path] = fh;
    deferredNow_++;
    cache_.added(path);
    *out = fh;
    return true;
}

bool Fs::deferredStatus(const char *path, FileHandle *fh, struct stat *st)
{
    if (deferredNow_.load() == 0)
        return false;
    std::unique_lock<std::mutex> lock(deferMu_, std::defer_lock);
    if (!fh || !fh->deferred) {
        if (!path)
            return false;
        lock.lock();
        auto it = deferred_.find(path);
        if (it == deferred_.end())
            return false;
        fh = it->second;
    }
    std::lock_guard<std::mutex> own(fh->mu);
    if (!fh->deferred)
        return false;
    *st = fh->provisional;
    st->st_size = static_cast<off_t>(fh->kept.size());
    st->st_blocks = (st->st_size + 511) / 512;
    return true;
}

int Fs::keepWrite(FileHandle *fh, const char *buf, size_t size, off_t off)
{
    if (off < 0 || static_cast<size_t>(off) + size > hl::maxOpenwrite(hostPath(fh->path.c_str()).size()))
        return -1;
    if (fh->flags & O_APPEND)
        off = static_cast<off_t>(fh->kept.size());
    if (fh->kept.size() < static_cast<size_t>(off) + size)
        fh->kept.resize(static_cast<size_t>(off) + size);
    memcpy(fh->kept.data() + off, buf, size);
    clock_gettime(CLOCK_REALTIME, &fh->provisional.st_mtim);
    fh->provisional.st_ctim = fh->provisional.st_mtim;
    return static_cast<int>(size);
}

// fh->mu held. 0, or -errno when the host refused the file (which is then lost to this handle).
int Fs::makeOnHost(FileHandle *fh, bool keep)
{
    std::string p = hostPath(fh->path.c_str());
    int flags = (keep ? fh->flags : O_WRONLY) | O_CREAT | O_EXCL;
    hl::Reply made, status;
    hl::Expect a, b;
    a.reply = &made;
    b.reply = &status;
    hl::SharedLink::Ticket t = link_->send(
        hl::openwriteRequest(p, wireOpenFlags(flags), static_cast<int32_t>(fh->provisional.st_mode & 07777), fh->kept, keep),
        std::move(a));
    if (!keep) // the status comes in the same round trip, for the lookups that follow
        t = link_->send(statusRequest(p), std::move(b));
    link_->wait(t);
    if (made.raw.size() < 16)
        throw hl::LinkError(hl::LinkError::Kind::Closed, "the link was lost while a call was in flight");
    int32_t put = -1;
    errno = 0;
    int32_t result = hl::parseOpenwrite(made, fh->kept.size(), &put);
    int error = result < 0 || put != static_cast<int32_t>(fh->kept.size()) ? (errno ? errno : EIO) : 0;
    fh->deferred = false;
    deferredNow_--;
    generation_++;
    // After a failure the file may be there or not (or be another's): the host is asked next.
    struct stat st;
    if (!error && !keep && statusReply(status, &st) == 0)
        cache_.remember(fh->path, st);
    else
        cache_.changed(fh->path);
    fh->kept.clear();
    fh->kept.shrink_to_fit();
    if (result < 0) {
        fh->lost = true;
        return -error;
    }
    if (keep) {
        fh->fd = result;
        fh->epoch = epoch_;
        fh->position = fh->flags & O_APPEND ? -1 : put;
        int none = 0;
        if (error) // reported at the next write or flush
            fh->error.compare_exchange_strong(none, error);
        return 0;
    }
    fh->fd = -1;
    fh->epoch = 0; // closed: opened again by its path if the handle is used further
    return -error;
}

void Fs::settleDeferred()
{
    if (deferredNow_.load() == 0)
        return;
    std::lock_guard<std::mutex> lock(deferMu_);
    for (auto &[path, fh] : deferred_) {
        std::lock_guard<std::mutex> own(fh->mu);
        if (fh->deferred)
            if (int e = makeOnHost(fh, true))
                fh->deferredError = -e;
    }
}

} // namespace hostfs
