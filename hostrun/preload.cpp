// libhostrun.so: preloaded into a program by hostrun, it serves the program's file, directory
// and identity calls for host paths and host descriptors through the agent, and hands every
// other call to the C library unchanged.
//
// The link: hostrun connects to the agent, makes the handshake and leaves the connected socket
// open across exec; every process that inherits it talks over it, one exchange (or one pipelined
// batch) at a time, under a lock that holds across threads (a mutex) and processes (flock on a
// memfd of hostrun's that each process reopens for a description of its own).
//
// Host descriptors: each is a placeholder, an O_PATH descriptor on a small memfd whose content
// records the session, the host descriptor, the process that opened it and its host path. Reads
// and writes on a placeholder that reach the kernel fail with EBADF; the table in this process
// maps it to the host descriptor; after exec the new image finds its inherited placeholders again
// in /proc/self/fd.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "hostrun/paths.h"
#include "hostrun/wire.h"

using namespace hostrun;

extern "C" {
// Entry points that the headers no longer declare, or declare only for fortified builds.
int __xstat(int, const char *, struct stat *);
int __xstat64(int, const char *, struct stat64 *);
int __lxstat(int, const char *, struct stat *);
int __lxstat64(int, const char *, struct stat64 *);
int __fxstat(int, int, struct stat *);
int __fxstat64(int, int, struct stat64 *);
int __fxstatat(int, int, const char *, struct stat *, int);
int __fxstatat64(int, int, const char *, struct stat64 *, int);
int __open_2(const char *, int);
int __open64_2(const char *, int);
int __openat_2(int, const char *, int);
int __openat64_2(int, const char *, int);
ssize_t __read_chk(int, void *, size_t, size_t);
ssize_t __pread_chk(int, void *, size_t, off_t, size_t);
ssize_t __pread64_chk(int, void *, size_t, off64_t, size_t);
ssize_t __readlink_chk(const char *, char *, size_t, size_t);
ssize_t __readlinkat_chk(int, const char *, char *, size_t, size_t);
char *__getcwd_chk(char *, size_t, size_t);
char *__realpath_chk(const char *, char *, size_t);
}

