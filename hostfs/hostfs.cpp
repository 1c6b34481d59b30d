// hostfs: a host's file system mounted on the terminal through the host agent's link.
//
// Every file-system operation becomes one or a few remote calls. With an agent started with -x
// the extension calls serve rename, truncation, times, owners, fifos, statistics and 64-bit
// sizes; without them, rename, truncation, times, owners and statistics go through host
// programs (mv, truncate, touch, chown, df) and sizes of 2 GiB and more are refused with
// EOVERFLOW. One link serves every FUSE thread under one lock; replies come in order, so
// readahead, directory status and writes are sent in pipelined batches.
#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "client/environ_api.h"
#include "client/files_api.h"
#include "client/process_api.h"
#include "hostlink/ext.h"
#include <hostlink/version.h>

namespace hl = hostlink;

namespace {

constexpr const char *kVersion = "hostfs " HOSTLINK_VERSION;
constexpr size_t kChunk = hl::kMaxData;       // 65508: one read reply
constexpr size_t kWriteChunkExt = hl::kMaxPwrite;
constexpr int kBatch = 256;                    // requests in flight in one batch

struct Options {
    std::string root = "/";
    double attrTimeout = 1.0;
    double entryTimeout = 1.0;
    double linkTimeout = 10.0;
    int readahead = 16;  // chunks of 65508 bytes
    int writeWindow = 8; // write requests in flight
    bool noext = false;
    bool foreground = false;
    bool debug = false;
    bool quiet = false;
};

Options opt;

struct FileHandle {
    int32_t fd = -1;
    int error = 0;           // first failed write, reported at flush or fsync
    int64_t position = -1;   // the host descriptor's offset as far as known (plain calls)
    int64_t cacheStart = 0;  // readahead data and where it starts
    std::string cache;
    unsigned cacheGeneration = 0;
    int64_t lastEnd = -1;    // end of the previous read, to tell sequential reads
};

// The link and everything that must not interleave on it.
struct Host {
    hl::Link link;
    bool ext = false;
    bool dead = false;
    std::mutex mu;
    unsigned generation = 1; // bumped by every change of file data: readahead caches die
    struct Pending {
        FileHandle *fh;
        int call;
        int32_t expected; // bytes the request carried, -1 for a seek
    };
    std::deque<Pending> pending;

    void receiveOne()
    {
        Pending p = pending.front();
        pending.pop_front();
        hl::Reply r;
        link.receive(r);
        int32_t result = hl::parseResult(r, p.call);
        if (p.fh && p.fh->error == 0) {
            if (result < 0)
                p.fh->error = errno ? errno : EIO;
            else if (p.expected >= 0 && result != p.expected)
                p.fh->error = ENOSPC;
        }
        if (p.fh && p.fh->error && p.call == wire::CALL_WRITE)
            p.fh->position = -1;
    }
    void drain(size_t keep = 0)
    {
        while (pending.size() > keep)
            receiveOne();
    }
};

Host *host;

// Status that a listing brought along, served to the lookups that follow it (ls -l) until the
// attribute timeout runs out; any change through this mount forgets it all.
struct CachedStatus {
    struct stat st;
    std::chrono::steady_clock::time_point until;
};
std::unordered_map<std::string, CachedStatus> statusCache;

void Remember(const std::string &path, const struct stat &st)
{
    if (opt.attrTimeout <= 0)
        return;
    if (statusCache.size() > 100000)
        statusCache.clear();
    statusCache[path] = {st, std::chrono::steady_clock::now() +
                                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(opt.attrTimeout))};
}

bool Recall(const std::string &path, struct stat *st)
{
    auto it = statusCache.find(path);
    if (it == statusCache.end())
        return false;
    if (std::chrono::steady_clock::now() >= it->second.until) {
        statusCache.erase(it);
        return false;
    }
    *st = it->second.st;
    return true;
}

std::string HostPath(const char *path)
{
    if (opt.root == "/")
        return path;
    if (strcmp(path, "/") == 0)
        return opt.root;
    return opt.root + path;
}

// Runs f under the lock; a lost link makes this and every later operation fail with EIO.
template <typename F> int Guard(F f)
{
    std::lock_guard<std::mutex> lock(host->mu);
    if (host->dead)
        return -EIO;
    try {
        host->drain();
        return f();
    } catch (const hl::LinkError &e) {
        host->dead = true;
        fprintf(stderr, "hostfs: link to the agent lost: %s\n", e.what());
        return -EIO;
    }
}

