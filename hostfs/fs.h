// The mounted file system: every FUSE operation as a method on paths of the mount, over one
// link that all of FUSE's threads share. Nothing here is global: a test builds an Fs on a link
// of its own and calls the methods as FUSE would.
#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <vector>

#include <hostlink/calls.h>
#include <hostlink/ext.h>
#include <hostlink/link.h>
#include <hostlink/shared.h>

#include "hostfs/cache.h"
#include "hostfs/options.h"
#include "hostfs/prefetch.h"

namespace hostfs {

namespace hl = hostlink;

// Where a reply goes: its first head bytes into reply, the bytes beyond them straight into tail
// (up to tailSize), their count into placed.
inline hl::Expect expectInto(hl::Reply *reply, int head, char *tail, size_t tailSize, size_t *placed)
{
    hl::Expect e;
    e.reply = reply;
    e.head = head;
    e.tail = tail;
    e.tailSize = tailSize;
    e.placed = placed;
    e.expectedSize = static_cast<size_t>(head) + tailSize;
    return e;
}

// Buffers of one read reply's data, kept for the next chunks rather than given back: a fresh
// buffer costs a page fault for every page a reply is written into.
class ChunkBuffers {
public:
    static constexpr size_t kSize = hl::kMaxData; // the largest span of a chunk
    static constexpr size_t kKept = 256;
    std::unique_ptr<char[]> get();
    void put(std::unique_ptr<char[]> buffer);

private:
    std::mutex mu_;
    std::vector<std::unique_ptr<char[]>> free_;
};

// One open file of the mount.
struct FileHandle {
    std::mutex mu;           // one operation on the handle at a time
    std::string path;        // the mount's path at open, for reopening after a reconnect
    int flags = 0;
    int32_t fd = -1;         // the host's descriptor
    uint64_t epoch = 0;      // the link it belongs to (Fs::epoch_ when opened)
    bool lost = false;       // not reopened after a reconnect: EIO from now on
    std::atomic<int> error{0}; // the first failed write not yet reported
    std::atomic<int> unanswered{0}; // writes sent whose replies have not come
    // Writes sent ahead: their tickets, oldest first.
    std::deque<hl::SharedLink::Ticket> writes;
    hl::SharedLink::Ticket lastRequest = 0;
    int64_t position = 0; // the host descriptor's offset as far as known (plain calls)
    // Read-ahead: chunks in flight or in, consecutive from their first one's offset.
    struct Chunk {
        int64_t offset = 0;
        size_t span = hl::kMaxData; // the bytes asked for: fewer came only at the end of the file
        std::unique_ptr<char[]> data;
        size_t placed = 0;
        hl::Reply reply;
        hl::SharedLink::Ticket ticket = 0;
        int call = 0; // the call whose reply it is, when not the file's read call (preadlast)
        // Came with the open (openread): its count and the read's error, already taken apart.
        bool withOpen = false;
        int32_t count = 0;
        int error = 0;
        std::shared_ptr<ChunkBuffers> from; // where data goes back to
        Chunk() = default;
        Chunk(const Chunk &) = delete;
        Chunk &operator=(const Chunk &) = delete;
        ~Chunk()
        {
            if (from && data)
                from->put(std::move(data));
        }
    };
    std::deque<std::unique_ptr<Chunk>> ahead;
    std::deque<std::unique_ptr<Chunk>> abandoned; // no longer wanted, their replies still coming
    uint64_t aheadGeneration = 0;
    size_t window = 0;   // chunks kept in flight ahead of the reader
    int64_t lastEnd = -1; // where the previous read ended
    int64_t sizeHint = -1; // the size the mount last saw, for the first window
    // Read whole with its directory's read-ahead: no host descriptor until one is needed.
    bool preloaded = false;
    std::string content;
    // Made here and not yet on the host (see deferred.cpp): its status as the mount shows it and
    // the data written so far, which go to the host with the open at the first flush or when
    // anything else needs the host's file. A failure of that open is reported once, then EIO.
    std::atomic<bool> deferred{false};
    int deferredError = 0;
    struct stat provisional = {};
    std::string kept;
};

class Fs {
public:
    // Called once when the link is lost for good (the default, or a reconnect that failed): the
    // mount then ends. The message says what happened.
    using LostHandler = std::function<void(const std::string &message)>;

    explicit Fs(Options options);
    ~Fs();
    Fs(const Fs &) = delete;
    Fs &operator=(const Fs &) = delete;