#define REAL(fn)                                                                                       \
    ([]() {                                                                                            \
        static auto realFn_ = reinterpret_cast<decltype(&::fn)>(dlsym(RTLD_NEXT, #fn));                \
        return realFn_;                                                                                      \
    }())

namespace {

// ---- Configuration and the link ----------------------------------------------------------------

struct Config {
    bool active = false;
    PathMap map;
    int linkFd = -1;
    int lockSource = -1; // hostrun's lock memfd, inherited
    int lockFd = -1;     // this process's own description of it
    std::string session;
    bool extensions = false;
    bool identity = false;
    uid_t uid = 0, euid = 0;
    gid_t gid = 0, egid = 0;
    std::string login, hostname;
    pid_t pid = 0;
    bool dead = false;
};

Config cfg;
pthread_mutex_t gMu = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
thread_local int tBusy = 0; // inside the library's own work: every call goes straight through
char gOut[kMaxMessage];
char gIn[kMaxMessage];

struct Lock {
    Lock() { pthread_mutex_lock(&gMu); }
    ~Lock() { pthread_mutex_unlock(&gMu); }
};

// One exchange or batch with the agent: the process mutex and the cross-process lock.
struct Exchange {
    bool ok = false;
    Wire wire;
    Exchange()
    {
        pthread_mutex_lock(&gMu);
        if (cfg.dead || cfg.linkFd < 0 || cfg.lockFd < 0)
            return;
        while (flock(cfg.lockFd, LOCK_EX) < 0)
            if (errno != EINTR)
                return;
        wire.attach(cfg.linkFd);
        ok = true;
    }
    ~Exchange()
    {
        if (ok)
            flock(cfg.lockFd, LOCK_UN);
        pthread_mutex_unlock(&gMu);
    }
    // A broken link stays broken: the stream may be cut inside a message.
    int broken()
    {
        cfg.dead = true;
        errno = EIO;
        return -1;
    }
};

// A pointer argument the headers promise is never null, which callers still pass as null.
__attribute__((noinline)) bool Missing(const void *p) { return p == nullptr; }

int Fail(int e)
{
    errno = e;
    return -1;
}

// A call answered with a result word and, on failure, an error word.
int32_t Simple(Message &m, int failure = -1)
{
    Exchange x;
    if (!x.ok)
        return Fail(EIO);
    if (!m.ok())
        return Fail(ENAMETOOLONG);
    int call = static_cast<unsigned char>(gOut[2]);
    const char *req = m.finish();
    int len;
    if (!x.wire.send(req, m.size()) || !x.wire.receive(call, gIn, 12, &len))
        return x.broken();
    int32_t r = Word(gIn, 1);
    if (r == failure || r < 0)
        errno = LocalErrno(Word(gIn, 2));
    return r;
}

int HostPathCall(int call, const std::string &path)
{
    Lock mLock_;
    Message m(gOut, call);
    m.str(path.c_str());
    return Simple(m);
}

int HostModePathCall(int call, int32_t mode, const std::string &path)
{
    Lock mLock_;
    Message m(gOut, call);
    m.word(mode).str(path.c_str());
    return Simple(m);
}

int HostTwoPaths(int call, const std::string &a, const std::string &b)
{
    Lock mLock_;
    Message m(gOut, call);
    m.str(a.c_str()).str(b.c_str());
    return Simple(m);
}

// stat (18), lstat (32) of a path, or fstat (34) of a host descriptor.
int HostStat(int call, const std::string *path, int hostFd, struct stat *st)
{
    Lock l;
    if (cfg.extensions)
        call = call == kStat ? kStat64 : call == kLstat ? kLstat64 : kFstat64;
    Lock mLock_;
    Message m(gOut, call);
    if (path)
        m.str(path->c_str());
    else
        m.word(hostFd);
    Exchange x;
    if (!x.ok)
        return Fail(EIO);
    if (!m.ok())
        return Fail(ENAMETOOLONG);
    int len;
    const char *req = m.finish();
    if (!x.wire.send(req, m.size()) || !x.wire.receive(call, gIn, 108, &len))
        return x.broken();
    if (Word(gIn, 1) < 0)
        return Fail(LocalErrno(Word(gIn, 2)));
    if (cfg.extensions)
        FillStat64(gIn + 12, st);
    else
        FillStat(gIn, st);
    return 0;
}

// ---- The placeholder table ---------------------------------------------------------------------

// One name of a host directory, with its inode number and type when the agent gives them.
struct Entry {
    std::string name;
    ino64_t ino = 0;
    unsigned char type = DT_UNKNOWN;
};

struct HostFile {
    int hostFd = -1; // -1: a path only
    std::string path;
    int flags = 0;
    long owner = 0;
    struct stat status;       // taken with the open, for the first fstat
    bool haveStatus = false;
    std::vector<Entry> names; // getdents
    size_t namePos = 0;
    bool listed = false;
};

struct Slot {
    std::shared_ptr<HostFile> file;
    dev_t dev;
    ino_t ino;
};

std::unordered_map<int, Slot> gFds;
std::atomic<int> gHostFds{0};
int gCwdFd = -1;        // a marker placeholder that carries the working directory across exec
std::string gCwd;       // host path of the working directory, when it is on the host
bool gCwdHost = false;

void CloseHostFile(HostFile &f)
{
    if (f.hostFd < 0 || f.owner != getpid())
        return;
    Lock mLock_;
    Message m(gOut, kClose);
    m.word(f.hostFd);
    int saved = errno;
    Simple(m);
    errno = saved;
}

// Drops fd from the table; the host descriptor closes with the last placeholder of its owner.
void Forget(int fd)
{
    Lock l;
    auto it = gFds.find(fd);
    if (it == gFds.end())
        return;
    std::shared_ptr<HostFile> f = std::move(it->second.file);
    gFds.erase(it);
    gHostFds--;
    if (f.use_count() == 1)
        CloseHostFile(*f);
}

void Remember(int fd, std::shared_ptr<HostFile> f)
{
    struct stat st;
    if (REAL(fstat)(fd, &st) < 0)
        return;
    Lock l;
    auto it = gFds.find(fd);
    if (it != gFds.end()) {
        it->second = {std::move(f), st.st_dev, st.st_ino};
        return;
    }
    gFds[fd] = {std::move(f), st.st_dev, st.st_ino};
    gHostFds++;
}

// The host file behind fd, or null for a local descriptor. A table entry whose descriptor was
// closed behind the library's back (its number now names another file) is dropped.
std::shared_ptr<HostFile> Lookup(int fd)
{
    if (gHostFds.load(std::memory_order_relaxed) == 0 || tBusy || !cfg.active)
        return nullptr;
    Lock l;
    auto it = gFds.find(fd);
    if (it == gFds.end())
        return nullptr;
    struct stat st;
    if (REAL(fstat)(fd, &st) < 0 || st.st_ino != it->second.ino || st.st_dev != it->second.dev) {
        gFds.erase(it);
        gHostFds--;
        return nullptr;
    }
    return it->second.file;
}

bool OwnFd(int fd) { return fd >= 0 && (fd == cfg.linkFd || fd == cfg.lockSource || fd == cfg.lockFd || fd == gCwdFd); }

// A new placeholder at the lowest free number, as open would give.
int MakePlaceholder(const Placeholder &rec, bool cloexec)
{
    int m0 = memfd_create("hostrun", MFD_CLOEXEC);
    if (m0 < 0)
        return -1;
    int m = REAL(fcntl)(m0, F_DUPFD_CLOEXEC, 512);
    if (m >= 0)
        REAL(close)(m0);
    else
        m = m0;
    std::string text = EncodePlaceholder(rec);
    if (REAL(write)(m, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        REAL(close)(m);
        return -1;
    }
    char proc[40];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", m);
    int p = REAL(open)(proc, O_PATH | (cloexec ? O_CLOEXEC : 0));
    int e = errno;
    REAL(close)(m);
    errno = e;
    return p;
}

int NewHostFd(int hostFd, const std::string &path, int flags)
{
    auto f = std::make_shared<HostFile>();
    f->hostFd = hostFd;
    f->path = path;
    f->flags = flags;
    f->owner = getpid();
    Placeholder rec{cfg.session, hostFd, f->owner, flags, path};
    int fd = MakePlaceholder(rec, flags & O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        CloseHostFile(*f);
        return Fail(e);
    }
    Remember(fd, std::move(f));
    return fd;
}

// The working-directory marker follows every change, so that an exec'd program starts there.
void SetCwd(bool host, const std::string &path)
{
    Lock l;
    gCwdHost = host;
    gCwd = path;
    if (!host) {
        if (gCwdFd >= 0)
            REAL(close)(gCwdFd);
        gCwdFd = -1;
        return;
    }
    Placeholder rec{cfg.session, -2, 0, 0, path};
    int p = MakePlaceholder(rec, false);
    if (p < 0)
        return;
    if (gCwdFd < 0)
        gCwdFd = REAL(fcntl)(p, F_DUPFD, 400);
    else
        REAL(dup2)(p, gCwdFd);
    REAL(close)(p);
}

// ---- Paths -------------------------------------------------------------------------------------

// Where a path argument lands: on the host (host holds the host path), or here (local holds the
// path to give the C library: the argument itself, or an absolute path when a relative one
// starts from a host working directory but leads out of the host's part).
struct Where {
    bool host = false;
    std::string hostPath;
    std::string rewritten;
    const char *local = nullptr;
    bool badFd = false;

    Where(int dirfd, const char *path)
    {
        local = path;
        if (!cfg.active || tBusy || !path)
            return;
        if (path[0] == '/') {
            if (auto h = HostPathOf(cfg.map, path)) {
                host = true;
                hostPath = *h;
            }
            return;
        }
        std::string base;
        if (dirfd == AT_FDCWD) {
            Lock l;
            if (!gCwdHost)
                return;
            base = gCwd;
        } else {
            auto f = Lookup(dirfd);
            if (!f)
                return;
            base = f->path;
        }
        std::string shown = JoinPath(DisplayPath(cfg.map, base), path);
        if (auto h = HostPathOf(cfg.map, shown)) {
            host = true;
            hostPath = *h;
            if (!*path)
                hostPath = base;
        } else {
            rewritten = shown;
            local = rewritten.c_str();
        }
    }
};

// ---- Descriptor calls --------------------------------------------------------------------------

int HostOpen(const std::string &path, int flags, mode_t mode)
{
    if ((flags & O_TMPFILE) == O_TMPFILE)
        return Fail(EOPNOTSUPP);
    if (flags & (O_DIRECTORY | O_PATH)) {
        struct stat st;
        bool nofollow = flags & O_NOFOLLOW;
        if (HostStat(nofollow ? kLstat : kStat, &path, -1, &st) < 0) {
            if (!(errno == ENOENT && (flags & O_CREAT)))
                return -1;
        } else {
            if (nofollow && S_ISLNK(st.st_mode) && !(flags & O_PATH))
                return Fail(ELOOP);
            if ((flags & O_DIRECTORY) && !S_ISDIR(st.st_mode))
                return Fail(ENOTDIR);
            if (S_ISDIR(st.st_mode) && (flags & O_ACCMODE) != O_RDONLY)
                return Fail(EISDIR);
            if ((flags & O_PATH) || S_ISDIR(st.st_mode))
                return NewHostFd(-1, path, flags);
        }
    }
    // One round trip: the lstat that O_NOFOLLOW needs, the open, and the status of what was
    // opened, which answers the fstat that nearly every program makes next.
    bool nofollow = flags & O_NOFOLLOW;
    int statCall = cfg.extensions ? kStat64 : kStat, lstatCall = cfg.extensions ? kLstat64 : kLstat;
    int statLen = cfg.extensions ? 108 : 52;
    Lock l;
    size_t used = 0;
    size_t sizes[3];
    int calls[3], count = 0;
    auto add = [&](int call, bool withFlags) {
        Message m(gOut + used, call, kMaxMessage - used);
        if (withFlags)
            m.word(WireOpenFlags(flags)).word(static_cast<int32_t>(mode));
        m.str(path.c_str());
        m.finish();
        if (!m.ok())
            return false;
        calls[count] = call;
        sizes[count++] = m.size();
        used += m.size();
        return true;
    };
    if ((nofollow && !add(lstatCall, false)) || !add(kOpen, true) || !add(statCall, false))
        return Fail(ENAMETOOLONG);
    (void)sizes;
    Exchange x;
    if (!x.ok)
        return Fail(EIO);
    if (!x.wire.send(gOut, used))
        return x.broken();
    int32_t hfd = -1, openError = 0;
    bool link = false, haveStatus = false;
    struct stat st;
    for (int i = 0; i < count; i++) {
        int len;
        if (!x.wire.receive(calls[i], gIn, calls[i] == kOpen ? 12 : statLen, &len))
            return x.broken();
        int32_t r = Word(gIn, 1);
        if (calls[i] == kOpen) {
            hfd = r;
            if (r < 0)
                openError = LocalErrno(Word(gIn, 2));
        } else if (r >= 0) {
            if (cfg.extensions)
                FillStat64(gIn + 12, &st);
            else
                FillStat(gIn, &st);
            if (calls[i] == lstatCall)
                link = S_ISLNK(st.st_mode);
            else
                haveStatus = true;
        }
    }
    if (hfd < 0)
        return Fail(link ? ELOOP : openError);
    if (link) {
        Message c(gOut, kClose);
        c.word(hfd).finish();
        int len;
        if (!x.wire.send(gOut, c.size()) || !x.wire.receive(kClose, gIn, 12, &len))
            return x.broken();
        return Fail(ELOOP);
    }
    int fd = NewHostFd(hfd, path, flags);
    if (fd >= 0 && haveStatus)
        if (auto f = Lookup(fd)) {
            f->status = st;
            f->haveStatus = true;
        }
    return fd;
}

int OpenAt(int dirfd, const char *path, int flags, mode_t mode, bool at)
{
    Where w(dirfd, path);
    if (!w.host)
        return at ? REAL(openat)(dirfd, w.local, flags, mode) : REAL(open)(w.local, flags, mode);
    return HostOpen(w.hostPath, flags, mode);
}

mode_t ModeArg(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

// Reads up to n bytes of a host descriptor, the chunks of one call sent before their replies.
ssize_t HostRead(HostFile &f, void *buffer, size_t n)
{
    if (f.hostFd < 0)
        return Fail(f.flags & O_PATH ? EBADF : EISDIR);
    if ((f.flags & O_ACCMODE) == O_WRONLY)
        return Fail(EBADF);
    if (n == 0)
        return 0;
    constexpr size_t kBatch = 32;
    size_t chunks = (n + kMaxData - 1) / kMaxData;
    if (chunks > kBatch)
        chunks = kBatch, n = kBatch * kMaxData;
    char reqs[kBatch * 12];
    for (size_t i = 0; i < chunks; i++) {
        size_t c = i + 1 < chunks ? kMaxData : n - i * kMaxData;
        int32_t w[3] = {0, f.hostFd, static_cast<int32_t>(c)};
        uint16_t len = 12;
        memcpy(w, &len, 2);
        reinterpret_cast<char *>(w)[2] = kRead;
        memcpy(reqs + 12 * i, w, 12);
    }
    Exchange x;
    if (!x.ok)
        return Fail(EIO);
    if (!x.wire.send(reqs, 12 * chunks))
        return x.broken();
    char *out = static_cast<char *>(buffer);
    size_t total = 0;
    int error = 0;
    for (size_t i = 0; i < chunks; i++) {
        int len;
        size_t got = 0;
        char head[12];
        if (!x.wire.receive(kRead, head, 12, &len, out + total, n - total, &got))
            return x.broken();
        int32_t r = Word(head, 1);
        if (error)
            continue;
        if (r < 0)
            error = LocalErrno(Word(head, 2));
        else
            total += static_cast<size_t>(r) < got ? static_cast<size_t>(r) : got;
    }
    if (error && total == 0)
        return Fail(error);
    return static_cast<ssize_t>(total);
}

// The replies to chunks pipelined writes of one call: the bytes written, or the first failure
// when nothing was written; every reply is read, so the link stays in step.
ssize_t CollectWrites(Exchange &x, int call, size_t chunks)
{
    size_t total = 0;
    int error = 0;
    for (size_t i = 0; i < chunks; i++) {
        int len;
        if (!x.wire.receive(call, gIn, 12, &len))
            return x.broken();
        int32_t r = Word(gIn, 1);
        if (error)
            continue;
        if (r < 0)
            error = LocalErrno(Word(gIn, 2));
        else
            total += static_cast<size_t>(r);
    }
    if (error && total == 0)
        return Fail(error);
    return static_cast<ssize_t>(total);
}

ssize_t HostWrite(HostFile &f, const void *buffer, size_t n)
{
    f.haveStatus = false;
    if (f.hostFd < 0)
        return Fail(EBADF);
    if ((f.flags & O_ACCMODE) == O_RDONLY)
        return Fail(EBADF);
    const char *in = static_cast<const char *>(buffer);
    size_t chunks = n == 0 ? 0 : (n + kMaxData - 1) / kMaxData;
    Exchange x;
    if (!x.ok)
        return Fail(EIO);
    for (size_t i = 0; i < chunks; i++) {
        size_t c = i + 1 < chunks ? kMaxData : n - i * kMaxData;
        int32_t w[3] = {0, f.hostFd, static_cast<int32_t>(c)};
        uint16_t len = static_cast<uint16_t>(12 + c);
        memcpy(w, &len, 2);
        reinterpret_cast<char *>(w)[2] = kWrite;
        if (!x.wire.send2(w, 12, in + i * kMaxData, c))
            return x.broken();
    }
    return CollectWrites(x, kWrite, chunks);
}

off64_t HostSeek(HostFile &f, off64_t offset, int whence)
{
    if (f.hostFd < 0)
        return Fail(f.flags & O_PATH ? EBADF : EISDIR);
    if (offset > INT32_MAX || offset < INT32_MIN)
        return Fail(EOVERFLOW);
    Lock mLock_;
    Message m(gOut, kLseek);
    m.word(f.hostFd).word(static_cast<int32_t>(offset)).word(whence);
    Lock l;
    return Simple(m);
}

// Positioned reads and writes of the extension calls, the chunks of one call pipelined.
ssize_t HostPread64(HostFile &f, void *buffer, size_t n, off64_t offset)
{
    constexpr size_t kBatch = 32;
    size_t chunks = (n + kMaxData - 1) / kMaxData;
    if (chunks > kBatch)
        chunks = kBatch, n = kBatch * kMaxData;
    char reqs[kBatch * 20];
    for (size_t i = 0; i < chunks; i++) {
        size_t c = i + 1 < chunks ? kMaxData : n - i * kMaxData;
        Message m(reqs + 20 * i, kPread64);
        m.word(f.hostFd).word(static_cast<int32_t>(c)).word64(offset + static_cast<off64_t>(i * kMaxData)).finish();
    }
    Exchange x;
    if (!x.ok)
        return Fail(EIO);
    if (!x.wire.send(reqs, 20 * chunks))
        return x.broken();
    char *out = static_cast<char *>(buffer);
    size_t total = 0;
    int error = 0;
    bool short_ = false;
    for (size_t i = 0; i < chunks; i++) {
        int len;
        size_t got = 0;
        char head[12];
        if (!x.wire.receive(kPread64, head, 12, &len, out + i * kMaxData, n - i * kMaxData, &got))
            return x.broken();
        int32_t r = Word(head, 1);
        if (error || short_)
            continue;
        if (r < 0)
            error = LocalErrno(Word(head, 2));
        else {
            total += static_cast<size_t>(r);
            short_ = static_cast<size_t>(r) < kMaxData;
        }
    }
    if (error && total == 0)
        return Fail(error);
    return static_cast<ssize_t>(total);
}

ssize_t HostPwrite64(HostFile &f, const void *buffer, size_t n, off64_t offset)
{
    f.haveStatus = false;
    constexpr size_t kChunk = kMaxMessage - 20;
    const char *in = static_cast<const char *>(buffer);
    size_t chunks = n == 0 ? 0 : (n + kChunk - 1) / kChunk;
    Exchange x;
    if (!x.ok)
        return Fail(EIO);
    for (size_t i = 0; i < chunks; i++) {
        size_t c = i + 1 < chunks ? kChunk : n - i * kChunk;
        char head[20];
        Message m(head, kPwrite64);
        m.word(f.hostFd).word(static_cast<int32_t>(c)).word64(offset + static_cast<off64_t>(i * kChunk)).finish();
        uint16_t len = static_cast<uint16_t>(20 + c);
        memcpy(head, &len, 2);
        if (!x.wire.send2(head, 20, in + i * kChunk, c))
            return x.broken();
    }
    return CollectWrites(x, kPwrite64, chunks);
}

// pread without a positioned read on the wire: remember the offset, seek, read, seek back.
ssize_t HostPread(HostFile &f, void *buffer, size_t n, off64_t offset)
{
    if (f.hostFd >= 0 && cfg.extensions && n > 0 && (f.flags & O_ACCMODE) != O_WRONLY)
        return HostPread64(f, buffer, n, offset);
    Lock l;
    off64_t here = HostSeek(f, 0, SEEK_CUR);
    if (here < 0)
        return -1;
    if (HostSeek(f, offset, SEEK_SET) < 0)
        return -1;
    ssize_t r = HostRead(f, buffer, n);
    int e = errno;
    HostSeek(f, here, SEEK_SET);
    errno = e;
    return r;
}

ssize_t HostPwrite(HostFile &f, const void *buffer, size_t n, off64_t offset)
{
    if (f.hostFd >= 0 && cfg.extensions && (f.flags & O_ACCMODE) != O_RDONLY)
        return HostPwrite64(f, buffer, n, offset);
    Lock l;
    off64_t here = HostSeek(f, 0, SEEK_CUR);
    if (here < 0)
        return -1;
    if (HostSeek(f, offset, SEEK_SET) < 0)
        return -1;
    ssize_t r = HostWrite(f, buffer, n);
    int e = errno;
    HostSeek(f, here, SEEK_SET);
    errno = e;
    return r;
}

int HostFstat(HostFile &f, struct stat *st)
{
    {
        Lock l;
        if (f.haveStatus) {
            f.haveStatus = false;
            *st = f.status;
            return 0;
        }
    }
    if (f.hostFd >= 0)
        return HostStat(kFstat, nullptr, f.hostFd, st);
    return HostStat(f.flags & O_NOFOLLOW ? kLstat : kStat, &f.path, -1, st);
}

int StatAt(int dirfd, const char *path, struct stat *st, int flags)
{
    if (path && !*path && (flags & AT_EMPTY_PATH)) {
        if (auto f = Lookup(dirfd))
            return HostFstat(*f, st);
        return REAL(fstatat)(dirfd, path, st, flags);
    }
    Where w(dirfd, path);
    if (!w.host)
        return REAL(fstatat)(dirfd, w.local, st, flags);
    return HostStat(flags & AT_SYMLINK_NOFOLLOW ? kLstat : kStat, &w.hostPath, -1, st);
}

int Fstat(int fd, struct stat *st)
{
    if (auto f = Lookup(fd))
        return HostFstat(*f, st);
    return REAL(fstat)(fd, st);
}

// ---- Directories -------------------------------------------------------------------------------

// A made-up inode number where the wire carries none with a name. Never 0, which marks a
// deleted entry.
ino64_t NameInode(const std::string &name)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name)
        h = (h ^ c) * 1099511628211ull;
    return h ? h : 1;
}

// readdirplus replies: entries with their status, as many as fit one reply.
bool TakePlus(const char *reply, int len, std::vector<Entry> &names, bool *done)
{
    int32_t count = Word(reply, 1);
    if (count <= 0) {
        *done = true;
        return true;
    }
    int at = 12;
    for (int32_t i = 0; i < count; i++) {
        if (at + 104 > len)
            return false;
        int32_t size = Word(reply + at, 0);
        if (size < 108 || at + size > len)
            return false;
        struct stat st;
        FillStat64(reply + at + 8, &st);
        Entry e;
        e.name.assign(reply + at + 104, strnlen(reply + at + 104, static_cast<size_t>(size - 104)));
        e.ino = st.st_ino ? st.st_ino : NameInode(e.name);
        e.type = Word(reply + at, 1) ? static_cast<unsigned char>(DT_UNKNOWN) : static_cast<unsigned char>(IFTODT(st.st_mode));
        names.push_back(std::move(e));
        at += size;
    }
    return true;
}

// Every name of a host directory: opendir, then readdir (or readdirplus) requests sent in batches
// ahead of their replies, then closedir.
int ListHostDir(const std::string &path, std::vector<Entry> &names)
{
    Lock l;
    Lock mLock_;
    Message m(gOut, kOpendir);
    m.str(path.c_str());
    int32_t handle = Simple(m, 0);
    if (handle == 0)
        return -1;
    Exchange x;
    if (!x.ok)
        return Fail(EIO);
    bool plus = cfg.extensions;
    int call = plus ? kReaddirplus : kReaddir;
    int batch = plus ? 4 : 64;
    int reqSize = plus ? 12 : 8;
    char reqs[64 * 12];
    for (int i = 0; i < batch; i++) {
        Message r(reqs + reqSize * i, call);
        r.word(handle);
        if (plus)
            r.word(0);
        r.finish();
    }
    bool done = false;
    while (!done) {
        if (!x.wire.send(reqs, static_cast<size_t>(batch * reqSize)))
            return x.broken();
        for (int i = 0; i < batch; i++) {
            int len;
            if (!x.wire.receive(call, gIn, kMaxMessage, &len))
                return x.broken();
            if (done)
                continue;
            if (plus) {
                if (!TakePlus(gIn, len, names, &done))
                    return x.broken();
            } else if (Word(gIn, 1) < 0 || len <= 12)
                done = true;
            else {
                Entry e;
                e.name.assign(gIn + 12, strnlen(gIn + 12, static_cast<size_t>(len - 12)));
                e.ino = NameInode(e.name);
                names.push_back(std::move(e));
            }
        }
    }
    Message c(reqs, kClosedir);
    c.word(handle);
    const char *creq = c.finish();
    int rlen;
    if (!x.wire.send(creq, c.size()) || !x.wire.receive(kClosedir, gIn, 12, &rlen))
        return x.broken();
    return 0;
}

constexpr uint32_t kDirMagic = 0x484f5354;

// What the program holds as a DIR* for a host directory.
struct HostDir {
    uint32_t magic = kDirMagic;
    std::shared_ptr<HostFile> file;
    int fd = -1; // the placeholder given by fdopendir or made by dirfd
    std::vector<Entry> names;
    size_t pos = 0;
    struct dirent64 entry;
};

std::unordered_map<void *, HostDir *> gDirs;
std::atomic<int> gDirCount{0};

HostDir *AsHostDir(DIR *d)
{
    if (gDirCount.load(std::memory_order_relaxed) == 0 || !d)
        return nullptr;
    Lock l;
    auto it = gDirs.find(d);
    return it == gDirs.end() ? nullptr : it->second;
}

DIR *NewHostDir(std::shared_ptr<HostFile> file, int fd)
{
    auto *d = new HostDir;
    d->file = std::move(file);
    d->fd = fd;
    if (ListHostDir(d->file->path, d->names) < 0) {
        int e = errno;
        delete d;
        errno = e;
        return nullptr;
    }
    Lock l;
    gDirs[d] = d;
    gDirCount++;
    return reinterpret_cast<DIR *>(d);
}

struct dirent64 *HostReaddir(HostDir *d)
{
    if (d->pos >= d->names.size())
        return nullptr;
    const Entry &n = d->names[d->pos++];
    struct dirent64 &e = d->entry;
    e.d_ino = n.ino;
    e.d_off = static_cast<off64_t>(d->pos);
    e.d_reclen = sizeof e;
    e.d_type = n.type;
    snprintf(e.d_name, sizeof e.d_name, "%s", n.name.c_str());
    return &e;
}

// ---- Host realpath -----------------------------------------------------------------------------

int HostRealpath(const std::string &path, std::string &out)
{
    std::vector<std::string> todo; // components still to walk, last first
    auto push = [&todo](const std::string &p) {
        std::vector<std::string> parts;
        size_t i = 0;
        while (i <= p.size()) {
            size_t j = p.find('/', i);
            if (j == std::string::npos)
                j = p.size();
            if (j > i)
                parts.push_back(p.substr(i, j - i));
            i = j + 1;
        }
        for (auto it = parts.rbegin(); it != parts.rend(); ++it)
            todo.push_back(*it);
    };
    push(path);
    std::string done = "/";
    int links = 0;
    while (!todo.empty()) {
        std::string c = todo.back();
        todo.pop_back();
        if (c == ".")
            continue;
        if (c == "..") {
            size_t s = done.rfind('/');
            done = s == 0 ? "/" : done.substr(0, s);
            continue;
        }
        std::string next = done == "/" ? "/" + c : done + "/" + c;
        struct stat st;
        if (HostStat(kLstat, &next, -1, &st) < 0)
            return -1;
        if (S_ISLNK(st.st_mode)) {
            if (++links > 40)
                return Fail(ELOOP);
            Lock mLock_;
            Message m(gOut, kReadlink);
            m.str(next.c_str());
            Lock l;
            Exchange x;
            if (!x.ok)
                return Fail(EIO);
            int len;
            const char *req = m.finish();
            if (!x.wire.send(req, m.size()) || !x.wire.receive(kReadlink, gIn, kMaxMessage, &len))
                return x.broken();
            if (Word(gIn, 1) < 0)
                return Fail(LocalErrno(Word(gIn, 2)));
            std::string target(gIn + 12, static_cast<size_t>(Word(gIn, 1)));
            if (!target.empty() && target[0] == '/')
                done = "/";
            push(target);
            continue;
        }
        if (!todo.empty() && !S_ISDIR(st.st_mode))
            return Fail(ENOTDIR);
        done = next;
    }
    out = done;
    return 0;
}

char *Realpath(const char *path, char *resolved)
{
    Where w(AT_FDCWD, path);
    if (!w.host)
        return REAL(realpath)(w.local, resolved);
    std::string real;
    if (HostRealpath(w.hostPath, real) < 0)
        return nullptr;
    std::string shown = DisplayPath(cfg.map, real);
    if (shown.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    if (!resolved) {
        resolved = static_cast<char *>(malloc(PATH_MAX));
        if (!resolved)
            return nullptr;
    }
    memcpy(resolved, shown.c_str(), shown.size() + 1);
    return resolved;
}

ssize_t HostReadlink(const std::string &path, char *buf, size_t size)
{
    Lock mLock_;
    Message m(gOut, kReadlink);
    m.str(path.c_str());
    Lock l;
    Exchange x;
    if (!x.ok)
        return Fail(EIO);
    if (!m.ok())
        return Fail(ENAMETOOLONG);
    int len;
    const char *req = m.finish();
    if (!x.wire.send(req, m.size()) || !x.wire.receive(kReadlink, gIn, kMaxMessage, &len))
        return x.broken();
    int32_t n = Word(gIn, 1);
    if (n < 0)
        return Fail(LocalErrno(Word(gIn, 2)));
    size_t c = static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size;
    memcpy(buf, gIn + 12, c);
    return static_cast<ssize_t>(c);
}

ssize_t ReadlinkAt(int dirfd, const char *path, char *buf, size_t size)
{
    Where w(dirfd, path);
    if (!w.host)
        return REAL(readlinkat)(dirfd, w.local, buf, size);
    return HostReadlink(w.hostPath, buf, size);
}

// ---- rename --------------------------------------------------------------------------------------

// Without the extension call: mv run on the host, its output (and status) brought back through a
// connection the host opens to this process.
int HostRenameByProgram(const std::string &from, const std::string &to)
{
    Lock l;
    struct sockaddr_in here = {};
    socklen_t hl = sizeof here;
    if (getsockname(cfg.linkFd, reinterpret_cast<sockaddr *>(&here), &hl) < 0 || here.sin_family != AF_INET)
        return Fail(EXDEV);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return -1;
    here.sin_port = 0;
    hl = sizeof here;
    if (bind(listener, reinterpret_cast<sockaddr *>(&here), sizeof here) < 0 || listen(listener, 1) < 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&here), &hl) < 0) {
        REAL(close)(listener);
        return Fail(EXDEV);
    }
    int port = ntohs(here.sin_port);
    std::string output;
    int result = -1;
    {
        Lock forkLock_;
        Message fork(gOut, kFork);
        if (Simple(fork) < 0) {
            REAL(close)(listener);
            return -1;
        }
        // From here the host's forked agent serves; it execs or ends before the parent answers.
        Lock ppLock_;
        Message pp(gOut, kPeerpipe);
        pp.word(port);
        int32_t hostSock = Simple(pp);
        if (hostSock >= 0) {
            int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            Lock dLock_;
            Message d(gOut, kDup2);
            d.word(hostSock).word(1);
            Simple(d);
            Lock eLock_;
            Message e(gOut, kExecvp);
            e.word(6).str("sh").str("sh").str("-c").str("mv -fT -- \"$1\" \"$2\" 2>&1; echo \" $?\"").str("sh")
                .str(from.c_str()).str(to.c_str());
            if (Simple(e) == 0 && conn >= 0) {
                char buf[512];
                ssize_t r;
                while ((r = REAL(read)(conn, buf, sizeof buf)) > 0 && output.size() < 8192)
                    output.append(buf, static_cast<size_t>(r));
                result = 0;
            }
            if (conn >= 0)
                REAL(close)(conn);
        }
        if (result < 0) {
            Lock exLock_;
            Message ex(gOut, kExit);
            ex.word(127);
            Exchange x;
            int len;
            const char *req = ex.finish();
            if (x.ok && (!x.wire.send(req, ex.size()) || !x.wire.receive(kExit, gIn, 4, &len)))
                x.broken();
        }
    }
    REAL(close)(listener);
    if (result < 0)
        return Fail(EXDEV);
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    size_t sp = output.rfind(' ');
    if (sp != std::string::npos && output.substr(sp + 1) == "0")
        return 0;
    static const struct {
        const char *text;
        int error;
    } kErrors[] = {{"No such file", ENOENT}, {"Permission denied", EACCES}, {"Not a directory", ENOTDIR},
                   {"Is a directory", EISDIR}, {"not empty", ENOTEMPTY}, {"Read-only", EROFS},
                   {"Operation not permitted", EPERM}, {"same file", EINVAL}, {"subdirectory of itself", EINVAL}};
    for (const auto &e : kErrors)
        if (output.find(e.text) != std::string::npos)
            return Fail(e.error);
    return Fail(EIO);
}

int HostRename(const std::string &from, const std::string &to)
{
    if (cfg.extensions)
        return HostTwoPaths(kRename, from, to);
    return HostRenameByProgram(from, to);
}

int RenameAt(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags)
{
    Where a(olddirfd, oldpath), b(newdirfd, newpath);
    if (!a.host && !b.host) {
        if (flags)
            return REAL(renameat2)(olddirfd, a.local, newdirfd, b.local, flags);
        return REAL(renameat)(olddirfd, a.local, newdirfd, b.local);
    }
    if (a.host != b.host)
        return Fail(EXDEV);
    if (flags)
        return Fail(EINVAL);
    return HostRename(a.hostPath, b.hostPath);
}

// ---- Streams -------------------------------------------------------------------------------------

std::unordered_map<FILE *, int> gFiles;
std::atomic<int> gFileCount{0};

ssize_t CookieRead(void *c, char *buf, size_t n)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(c));
    auto f = Lookup(fd);
    return f ? HostRead(*f, buf, n) : Fail(EBADF);
}
ssize_t CookieWrite(void *c, const char *buf, size_t n)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(c));
    auto f = Lookup(fd);
    ssize_t r = f ? HostWrite(*f, buf, n) : Fail(EBADF);
    return r < 0 ? 0 : r;
}
int CookieSeek(void *c, off64_t *offset, int whence)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(c));
    auto f = Lookup(fd);
    off64_t r = f ? HostSeek(*f, *offset, whence) : Fail(EBADF);
    if (r < 0)
        return -1;
    *offset = r;
    return 0;
}
int CookieClose(void *c)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(c));
    Forget(fd);
    return REAL(close)(fd);
}