// Guard for operations that change the host's files.
template <typename F> int Change(F f)
{
    {
        std::lock_guard<std::mutex> lock(host->mu);
        statusCache.clear();
        host->generation++;
    }
    return Guard(f);
}

int Err(int32_t result) { return result < 0 ? -(errno ? errno : EIO) : 0; }

// ---- Host programs (the road without extensions) ----

// Runs a shell command line on the host with args as $1...; returns its exit status and
// leaves its output (standard error included) in out.
int RunOnHost(const std::string &script, const std::vector<std::string> &args, std::string *out)
{
    std::vector<std::string> argv = {"sh", "-c", script + " 2>&1; echo \"#rc=$?\"", "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string text = hl::runHostProgram(host->link, "sh", argv, opt.linkTimeout);
    size_t mark = text.rfind("#rc=");
    if (mark == std::string::npos)
        throw hl::LinkError("a host program ended without its status");
    int rc = atoi(text.c_str() + mark + 4);
    if (out)
        *out = text.substr(0, mark);
    return rc;
}

// errno for what a failed host program said.
int ProgramErrno(const std::string &text)
{
    static const struct {
        const char *words;
        int error;
    } known[] = {{"No such file", ENOENT},     {"Permission denied", EACCES}, {"not empty", ENOTEMPTY},
                 {"Not a directory", ENOTDIR}, {"Is a directory", EISDIR},    {"Operation not permitted", EPERM},
                 {"File exists", EEXIST},      {"Read-only", EROFS},          {"No space", ENOSPC},
                 {"cannot overwrite directory", EISDIR}, {"cannot overwrite non-directory", ENOTDIR},
                 {"cannot move", EINVAL},      {"invalid", EINVAL}};
    for (const auto &k : known)
        if (text.find(k.words) != std::string::npos)
            return k.error;
    return EIO;
}

int HostProgram(const std::string &script, const std::vector<std::string> &args)
{
    std::string out;
    int rc = RunOnHost(script, args, &out);
    return rc == 0 ? 0 : -ProgramErrno(out);
}

// ---- Status ----

void FromStatus64(const hl::Status64 &s, struct stat *st)
{
    memset(st, 0, sizeof *st);
    st->st_mode = s.mode; // the wire's type bits are this machine's
    st->st_nlink = s.nlink;
    st->st_uid = s.uid;
    st->st_gid = s.gid;
    st->st_size = s.size;
    st->st_ino = s.ino;
    st->st_rdev = makedev(s.rdevMajor, s.rdevMinor);
    st->st_blocks = s.blocks;
    st->st_blksize = s.blksize;
    st->st_atim = s.atime;
    st->st_mtim = s.mtime;
    st->st_ctim = s.ctime;
}

void FromStatus32(const hl::FileStatus &s, struct stat *st)
{
    memset(st, 0, sizeof *st);
    st->st_mode = static_cast<mode_t>(s.mode);
    st->st_ino = static_cast<uint32_t>(s.ino);
    st->st_nlink = static_cast<nlink_t>(s.nlink);
    st->st_uid = static_cast<uid_t>(s.uid);
    st->st_gid = static_cast<gid_t>(s.gid);
    st->st_size = static_cast<uint32_t>(s.size);
    st->st_blksize = 4096;
    st->st_blocks = (st->st_size + 511) / 512;
    st->st_atim.tv_sec = static_cast<uint32_t>(s.atime);
    st->st_mtim.tv_sec = static_cast<uint32_t>(s.mtime);
    st->st_ctim.tv_sec = static_cast<uint32_t>(s.ctime);
}

// The plain stat calls answer a size that does not fit 32 bits with EINVAL (the wire has no
// number for EOVERFLOW); nothing else makes a stat of an existing path fail that way.
int PlainStatResult(int32_t result)
{
    if (result >= 0)
        return 0;
    return errno == EINVAL ? -EOVERFLOW : -errno;
}

// ---- Operations ----

void *Init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    // Larger reads and writes from the kernel: fewer, fuller batches on the link.
    conn->max_write = 1u << 20;
    conn->max_readahead = std::min(conn->max_readahead, 1u << 20);
    cfg->use_ino = 1;
    cfg->hard_remove = 1; // the host keeps an unlinked open file alive itself
    cfg->attr_timeout = opt.attrTimeout;
    cfg->entry_timeout = opt.entryTimeout;
    cfg->negative_timeout = 0;
    return nullptr;
}

int Getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    return Guard([&] {
        if (!fi && Recall(path, st))
            return 0;
        if (host->ext) {
            hl::Status64 s;
            int32_t r = fi ? hl::fstat64(host->link, static_cast<FileHandle *>(reinterpret_cast<void *>(fi->fh))->fd, &s)
                           : hl::lstat64(host->link, HostPath(path), &s);
            if (r < 0)
                return -errno;
            FromStatus64(s, st);
            return 0;
        }
        hl::FileStatus s;
        int32_t r = fi ? hl::fstat(host->link, static_cast<FileHandle *>(reinterpret_cast<void *>(fi->fh))->fd, &s)
                       : hl::lstat(host->link, HostPath(path), &s);
        if (int e = PlainStatResult(r))
            return e;
        FromStatus32(s, st);
        return 0;
    });
}

// The mount's path of a directory's entry ("." and ".." are not remembered under it).
std::string Child(const char *dir, const std::string &name)
{
    if (name == "." || name == "..")
        return std::string("\x01"); // never a path the kernel asks about
    return strcmp(dir, "/") == 0 ? "/" + name : std::string(dir) + "/" + name;
}

struct ListEntry {
    std::string name;
    struct stat st;
    bool hasStatus;
};
using Listing = std::vector<ListEntry>;

// A whole directory with every entry's status, taken when the directory is opened.
int List(const char *path, Listing &out)
{
    return Guard([&] {
        std::string dir = HostPath(path);
        uint32_t h = hl::opendir(host->link, dir);
        if (h == 0)
            return -errno;
        int result = 0;
        struct stat st;
        if (host->ext) {
            std::vector<hl::DirEntryPlus> entries;
            int32_t n;
            while ((n = hl::readdirplus(host->link, h, entries)) > 0) {
                for (const auto &e : entries) {
                    if (e.error) {
                        out.push_back({e.name, {}, false});
                    } else {
                        FromStatus64(e.status, &st);
                        Remember(Child(path, e.name), st);
                        out.push_back({e.name, st, true});
                    }
                }
                entries.clear();
            }
            if (n < 0)
                result = -errno;
        } else {
            // Names in batches of readdir requests (the end answers -1 however often it is
            // asked), then every name's status in batches of lstat requests.
            std::vector<std::string> names;
            hl::Reply r;
            for (bool end = false; !end;) {
                for (int i = 0; i < kBatch; i++)
                    host->link.send(hl::Request(wire::CALL_READDIR).word(static_cast<int32_t>(h)));
                for (int i = 0; i < kBatch; i++) {
                    host->link.receive(r);
                    if (hl::parseResult(r, wire::CALL_READDIR) < 0) {
                        end = true;
                    } else if (!end) {
                        std::string_view d = r.data(12);
                        names.emplace_back(d.substr(0, d.find('\0')));
                    }
                }
            }
            std::string prefix = dir == "/" ? "/" : dir + "/";
            for (size_t first = 0; first < names.size(); first += kBatch) {
                size_t last = std::min(names.size(), first + kBatch);
                for (size_t i = first; i < last; i++)
                    host->link.send(hl::Request(wire::CALL_LSTAT).str(prefix + names[i]));
                for (size_t i = first; i < last; i++) {
                    host->link.receive(r);
                    if (hl::parseResult(r, wire::CALL_LSTAT, 52) == 0) {
                        hl::FileStatus s;
                        int32_t *w = &s.mode;
                        for (int k = 0; k < 10; k++)
                            w[k] = r.word(3 + k);
                        FromStatus32(s, &st);
                        Remember(Child(path, names[i]), st);
                        out.push_back({names[i], st, true});
                    } else {
                        out.push_back({names[i], {}, false});
                    }
                }
            }
        }
        hl::closedir(host->link, h);
        return result;
    });
}

