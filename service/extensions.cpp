// Extension calls, served only when the agent runs with -x: rename, truncation, times, owners,
// special files, file-system statistics, 64-bit offsets and status, a batched directory listing,
// fsync, the file-creation mask, an open that brings the file's first bytes along and reads of
// that file asked for right behind it, and an open that takes them (and may close the file at
// once).
// docs/extensions.md gives each call's request and reply, and their rows in service/calls.cpp the
// integer words of each.
//
// A 64-bit value travels as two words, the high half first, each converted like any other word.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include "common/settings.h"
#include "service/errnomap.h"
#include "service/handlers.h"
#include "service/files.h"
#include "service/protocol.h"
#include "service/reply.h"

namespace {

const char *const badstring = "?";

constexpr int STATUS_WORDS = 24;               // one 64-bit status record
constexpr int STAT64_LENGTH = 12 + 4 * STATUS_WORDS; // 108
constexpr int STATVFS_LENGTH = 84;
constexpr int ENTRY_HEAD_WORDS = 2 + STATUS_WORDS; // record length, error word, status
constexpr int PWRITE_DATA = MAX_MESSAGE - 20;
constexpr int OPENREAD_DATA = MAX_MESSAGE - 16;

// The descriptor the latest openread opened (-1 when it failed), which preadlast reads from.
int latestopenread = -1;

// The reply of pread64 and preadlast: n bytes of fd from offset, everything asked for unless the
// end of the file or an error comes first; or the error. The bytes read, or -1.
long PreadReply(int fd, int error, int n, int64_t offset)
{
    long got = -1;
    if (!error) {
        got = 0;
        while (got < n) {
            ssize_t r = pread(fd, replybuf + 12 + got, static_cast<size_t>(n - got), static_cast<off_t>(offset + got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                error = errno;
                if (r < 0 && got == 0)
                    got = -1;
                break;
            }
            got += r;
        }
    }
    if (got < 0) {
        ResultZeroReply(-1, error);
    } else {
        PutWord(replybuf, 1, static_cast<int32_t>(got));
        PutWord(replybuf, 2, 0);
        DataReply(12 + static_cast<int>(got));
    }
    return got;
}

// Writes n bytes of data to fd from offset, as many as it can: the count written, or -1 when
// nothing was; *error the failure that stopped it (EIO for a write that wrote nothing and said
// nothing), left alone when all were written.
long PwriteAll(int fd, const char *data, int n, int64_t offset, int *error)
{
    long put = 0;
    while (put < n) {
        ssize_t w = pwrite(fd, data + put, static_cast<size_t>(n - put), static_cast<off_t>(offset + put));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            *error = w < 0 ? errno : EIO;
            return put == 0 ? -1 : put;
        }
        put += w;
    }
    return put;
}

// Wire values of utimens.
constexpr int32_t WIRE_NOFOLLOW = 1;
constexpr int32_t WIRE_UTIME_NOW = 0x3fffffff;
constexpr int32_t WIRE_UTIME_OMIT = 0x3ffffffe;

// Wire file types, in the bits above the permission bits of a mode word.
constexpr int32_t WIRE_IFMT = 0170000;
constexpr int32_t WIRE_IFIFO = 0010000;
constexpr int32_t WIRE_IFCHR = 0020000;
constexpr int32_t WIRE_IFDIR = 0040000;
constexpr int32_t WIRE_IFBLK = 0060000;
constexpr int32_t WIRE_IFREG = 0100000;
constexpr int32_t WIRE_IFLNK = 0120000;
constexpr int32_t WIRE_IFSOCK = 0140000;

int32_t wiremode(mode_t mode)
{
    int32_t type = 0;
    switch (mode & S_IFMT) {
    case S_IFIFO: type = WIRE_IFIFO; break;
    case S_IFCHR: type = WIRE_IFCHR; break;
    case S_IFDIR: type = WIRE_IFDIR; break;
    case S_IFBLK: type = WIRE_IFBLK; break;
    case S_IFREG: type = WIRE_IFREG; break;
    case S_IFLNK: type = WIRE_IFLNK; break;
    case S_IFSOCK: type = WIRE_IFSOCK; break;
    default: break;
    }
    return type | static_cast<int32_t>(mode & 07777);
}

// Host mode for mknod: fifos, sockets and plain files only; -1 for any other type.
long hostnodemode(int32_t wire)
{
    mode_t perms = static_cast<mode_t>(wire & 07777);
    switch (wire & WIRE_IFMT) {
    case WIRE_IFIFO: return S_IFIFO | perms;
    case WIRE_IFSOCK: return S_IFSOCK | perms;
    case 0:
    case WIRE_IFREG: return S_IFREG | perms;
    default: return -1;
    }
}

bool ReqWord64(const char *request, int n, int64_t *value)
{
    int32_t high = 0, low = 0;
    if (!ReqWord(request, n, &high) || !ReqWord(request, n + 1, &low))
        return false;
    *value = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) |
                                  static_cast<uint32_t>(low));
    return true;
}