int StreamFlags(const char *mode, int *flags)
{
    int f;
    switch (mode[0]) {
    case 'r': f = O_RDONLY; break;
    case 'w': f = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': f = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return Fail(EINVAL);
    }
    for (const char *p = mode + 1; *p; p++) {
        if (*p == '+')
            f = (f & ~O_ACCMODE) | O_RDWR;
        else if (*p == 'x')
            f |= O_EXCL;
        else if (*p == 'e')
            f |= O_CLOEXEC;
    }
    *flags = f;
    return 0;
}

FILE *HostStream(int fd, const char *mode)
{
    cookie_io_functions_t io = {CookieRead, CookieWrite, CookieSeek, CookieClose};
    char m[4] = {mode[0], 0, 0, 0};
    if (strchr(mode, '+'))
        m[1] = '+';
    FILE *fp = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), m, io);
    if (!fp)
        return nullptr;
    Lock l;
    gFiles[fp] = fd;
    gFileCount++;
    return fp;
}

FILE *Fopen(const char *path, const char *mode, FILE *(*real)(const char *, const char *))
{
    Where w(AT_FDCWD, path);
    if (!w.host)
        return real(w.local, mode);
    int flags;
    if (StreamFlags(mode, &flags) < 0)
        return nullptr;
    int fd = HostOpen(w.hostPath, flags, 0666);
    if (fd < 0)
        return nullptr;
    FILE *fp = HostStream(fd, mode);
    if (!fp) {
        int e = errno;
        Forget(fd);
        REAL(close)(fd);
        errno = e;
    }
    return fp;
}