int32_t WireFlags(int flags)
{
    int32_t w = (flags & O_ACCMODE) == O_WRONLY ? hl::kOpenWrite
                : (flags & O_ACCMODE) == O_RDWR ? hl::kOpenReadWrite
                                                : hl::kOpenRead;
    if (flags & O_APPEND)
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

FileHandle *Handle(struct fuse_file_info *fi) { return reinterpret_cast<FileHandle *>(fi->fh); }

int OpenOn(const std::string &p, int flags, mode_t mode, struct fuse_file_info *fi)
{
    // The host's writes go to whatever offset they are given: O_APPEND stays the kernel's.
    int32_t fd = hl::open(host->link, p, WireFlags(flags & ~O_APPEND), static_cast<int32_t>(mode));
    if (fd < 0)
        return -errno;
    auto *fh = new FileHandle;
    fh->fd = fd;
    fh->position = 0;
    fi->fh = reinterpret_cast<uint64_t>(fh);
    if (flags & O_TRUNC)
        host->generation++;
    return 0;
}

int Open(const char *path, struct fuse_file_info *fi)
{
    auto open = [&] { return OpenOn(HostPath(path), fi->flags, 0, fi); };
    return (fi->flags & O_TRUNC) ? Change(open) : Guard(open);
}

int Create(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    return Change([&] {
        std::string p = HostPath(path);
        if (host->ext)
            return OpenOn(p, fi->flags | O_CREAT, mode, fi);
        // Made here, so the mode asked for is set whole: the agent's umask may narrow it.
        int r = OpenOn(p, fi->flags | O_CREAT | O_EXCL, mode, fi);
        if (r == -EEXIST && !(fi->flags & O_EXCL))
            return OpenOn(p, fi->flags & ~O_CREAT, mode, fi);
        if (r == 0 && (mode & 07777) != ((mode & 07777) & ~022u))
            hl::chmod(host->link, p, static_cast<int32_t>(mode & 07777));
        return r;
    });
}

// Fetches [off, off+count) and, for sequential reads, the readahead window behind it, in one
// pipelined batch of chunks.
int Read(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    return Guard([&]() -> int {
        FileHandle *fh = Handle(fi);
        if (fh->cacheGeneration == host->generation && off >= fh->cacheStart &&
            static_cast<size_t>(off - fh->cacheStart) + size <= fh->cache.size()) {
            memcpy(buf, fh->cache.data() + (off - fh->cacheStart), size);
            fh->lastEnd = off + static_cast<off_t>(size);
            return static_cast<int>(size);
        }
        size_t want = size;
        if (off == fh->lastEnd || off == 0)
            want = std::max(size, kChunk * static_cast<size_t>(opt.readahead));
        size_t chunks = (want + kChunk - 1) / kChunk;
        if (!host->ext) {
            if (off > INT32_MAX)
                return -EOVERFLOW;
            // The plain calls cannot go past 2 GiB.
            int64_t room = static_cast<int64_t>(INT32_MAX) - off;
            if (static_cast<int64_t>(chunks * kChunk) > room)
                chunks = std::max<size_t>(1, static_cast<size_t>(room) / kChunk);
        }
        std::string data = std::move(fh->cache); // reuses the window's storage
        data.resize(chunks * kChunk);
        hl::Reply r;
        bool seek = !host->ext && fh->position != off;
        if (seek)
            host->link.send(hl::Request(wire::CALL_LSEEK).word(fh->fd).word(static_cast<int32_t>(off)).word(SEEK_SET));
        for (size_t i = 0; i < chunks; i++) {
            if (host->ext)
                host->link.send(hl::pread64Request(fh->fd, kChunk, off + static_cast<int64_t>(i * kChunk)));
            else
                host->link.send(hl::Request(wire::CALL_READ).word(fh->fd).word(static_cast<int32_t>(kChunk)));
        }
        int error = 0;
        if (seek) {
            host->link.receive(r);
            if (hl::parseResult(r, wire::CALL_LSEEK) < 0)
                error = errno;
        }
        size_t got = 0;
        bool short_ = false;
        int64_t reached = off;
        for (size_t i = 0; i < chunks; i++) {
            // The data goes straight from the connection into its place.
            size_t placed = host->link.receive(r, 12, data.data() + i * kChunk, kChunk);
            int32_t n = hl::parseResult(r, host->ext ? int(hl::kCallPread64) : int(wire::CALL_READ));
            if (n < 0) {
                if (!error && !short_)
                    error = errno;
                short_ = true;
                continue;
            }
            if (static_cast<size_t>(n) > placed)
                throw hl::LinkError("read reply shorter than its count");
            if (!host->ext)
                reached += n;
            if (!short_)
                got += static_cast<size_t>(n);
            if (static_cast<size_t>(n) < kChunk)
                short_ = true;
        }
        fh->position = host->ext ? -1 : (error ? -1 : reached);
        if (got == 0 && error)
            return -error;
        data.resize(got);
        size_t n = std::min(size, got);
        memcpy(buf, data.data(), n);
        fh->cache = std::move(data);
        fh->cacheStart = off;
        fh->cacheGeneration = host->generation;
        fh->lastEnd = off + static_cast<off_t>(n);
        return static_cast<int>(n);
    });
}

// Sends the data without waiting for the replies: at most the write window stays unanswered;
// a failure shows at the next write, flush or fsync of the file.
int Write(const char *, const char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    std::lock_guard<std::mutex> lock(host->mu);
    if (host->dead)
        return -EIO;
    try {
        FileHandle *fh = Handle(fi);
        host->generation++;
        statusCache.clear();
        if (fh->error)
            return -fh->error;
        if (!host->ext && static_cast<int64_t>(off) + static_cast<int64_t>(size) > INT32_MAX)
            return -EFBIG;
        size_t chunk = host->ext ? kWriteChunkExt : kChunk;
        if (!host->ext && fh->position != off) {
            host->link.send(hl::Request(wire::CALL_LSEEK).word(fh->fd).word(static_cast<int32_t>(off)).word(SEEK_SET));
            host->pending.push_back({fh, wire::CALL_LSEEK, -1});
        }
        for (size_t done = 0; done < size; done += chunk) {
            size_t n = std::min(chunk, size - done);
            std::string_view piece(buf + done, n);
            if (host->ext) {
                host->link.send(hl::pwrite64Request(fh->fd, piece, off + static_cast<off_t>(done)));
                host->pending.push_back({fh, hl::kCallPwrite64, static_cast<int32_t>(n)});
            } else {
                host->link.send(hl::Request(wire::CALL_WRITE).word(fh->fd).word(static_cast<int32_t>(n)).borrow(piece));
                host->pending.push_back({fh, wire::CALL_WRITE, static_cast<int32_t>(n)});
            }
            host->drain(static_cast<size_t>(opt.writeWindow));
        }
        fh->position = off + static_cast<off_t>(size);
        return static_cast<int>(size);
    } catch (const hl::LinkError &e) {
        host->dead = true;
        fprintf(stderr, "hostfs: link to the agent lost: %s\n", e.what());
        return -EIO;
    }
}

int Flush(const char *, struct fuse_file_info *fi)
{
    return Guard([&] {
        FileHandle *fh = Handle(fi);
        int e = fh->error;
        fh->error = 0;
        return -e;
    });
}

int Fsync(const char *, int datasync, struct fuse_file_info *fi)
{
    return Guard([&] {
        FileHandle *fh = Handle(fi);
        if (int e = fh->error) {
            fh->error = 0;
            return -e;
        }
        if (host->ext)
            return Err(hl::fsync(host->link, fh->fd, datasync != 0));
        return 0; // the plain calls have no fsync; the writes are on the host already
    });
}

int Release(const char *, struct fuse_file_info *fi)
{
    std::unique_ptr<FileHandle> fh(Handle(fi));
    return Guard([&] { return Err(hl::close(host->link, fh->fd)); });
}

int Mkdir(const char *path, mode_t mode)
{
    return Change([&] {
        std::string p = HostPath(path);
        int r = Err(hl::mkdir(host->link, p, static_cast<int32_t>(mode & 07777)));
        if (r == 0 && !host->ext && (mode & 022))
            hl::chmod(host->link, p, static_cast<int32_t>(mode & 07777));
        return r;
    });
}

int Unlink(const char *path) { return Change([&] { return Err(hl::unlink(host->link, HostPath(path))); }); }
int Rmdir(const char *path) { return Change([&] { return Err(hl::rmdir(host->link, HostPath(path))); }); }
int Symlink(const char *target, const char *path)
{
    return Change([&] { return Err(hl::symlink(host->link, target, HostPath(path))); });
}
int Link(const char *from, const char *to)
{
    return Change([&] { return Err(hl::link(host->link, HostPath(from), HostPath(to))); });
}

int Readlink(const char *path, char *buf, size_t size)
{
    return Guard([&] {
        auto text = hl::readlink(host->link, HostPath(path));
        if (!text)
            return -errno;
        size_t n = std::min(size - 1, text->size());
        memcpy(buf, text->data(), n);
        buf[n] = '\0';
        return 0;
    });
}

int Rename(const char *from, const char *to, unsigned int flags)
{
    if (flags)
        return -EINVAL;
    return Change([&] {
        host->generation++;
        if (host->ext)
            return Err(hl::rename(host->link, HostPath(from), HostPath(to)));
        // mv renames within one file system with rename(2): atomic, replacing the target.
        return HostProgram("mv -T -f -- \"$1\" \"$2\"", {HostPath(from), HostPath(to)});
    });
}

int Chmod(const char *path, mode_t mode, struct fuse_file_info *)
{
    return Change([&] { return Err(hl::chmod(host->link, HostPath(path), static_cast<int32_t>(mode & 07777))); });
}

int Chown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *)
{
    return Change([&] {
        if (host->ext)
            return Err(hl::lchown(host->link, HostPath(path), static_cast<int32_t>(uid), static_cast<int32_t>(gid)));
        std::string who = (uid == static_cast<uid_t>(-1) ? "" : std::to_string(uid)) +
                          (gid == static_cast<gid_t>(-1) ? "" : ":" + std::to_string(gid));
        if (who.empty())
            return 0;
        return HostProgram("chown -h -- \"$1\" \"$2\"", {who, HostPath(path)});
    });
}

int Truncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    return Change([&] {
        host->generation++;
        if (host->ext)
            return fi ? Err(hl::ftruncate(host->link, Handle(fi)->fd, size))
                      : Err(hl::truncate(host->link, HostPath(path), size));
        if (size > INT32_MAX)
            return -EFBIG;
        std::string p = HostPath(path);
        if (size == 0) {
            int32_t fd = hl::open(host->link, p, hl::kOpenWrite | hl::kOpenTruncate);
            if (fd < 0)
                return -errno;
            hl::close(host->link, fd);
            return 0;
        }
        return HostProgram("truncate -s \"$1\" -- \"$2\"", {std::to_string(size), p});
    });
}

std::string TouchTime(const struct timespec &t)
{
    char text[64];
    snprintf(text, sizeof text, "@%lld.%09ld", static_cast<long long>(t.tv_sec), static_cast<long>(t.tv_nsec));
    return text;
}

int Utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *)
{
    return Change([&] {
        std::string p = HostPath(path);
        struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
        const struct timespec *t = tv ? tv : now;
        if (host->ext) {
            struct timespec w[2];
            for (int i = 0; i < 2; i++) {
                w[i] = t[i];
                if (t[i].tv_nsec == UTIME_NOW)
                    w[i].tv_nsec = hl::kUtimeNow;
                else if (t[i].tv_nsec == UTIME_OMIT)
                    w[i].tv_nsec = hl::kUtimeOmit;
            }
            return Err(hl::utimens(host->link, p, w, true));
        }
        // touch: -a access, -m modification; both at once when they are the same.
        const char *which[2] = {"-a", "-m"};
        bool same = t[0].tv_nsec == t[1].tv_nsec && t[0].tv_sec == t[1].tv_sec;
        for (int i = 0; i < 2; i++) {
            if (t[i].tv_nsec == UTIME_OMIT || (same && i == 1))
                continue;
            std::vector<std::string> args = {same ? "-am" : which[i], p};
            std::string script = "touch -h -c \"$1\" -- \"$2\"";
            if (t[i].tv_nsec != UTIME_NOW) {
                args.insert(args.begin() + 1, TouchTime(t[i]));
                script = "touch -h -c \"$1\" -d \"$2\" -- \"$3\"";
            }
            if (int e = HostProgram(script, args))
                return e;
        }
        return 0;
    });
}