void putword64(char *msg, int n, int64_t v)
{
    uint64_t u = static_cast<uint64_t>(v);
    PutWord(msg, n, static_cast<int32_t>(static_cast<uint32_t>(u >> 32)));
    PutWord(msg, n + 1, static_cast<int32_t>(static_cast<uint32_t>(u)));
}

// The status record at word n of msg.
void putstatus(char *msg, int n, const struct stat &st)
{
    PutWord(msg, n, wiremode(st.st_mode));
    PutWord(msg, n + 1, static_cast<int32_t>(st.st_nlink));
    PutWord(msg, n + 2, static_cast<int32_t>(st.st_uid));
    PutWord(msg, n + 3, static_cast<int32_t>(st.st_gid));
    putword64(msg, n + 4, st.st_size);
    putword64(msg, n + 6, static_cast<int64_t>(st.st_ino));
    PutWord(msg, n + 8, static_cast<int32_t>(major(st.st_dev)));
    PutWord(msg, n + 9, static_cast<int32_t>(minor(st.st_dev)));
    PutWord(msg, n + 10, static_cast<int32_t>(major(st.st_rdev)));
    PutWord(msg, n + 11, static_cast<int32_t>(minor(st.st_rdev)));
    putword64(msg, n + 12, st.st_blocks);
    PutWord(msg, n + 14, static_cast<int32_t>(st.st_blksize));
    putword64(msg, n + 15, st.st_atim.tv_sec);
    PutWord(msg, n + 17, static_cast<int32_t>(st.st_atim.tv_nsec));
    putword64(msg, n + 18, st.st_mtim.tv_sec);
    PutWord(msg, n + 20, static_cast<int32_t>(st.st_mtim.tv_nsec));
    putword64(msg, n + 21, st.st_ctim.tv_sec);
    PutWord(msg, n + 23, static_cast<int32_t>(st.st_ctim.tv_nsec));
}

// Byte count of pread64 and pwrite64: unsigned, limited to what one message carries.
int datacount(int32_t count, int most)
{
    uint32_t n = static_cast<uint32_t>(count);
    return n > static_cast<uint32_t>(most) ? most : static_cast<int>(n);
}

} // namespace

char *RemoteRename(int, char *request)
{
    int next = 0;
    const char *from = ReqString(request, 4, &next);
    const char *to = from ? ReqString(request, next, nullptr) : nullptr;
    int result = -1, error = EINVAL;
    if (to) {
        result = rename(from, to);
        error = errno;
    }
    ResultZeroReply(result, error);
    Verbose("Request: %d = rename(%s,%s)\n", result, from ? Shown(from) : badstring, to ? Shown(to) : badstring);
    return replybuf;
}

char *RemoteTruncate(int, char *request)
{
    int64_t length = 0;
    const char *path = ReqString(request, 12, nullptr);
    int result = -1, error = EINVAL;
    if (ReqWord64(request, 1, &length) && path) {
        result = truncate(path, static_cast<off_t>(length));
        error = errno;
    }
    ResultZeroReply(result, error);
    Verbose("Request: %d = truncate(%s,%lld)\n", result, path ? Shown(path) : badstring, static_cast<long long>(length));
    return replybuf;
}

char *RemoteFtruncate(int connection, char *request)
{
    int32_t fd = -1;
    int64_t length = 0;
    int result = -1, error = ReqFd(request, 1, connection, &fd);
    if (!ReqWord64(request, 2, &length))
        error = EINVAL;
    if (!error) {
        result = ftruncate(fd, static_cast<off_t>(length));
        error = errno;
    }
    ResultZeroReply(result, error);
    Verbose("Request: %d = ftruncate(%d,%lld)\n", result, fd, static_cast<long long>(length));
    return replybuf;
}

namespace {

bool wiretime(const char *request, int n, struct timespec *ts)
{
    int64_t sec = 0;
    int32_t nsec = 0;
    if (!ReqWord64(request, n, &sec) || !ReqWord(request, n + 2, &nsec))
        return false;
    ts->tv_sec = static_cast<time_t>(sec);
    if (nsec == WIRE_UTIME_NOW)
        ts->tv_nsec = UTIME_NOW;
    else if (nsec == WIRE_UTIME_OMIT)
        ts->tv_nsec = UTIME_OMIT;
    else
        ts->tv_nsec = nsec; // out of range: utimensat answers EINVAL
    return true;
}

} // namespace

