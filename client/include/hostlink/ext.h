// Extension calls of an agent started with -x (docs/extensions.md has their wire layouts).
// connectClient tells whether the agent offers them (Connected::extensions); status.h turns
// their status and statistics into struct stat and struct statvfs.
//
// Like the plain calls, a failure returns -1 and leaves this machine's errno value for the
// agent's error in errno; a reply that does not fit the call raises LinkError. Each call also
// has a request builder and a reply parser, so that a caller can send several requests before
// it reads their replies (the agent answers in order).
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <hostlink/link.h>
#include <hostlink/wire.h>

namespace hostlink {

enum ExtensionCall : int {
    kCallRename = wire::CALL_RENAME,
    kCallTruncate = wire::CALL_TRUNCATE,
    kCallFtruncate = wire::CALL_FTRUNCATE,
    kCallUtimens = wire::CALL_UTIMENS,
    kCallLchown = wire::CALL_LCHOWN,
    kCallMknod = wire::CALL_MKNOD,
    kCallStatvfs = wire::CALL_STATVFS,
    kCallPread64 = wire::CALL_PREAD64,
    kCallPwrite64 = wire::CALL_PWRITE64,
    kCallStat64 = wire::CALL_STAT64,
    kCallLstat64 = wire::CALL_LSTAT64,
    kCallFstat64 = wire::CALL_FSTAT64,
    kCallReaddirplus = wire::CALL_READDIRPLUS,
    kCallFsync = wire::CALL_FSYNC,
    kCallUmask = wire::CALL_UMASK,
    kCallOpenread = wire::CALL_OPENREAD,
    kCallOpenwrite = wire::CALL_OPENWRITE,
    kCallPreadlast = wire::CALL_PREADLAST,
};

constexpr int kMaxPwrite = kMaxMessage - 20; // most bytes one pwrite64 carries
constexpr int kMaxOpenread = kMaxMessage - 16; // most bytes one openread brings
// Most bytes one openwrite takes along with a path of pathLength bytes.
constexpr size_t maxOpenwrite(size_t pathLength)
{
    return pathLength + 1 >= static_cast<size_t>(kMaxMessage - 20) ? 0 : static_cast<size_t>(kMaxMessage - 20) - pathLength - 1;
}
constexpr int32_t kUtimeNow = 0x3fffffff;    // nanoseconds word: the current time
constexpr int32_t kUtimeOmit = 0x3ffffffe;   // nanoseconds word: leave this time alone

// A 64-bit file status. mode carries the type in the traditional bits (0170000 mask: 0010000
// fifo, 0020000 character device, 0040000 directory, 0060000 block device, 0100000 regular,
// 0120000 symbolic link, 0140000 socket) and the permission bits below them.
struct Status64 {
    uint32_t mode = 0, nlink = 0, uid = 0, gid = 0;
    int64_t size = 0;
    uint64_t ino = 0;
    uint32_t devMajor = 0, devMinor = 0, rdevMajor = 0, rdevMinor = 0;
    int64_t blocks = 0; // 512-byte units
    int32_t blksize = 0;
    struct timespec atime = {}, mtime = {}, ctime = {};
};

struct FsStats {
    uint32_t bsize = 0, frsize = 0;
    uint64_t blocks = 0, bfree = 0, bavail = 0, files = 0, ffree = 0, favail = 0, fsid = 0;
    uint32_t flags = 0; // 1 read-only, 2 no set-id
    uint32_t namemax = 0;
};

struct DirEntryPlus {
    std::string name;
    int error = 0; // this machine's errno value when the entry's status could not be taken
    Status64 status;
};

// The highest extension call served by every agent that has extensions at all: agents that only
// say HOSTAGENT_EXTENSIONS=1 serve 49 to this one.
constexpr int kLastFirstExtension = kCallUmask;

// The highest extension call an agent serves, from its environment entries: 0 without
// HOSTAGENT_EXTENSIONS=1; the number in HOSTAGENT_EXTENSION_CALLS when it is plain decimal from
// kLastFirstExtension to 65535; kLastFirstExtension otherwise (older agents lack the entry).
int lastExtensionCall(const std::vector<std::string> &entries);
// The same, asked with getenv, which every agent answers.
int lastExtensionCall(Link &link);

// True when the agent serves the extension calls: its environment holds HOSTAGENT_EXTENSIONS=1.
bool hasExtensions(Link &link);

int32_t rename(Link &link, std::string_view from, std::string_view to);
int32_t truncate(Link &link, std::string_view path, int64_t length);
int32_t ftruncate(Link &link, int32_t fd, int64_t length);
// times[0] access, times[1] modification; tv_nsec may be kUtimeNow or kUtimeOmit.
int32_t utimens(Link &link, std::string_view path, const struct timespec times[2], bool nofollow);
int32_t lchown(Link &link, std::string_view path, int32_t uid, int32_t gid);
// Fifos, sockets and plain files; other types fail with EPERM.
int32_t mknod(Link &link, std::string_view path, uint32_t mode);
int32_t statvfs(Link &link, std::string_view path, FsStats *stats);
// At most kMaxData bytes; fewer only at end of file.
int32_t pread64(Link &link, int32_t fd, void *buffer, size_t count, int64_t offset);
int32_t pwrite64(Link &link, int32_t fd, const void *buffer, size_t count, int64_t offset);
int32_t stat64(Link &link, std::string_view path, Status64 *status);
int32_t lstat64(Link &link, std::string_view path, Status64 *status);
int32_t fstat64(Link &link, int32_t fd, Status64 *status);
// The next entries of a directory stream opened with opendir, appended to entries: their
// count (0 at the end of the directory) or -1. most 0 takes as many as fit one reply.
int32_t readdirplus(Link &link, uint32_t handle, std::vector<DirEntryPlus> &entries, int32_t most = 0);
int32_t fsync(Link &link, int32_t fd, bool dataOnly = false);
// Sets the agent's file-creation mask; returns the old one.
int32_t umask(Link &link, uint32_t mask);
// Opens path (flags and mode as for open) and reads its first bytes, at most count (and
// kMaxOpenread), into buffer, all in one exchange. Returns the descriptor, or -1 with errno. *got
// takes the bytes read (fewer than asked only at end of file), or -1 when the read failed: errno
// then holds the read's error and the descriptor is still open.
int32_t openread(Link &link, std::string_view path, int32_t flags, int32_t mode, void *buffer, size_t count, int32_t *got);
// Opens path (flags and mode as for open) and writes data (at most maxOpenwrite of the path's
// length) from its start, in one exchange. keep false: closes it again and returns 0, or -1 with
// errno of whichever of open, write and close failed first. keep true: returns the descriptor
// (also after a failed write, with errno set and *put -1 or short), or -1 when the open failed.
// *put takes the bytes written, or -1.
int32_t openwrite(Link &link, std::string_view path, int32_t flags, int32_t mode, std::string_view data, bool keep,
                  int32_t *put);
// pread64 of the descriptor the latest openread on the link opened: a file's following bytes
// asked for right behind its openread, in the same round trip. At most kMaxData bytes; fewer only
// at end of file; -1 with errno (EBADF when that openread opened nothing).
int32_t preadlast(Link &link, void *buffer, size_t count, int64_t offset);

// Builders and parsers for pipelined use.
Request pread64Request(int32_t fd, size_t count, int64_t offset);
// data must stay valid until the request is sent.
Request pwrite64Request(int32_t fd, std::string_view data, int64_t offset);
Request stat64Request(int call, std::string_view path); // kCallStat64 or kCallLstat64
// Result word of a reply; sets errno after a failure. Checks call and length.
int32_t parseResult(const Reply &r, int call, int minLength = 12);
int32_t parseStatus64(const Reply &r, int call, Status64 *status);
// Copies a pread64 reply's data to buffer (at most count bytes).
int32_t parsePread64(const Reply &r, void *buffer, size_t count);
int32_t parseReaddirplus(const Reply &r, std::vector<DirEntryPlus> &entries);
int32_t parseStatvfs(const Reply &r, FsStats *stats);
Request openreadRequest(std::string_view path, int32_t flags, int32_t mode, size_t count);
// An openread reply whose data went elsewhere (available bytes of it there): the descriptor, or
// -1 with errno; *got as for openread. LinkError when the count exceeds what came.
int32_t parseOpenread(const Reply &r, size_t available, int32_t *got);
// data must stay valid until the request is sent; beyond maxOpenwrite it is cut.
Request openwriteRequest(std::string_view path, int32_t flags, int32_t mode, std::string_view data, bool keep);
// An openwrite reply: as openwrite returns; count the bytes that were sent.
int32_t parseOpenwrite(const Reply &r, size_t count, int32_t *put);
Request preadlastRequest(size_t count, int64_t offset);
// Copies a pread64 or preadlast (call) reply's data to buffer (at most count bytes).
int32_t parsePread(const Reply &r, int call, void *buffer, size_t count);

} // namespace hostlink
