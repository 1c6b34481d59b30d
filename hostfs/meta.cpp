// Operations on paths: status, names, modes, owners, times, statistics.
//
// The frequent ones (status, access, unlink, mkdir) go out as requests that share the link
// with other threads' requests; the rare ones run as typed calls with the link to themselves.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <sys/sysmacros.h>

#include <hostlink/calls.h>
#include <hostlink/ext.h>
#include <hostlink/status.h>

#include "hostfs/fallbacks.h"
#include "hostfs/fs.h"

namespace hostfs {

namespace {

// The plain stat calls answer a size that does not fit 32 bits with EINVAL (the wire has no
// number for EOVERFLOW); nothing else makes a stat of an existing path fail that way.
int plainStatError(int e) { return e == EINVAL ? -EOVERFLOW : -e; }

} // namespace

hl::Request Fs::statusRequest(const std::string &p) const
{
    return ext_ ? hl::stat64Request(hl::kCallLstat64, p) : hl::Request(wire::CALL_LSTAT).str(p);
}

int Fs::statusReply(const hl::Reply &r, struct stat *st, bool ofDescriptor) const
{
    if (r.raw.size() < 12)
        throw hl::LinkError(hl::LinkError::Kind::Closed, "the link was lost while a call was in flight");
    if (ext_) {
        hl::Status64 s;
        if (hl::parseStatus64(r, ofDescriptor ? hl::kCallFstat64 : hl::kCallLstat64, &s) < 0)
            return -errno;
        hl::toStat(s, st);
        return 0;
    }
    if (hl::parseResult(r, ofDescriptor ? wire::CALL_FSTAT : wire::CALL_LSTAT) < 0)
        return plainStatError(errno);
    hl::FileStatus s;
    hl::decodeStatus(r, 3, &s);
    hl::toStat(s, st);
    return 0;
}

int32_t Fs::callThenStatus(const hl::Request &req, const char *path)
{
    hl::Reply first, status;
    hl::Expect a, b;
    a.reply = &first;
    b.reply = &status;
    link_->send(req, std::move(a));
    link_->wait(link_->send(statusRequest(hostPath(path)), std::move(b)));
    if (first.raw.size() < 12)
        throw hl::LinkError(hl::LinkError::Kind::Closed, "the link was lost while a call was in flight");
    int32_t result = hl::parseResult(first, req.call());
    int saved = errno;
    struct stat st;
    if (result >= 0 && statusReply(status, &st) == 0)
        cache_.remember(path, st);
    errno = saved;
    return result;
}

std::optional<struct stat> Fs::knownFile(const char *path, bool evenSingle)
{
    struct stat st;
    if (!path || cache_.recall(path, &st) != StatusCache::Answer::Found || S_ISDIR(st.st_mode))
        return std::nullopt;
    if (st.st_nlink < 2 && !evenSingle)
        return std::nullopt;
    return st;
}

void Fs::linksChanged(const char *path, const std::optional<struct stat> &file, int result)
{
    if (result < 0 || !file)
        return;
    for (const std::string &other : cache_.forgetLinks(path, *file))
        if (stale_)
            stale_(other);
}

int Fs::getattr(const char *path, struct stat *st, FileHandle *fh)
{
    return guard(
        [&]() -> int {
            if (deferredStatus(path, fh, st))
                return 0;
            // What the mount knows of a path is fresh: any change through it forgets it.
            if (path && cache_.recall(path, st) == StatusCache::Answer::Found)
                return 0;
            if (fh) {
                std::lock_guard<std::mutex> lock(fh->mu);
                if (int e = ready(fh))
                    return e;
                return statusReply(call(hl::Request(ext_ ? int(hl::kCallFstat64) : int(wire::CALL_FSTAT)).word(fh->fd)), st, true);
            }
            if (!path)
                return -ESTALE;
            switch (cache_.recall(path, st)) {
            case StatusCache::Answer::Found: return 0;
            case StatusCache::Answer::Missing: return -ENOENT;
            case StatusCache::Answer::Unknown: break;
            }
            if (int e = statusReply(call(statusRequest(hostPath(path))), st))
                return e;
            cache_.remember(path, *st);
            return 0;
        },
        true, true);
}

int Fs::readlink(const char *path, char *buf, size_t size)
{
    if (size == 0)
        return -EINVAL;
    return guard(
        [&] {
            std::string text;
            if (hl::decodeReadlink(call(hl::Request(wire::CALL_READLINK).str(hostPath(path))), &text) < 0)
                return -errno;
            size_t n = std::min(size - 1, text.size());
            memcpy(buf, text.data(), n);
            buf[n] = '\0';
            return 0;
        },
        true);
}

int Fs::mkdir(const char *path, mode_t mode)
{
    return guard([&] {
        std::string p = hostPath(path);
        cache_.added(path);
        int r = 0;
        if (callThenStatus(hl::Request(wire::CALL_MKDIR).word(static_cast<int32_t>(mode & 07777)).str(p), path) < 0)
            r = -(errno ? errno : EIO);
        if (r == 0) {
            cache_.rememberListing(path, {}); // known empty: lookups inside need not ask
            madeDirectory(path);
            // The agent's umask may have narrowed the mode; the extension calls run without one.
            if (!ext_ && (mode & 022)) {
                simple(hl::Request(wire::CALL_CHMOD).word(static_cast<int32_t>(mode & 07777)).str(p));
                cache_.changed(path);
            }
        }
        return r;
    });
}

int Fs::mknod(const char *path, mode_t mode, dev_t dev)
{
    return guard([&] {
        std::string p = hostPath(path);
        int r;
        if (S_ISREG(mode)) {
            hl::Reply reply = call(hl::Request(wire::CALL_OPEN)
                                       .word(hl::kOpenWrite | hl::kOpenCreate | hl::kOpenExclusive)
                                       .word(static_cast<int32_t>(mode & 07777))
                                       .str(p));
            int32_t fd = hl::parseResult(reply, wire::CALL_OPEN);
            if (fd < 0)
                return -errno;
            link_->send(hl::Request(wire::CALL_CLOSE).word(fd));
            r = 0;
        } else if (ext_ && (S_ISFIFO(mode) || S_ISSOCK(mode))) {
            r = simpleErr(hl::Request(hl::kCallMknod).word(static_cast<int32_t>(mode)).str(p));
        } else {
            // Devices (and, without the extension calls, fifos) through host programs.
            r = link_->exclusive([&](hl::Link &l) { return mknodByProgram(l, p, mode, dev); });
        }
        if (r == 0)
            cache_.added(path);
        return r;
    });
}

int Fs::unlink(const char *path)
{
    return guard([&] {
        auto file = knownFile(path);
        int r = simpleErr(hl::Request(wire::CALL_UNLINK).str(hostPath(path)));
        linksChanged(path, file, r);
        cache_.removed(path);
        generation_++;
        return r;
    });
}

int Fs::rmdir(const char *path)
{
    return guard([&] {
        int r = simpleErr(hl::Request(wire::CALL_RMDIR).str(hostPath(path)));
        cache_.forgetTree(path);
        cache_.removed(path);
        return r;
    });
}

int Fs::symlink(const char *target, const char *path)
{
    return guard([&] {
        int r = simpleErr(hl::Request(wire::CALL_SYMLINK).str(target).str(hostPath(path)));
        cache_.added(path);
        return r;
    });
}

int Fs::link(const char *from, const char *to)
{
    return guard([&] {
        auto file = knownFile(from, true); // every name of it gains a link
        int r = simpleErr(hl::Request(wire::CALL_LINK).str(hostPath(from)).str(hostPath(to)));
        linksChanged(to, file, r);
        cache_.changed(from); // its link count
        cache_.added(to);
        return r;
    });
}

int Fs::rename(const char *from, const char *to, unsigned flags)
{
    if (flags)
        return -EINVAL;
    return guard([&] {
        std::string a = hostPath(from), b = hostPath(to);
        auto replaced = knownFile(to); // its other names lose a link
        int r = ext_ ? simpleErr(hl::Request(hl::kCallRename).str(a).str(b))
                     : link_->exclusive([&](hl::Link &l) { return renameByProgram(l, a, b); });
        linksChanged(to, replaced, r);
        cache_.forgetTree(from);
        cache_.forgetTree(to);
        cache_.removed(from);
        cache_.added(to);
        generation_++;
        return r;
    });
}

int Fs::chmod(const char *path, mode_t mode)
{
    return guard([&] {
        auto file = knownFile(path);
        int r = simpleErr(hl::Request(wire::CALL_CHMOD).word(static_cast<int32_t>(mode & 07777)).str(hostPath(path)));
        linksChanged(path, file, r);
        cache_.changed(path);
        return r;
    });
}

int Fs::chown(const char *path, uid_t uid, gid_t gid)
{
    return guard([&] {
        std::string p = hostPath(path);
        auto file = knownFile(path);
        int r = ext_ ? simpleErr(hl::Request(hl::kCallLchown).word(static_cast<int32_t>(uid)).word(static_cast<int32_t>(gid)).str(p))
                     : link_->exclusive([&](hl::Link &l) { return chownByProgram(l, p, uid, gid); });
        linksChanged(path, file, r);
        cache_.changed(path);
        return r;
    });
}

int Fs::truncate(const char *path, off_t size, FileHandle *fh)
{
    return guard([&] {
        generation_++;
        auto file = knownFile(path);
        int r;
        if (fh) {
            std::lock_guard<std::mutex> lock(fh->mu);
            if (int e = ready(fh))
                return e;
            dropAhead(fh);
            if (ext_) {
                r = exclusive([&](hl::Link &l) { return hl::ftruncate(l, fh->fd, size); });
                if (path) {
                    linksChanged(path, file, r);
                    cache_.changed(path);
                }
                return r;
            }
        }
        if (!path)
            return -EOPNOTSUPP; // a file unlinked while open, without the extension calls
        std::string p = hostPath(path);
        if (ext_) {
            r = exclusive([&](hl::Link &l) { return hl::truncate(l, p, size); });
        } else if (size > INT32_MAX) {
            r = -EFBIG;
        } else if (size == 0) {
            hl::Reply reply = call(hl::Request(wire::CALL_OPEN).word(hl::kOpenWrite | hl::kOpenTruncate).word(0).str(p));
            int32_t fd = hl::parseResult(reply, wire::CALL_OPEN);
            if (fd >= 0)
                link_->send(hl::Request(wire::CALL_CLOSE).word(fd));
            r = fd < 0 ? -errno : 0;
        } else {
            r = link_->exclusive([&](hl::Link &l) { return truncateByProgram(l, p, size); });
        }
        linksChanged(path, file, r);
        cache_.changed(path);
        return r;
    });
}

int Fs::utimens(const char *path, const struct timespec tv[2])
{
    return guard([&] {
        std::string p = hostPath(path);
        struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
        const struct timespec *t = tv ? tv : now;
        auto file = knownFile(path);
        int r;
        if (ext_) {
            struct timespec w[2];
            for (int i = 0; i < 2; i++) {
                w[i] = t[i];
                if (t[i].tv_nsec == UTIME_NOW)
                    w[i].tv_nsec = hl::kUtimeNow;
                else if (t[i].tv_nsec == UTIME_OMIT)
                    w[i].tv_nsec = hl::kUtimeOmit;
            }
            r = exclusive([&](hl::Link &l) { return hl::utimens(l, p, w, true); });
        } else {
            r = link_->exclusive([&](hl::Link &l) { return touchByProgram(l, p, t); });
        }
        linksChanged(path, file, r);
        cache_.changed(path);
        return r;
    });
}

int Fs::statfs(const char *path, struct statvfs *sv)
{
    // The statistics of a path are kept a moment (programs that walk a tree, such as find and
    // grep -r, ask for them at every start), until anything changes through the mount.
    std::string p = hostPath(path ? path : "/");
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    uint64_t since = cache_.changes();
    {
        std::lock_guard<std::mutex> lock(statsMu_);
        auto it = stats_.find(p);
        if (it != stats_.end() && it->second.since == since && t < it->second.until) {
            *sv = it->second.sv;
            return 0;
        }
    }
    int r = guard(
        [&] {
            if (!ext_)
                return link_->exclusive([&](hl::Link &l) { return statfsByProgram(l, p, sv); });
            hl::FsStats s;
            if (hl::parseStatvfs(call(hl::Request(hl::kCallStatvfs).str(p)), &s) < 0)
                return -errno;
            hl::toStatvfs(s, sv);
            return 0;
        },
        true);
    if (r == 0 && opt_.attrTimeout > 0) {
        std::lock_guard<std::mutex> lock(statsMu_);
        if (stats_.size() >= 64)
            stats_.clear();
        stats_[p] = {*sv, since, t + std::min(opt_.attrTimeout, kStatsSeconds)};
    }
    return r;
}

void Fs::giveTo(const char *path, uid_t uid, gid_t gid)
{
    guard([&] {
        std::string p = hostPath(path);
        if (ext_)
            link_->send(hl::Request(hl::kCallLchown).word(static_cast<int32_t>(uid)).word(static_cast<int32_t>(gid)).str(p));
        else
            link_->exclusive([&](hl::Link &l) { return chownByProgram(l, p, uid, gid); });
        struct stat st;
        if (cache_.recall(path, &st) == StatusCache::Answer::Found) {
            st.st_uid = uid;
            st.st_gid = gid;
            cache_.remember(path, st);
        }
        return 0;
    });
}

int Fs::access(const char *path, int mode)
{
    return guard(
        [&] {
            int32_t w = hl::kAccessExists;
            if (mode & R_OK)
                w |= hl::kAccessRead;
            if (mode & W_OK)
                w |= hl::kAccessWrite;
            if (mode & X_OK)
                w |= hl::kAccessExecute;
            return simpleErr(hl::Request(wire::CALL_ACCESS).word(w).str(hostPath(path)));
        },
        true);
}

} // namespace hostfs