int Mknod(const char *path, mode_t mode, dev_t)
{
    return Change([&] {
        std::string p = HostPath(path);
        if (host->ext) {
            if (!S_ISFIFO(mode) && !S_ISSOCK(mode) && !S_ISREG(mode))
                return -EPERM;
            return Err(hl::mknod(host->link, p, static_cast<uint32_t>(mode)));
        }
        char perms[16];
        snprintf(perms, sizeof perms, "%o", static_cast<unsigned>(mode & 07777));
        if (S_ISFIFO(mode))
            return HostProgram("mkfifo -m \"$1\" -- \"$2\"", {perms, p});
        if (S_ISREG(mode)) {
            int32_t fd = hl::open(host->link, p, hl::kOpenWrite | hl::kOpenCreate | hl::kOpenExclusive,
                                  static_cast<int32_t>(mode & 07777));
            if (fd < 0)
                return -errno;
            hl::close(host->link, fd);
            return 0;
        }
        return -EPERM; // sockets and devices need the extension calls
    });
}

int Statfs(const char *path, struct statvfs *sv)
{
    return Guard([&] {
        memset(sv, 0, sizeof *sv);
        std::string p = HostPath(path);
        if (host->ext) {
            hl::FsStats s;
            if (hl::statvfs(host->link, p, &s) < 0)
                return -errno;
            sv->f_bsize = s.bsize;
            sv->f_frsize = s.frsize;
            sv->f_blocks = s.blocks;
            sv->f_bfree = s.bfree;
            sv->f_bavail = s.bavail;
            sv->f_files = s.files;
            sv->f_ffree = s.ffree;
            sv->f_favail = s.favail;
            sv->f_fsid = s.fsid;
            sv->f_namemax = s.namemax;
            return 0;
        }
        // df -P -k: "Filesystem 1024-blocks Used Available Capacity Mounted-on", then one line.
        std::string out;
        if (RunOnHost("df -P -k -- \"$1\"", {p}, &out) != 0)
            return -ProgramErrno(out);
        size_t line = out.find('\n');
        unsigned long long blocks = 0, used = 0, avail = 0;
        char fsname[4096];
        if (line == std::string::npos ||
            sscanf(out.c_str() + line + 1, "%4095s %llu %llu %llu", fsname, &blocks, &used, &avail) != 4)
            return -EIO;
        sv->f_bsize = sv->f_frsize = 1024;
        sv->f_blocks = blocks;
        sv->f_bfree = blocks > used ? blocks - used : 0;
        sv->f_bavail = avail;
        sv->f_namemax = 255;
        return 0;
    });
}