    // Takes a connected (and authenticated) link; uses the extensions up to call lastExtension
    // (Connected::lastExtension) unless noext, moves the agent's working directory to the root
    // and checks it. LinkError or a message on failure.
    std::optional<std::string> attach(hl::Link link, bool extensions, int lastExtension = hl::kCallPreadlast);
    // How a new link is made after a loss (-o reconnect); without one a loss is final.
    void setConnector(std::function<hl::Link()> connect) { connect_ = std::move(connect); }
    void setLostHandler(LostHandler h) { lost_ = std::move(h); }
    // Told the mount paths whose attributes changed through another path (hard links), so that
    // whoever keeps them besides the mount's own cache (the kernel) lets them go.
    using StaleHandler = std::function<void(const std::string &path)>;
    void setStaleHandler(StaleHandler h) { stale_ = std::move(h); }
    bool extensions() const { return ext_; }
    // Whether the agent serves this extension call.
    bool serves(int call) const { return ext_ && call <= lastExt_; }
    const Options &options() const { return opt_; }
    // Looks at an idle link: the agent gone while nothing was asked is a loss noticed at once.
    void watch();
    bool lost() const { return gone_.load(); }

    // The operations, with FUSE's conventions: 0 or a negative errno.
    int getattr(const char *path, struct stat *st, FileHandle *fh);
    int readlink(const char *path, char *buf, size_t size);
    int mkdir(const char *path, mode_t mode);
    int mknod(const char *path, mode_t mode, dev_t dev);
    int unlink(const char *path);
    int rmdir(const char *path);
    int symlink(const char *target, const char *path);
    int link(const char *from, const char *to);
    int rename(const char *from, const char *to, unsigned flags);
    int chmod(const char *path, mode_t mode);
    int chown(const char *path, uid_t uid, gid_t gid);
    int truncate(const char *path, off_t size, FileHandle *fh);
    int utimens(const char *path, const struct timespec tv[2]);
    int statfs(const char *path, struct statvfs *sv);
    int access(const char *path, int mode);
    // Multi-user mode: what another local user made through the mount becomes theirs on the
    // host (sent behind; the agent must run as root for it to take).
    void giveTo(const char *path, uid_t uid, gid_t gid);

    int open(const char *path, int flags, FileHandle **out);
    int create(const char *path, mode_t mode, int flags, FileHandle **out);
    int read(FileHandle *fh, char *buf, size_t size, off_t off);
    int write(FileHandle *fh, const char *buf, size_t size, off_t off);
    int flush(FileHandle *fh);
    int fsync(FileHandle *fh, bool dataOnly);
    int release(FileHandle *fh);

    int list(const char *path, Listing &out);

    // A directory made through the mount: files made in it may be created here and made on the
    // host with their data at their first flush (see deferred.cpp).
    void madeDirectory(const char *path);