char *RemoteUtimens(int, char *request)
{
    int32_t flags = 0;
    struct timespec times[2] = {};
    const char *path = ReqString(request, 32, nullptr);
    int result = -1, error = EINVAL;
    if (ReqWord(request, 1, &flags) && wiretime(request, 2, &times[0]) && wiretime(request, 5, &times[1]) && path) {
        result = utimensat(AT_FDCWD, path, times, (flags & WIRE_NOFOLLOW) ? AT_SYMLINK_NOFOLLOW : 0);
        error = errno;
    }
    ResultZeroReply(result, error);
    Verbose("Request: %d = utimens(%s,%lld.%09ld,%lld.%09ld,0x%x)\n", result, path ? Shown(path) : badstring,
            static_cast<long long>(times[0].tv_sec), static_cast<long>(times[0].tv_nsec),
            static_cast<long long>(times[1].tv_sec), static_cast<long>(times[1].tv_nsec),
            static_cast<unsigned>(flags));
    return replybuf;
}

char *RemoteLchown(int, char *request)
{
    int32_t uid = -1, gid = -1;
    const char *path = ReqString(request, 12, nullptr);
    int result = -1, error = EINVAL;
    if (ReqWord(request, 1, &uid) && ReqWord(request, 2, &gid) && path) {
        result = lchown(path, static_cast<uid_t>(uid), static_cast<gid_t>(gid));
        error = errno;
    }
    ResultZeroReply(result, error);
    Verbose("Request: %d = lchown(%s,%d,%d)\n", result, path ? Shown(path) : badstring, uid, gid);
    return replybuf;
}

char *RemoteMknod(int, char *request)
{
    int32_t mode = 0;
    const char *path = ReqString(request, 8, nullptr);
    int result = -1, error = EINVAL;
    if (ReqWord(request, 1, &mode) && path) {
        long hostmode = hostnodemode(mode);
        if (hostmode < 0) {
            error = EPERM; // devices are not made over the link
        } else {
            result = mknod(path, static_cast<mode_t>(hostmode), 0);
            error = errno;
        }
    }
    ResultZeroReply(result, error);
    Verbose("Request: %d = mknod(%s,0%o)\n", result, path ? Shown(path) : badstring, static_cast<unsigned>(mode));
    return replybuf;
}

char *RemoteStatvfs(int, char *request)
{
    const char *path = ReqString(request, 4, nullptr);
    struct statvfs sv;
    int result = -1, error = EINVAL;
    if (path) {
        result = statvfs(path, &sv);
        error = errno;
    }
    ResultZeroReply(result, error);
    if (result == 0) {
        PutWord(replybuf, 3, static_cast<int32_t>(sv.f_bsize));
        PutWord(replybuf, 4, static_cast<int32_t>(sv.f_frsize));
        putword64(replybuf, 5, static_cast<int64_t>(sv.f_blocks));
        putword64(replybuf, 7, static_cast<int64_t>(sv.f_bfree));
        putword64(replybuf, 9, static_cast<int64_t>(sv.f_bavail));
        putword64(replybuf, 11, static_cast<int64_t>(sv.f_files));
        putword64(replybuf, 13, static_cast<int64_t>(sv.f_ffree));
        putword64(replybuf, 15, static_cast<int64_t>(sv.f_favail));
        putword64(replybuf, 17, static_cast<int64_t>(sv.f_fsid));
        PutWord(replybuf, 19, ((sv.f_flag & ST_RDONLY) ? 1 : 0) | ((sv.f_flag & ST_NOSUID) ? 2 : 0));
        PutWord(replybuf, 20, static_cast<int32_t>(sv.f_namemax));
    } else {
        memset(replybuf + 12, 0, STATVFS_LENGTH - 12);
    }
    SetLength(replybuf, STATVFS_LENGTH);
    Verbose("Request: %d = statvfs(%s,...)\n", result, path ? Shown(path) : badstring);
    return replybuf;
}

char *RemotePread(int connection, char *request)
{
    int32_t fd = -1, count = 0;
    int64_t offset = 0;
    int error = ReqFd(request, 1, connection, &fd);
    if (!ReqWord(request, 2, &count) || !ReqWord64(request, 3, &offset))
        error = EINVAL;
    int n = datacount(count, MAX_DATA);
    long got = PreadReply(fd, error, n, offset);
    Verbose("Request: %d = pread64(%d,...,%d,%lld)\n", static_cast<int>(got), fd, n, static_cast<long long>(offset));
    return replybuf;
}