int StreamFd(FILE *fp)
{
    if (gFileCount.load(std::memory_order_relaxed) == 0)
        return -1;
    Lock l;
    auto it = gFiles.find(fp);
    return it == gFiles.end() ? -1 : it->second;
}

// ---- Start -------------------------------------------------------------------------------------

// Takes up the placeholders and the working-directory marker that an exec left open.
void AdoptInherited()
{
    DIR *d = REAL(opendir)("/proc/self/fd");
    if (!d)
        return;
    int self = REAL(dirfd)(d);
    std::vector<int> fds;
    while (struct dirent64 *e = REAL(readdir64)(d)) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] != '.' && fd != self)
            fds.push_back(fd);
    }
    REAL(closedir)(d);
    std::unordered_map<std::string, std::shared_ptr<HostFile>> shared;
    for (int fd : fds) {
        char proc[40], target[64];
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
        ssize_t n = REAL(readlink)(proc, target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (strncmp(target, "/memfd:hostrun ", 15) != 0)
            continue;
        int rd = REAL(open)(proc, O_RDONLY | O_CLOEXEC);
        if (rd < 0)
            continue;
        char text[8192];
        ssize_t got = REAL(pread)(rd, text, sizeof text, 0);
        REAL(close)(rd);
        if (got <= 0)
            continue;
        auto rec = DecodePlaceholder(std::string_view(text, static_cast<size_t>(got)));
        if (!rec || rec->session != cfg.session)
            continue;
        if (rec->hostFd == -2) {
            gCwdFd = fd;
            gCwdHost = true;
            gCwd = rec->path;
            continue;
        }
        std::string key = std::to_string(rec->hostFd) + " " + std::to_string(rec->owner) + " " + rec->path;
        auto &f = shared[key];
        if (!f) {
            f = std::make_shared<HostFile>();
            f->hostFd = rec->hostFd;
            f->path = rec->path;
            f->flags = rec->flags;
            f->owner = rec->owner;
        }
        Remember(fd, f);
    }
}

void OpenOwnLock()
{
    char proc[40];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", cfg.lockSource);
    int fd = REAL(open)(proc, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        cfg.lockFd = -1;
        return;
    }
    cfg.lockFd = REAL(fcntl)(fd, F_DUPFD_CLOEXEC, 400);
    if (cfg.lockFd >= 0)
        REAL(close)(fd);
    else
        cfg.lockFd = fd;
}

void AfterForkChild()
{
    cfg.pid = getpid();
    if (cfg.lockFd >= 0)
        REAL(close)(cfg.lockFd);
    cfg.lockFd = -1;
    if (cfg.lockSource >= 0)
        OpenOwnLock();
    // The forking thread locked it, but the child's thread has another id: start it afresh.
    pthread_mutex_t fresh = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    memcpy(&gMu, &fresh, sizeof gMu);
}