    // The host path of a mount path: relative to the agent's working directory, which is the
    // root, so that the longest paths of the mount fit.
    static std::string hostPath(const char *path);

private:
    friend struct Fallbacks;
    // Runs f; a fault of the link becomes EIO (after reconnecting, when asked to, and once more
    // f when it may safely run again).
    // Unless ownFile, files whose creation was deferred are made on the host first: the
    // operation may need them there. (ownFile: create, getattr, and the write, flush and release
    // of a handle, which look after their own file.)
    int guard(const std::function<int()> &f, bool idempotent = false, bool ownFile = false);
    // After a change through the mount: what was cached about path (and its directory) goes.
    void changed(const char *path);
    void changedAll();
    void connectionLost(const std::string &why);
    bool reconnect();
    int openOn(const char *path, int flags, mode_t mode, FileHandle **out);
    // Opens path for reading and brings its first chunk in the same round trip, and the rest of
    // it up to kWholeAtOpen when its size is known: the descriptor, or -1 with errno; *chunks the
    // chunks, the first one in, the others coming.
    int32_t openWithData(const char *path, int flags, int64_t size, std::deque<std::unique_ptr<FileHandle::Chunk>> *chunks);
    static constexpr int64_t kWholeAtOpen = 2 << 20;
    // Sends the openread of path and, behind it, the preadlast requests up to end; waits for the
    // open among chunks: the descriptor, or -1 with errno.
    void sendOpenread(const std::string &path, int flags, int64_t end, std::deque<std::unique_ptr<FileHandle::Chunk>> *chunks);
    int32_t openedBy(std::deque<std::unique_ptr<FileHandle::Chunk>> &chunks);
    // Files streamed ahead across a directory (stream.cpp): a file opened with openread and read
    // whole, before the program asks for it, its chunks in flight or in.
    struct Streamed {
        std::deque<std::unique_ptr<FileHandle::Chunk>> chunks; // the openread's first
        int64_t size = 0;
        uint64_t generation = 0, epoch = 0;
        double until = 0;
    };
    // A directory's files as a program opens them: in the listing's order or by name.
    struct Streak {
        std::shared_ptr<const Listing> listing;
        std::map<std::string, size_t> at; // name: index in the listing
        std::vector<size_t> byName;        // indexes in name order
        std::string last;
        int inListing = 0, inNames = 0; // opens after the last one in either order
        std::set<std::string> seen;     // opened or streamed in this streak
        double when = 0;
    };
    // path's streamed chunks, taken out, when still valid for an open with flags.
    std::optional<Streamed> takeStreamed(const char *path, int flags);
    // Opening path: when the program's opens in its directory follow an order, the next files
    // of the directory in that order are streamed, up to kStreamBytes in all.
    void streamAfter(const char *path);
    // Drops what has waited too long; closes on the host and frees what was dropped once its
    // replies are in. streamMu_ held.
    void reapStreamed(double now);
    void sweepStreamed(); // the same, now
    static constexpr size_t kStreamBytes = 16u << 20;
    static constexpr size_t kStreamScan = 256; // names looked at past the one opened
    // 0 when fh's descriptor belongs to the link in use: after a reconnect the file is opened
    // again by its path first; -EIO when that fails or writes were lost with the old link.
    // A preloaded file gets its descriptor here when needFd.
    int ready(FileHandle *fh, bool needFd = true);
    int openPreloaded(const char *path, int flags, FileHandle **out);
    int preloadWithOpen(const std::vector<std::string> &paths, int flags, FileHandle **out);
    int placePreloads(const std::vector<std::string> &paths, std::vector<std::optional<std::string>> &contents,
                      uint64_t generation, int flags, FileHandle **out);
    FileHandle *preloadedHandle(const char *path, int flags, std::string data);
    static constexpr double kPreloadSeconds = 5; // the longest a preloaded file waits to be opened
    // Deferred creation: a create answered here when path is known absent in a directory this
    // mount made; the file is made on the host, keeping its descriptor or closing it, with the
    // data written so far; every deferred file made on the host; a deferred file's status.
    bool deferCreate(const char *path, mode_t mode, int flags, FileHandle **out);
    int makeOnHost(FileHandle *fh, bool keep);
    void settleDeferred();
    bool deferredStatus(const char *path, FileHandle *fh, struct stat *st);
    int keepWrite(FileHandle *fh, const char *buf, size_t size, off_t off); // -1: does not fit
    int waitWrites(FileHandle *fh);
    void dropAhead(FileHandle *fh);    // read-ahead no longer wanted
    void forgetChunks(FileHandle *fh); // after a lost link: nothing more will come
    int fillAhead(FileHandle *fh, off_t off, size_t size);
    hl::Reply call(const hl::Request &req);
    // A path's status: the request, and its reply turned into *st (0 or -errno); ofDescriptor
    // for the reply to the status call of an open descriptor.
    hl::Request statusRequest(const std::string &hostPath) const;
    int statusReply(const hl::Reply &r, struct stat *st, bool ofDescriptor = false) const;
    // Sends req and, behind it, the status request of path; waits for both. The result of req
    // (errno set on failure); the status is remembered when req succeeded.
    int32_t callThenStatus(const hl::Request &req, const char *path);
    // Hard links. Before a change through path: its file as last seen, when it has other names
    // (or always, for a new link); after the change, linksChanged lets what is known of the
    // other names go.
    std::optional<struct stat> knownFile(const char *path, bool evenSingle = false);
    void linksChanged(const char *path, const std::optional<struct stat> &file, int result);
    int32_t simple(const hl::Request &req); // result word, errno set on failure
    int simpleErr(const hl::Request &req);  // 0 or -errno
    int exclusive(const std::function<int32_t(hl::Link &)> &f); // typed call: 0 or -errno

    Options opt_;
    std::unique_ptr<hl::SharedLink> link_;
    bool ext_ = false;
    int lastExt_ = 0; // the highest extension call the agent serves
    StatusCache cache_;
    Preloads preloads_;
    std::shared_ptr<ChunkBuffers> buffers_ = std::make_shared<ChunkBuffers>();
    // File-system statistics by host path, while nothing changed through the mount (since).
    struct Stats {
        struct statvfs sv;
        uint64_t since;
        double until;
    };
    static constexpr double kStatsSeconds = 2;
    std::mutex statsMu_;
    std::map<std::string, Stats> stats_;
    std::mutex streamMu_;
    std::map<std::string, Streamed> streamed_;
    std::map<std::string, Streak> streaks_; // by directory
    std::list<Streamed> streamDropped_;    // replies still coming, descriptors to close
    size_t streamBytes_ = 0;
    std::atomic<uint64_t> generation_{1}; // bumped by every change of file data
    std::atomic<uint64_t> epoch_{1};      // bumped by every reconnect
    std::mutex openMu_;
    std::set<FileHandle *> open_; // for reopening after a reconnect
    std::mutex lossMu_;
    std::atomic<bool> gone_{false};
    std::function<hl::Link()> connect_;
    LostHandler lost_;
    StaleHandler stale_;
    // Deferred creations by path (handles made on the host since stay until released), and the
    // owners of the directories made through the mount, which new files there take.
    std::mutex deferMu_;
    std::map<std::string, FileHandle *> deferred_;
    std::atomic<int> deferredNow_{0};
    std::map<std::string, std::pair<uid_t, gid_t>> madeDirs_;
    std::atomic<uint64_t> provisionalIno_{1ull << 62};
};

int32_t wireOpenFlags(int flags);

} // namespace hostfs