char *RemotePwrite(int connection, char *request)
{
    int32_t fd = -1, count = 0;
    int64_t offset = 0;
    int error = ReqFd(request, 1, connection, &fd);
    bool whole = ReqWord(request, 2, &count) && ReqWord64(request, 3, &offset);
    int n = datacount(count, PWRITE_DATA);
    long put = -1;
    // Only bytes that came with this request are written.
    const char *data = whole ? ReqBytes(request, 20, n) : nullptr;
    if (!data)
        error = EINVAL;
    if (!error)
        put = PwriteAll(fd, data, n, offset, &error);
    ResultZeroReply(static_cast<int>(put), error);
    Verbose("Request: %d = pwrite64(%d,...,%d,%lld)\n", static_cast<int>(put), fd, n, static_cast<long long>(offset));
    return replybuf;
}

char *RemoteStat64(int connection, char *request)
{
    int call = MsgCall(request);
    struct stat st;
    const char *path = nullptr;
    int32_t fd = -1;
    int result = -1, error = EINVAL;
    if (call == CALL_FSTAT64) {
        error = ReqFd(request, 1, connection, &fd);
        if (!error) {
            result = fstat(fd, &st);
            error = errno;
        }
    } else if ((path = ReqString(request, 4, nullptr))) {
        result = call == CALL_LSTAT64 ? lstat(path, &st) : stat(path, &st);
        error = errno;
    }
    ResultZeroReply(result, error);
    if (result == 0)
        putstatus(replybuf, 3, st);
    else
        memset(replybuf + 12, 0, STAT64_LENGTH - 12);
    SetLength(replybuf, STAT64_LENGTH);
    if (call == CALL_FSTAT64)
        Verbose("Request: %d = fstat64(%d,...)\n", result, fd);
    else
        Verbose("Request: %d = %s(%s,...)\n", result, CallName(call), path ? Shown(path) : badstring);
    return replybuf;
}

char *RemoteReaddirplus(int, char *request)
{
    int32_t handle = 0, most = 0;
    int count = -1, error = EINVAL;
    int used = 12;
    if (ReqWord(request, 1, &handle) && ReqWord(request, 2, &most)) {
        DIR *dir = DirectoryStream(static_cast<uint32_t>(handle));
        if (!dir) {
            error = EBADF;
        } else {
            count = 0;
            int dfd = dirfd(dir);
            while (most <= 0 || count < most) {
                long before = telldir(dir);
                errno = 0;
                struct dirent *entry = readdir(dir);
                if (!entry) {
                    if (errno != 0 && count == 0) {
                        error = errno;
                        count = -1;
                    }
                    break;
                }
                size_t namesize = strlen(entry->d_name) + 1;
                int reclen = RoundUp4(4 * ENTRY_HEAD_WORDS + static_cast<int>(namesize));
                if (used + reclen > MAX_MESSAGE) {
                    seekdir(dir, before); // the next call starts with this entry
                    break;
                }
                struct stat st;
                int statok = fstatat(dfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW);
                int staterror = errno;
                char *rec = replybuf + used;
                memset(rec, 0, static_cast<size_t>(reclen));
                PutWord(rec, 0, reclen);
                PutWord(rec, 1, statok == 0 ? 0 : maperrno(staterror));
                if (statok == 0)
                    putstatus(rec, 2, st);
                memcpy(rec + 4 * ENTRY_HEAD_WORDS, entry->d_name, namesize);
                used += reclen;
                count++;
            }
        }
    }
    ResultZeroReply(count, error);
    if (count > 0)
        SetLength(replybuf, used);
    Verbose("Request: %d = readdirplus(0x%x,%d)\n", count, static_cast<unsigned>(handle), most);
    return replybuf;
}

char *RemoteFsync(int connection, char *request)
{
    int32_t fd = -1, flags = 0;
    int result = -1, error = ReqFd(request, 1, connection, &fd);
    if (!ReqWord(request, 2, &flags))
        error = EINVAL;
    if (!error) {
        result = (flags & 1) ? fdatasync(fd) : fsync(fd);
        error = errno;
    }
    ResultZeroReply(result, error);
    Verbose("Request: %d = fsync(%d,%d)\n", result, fd, flags);
    return replybuf;
}