void Start()
{
    tBusy++;
    const char *link = getenv("HOSTRUN_LINK");
    const char *map = getenv("HOSTRUN_MAP");
    int linkFd = -1, lockFd = -1;
    char session[32] = "";
    if (link && sscanf(link, "%d:%d:%31s", &linkFd, &lockFd, session) == 3 && map) {
        struct stat st;
        // The descriptor must still be the link hostrun made: its inode is the session.
        if (REAL(fstat)(linkFd, &st) == 0 && S_ISSOCK(st.st_mode) && std::to_string(st.st_ino) == session) {
            cfg.linkFd = linkFd;
            cfg.lockSource = lockFd;
            cfg.session = session;
            OpenOwnLock();
        }
        cfg.map.all = strcmp(map, "/") == 0;
        cfg.map.prefix = map;
        cfg.extensions = getenv("HOSTRUN_EXTENSIONS") != nullptr;
        if (const char *ids = getenv("HOSTRUN_IDS")) {
            unsigned u, g, eu, eg;
            if (sscanf(ids, "%u:%u:%u:%u", &u, &g, &eu, &eg) == 4) {
                cfg.identity = true;
                cfg.uid = u, cfg.gid = g, cfg.euid = eu, cfg.egid = eg;
                const char *login = getenv("HOSTRUN_LOGIN");
                const char *host = getenv("HOSTRUN_HOSTNAME");
                cfg.login = login ? login : "";
                cfg.hostname = host ? host : "";
            }
        }
        cfg.pid = getpid();
        cfg.dead = cfg.linkFd < 0;
        if (!cfg.dead)
            AdoptInherited();
        if (!gCwdHost) {
            const char *cwd = getenv("HOSTRUN_CWD");
            if (cwd && *cwd == '/') {
                gCwdHost = true;
                gCwd = cwd;
            }
        }
        cfg.active = true;
        pthread_atfork([] { pthread_mutex_lock(&gMu); }, [] { pthread_mutex_unlock(&gMu); }, AfterForkChild);
    }
    tBusy--;
}

// Runs after every global of this file is constructed (they are constructed in order of definition).
struct Starter {
    Starter() { Start(); }
} gStarter;

bool Active() { return cfg.active && !tBusy; }

// The host file system's figures through the extension call, else made-up ones (the wire of the
// plain calls describes no file system).
bool HostFsStats(const std::string &path, struct statvfs *v)
{
    memset(v, 0, sizeof *v);
    v->f_bsize = 4096;
    v->f_frsize = 4096;
    v->f_namemax = 255;
    if (!cfg.extensions)
        return true;
    Lock l;
    Lock mLock_;
    Message m(gOut, kStatvfs);
    m.str(path.c_str());
    Exchange x;
    if (!x.ok || !m.ok())
        return false;
    int len;
    const char *req = m.finish();
    if (!x.wire.send(req, m.size()) || !x.wire.receive(kStatvfs, gIn, 84, &len)) {
        x.broken();
        return false;
    }
    if (Word(gIn, 1) < 0) {
        errno = LocalErrno(Word(gIn, 2));
        return false;
    }
    v->f_bsize = static_cast<unsigned long>(Word(gIn, 3));
    v->f_frsize = static_cast<unsigned long>(Word(gIn, 4));
    v->f_blocks = static_cast<fsblkcnt_t>(Word64(gIn, 5));
    v->f_bfree = static_cast<fsblkcnt_t>(Word64(gIn, 7));
    v->f_bavail = static_cast<fsblkcnt_t>(Word64(gIn, 9));
    v->f_files = static_cast<fsfilcnt_t>(Word64(gIn, 11));
    v->f_ffree = static_cast<fsfilcnt_t>(Word64(gIn, 13));
    v->f_favail = static_cast<fsfilcnt_t>(Word64(gIn, 15));
    v->f_fsid = static_cast<unsigned long>(Word64(gIn, 17));
    int32_t flags = Word(gIn, 19);
    v->f_flag = (flags & 1 ? ST_RDONLY : 0) | (flags & 2 ? ST_NOSUID : 0);
    v->f_namemax = static_cast<unsigned long>(Word(gIn, 20));
    return true;
}

int StatvfsHost(const std::string &path, struct statvfs *s)
{
    return HostFsStats(path, s) ? 0 : -1;
}

int StatfsHost(const std::string &path, struct statfs *s)
{
    struct statvfs v;
    if (!HostFsStats(path, &v))
        return -1;
    memset(s, 0, sizeof *s);
    s->f_type = 0x686f7374; // the host's file system type does not travel
    s->f_bsize = static_cast<__fsword_t>(v.f_bsize);
    s->f_frsize = static_cast<__fsword_t>(v.f_frsize);
    s->f_blocks = v.f_blocks;
    s->f_bfree = v.f_bfree;
    s->f_bavail = v.f_bavail;
    s->f_files = v.f_files;
    s->f_ffree = v.f_ffree;
    s->f_namelen = static_cast<__fsword_t>(v.f_namemax);
    s->f_flags = static_cast<__fsword_t>(v.f_flag);
    return 0;
}

void ToStatx(const struct stat &st, struct statx *sx)
{
    memset(sx, 0, sizeof *sx);
    sx->stx_mask = STATX_BASIC_STATS;
    sx->stx_blksize = static_cast<uint32_t>(st.st_blksize);
    sx->stx_nlink = static_cast<uint32_t>(st.st_nlink);
    sx->stx_uid = st.st_uid;
    sx->stx_gid = st.st_gid;
    sx->stx_mode = static_cast<uint16_t>(st.st_mode);
    sx->stx_ino = st.st_ino;
    sx->stx_size = static_cast<uint64_t>(st.st_size);
    sx->stx_blocks = static_cast<uint64_t>(st.st_blocks);
    sx->stx_atime.tv_sec = st.st_atim.tv_sec;
    sx->stx_mtime.tv_sec = st.st_mtim.tv_sec;
    sx->stx_ctime.tv_sec = st.st_ctim.tv_sec;
    sx->stx_dev_major = major(st.st_dev);
    sx->stx_dev_minor = minor(st.st_dev);
}

int XattrHost(const char *path, int dirfd = AT_FDCWD)
{
    Where w(dirfd, path);
    return w.host ? 1 : 0;
}

} // namespace

// ==== The interposed entry points ================================================================

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenAt(AT_FDCWD, path, flags, mode, false);
}
int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenAt(AT_FDCWD, path, flags, mode, false);
}
int __open_2(const char *path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0, false); }
int __open64_2(const char *path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0, false); }
int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenAt(dirfd, path, flags, mode, true);
}
int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenAt(dirfd, path, flags, mode, true);
}
int __openat_2(int dirfd, const char *path, int flags) { return OpenAt(dirfd, path, flags, 0, true); }
int __openat64_2(int dirfd, const char *path, int flags) { return OpenAt(dirfd, path, flags, 0, true); }
int creat(const char *path, mode_t mode) { return OpenAt(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode, false); }
int creat64(const char *path, mode_t mode) { return creat(path, mode); }

int close(int fd)
{
    if (Active() && OwnFd(fd))
        return 0; // the library's own descriptors stay open under a program that closes everything
    if (Lookup(fd))
        Forget(fd);
    return REAL(close)(fd);
}

int close_range(unsigned first, unsigned last, int flags) noexcept
{
    if (!Active())
        return REAL(close_range)(first, last, flags);
    // Around the library's own descriptors, and each placeholder forgotten.
    std::vector<int> keep;
    for (int fd : {cfg.linkFd, cfg.lockSource, cfg.lockFd, gCwdFd})
        if (fd >= 0 && static_cast<unsigned>(fd) >= first && static_cast<unsigned>(fd) <= last)
            keep.push_back(fd);
    std::sort(keep.begin(), keep.end());
    if (!(flags & CLOSE_RANGE_CLOEXEC) && gHostFds.load() > 0) {
        std::vector<int> gone;
        {
            Lock l;
            for (auto &kv : gFds)
                if (static_cast<unsigned>(kv.first) >= first && static_cast<unsigned>(kv.first) <= last)
                    gone.push_back(kv.first);
        }
        for (int fd : gone)
            Forget(fd);
    }
    unsigned from = first;
    for (int k : keep) {
        if (static_cast<unsigned>(k) > from && REAL(close_range)(from, static_cast<unsigned>(k) - 1, flags) < 0)
            return -1;
        from = static_cast<unsigned>(k) + 1;
    }
    return from <= last ? REAL(close_range)(from, last, flags) : 0;
}

void closefrom(int lowfd) noexcept { close_range(static_cast<unsigned>(lowfd), ~0u, 0); }

ssize_t read(int fd, void *buf, size_t n)
{
    if (auto f = Lookup(fd))
        return HostRead(*f, buf, n);
    return REAL(read)(fd, buf, n);
}
ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen)
{
    if (n > buflen)
        abort();
    return read(fd, buf, n);
}
ssize_t write(int fd, const void *buf, size_t n)
{
    if (auto f = Lookup(fd))
        return HostWrite(*f, buf, n);
    return REAL(write)(fd, buf, n);
}
ssize_t readv(int fd, const struct iovec *iov, int count)
{
    auto f = Lookup(fd);
    if (!f)
        return REAL(readv)(fd, iov, count);
    ssize_t total = 0;
    for (int i = 0; i < count; i++) {
        ssize_t r = HostRead(*f, iov[i].iov_base, iov[i].iov_len);
        if (r < 0)
            return total ? total : -1;
        total += r;
        if (static_cast<size_t>(r) < iov[i].iov_len)
            break;
    }
    return total;
}
ssize_t writev(int fd, const struct iovec *iov, int count)
{
    auto f = Lookup(fd);
    if (!f)
        return REAL(writev)(fd, iov, count);
    ssize_t total = 0;
    for (int i = 0; i < count; i++) {
        ssize_t r = HostWrite(*f, iov[i].iov_base, iov[i].iov_len);
        if (r < 0)
            return total ? total : -1;
        total += r;
    }
    return total;
}
ssize_t pread(int fd, void *buf, size_t n, off_t offset)
{
    if (auto f = Lookup(fd))
        return HostPread(*f, buf, n, offset);
    return REAL(pread)(fd, buf, n, offset);
}
ssize_t pread64(int fd, void *buf, size_t n, off64_t offset)
{
    if (auto f = Lookup(fd))
        return HostPread(*f, buf, n, offset);
    return REAL(pread64)(fd, buf, n, offset);
}
ssize_t __pread_chk(int fd, void *buf, size_t n, off_t offset, size_t buflen)
{
    if (n > buflen)
        abort();
    return pread(fd, buf, n, offset);
}
ssize_t __pread64_chk(int fd, void *buf, size_t n, off64_t offset, size_t buflen)
{
    if (n > buflen)
        abort();
    return pread64(fd, buf, n, offset);
}
ssize_t pwrite(int fd, const void *buf, size_t n, off_t offset)
{
    if (auto f = Lookup(fd))
        return HostPwrite(*f, buf, n, offset);
    return REAL(pwrite)(fd, buf, n, offset);
}
ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t offset)
{
    if (auto f = Lookup(fd))
        return HostPwrite(*f, buf, n, offset);
    return REAL(pwrite64)(fd, buf, n, offset);
}
off_t lseek(int fd, off_t offset, int whence) noexcept
{
    if (auto f = Lookup(fd))
        return HostSeek(*f, offset, whence);
    return REAL(lseek)(fd, offset, whence);
}
off64_t lseek64(int fd, off64_t offset, int whence) noexcept
{
    if (auto f = Lookup(fd))
        return HostSeek(*f, offset, whence);
    return REAL(lseek64)(fd, offset, whence);
}