int Access(const char *path, int mode)
{
    return Guard([&] {
        int32_t w = hl::kAccessExists;
        if (mode & R_OK)
            w |= hl::kAccessRead;
        if (mode & W_OK)
            w |= hl::kAccessWrite;
        if (mode & X_OK)
            w |= hl::kAccessExecute;
        return Err(hl::access(host->link, HostPath(path), w));
    });
}

int Opendir(const char *path, struct fuse_file_info *fi)
{
    auto listing = std::make_unique<Listing>();
    if (int e = List(path, *listing))
        return e;
    fi->fh = reinterpret_cast<uint64_t>(listing.release());
    return 0;
}

// Entries by their index, so that FUSE hands each entry's status to the kernel with it and the
// lookups of a following ls -l stay in the kernel.
int Readdir(const char *, void *buf, fuse_fill_dir_t filler, off_t off, struct fuse_file_info *fi,
            enum fuse_readdir_flags)
{
    const Listing &listing = *reinterpret_cast<Listing *>(fi->fh);
    for (size_t i = static_cast<size_t>(std::max<off_t>(off, 0)); i < listing.size(); i++) {
        const ListEntry &e = listing[i];
        if (filler(buf, e.name.c_str(), e.hasStatus ? &e.st : nullptr, static_cast<off_t>(i + 1),
                   e.hasStatus ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0)))
            break;
    }
    return 0;
}

int Releasedir(const char *, struct fuse_file_info *fi)
{
    delete reinterpret_cast<Listing *>(fi->fh);
    return 0;
}

void Usage(FILE *to)
{
    fprintf(to,
            "usage: hostfs HOST:PORT MOUNTPOINT [-o OPTIONS] [-f] [-d] [-s]\n"
            "       hostfs -peer PORT MOUNTPOINT [-o OPTIONS] [-f] [-d]\n"
            "options (-o, comma-separated; others go to FUSE):\n"
            "  root=PATH          host directory to mount (default /)\n"
            "  attr_timeout=SEC   attribute cache time (default 1)\n"
            "  entry_timeout=SEC  name cache time (default 1)\n"
            "  link_timeout=SEC   longest wait for the agent before EIO (default 10)\n"
            "  readahead=N        chunks of 65508 bytes read ahead (default 16)\n"
            "  write_window=N     writes sent before their replies are awaited (default 8)\n"
            "  noext              do not use the agent's extension calls\n"
            "  -f foreground, -d debug (implies -f), -s single-threaded (always)\n"
            "  --help, --version\n");
}

bool TakeOption(const std::string &o)
{
    auto value = [&](const char *key, std::string *out) {
        size_t k = strlen(key);
        if (o.compare(0, k, key) != 0 || o.size() <= k || o[k] != '=')
            return false;
        *out = o.substr(k + 1);
        return true;
    };
    std::string v;
    if (value("root", &v)) {
        while (v.size() > 1 && v.back() == '/')
            v.pop_back();
        opt.root = v;
    } else if (value("attr_timeout", &v)) {
        opt.attrTimeout = atof(v.c_str());
    } else if (value("entry_timeout", &v)) {
        opt.entryTimeout = atof(v.c_str());
    } else if (value("link_timeout", &v)) {
        opt.linkTimeout = atof(v.c_str());
    } else if (value("readahead", &v)) {
        opt.readahead = std::clamp(atoi(v.c_str()), 1, 64);
    } else if (value("write_window", &v)) {
        opt.writeWindow = std::clamp(atoi(v.c_str()), 0, 256);
    } else if (o == "noext") {
        opt.noext = true;
    } else {
        return false;
    }
    return true;
}

std::string AgentHost()
{
    if (const char *ssh = getenv("SSH_CONNECTION")) {
        std::string first(ssh, strcspn(ssh, " "));
        if (!first.empty())
            return first;
    }
    const char *h = getenv("HOSTAGENT_HOST");
    return h && *h ? h : "127.0.0.1";
}

} // namespace

