// Pipelined work on the host, through the library's batches: a listing, a glob, a tree walk or
// a whole-file transfer sends its requests in rounds and waits for the agent once per round,
// not once per call. With an agent that offers the extension calls (-x), status and transfers
// use their 64-bit forms, so that files of 2 GiB and more work.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <hostlink/batch.h>
#include <hostlink/calls.h>
#include <hostlink/detail.h>
#include <hostlink/link.h>

namespace hostsh {

// A host file's status, 64-bit where the agent offers it.
struct Info {
    uint32_t mode = 0, nlink = 0, uid = 0, gid = 0;
    int64_t size = 0;
    uint64_t ino = 0, dev = 0;
    int64_t atime = 0, mtime = 0, ctime = 0;
};

struct StatResult {
    int32_t result = -1;
    int error = 0; // this machine's errno value when result < 0 (EOVERFLOW: needs -x)
    Info st{};
};

// One small file of a group copied by getSmall or putSmall.
struct SmallFile {
    std::string remote;
    int local = -1;    // the local descriptor written (get) or read (put)
    int64_t size = 0;  // get: its size as the host gave it; put: its local size
    int32_t mode = 0;  // put: the mode it is created with
    int error = 0;     // the outcome: 0, or errno with where ('o', 'r', 'l' as for getFile)
    char where = 0;
    bool grew = false; // get: the host file was longer than its size: copy it on its own
};

// Called as a transfer goes on with the bytes moved so far; returns false to stop it.
using ProgressFn = std::function<bool(int64_t done)>;

class Remote {
public:
    explicit Remote(hostlink::Link &link);
    Remote(const Remote &) = delete;
    Remote &operator=(const Remote &) = delete;
    ~Remote();
    hostlink::Link &link() { return link_; }

    // Asks the agent, in one round, whether it serves the extension calls, and who it runs as:
    // its user id and login name ("" when it has none).
    void start(int32_t *uid, std::string *login);
    bool extended() const { return ext_; }

    // Times this client has waited for the agent since the last reset: one per round of a
    // batch, one per single call.
    long waits() const;
    void resetWaits();

    // Names of a host directory in the host's order, "." and ".." left out.
    // Returns -1 with errno when the directory cannot be opened or read, ENOMEM when it lists
    // more than four million entries (an agent may list without end).
    int listNames(const std::string &path, std::vector<std::string> *names);
    // stat (follow) or lstat of every path, in one round; with openToo each path is opened for
    // reading in the same round, for the getFile of it that follows.
    std::vector<StatResult> statMany(const std::vector<std::string> &paths, bool follow, bool openToo = false);
    // Closes, with the next batch, the files statMany opened that no getFile took.
    void forgetOpened();
    // readlink of every path; nullopt where it failed.
    std::vector<std::optional<std::string>> readlinkMany(const std::vector<std::string> &paths);
    // mkdir of every path in order (parents first); the errno of each, 0 for success.
    std::vector<int> mkdirMany(const std::vector<std::string> &paths, int32_t mode);
    // symlink(text, path) for each pair; the errno of each, 0 for success.
    std::vector<int> symlinkMany(const std::vector<std::pair<std::string, std::string>> &links);
    // unlink (or rmdir where dirs[k]) of every path in order, stopping at the first failure:
    // the index of the one that failed with its errno in *error, or -1 when all went.
    long removeMany(const std::vector<std::string> &paths, const std::vector<bool> &dirs, int *error);
    // Closes what listings and gets left open; the link is then free for calls made without
    // this class.
    void settle();

    // Copies a host file from byte offset on into the local descriptor out. Returns 0, or -1
    // with errno and *where saying which side failed ('o' the host file could not be opened,
    // 'r' the host later, 'l' this machine); a stop asked for by progress is EINTR.
    int getFile(const std::string &remote, int out, int64_t offset, const ProgressFn &progress, char *where);
    // Copies the local descriptor in into a host file: created (or truncated) with mode when
    // offset is 0, else written from offset on in the file as it is; with sync (and -x) flushed
    // to the host's disk before it is closed.
    int putFile(int in, const std::string &remote, int32_t mode, int64_t offset, bool sync, const ProgressFn &progress,
                char *where);
    // The largest file getSmall and putSmall take.
    static int64_t smallLimit();
    // Copies host files of at most smallLimit() bytes into local descriptors, a group at a
    // time: the opens of a group in one round, then each file's one read with its close.
    // Stops after the group of the first failure when stopAtFailure.
    void getSmall(std::vector<SmallFile> &files, bool stopAtFailure);
    // The same the other way: each file created (or truncated), then one write and a close.
    void putSmall(std::vector<SmallFile> &files, bool stopAtFailure);
    // chmod of every path, in one round; the errno of each.
    std::vector<int> chmodMany(const std::vector<std::pair<std::string, int32_t>> &modes);

    // Whether the first length bytes of the host file hold what the local descriptor holds there
    // (its first and last 64 KiB are compared). 1 yes, 0 no, -1 with errno when the host file
    // cannot be read.
    int sameStart(const std::string &remote, int local, int64_t length);

private:
    // A batch that first closes the directories earlier listings left open (their answers are
    // of no use, and they cost no wait of their own).
    void begin(hostlink::Batch &batch);
    // One round of count calls that add(batch, k) puts in; the error of each (0 on success).
    std::vector<int> errorsOf(size_t count, const std::function<hostlink::Pending(hostlink::Batch &, size_t)> &add);
    // A read of count bytes at offset, by pread64 or (without -x) by read at the descriptor's
    // own position.
    hostlink::Pending readAt(hostlink::Batch &batch, int32_t fd, char *buffer, size_t count, int64_t offset);
    // Places fd at offset for the plain calls (up to 2 GiB less one byte). -1 with errno.
    int seekTo(hostlink::Batch &batch, int32_t fd, int64_t offset);

    hostlink::Link &link_;
    std::vector<hostlink::detail::Exchange> single_; // the single calls, one wait each
    std::vector<uint32_t> toClose_;
    std::vector<int32_t> filesToClose_; // host files read to the end: closed with the next batch
    // A round that takes this long is a link of some milliseconds' round trip.
    static constexpr std::chrono::milliseconds kFarRound{2};
    struct Opened {
        std::string path;
        int32_t fd;    // or -1 with error
        int error;
        bool far;      // the round took long enough for the wide window
    };
    std::vector<Opened> opened_; // opened by statMany for a get
    long rounds_ = 0;
    bool ext_ = false;
};

} // namespace hostsh