// -- stat family
int stat(const char *path, struct stat *st) noexcept { return StatAt(AT_FDCWD, path, st, 0); }
int stat64(const char *path, struct stat64 *st) noexcept
{
    return StatAt(AT_FDCWD, path, reinterpret_cast<struct stat *>(st), 0);
}
int lstat(const char *path, struct stat *st) noexcept { return StatAt(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW); }
int lstat64(const char *path, struct stat64 *st) noexcept
{
    return StatAt(AT_FDCWD, path, reinterpret_cast<struct stat *>(st), AT_SYMLINK_NOFOLLOW);
}
int fstat(int fd, struct stat *st) noexcept { return Fstat(fd, st); }
int fstat64(int fd, struct stat64 *st) noexcept { return Fstat(fd, reinterpret_cast<struct stat *>(st)); }
int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept { return StatAt(dirfd, path, st, flags); }
int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept
{
    return StatAt(dirfd, path, reinterpret_cast<struct stat *>(st), flags);
}
int __xstat(int, const char *path, struct stat *st) { return StatAt(AT_FDCWD, path, st, 0); }
int __xstat64(int, const char *path, struct stat64 *st) { return stat64(path, st); }
int __lxstat(int, const char *path, struct stat *st) { return StatAt(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW); }
int __lxstat64(int, const char *path, struct stat64 *st) { return lstat64(path, st); }
int __fxstat(int, int fd, struct stat *st) { return Fstat(fd, st); }
int __fxstat64(int, int fd, struct stat64 *st) { return Fstat(fd, reinterpret_cast<struct stat *>(st)); }
int __fxstatat(int, int dirfd, const char *path, struct stat *st, int flags) { return StatAt(dirfd, path, st, flags); }
int __fxstatat64(int, int dirfd, const char *path, struct stat64 *st, int flags)
{
    return StatAt(dirfd, path, reinterpret_cast<struct stat *>(st), flags);
}
int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *sx) noexcept
{
    struct stat st;
    int r;
    if (!Missing(path) && !*path && (flags & AT_EMPTY_PATH)) {
        auto f = Lookup(dirfd);
        if (!f)
            return REAL(statx)(dirfd, path, flags, mask, sx);
        r = HostFstat(*f, &st);
    } else {
        Where w(dirfd, path);
        if (!w.host)
            return REAL(statx)(dirfd, w.local, flags, mask, sx);
        r = HostStat(flags & AT_SYMLINK_NOFOLLOW ? kLstat : kStat, &w.hostPath, -1, &st);
    }
    if (r == 0)
        ToStatx(st, sx);
    return r;
}

// -- access
int faccessat(int dirfd, const char *path, int mode, int flags) noexcept
{
    Where w(dirfd, path);
    if (!w.host)
        return REAL(faccessat)(dirfd, w.local, mode, flags);
    int32_t wire = (mode & R_OK ? 1 : 0) | (mode & W_OK ? 2 : 0) | (mode & X_OK ? 4 : 0);
    Lock l;
    return HostModePathCall(kAccess, wire, w.hostPath);
}
int access(const char *path, int mode) noexcept { return faccessat(AT_FDCWD, path, mode, 0); }
int euidaccess(const char *path, int mode) noexcept { return faccessat(AT_FDCWD, path, mode, AT_EACCESS); }
int eaccess(const char *path, int mode) noexcept { return faccessat(AT_FDCWD, path, mode, AT_EACCESS); }