int main(int argc, char **argv)
{
    std::string target, mountpoint;
    std::vector<std::string> fuseOpts;
    bool peer = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--version" || a == "-V") {
            printf("%s (FUSE %d)\n", kVersion, fuse_version());
            return 0;
        } else if (a == "-peer" && i + 1 < argc) {
            peer = true;
            target = AgentHost() + ":" + argv[++i];
        } else if (a == "-f") {
            opt.foreground = true;
        } else if (a == "-d") {
            opt.debug = opt.foreground = true;
        } else if (a == "-s") {
            // always single-threaded
        } else if (a == "-o" && i + 1 < argc) {
            std::string list = argv[++i];
            for (size_t p = 0; p <= list.size();) {
                size_t q = list.find(',', p);
                if (q == std::string::npos)
                    q = list.size();
                std::string o = list.substr(p, q - p);
                if (!o.empty() && !TakeOption(o))
                    fuseOpts.push_back(o);
                p = q + 1;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "hostfs: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 1;
        } else if (target.empty()) {
            target = a;
        } else if (mountpoint.empty()) {
            mountpoint = a;
        } else {
            Usage(stderr);
            return 1;
        }
    }
    size_t colon = target.rfind(':');
    if (mountpoint.empty() || colon == std::string::npos) {
        Usage(stderr);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    if (peer && !opt.foreground) {
        // Started by the agent through the remote shell: leave it at once and silently, since
        // the agent answers only once the remote shell has ended.
        pid_t pid = fork();
        if (pid < 0) {
            perror("hostfs: fork");
            return 1;
        }
        if (pid > 0)
            return 0;
        setsid();
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            if (devnull > 2)
                close(devnull);
        }
        opt.foreground = true; // already in the background
    }
    static Host theHost;
    host = &theHost;
    try {
        host->link = hl::Link::connect(target.substr(0, colon), atoi(target.c_str() + colon + 1));
        host->link.setTimeout(opt.linkTimeout);
        host->link.handshake(static_cast<uint32_t>(getpid()));
        host->ext = !opt.noext && hl::hasExtensions(host->link);
        if (host->ext)
            hl::umask(host->link, 0); // modes arrive as the terminal asks for them
        hl::FileStatus root;
        if (hl::stat(host->link, opt.root, &root) < 0 || (root.mode & S_IFMT) != S_IFDIR) {
            fprintf(stderr, "hostfs: %s is no directory on the host\n", opt.root.c_str());
            return 1;
        }
    } catch (const hl::LinkError &e) {
        fprintf(stderr, "hostfs: cannot reach the agent at %s: %s\n", target.c_str(), e.what());
        return 1;
    }
    // Standard output stays quiet under the agent's remote shell, which takes any output there
    // for a failure.
    if (!peer || opt.foreground)
        fprintf(stderr, "hostfs: %s\n",
                host->ext ? "extension calls: rename, truncate, times, owners, fifos, statistics and 64-bit sizes "
                            "served by the agent"
                          : "agent without extension calls: rename, truncation, times, owners and statistics "
                            "through host programs; sizes of 2 GiB and more fail with EOVERFLOW");

    struct fuse_operations ops = {};
    ops.init = Init;
    ops.getattr = Getattr;
    ops.readdir = Readdir;
    ops.opendir = Opendir;
    ops.releasedir = Releasedir;
    ops.open = Open;
    ops.create = Create;
    ops.read = Read;
    ops.write = Write;
    ops.flush = Flush;
    ops.fsync = Fsync;
    ops.release = Release;
    ops.mkdir = Mkdir;
    ops.unlink = Unlink;
    ops.rmdir = Rmdir;
    ops.symlink = Symlink;
    ops.link = Link;
    ops.readlink = Readlink;
    ops.rename = Rename;
    ops.chmod = Chmod;
    ops.chown = Chown;
    ops.truncate = Truncate;
    ops.utimens = Utimens;
    ops.mknod = Mknod;
    ops.statfs = Statfs;
    ops.access = Access;

    std::vector<std::string> args = {"hostfs", mountpoint, "-s", "-o", "fsname=hostfs#" + target + ":" + opt.root,
                                     "-o", "subtype=hostfs"};
    if (opt.foreground)
        args.push_back("-f");
    if (opt.debug)
        args.push_back("-d");
    for (const std::string &o : fuseOpts) {
        args.push_back("-o");
        args.push_back(o);
    }
    std::vector<char *> cargs;
    for (std::string &s : args)
        cargs.push_back(s.data());
    cargs.push_back(nullptr);
    return fuse_main(static_cast<int>(cargs.size()) - 1, cargs.data(), &ops, nullptr);
}