char *RemoteUmask(int, char *request)
{
    int32_t mask = 0;
    int result = -1;
    if (ReqWord(request, 1, &mask))
        result = static_cast<int>(umask(static_cast<mode_t>(mask & 0777)));
    ResultZeroReply(result, EINVAL);
    Verbose("Request: 0%o = umask(0%o)\n", static_cast<unsigned>(result), static_cast<unsigned>(mask));
    return replybuf;
}

// Open and read in one exchange: the descriptor, and the file's first bytes read through it (its
// offset moves past them, as a read would move it). After a failed open nothing is read; after a
// failed read the descriptor stays open for the client to close.
char *RemoteOpenread(int, char *request)
{
    int32_t wireflags = 0, mode = 0, count = 0;
    const char *path = ReqString(request, 16, nullptr);
    bool whole = ReqWord(request, 1, &wireflags) && ReqWord(request, 2, &mode) && ReqWord(request, 3, &count) && path;
    int flags = HostOpenFlags(wireflags);
    int n = datacount(count, OPENREAD_DATA);
    int fd = -1, error = EINVAL;
    long got = -1;
    if (whole) {
        fd = open(path, flags, static_cast<mode_t>(mode));
        error = errno;
    }
    latestopenread = fd;
    if (fd >= 0) {
        error = 0;
        got = 0;
        while (got < n) {
            ssize_t r = read(fd, replybuf + 16 + got, static_cast<size_t>(n - got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                if (r < 0 && got == 0) {
                    error = errno;
                    got = -1;
                }
                break;
            }
            got += r;
        }
    }
    PutWord(replybuf, 1, fd);
    PutWord(replybuf, 2, error ? maperrno(error) : 0);
    PutWord(replybuf, 3, static_cast<int32_t>(got));
    DataReply(16 + (got > 0 ? static_cast<int>(got) : 0));
    Verbose("Request: %d = openread(%s,0x%x,0x%x,...,%d): %d\n", fd, path ? Shown(path) : badstring,
            static_cast<unsigned>(flags), static_cast<unsigned>(mode), n, static_cast<int>(got));
    return replybuf;
}

// Open and write in one exchange: the file is opened (made, with O_CREAT) and the request's data
// written through the new descriptor from its start. With w4 = 0 the descriptor is closed at
// once and the reply is 0, or -1 with the error of whichever of open, write and close failed
// first: a small file made and filled in a single round trip. With w4 = 1 it stays open and is
// returned, also after a failed write (whose error the reply carries): the client closes it.
char *RemoteOpenwrite(int, char *request)
{
    int32_t wireflags = 0, mode = 0, count = 0, keep = 0;
    int next = 0;
    const char *path = ReqString(request, 20, &next);
    bool words = ReqWord(request, 1, &wireflags) && ReqWord(request, 2, &mode) && ReqWord(request, 3, &count) &&
                 ReqWord(request, 4, &keep);
    int flags = HostOpenFlags(wireflags);
    int n = datacount(count, PWRITE_DATA);
    // Only bytes that came with this request are written.
    const char *data = words && path ? ReqBytes(request, next, n) : nullptr;
    int fd = -1, error = EINVAL, result = -1;
    long put = -1;
    if (data) {
        fd = open(path, flags, static_cast<mode_t>(mode));
        error = errno;
    }
    if (fd >= 0) {
        error = 0;
        put = PwriteAll(fd, data, n, 0, &error);
        result = keep ? fd : 0;
        if (!keep && close(fd) != 0 && !error)
            error = errno;
        if (!keep && error)
            result = -1;
    }
    PutWord(replybuf, 1, result);
    PutWord(replybuf, 2, error ? maperrno(error) : 0);
    PutWord(replybuf, 3, static_cast<int32_t>(put));
    DataReply(16);
    Verbose("Request: %d = openwrite(%s,0x%x,0x%x,...,%d,%d): %d\n", result, path ? Shown(path) : badstring,
            static_cast<unsigned>(flags), static_cast<unsigned>(mode), n, keep, static_cast<int>(put));
    return replybuf;
}

char *RemotePreadlast(int connection, char *request)
{
    int32_t count = 0;
    int64_t offset = 0;
    int fd = latestopenread;
    int error = ReqWord(request, 1, &count) && ReqWord64(request, 2, &offset) ? 0 : EINVAL;
    if (!error && (fd < 0 || IsPrivate(connection, fd)))
        error = EBADF;
    int n = datacount(count, MAX_DATA);
    long got = PreadReply(fd, error, n, offset);
    Verbose("Request: %d = preadlast(%d,...,%d,%lld)\n", static_cast<int>(got), fd, n, static_cast<long long>(offset));
    return replybuf;
}