// -- directory streams
DIR *opendir(const char *path)
{
    Where w(AT_FDCWD, path);
    if (!w.host)
        return REAL(opendir)(w.local);
    auto f = std::make_shared<HostFile>();
    f->path = w.hostPath;
    f->owner = getpid();
    return NewHostDir(std::move(f), -1);
}
DIR *fdopendir(int fd)
{
    auto f = Lookup(fd);
    if (!f)
        return REAL(fdopendir)(fd);
    struct stat st;
    if (HostFstat(*f, &st) < 0)
        return nullptr;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return nullptr;
    }
    return NewHostDir(f, fd);
}
struct dirent *readdir(DIR *d)
{
    if (HostDir *h = AsHostDir(d))
        return reinterpret_cast<struct dirent *>(HostReaddir(h));
    return REAL(readdir)(d);
}
struct dirent64 *readdir64(DIR *d)
{
    if (HostDir *h = AsHostDir(d))
        return HostReaddir(h);
    return REAL(readdir64)(d);
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
int readdir_r(DIR *d, struct dirent *entry, struct dirent **result)
{
    HostDir *h = AsHostDir(d);
    if (!h)
        return REAL(readdir_r)(d, entry, result);
    struct dirent64 *e = HostReaddir(h);
    if (e)
        memcpy(entry, e, sizeof *entry);
    *result = e ? entry : nullptr;
    return 0;
}
int readdir64_r(DIR *d, struct dirent64 *entry, struct dirent64 **result)
{
    return readdir_r(d, reinterpret_cast<struct dirent *>(entry), reinterpret_cast<struct dirent **>(result));
}
#pragma GCC diagnostic pop
void rewinddir(DIR *d) noexcept
{
    HostDir *h = AsHostDir(d);
    if (!h)
        return REAL(rewinddir)(d);
    std::vector<Entry> names;
    if (ListHostDir(h->file->path, names) == 0)
        h->names.swap(names);
    h->pos = 0;
}
long telldir(DIR *d) noexcept
{
    if (HostDir *h = AsHostDir(d))
        return static_cast<long>(h->pos);
    return REAL(telldir)(d);
}
void seekdir(DIR *d, long pos) noexcept
{
    if (HostDir *h = AsHostDir(d)) {
        h->pos = static_cast<size_t>(pos);
        return;
    }
    REAL(seekdir)(d, pos);
}
int closedir(DIR *d)
{
    HostDir *h = AsHostDir(d);
    if (!h)
        return REAL(closedir)(d);
    {
        Lock l;
        gDirs.erase(d);
        gDirCount--;
    }
    if (h->fd >= 0)
        close(h->fd);
    delete h;
    return 0;
}
int dirfd(DIR *d) noexcept
{
    HostDir *h = AsHostDir(d);
    if (!h)
        return REAL(dirfd)(d);
    if (h->fd < 0)
        h->fd = NewHostFd(-1, h->file->path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return h->fd;
}

namespace {
int ScanDir(DIR *d, struct dirent64 ***list, int (*filter)(const struct dirent64 *),
            int (*compar)(const struct dirent64 **, const struct dirent64 **))
{
    std::vector<struct dirent64 *> out;
    while (struct dirent64 *e = readdir64(d)) {
        if (filter && !filter(e))
            continue;
        auto *copy = static_cast<struct dirent64 *>(malloc(sizeof *e));
        if (!copy)
            break;
        memcpy(copy, e, sizeof *e);
        out.push_back(copy);
    }
    closedir(d);
    if (compar)
        qsort(out.data(), out.size(), sizeof(struct dirent64 *),
              reinterpret_cast<int (*)(const void *, const void *)>(compar));
    *list = static_cast<struct dirent64 **>(malloc(sizeof(struct dirent64 *) * (out.size() + 1)));
    if (!*list)
        return -1;
    memcpy(*list, out.data(), sizeof(struct dirent64 *) * out.size());
    return static_cast<int>(out.size());
}
} // namespace

int scandirat(int dirfd, const char *path, struct dirent ***list, int (*filter)(const struct dirent *),
              int (*compar)(const struct dirent **, const struct dirent **))
{
    Where w(dirfd, path);
    if (!w.host)
        return REAL(scandirat)(dirfd, w.local, list, filter, compar);
    auto f = std::make_shared<HostFile>();
    f->path = w.hostPath;
    f->owner = getpid();
    DIR *d = NewHostDir(std::move(f), -1);
    if (!d)
        return -1;
    return ScanDir(d, reinterpret_cast<struct dirent64 ***>(list),
                   reinterpret_cast<int (*)(const struct dirent64 *)>(filter),
                   reinterpret_cast<int (*)(const struct dirent64 **, const struct dirent64 **)>(compar));
}
int scandir(const char *path, struct dirent ***list, int (*filter)(const struct dirent *),
            int (*compar)(const struct dirent **, const struct dirent **))
{
    Where w(AT_FDCWD, path);
    if (!w.host)
        return REAL(scandir)(w.local, list, filter, compar);
    return scandirat(AT_FDCWD, path, list, filter, compar);
}
int scandir64(const char *path, struct dirent64 ***list, int (*filter)(const struct dirent64 *),
              int (*compar)(const struct dirent64 **, const struct dirent64 **))
{
    return scandir(path, reinterpret_cast<struct dirent ***>(list),
                   reinterpret_cast<int (*)(const struct dirent *)>(filter),
                   reinterpret_cast<int (*)(const struct dirent **, const struct dirent **)>(compar));
}

ssize_t getdents64(int fd, void *buf, size_t n)
{
    auto f = Lookup(fd);
    if (!f)
        return REAL(getdents64)(fd, buf, n);
    if (!f->listed) {
        f->names.clear();
        if (ListHostDir(f->path, f->names) < 0)
            return -1;
        f->listed = true;
    }
    char *out = static_cast<char *>(buf);
    size_t used = 0;
    while (f->namePos < f->names.size()) {
        const Entry &ent = f->names[f->namePos];
        const std::string &name = ent.name;
        size_t reclen = (offsetof(struct dirent64, d_name) + name.size() + 1 + 7) & ~size_t(7);
        if (used + reclen > n)
            break;
        auto *e = reinterpret_cast<struct dirent64 *>(out + used);
        e->d_ino = ent.ino;
        e->d_off = static_cast<off64_t>(f->namePos + 1);
        e->d_reclen = static_cast<unsigned short>(reclen);
        e->d_type = ent.type;
        memcpy(e->d_name, name.c_str(), name.size() + 1);
        used += reclen;
        f->namePos++;
    }
    if (used == 0 && f->namePos < f->names.size())
        return Fail(EINVAL);
    return static_cast<ssize_t>(used);
}

// -- path calls
int mkdirat(int dirfd, const char *path, mode_t mode) noexcept
{
    Where w(dirfd, path);
    if (!w.host)
        return REAL(mkdirat)(dirfd, w.local, mode);
    Lock l;
    return HostModePathCall(kMkdir, static_cast<int32_t>(mode), w.hostPath);
}
int mkdir(const char *path, mode_t mode) noexcept { return mkdirat(AT_FDCWD, path, mode); }
int rmdir(const char *path) noexcept
{
    Where w(AT_FDCWD, path);
    if (!w.host)
        return REAL(rmdir)(w.local);
    Lock l;
    return HostPathCall(kRmdir, w.hostPath);
}
int unlinkat(int dirfd, const char *path, int flags) noexcept
{
    Where w(dirfd, path);
    if (!w.host)
        return REAL(unlinkat)(dirfd, w.local, flags);
    Lock l;
    return HostPathCall(flags & AT_REMOVEDIR ? kRmdir : kUnlink, w.hostPath);
}
int unlink(const char *path) noexcept { return unlinkat(AT_FDCWD, path, 0); }
int remove(const char *path) noexcept
{
    Where w(AT_FDCWD, path);
    if (!w.host)
        return REAL(remove)(w.local);
    Lock l;
    if (HostPathCall(kUnlink, w.hostPath) == 0)
        return 0;
    if (errno != EISDIR && errno != EPERM)
        return -1;
    return HostPathCall(kRmdir, w.hostPath);
}
int linkat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, int flags) noexcept
{
    Where a(olddirfd, oldpath), b(newdirfd, newpath);
    if (!a.host && !b.host)
        return REAL(linkat)(olddirfd, a.local, newdirfd, b.local, flags);
    if (a.host != b.host)
        return Fail(EXDEV);
    Lock l;
    return HostTwoPaths(kLink, a.hostPath, b.hostPath);
}
int link(const char *oldpath, const char *newpath) noexcept { return linkat(AT_FDCWD, oldpath, AT_FDCWD, newpath, 0); }
int symlinkat(const char *target, int dirfd, const char *path) noexcept
{
    Where w(dirfd, path);
    if (!w.host)
        return REAL(symlinkat)(target, dirfd, w.local);
    Lock l;
    return HostTwoPaths(kSymlink, target, w.hostPath);
}
int symlink(const char *target, const char *path) noexcept { return symlinkat(target, AT_FDCWD, path); }
ssize_t readlinkat(int dirfd, const char *path, char *buf, size_t size) noexcept
{
    return ReadlinkAt(dirfd, path, buf, size);
}
ssize_t readlink(const char *path, char *buf, size_t size) noexcept { return ReadlinkAt(AT_FDCWD, path, buf, size); }
ssize_t __readlink_chk(const char *path, char *buf, size_t size, size_t buflen)
{
    if (size > buflen)
        abort();
    return ReadlinkAt(AT_FDCWD, path, buf, size);
}
ssize_t __readlinkat_chk(int dirfd, const char *path, char *buf, size_t size, size_t buflen)
{
    if (size > buflen)
        abort();
    return ReadlinkAt(dirfd, path, buf, size);
}
int renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned flags) noexcept
{
    return RenameAt(olddirfd, oldpath, newdirfd, newpath, flags);
}
int renameat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath) noexcept
{
    return RenameAt(olddirfd, oldpath, newdirfd, newpath, 0);
}
int rename(const char *oldpath, const char *newpath) noexcept
{
    return RenameAt(AT_FDCWD, oldpath, AT_FDCWD, newpath, 0);
}
int fchmodat(int dirfd, const char *path, mode_t mode, int flags) noexcept
{
    Where w(dirfd, path);
    if (!w.host)
        return REAL(fchmodat)(dirfd, w.local, mode, flags);
    Lock l;
    return HostModePathCall(kChmod, static_cast<int32_t>(mode), w.hostPath);
}
int chmod(const char *path, mode_t mode) noexcept { return fchmodat(AT_FDCWD, path, mode, 0); }
int fchmod(int fd, mode_t mode) noexcept
{
    auto f = Lookup(fd);
    if (!f)
        return REAL(fchmod)(fd, mode);
    Lock l;
    return HostModePathCall(kChmod, static_cast<int32_t>(mode), f->path);
}
// Ownership, times and sizes change only through the extension calls.
int HostChown(const std::string &path, uid_t uid, gid_t gid)
{
    if (!cfg.extensions)
        return Fail(EPERM);
    Lock mLock_;
    Message m(gOut, kLchown);
    m.word(static_cast<int32_t>(uid)).word(static_cast<int32_t>(gid)).str(path.c_str());
    Lock l;
    return Simple(m);
}
int fchownat(int dirfd, const char *path, uid_t uid, gid_t gid, int flags) noexcept
{
    Where w(dirfd, path);
    return w.host ? HostChown(w.hostPath, uid, gid) : REAL(fchownat)(dirfd, w.local, uid, gid, flags);
}
int chown(const char *path, uid_t uid, gid_t gid) noexcept { return fchownat(AT_FDCWD, path, uid, gid, 0); }
int lchown(const char *path, uid_t uid, gid_t gid) noexcept
{
    return fchownat(AT_FDCWD, path, uid, gid, AT_SYMLINK_NOFOLLOW);
}
int fchown(int fd, uid_t uid, gid_t gid) noexcept
{
    auto f = Lookup(fd);
    return f ? HostChown(f->path, uid, gid) : REAL(fchown)(fd, uid, gid);
}
int HostUtimens(const std::string &path, const struct timespec times[2], bool nofollow)
{
    if (!cfg.extensions)
        return Fail(ENOSYS);
    Lock mLock_;
    Message m(gOut, kUtimens);
    m.word(nofollow ? 1 : 0);
    for (int i = 0; i < 2; i++) {
        struct timespec t = times ? times[i] : timespec{0, UTIME_NOW};
        int32_t ns = t.tv_nsec == UTIME_NOW ? 0x3fffffff : t.tv_nsec == UTIME_OMIT ? 0x3ffffffe : static_cast<int32_t>(t.tv_nsec);
        m.word64(t.tv_sec).word(ns);
    }
    m.str(path.c_str());
    Lock l;
    return Simple(m);
}
int utimensat(int dirfd, const char *path, const struct timespec times[2], int flags) noexcept
{
    if (Missing(path)) {
        auto f = Lookup(dirfd);
        return f ? HostUtimens(f->path, times, false) : REAL(utimensat)(dirfd, path, times, flags);
    }
    Where w(dirfd, path);
    return w.host ? HostUtimens(w.hostPath, times, flags & AT_SYMLINK_NOFOLLOW)
                  : REAL(utimensat)(dirfd, w.local, times, flags);
}
int futimens(int fd, const struct timespec times[2]) noexcept
{
    auto f = Lookup(fd);
    return f ? HostUtimens(f->path, times, false) : REAL(futimens)(fd, times);
}
int utimes(const char *path, const struct timeval times[2]) noexcept
{
    Where w(AT_FDCWD, path);
    if (!w.host)
        return REAL(utimes)(w.local, times);
    struct timespec ts[2];
    for (int i = 0; i < 2 && times; i++)
        ts[i] = {times[i].tv_sec, times[i].tv_usec * 1000};
    return HostUtimens(w.hostPath, times ? ts : nullptr, false);
}
int truncate(const char *path, off_t length) noexcept
{
    Where w(AT_FDCWD, path);
    if (!w.host)
        return REAL(truncate)(w.local, length);
    if (cfg.extensions) {
        Lock mLock_;
        Message m(gOut, kTruncate);
        m.word64(length).str(w.hostPath.c_str());
        Lock l;
        return Simple(m);
    }
    if (length != 0)
        return Fail(ENOSYS);
    int fd = HostOpen(w.hostPath, O_WRONLY | O_TRUNC, 0);
    return fd < 0 ? -1 : close(fd);
}
int truncate64(const char *path, off64_t length) noexcept { return truncate(path, length); }
int ftruncate(int fd, off_t length) noexcept
{
    auto f = Lookup(fd);
    if (!f)
        return REAL(ftruncate)(fd, length);
    if (f->hostFd < 0 || (f->flags & O_ACCMODE) == O_RDONLY)
        return Fail(EINVAL);
    f->haveStatus = false;
    if (cfg.extensions) {
        Lock mLock_;
        Message m(gOut, kFtruncate);
        m.word(f->hostFd).word64(length);
        Lock l;
        return Simple(m);
    }
    if (length != 0)
        return Fail(ENOSYS);
    int t = HostOpen(f->path, O_WRONLY | O_TRUNC, 0);
    return t < 0 ? -1 : close(t);
}
int ftruncate64(int fd, off64_t length) noexcept { return ftruncate(fd, length); }
int HostFsync(int fd, bool dataOnly, int (*real)(int))
{
    auto f = Lookup(fd);
    if (!f)
        return real(fd);
    if (f->hostFd < 0 || !cfg.extensions)
        return 0; // nothing to flush from here: every write has reached the host already
    Lock mLock_;
    Message m(gOut, kFsync);
    m.word(f->hostFd).word(dataOnly ? 1 : 0);
    Lock l;
    return Simple(m);
}
int fsync(int fd) { return HostFsync(fd, false, REAL(fsync)); }
int fdatasync(int fd) { return HostFsync(fd, true, REAL(fdatasync)); }

// -- working directory
int chdir(const char *path) noexcept
{
    Where w(AT_FDCWD, path);
    if (!w.host) {
        int r = REAL(chdir)(w.local);
        if (r == 0 && Active())
            SetCwd(false, "");
        return r;
    }
    struct stat st;
    if (HostStat(kStat, &w.hostPath, -1, &st) < 0)
        return -1;
    if (!S_ISDIR(st.st_mode))
        return Fail(ENOTDIR);
    Lock l;
    if (HostModePathCall(kAccess, 4, w.hostPath) < 0)
        return -1;
    SetCwd(true, w.hostPath);
    return 0;
}
int fchdir(int fd) noexcept
{
    auto f = Lookup(fd);
    if (!f) {
        int r = REAL(fchdir)(fd);
        if (r == 0 && Active())
            SetCwd(false, "");
        return r;
    }
    struct stat st;
    if (HostFstat(*f, &st) < 0)
        return -1;
    if (!S_ISDIR(st.st_mode))
        return Fail(ENOTDIR);
    SetCwd(true, f->path);
    return 0;
}
char *getcwd(char *buf, size_t size) noexcept
{
    std::string shown;
    {
        Lock l;
        if (!Active() || !gCwdHost)
            return REAL(getcwd)(buf, size);
        shown = DisplayPath(cfg.map, gCwd);
    }
    if (!buf) {
        size_t want = size ? size : shown.size() + 1;
        if (want < shown.size() + 1) {
            errno = ERANGE;
            return nullptr;
        }
        buf = static_cast<char *>(malloc(want));
        if (!buf)
            return nullptr;
    } else if (size < shown.size() + 1) {
        errno = size ? ERANGE : EINVAL;
        return nullptr;
    }
    memcpy(buf, shown.c_str(), shown.size() + 1);
    return buf;
}
char *__getcwd_chk(char *buf, size_t size, size_t buflen)
{
    if (size > buflen)
        abort();
    return getcwd(buf, size);
}
char *get_current_dir_name() noexcept { return getcwd(nullptr, 0); }
char *realpath(const char *path, char *resolved) noexcept { return Realpath(path, resolved); }
char *__realpath_chk(const char *path, char *resolved, size_t)
{
    return Realpath(path, resolved);
}
char *canonicalize_file_name(const char *path) noexcept { return Realpath(path, nullptr); }

// -- streams
FILE *fopen(const char *path, const char *mode) { return Fopen(path, mode, REAL(fopen)); }
FILE *fopen64(const char *path, const char *mode) { return Fopen(path, mode, REAL(fopen64)); }
FILE *freopen(const char *path, const char *mode, FILE *stream)
{
    Where w(AT_FDCWD, path);
    if (!w.host)
        return REAL(freopen)(w.local, mode, stream);
    // A stream of the C library cannot be turned into a host stream in place.
    errno = EOPNOTSUPP;
    return nullptr;
}
FILE *freopen64(const char *path, const char *mode, FILE *stream) { return freopen(path, mode, stream); }
FILE *fdopen(int fd, const char *mode) noexcept
{
    if (!Lookup(fd))
        return REAL(fdopen)(fd, mode);
    return HostStream(fd, mode);
}
int fileno(FILE *fp) noexcept
{
    int fd = StreamFd(fp);
    return fd >= 0 ? fd : REAL(fileno)(fp);
}
int fileno_unlocked(FILE *fp) noexcept
{
    int fd = StreamFd(fp);
    return fd >= 0 ? fd : REAL(fileno_unlocked)(fp);
}

// -- descriptors
int dup(int fd) noexcept
{
    auto f = Lookup(fd);
    if (!f)
        return REAL(dup)(fd);
    int n = REAL(dup)(fd);
    if (n >= 0)
        Remember(n, f);
    return n;
}

namespace {
// Keeps the library's own descriptor out of the way of a dup2 onto its number.
void MoveOwnFd(int target)
{
    if (!Active() || !OwnFd(target))
        return;
    int moved = REAL(fcntl)(target, target == cfg.linkFd || target == cfg.lockSource ? F_DUPFD : F_DUPFD_CLOEXEC, 400);
    if (moved < 0)
        return;
    if (target == cfg.linkFd) {
        cfg.linkFd = moved;
        char v[64];
        snprintf(v, sizeof v, "%d:%d:%s", cfg.linkFd, cfg.lockSource, cfg.session.c_str());
        setenv("HOSTRUN_LINK", v, 1);
    } else if (target == cfg.lockSource) {
        cfg.lockSource = moved;
        char v[64];
        snprintf(v, sizeof v, "%d:%d:%s", cfg.linkFd, cfg.lockSource, cfg.session.c_str());
        setenv("HOSTRUN_LINK", v, 1);
    } else if (target == cfg.lockFd)
        cfg.lockFd = moved;
    else
        gCwdFd = moved;
}

int Dup3(int fd, int target, int flags, bool two)
{
    if (fd == target)
        return two ? (fcntl(fd, F_GETFD) < 0 ? -1 : fd) : Fail(EINVAL);
    MoveOwnFd(target);
    auto f = Lookup(fd);
    if (Lookup(target))
        Forget(target);
    int r = two ? REAL(dup2)(fd, target) : REAL(dup3)(fd, target, flags);
    if (r >= 0 && f)
        Remember(r, f);
    return r;
}
} // namespace

int dup2(int fd, int target) noexcept { return Dup3(fd, target, 0, true); }
int dup3(int fd, int target, int flags) noexcept { return Dup3(fd, target, flags, false); }

namespace {
int Fcntl(int fd, int cmd, void *arg, int (*real)(int, int, ...))
{
    auto f = Lookup(fd);
    if (!f)
        return real(fd, cmd, arg);
    switch (cmd) {
    case F_DUPFD:
    case F_DUPFD_CLOEXEC: {
        int n = real(fd, cmd, arg);
        if (n >= 0)
            Remember(n, f);
        return n;
    }
    case F_GETFD:
    case F_SETFD:
        return real(fd, cmd, arg);
    case F_GETFL:
        return f->flags & ~(O_CLOEXEC | O_CREAT | O_EXCL | O_TRUNC | O_NOCTTY);
    case F_SETFL:
        f->flags = (f->flags & ~(O_APPEND | O_NONBLOCK)) |
                   (static_cast<int>(reinterpret_cast<intptr_t>(arg)) & (O_APPEND | O_NONBLOCK));
        return 0;
    case F_GETLK:
    case F_SETLK:
    case F_SETLKW:
    case F_OFD_GETLK:
    case F_OFD_SETLK:
    case F_OFD_SETLKW:
        return Fail(ENOLCK);
    default:
        return Fail(EINVAL);
    }
}
} // namespace

int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return Fcntl(fd, cmd, arg, REAL(fcntl));
}
int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return Fcntl(fd, cmd, arg, REAL(fcntl64));
}

// -- file systems
int fstatfs(int fd, struct statfs *s) noexcept
{
    auto f = Lookup(fd);
    return f ? StatfsHost(f->path, s) : REAL(fstatfs)(fd, s);
}
int fstatfs64(int fd, struct statfs64 *s) noexcept
{
    auto f = Lookup(fd);
    return f ? StatfsHost(f->path, reinterpret_cast<struct statfs *>(s)) : REAL(fstatfs64)(fd, s);
}
int statfs(const char *path, struct statfs *s) noexcept
{
    Where w(AT_FDCWD, path);
    return w.host ? StatfsHost(w.hostPath, s) : REAL(statfs)(w.local, s);
}
int statfs64(const char *path, struct statfs64 *s) noexcept
{
    Where w(AT_FDCWD, path);
    return w.host ? StatfsHost(w.hostPath, reinterpret_cast<struct statfs *>(s)) : REAL(statfs64)(w.local, s);
}
int fstatvfs(int fd, struct statvfs *s) noexcept
{
    auto f = Lookup(fd);
    return f ? StatvfsHost(f->path, s) : REAL(fstatvfs)(fd, s);
}
int fstatvfs64(int fd, struct statvfs64 *s) noexcept
{
    auto f = Lookup(fd);
    return f ? StatvfsHost(f->path, reinterpret_cast<struct statvfs *>(s)) : REAL(fstatvfs64)(fd, s);
}
int statvfs(const char *path, struct statvfs *s) noexcept
{
    Where w(AT_FDCWD, path);
    return w.host ? StatvfsHost(w.hostPath, s) : REAL(statvfs)(w.local, s);
}
int statvfs64(const char *path, struct statvfs64 *s) noexcept
{
    Where w(AT_FDCWD, path);
    return w.host ? StatvfsHost(w.hostPath, reinterpret_cast<struct statvfs *>(s)) : REAL(statvfs64)(w.local, s);
}

// -- extended attributes: not supported on host files
ssize_t getxattr(const char *path, const char *name, void *value, size_t size) noexcept
{
    return XattrHost(path) ? Fail(ENOTSUP) : REAL(getxattr)(path, name, value, size);
}
ssize_t lgetxattr(const char *path, const char *name, void *value, size_t size) noexcept
{
    return XattrHost(path) ? Fail(ENOTSUP) : REAL(lgetxattr)(path, name, value, size);
}
ssize_t fgetxattr(int fd, const char *name, void *value, size_t size) noexcept
{
    return Lookup(fd) ? Fail(ENOTSUP) : REAL(fgetxattr)(fd, name, value, size);
}
ssize_t listxattr(const char *path, char *list, size_t size) noexcept
{
    return XattrHost(path) ? Fail(ENOTSUP) : REAL(listxattr)(path, list, size);
}
ssize_t llistxattr(const char *path, char *list, size_t size) noexcept
{
    return XattrHost(path) ? Fail(ENOTSUP) : REAL(llistxattr)(path, list, size);
}
ssize_t flistxattr(int fd, char *list, size_t size) noexcept
{
    return Lookup(fd) ? Fail(ENOTSUP) : REAL(flistxattr)(fd, list, size);
}
int setxattr(const char *path, const char *name, const void *value, size_t size, int flags) noexcept
{
    return XattrHost(path) ? Fail(ENOTSUP) : REAL(setxattr)(path, name, value, size, flags);
}
int lsetxattr(const char *path, const char *name, const void *value, size_t size, int flags) noexcept
{
    return XattrHost(path) ? Fail(ENOTSUP) : REAL(lsetxattr)(path, name, value, size, flags);
}
int fsetxattr(int fd, const char *name, const void *value, size_t size, int flags) noexcept
{
    return Lookup(fd) ? Fail(ENOTSUP) : REAL(fsetxattr)(fd, name, value, size, flags);
}

// -- odds and ends on host descriptors
ssize_t copy_file_range(int in, off64_t *inOff, int out, off64_t *outOff, size_t n, unsigned flags)
{
    if (Lookup(in) || Lookup(out))
        return Fail(EXDEV); // callers copy through read and write instead
    return REAL(copy_file_range)(in, inOff, out, outOff, n, flags);
}
int posix_fadvise(int fd, off_t offset, off_t len, int advice) noexcept
{
    return Lookup(fd) ? 0 : REAL(posix_fadvise)(fd, offset, len, advice);
}
int posix_fadvise64(int fd, off64_t offset, off64_t len, int advice) noexcept
{
    return Lookup(fd) ? 0 : REAL(posix_fadvise64)(fd, offset, len, advice);
}
int isatty(int fd) noexcept
{
    if (Lookup(fd)) {
        errno = ENOTTY;
        return 0;
    }
    return REAL(isatty)(fd);
}

// -- identity
uid_t getuid() noexcept { return cfg.identity ? cfg.uid : REAL(getuid)(); }
uid_t geteuid() noexcept { return cfg.identity ? cfg.euid : REAL(geteuid)(); }
gid_t getgid() noexcept { return cfg.identity ? cfg.gid : REAL(getgid)(); }
gid_t getegid() noexcept { return cfg.identity ? cfg.egid : REAL(getegid)(); }
char *getlogin()
{
    if (!cfg.identity)
        return REAL(getlogin)();
    return cfg.login.empty() ? nullptr : const_cast<char *>(cfg.login.c_str());
}
int getlogin_r(char *buf, size_t size)
{
    if (!cfg.identity)
        return REAL(getlogin_r)(buf, size);
    if (cfg.login.empty())
        return ENXIO;
    if (cfg.login.size() + 1 > size)
        return ERANGE;
    memcpy(buf, cfg.login.c_str(), cfg.login.size() + 1);
    return 0;
}
int gethostname(char *name, size_t len) noexcept
{
    if (!cfg.identity)
        return REAL(gethostname)(name, len);
    if (cfg.hostname.size() + 1 > len)
        return Fail(ENAMETOOLONG);
    memcpy(name, cfg.hostname.c_str(), cfg.hostname.size() + 1);
    return 0;
}
int uname(struct utsname *u) noexcept
{
    int r = REAL(uname)(u);
    if (r == 0 && cfg.identity)
        snprintf(u->nodename, sizeof u->nodename, "%s", cfg.hostname.c_str());
    return r;
}

} // extern "C"
